// Time from process start to the first frame of the window (offscreen), and
// the peak memory by then, for the real program beside a demo firmware
// directory (so the first picture is decoded too).

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = Bench::quick(app.arguments()) ? 1 : 15;

    QTemporaryDir dir;
    const QString program = dir.filePath(u"appvelmorin"_s);
    if (!QFile::copy(QStringLiteral(VELMORIN_APP_PATH), program))
        return 1;
    QProcess staging;
    staging.start(QStringLiteral(VELMORIN_DEMO_BUNDLE_PATH), { dir.path() });
    if (!staging.waitForFinished() || staging.exitCode() != 0)
        return 1;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    // The render loop says when it has rendered a frame.
    environment.insert(u"QT_LOGGING_RULES"_s, u"qt.scenegraph.time.renderloop=true"_s);

    QList<double> times;
    QList<double> memory;
    for (int run = 0; run < runs; ++run) {
        QProcess process;
        process.setProcessEnvironment(environment);
        QElapsedTimer timer;
        timer.start();
        process.start(program, {});
        bool rendered = false;
        QByteArray errors;
        QDeadlineTimer deadline(20000);
        while (!rendered && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(5);
            errors += process.readAllStandardError();
            rendered = errors.contains("Frame rendered");
        }
        const double elapsed = double(timer.nsecsElapsed()) / 1e6;
        const double peak = Bench::peakMemoryMiB(process.processId());
        process.kill();
        process.waitForFinished();
        if (!rendered) {
            qCritical("no frame was rendered: %s", errors.constData());
            return 1;
        }
        times << elapsed;
        memory << peak;
    }
    Bench::report(u"start-up: process start to first frame (median)"_s, Bench::median(times), u"ms"_s, 150);
    Bench::report(u"start-up: peak memory at first frame (largest)"_s,
                  *std::max_element(memory.cbegin(), memory.cend()), u"MiB"_s, 64);
    return 0;
}
