#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QList>
#include <QString>
#include <QStringList>

namespace Bench {

// True when the program was started with --quick: one small run, only to
// show that the benchmark still works.
bool quick(const QStringList &arguments);

double median(QList<double> values);

// Time this thread has spent on a CPU, in milliseconds.
double threadCpuMilliseconds();

// Prints one result row for scripts/bench.sh. A budget of 0 means none.
// Lower is better.
void report(const QString &name, double value, const QString &unit, double budget);

// A firmware/ directory beside the running executable with the stand-in as
// esptool.exe and one profile's images; removed again by the destructor,
// and only if it was created here.
class FirmwareDir
{
public:
    explicit FirmwareDir(const QString &profile);
    ~FirmwareDir();
    bool isValid() const;

private:
    QString m_path;
    bool m_created = false;
};

} // namespace Bench

#endif // BENCHSUPPORT_H
