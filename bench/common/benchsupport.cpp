#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace Bench {

bool quick(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("--quick"));
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double threadCpuMilliseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

void report(const QString &name, double value, const QString &unit, double budget)
{
    const QString verdict = budget <= 0 ? QStringLiteral("-")
                          : value <= budget ? QStringLiteral("met")
                                            : QStringLiteral("MISSED");
    std::printf("RESULT\t%s\t%.3f\t%s\t%s\t%s\n", qPrintable(name), value, qPrintable(unit),
                budget > 0 ? qPrintable(QString::number(budget)) : "-", qPrintable(verdict));
    std::fflush(stdout);
}

FirmwareDir::FirmwareDir(const QString &profile)
    : m_path(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("firmware")))
{
    if (QFileInfo::exists(m_path))
        return;
    m_created = QDir().mkpath(m_path + QLatin1Char('/') + profile);
    if (!m_created)
        return;
    QFile::copy(QStringLiteral(VELMORIN_STANDIN_PATH), m_path + QStringLiteral("/esptool.exe"));
    for (const char *name : { "bootloader.bin", "partitions.bin", "boot_app0.bin", "firmware.bin" }) {
        QFile image(m_path + QLatin1Char('/') + profile + QLatin1Char('/') + QLatin1String(name));
        if (image.open(QIODevice::WriteOnly))
            image.write(QByteArray(4096, char(0xe9)));
    }
}

FirmwareDir::~FirmwareDir()
{
    if (m_created)
        QDir(m_path).removeRecursively();
}

bool FirmwareDir::isValid() const
{
    return m_created;
}

} // namespace Bench
