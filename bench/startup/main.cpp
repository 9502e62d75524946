// Time from process start to the first frame of the window (offscreen), and
// the peak memory by then, for the real program beside a demo firmware
// directory (so the first picture is decoded too), against its floor: this
// program run as a minimal Qt Quick Controls window that lists the serial
// ports, the least a window like ours needs.

#include "benchsupport.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QSerialPortInfo>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

int runFloorWindow(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    QStringList ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports << info.portName();
    engine.rootContext()->setContextProperty(u"ports"_s, ports);
    engine.loadData("import QtQuick\n"
                    "import QtQuick.Controls.Basic\n"
                    "Window { width: 800; height: 520; visible: true\n"
                    "    ComboBox { model: ports }\n"
                    "}\n");
    return QGuiApplication::exec();
}

// The CPU time all threads of a running process have used, in ms: on a
// busy machine the wall time to the first frame says more about the others.
double processCpuMilliseconds(qint64 pid)
{
    double total = 0;
    const QString tasks = u"/proc/%1/task"_s.arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &thread : threads) {
        QFile schedstat(tasks + u'/' + thread + u"/schedstat"_s);
        if (schedstat.open(QIODevice::ReadOnly))
            total += schedstat.readAll().split(' ').first().toDouble() / 1e6;
    }
    return total;
}

// The time from process start to the first frame of a run of the program,
// the CPU time it used by then and its peak memory; false if it rendered
// nothing.
bool measureStartUp(const QString &program, const QStringList &arguments, double *time, double *cpu, double *memory)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    // The render loop says when it has rendered a frame.
    environment.insert(u"QT_LOGGING_RULES"_s, u"qt.scenegraph.time.renderloop=true"_s);

    QProcess process;
    process.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    bool rendered = false;
    QByteArray errors;
    QDeadlineTimer deadline(20000);
    while (!rendered && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(5);
        errors += process.readAllStandardError();
        rendered = errors.contains("Frame rendered");
    }
    *time = double(timer.nsecsElapsed()) / 1e6;
    *cpu = processCpuMilliseconds(process.processId());
    *memory = Bench::peakMemoryMiB(process.processId());
    process.kill();
    process.waitForFinished();
    if (!rendered)
        qCritical("no frame was rendered: %s", errors.constData());
    return rendered;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--floor") == 0)
        return runFloorWindow(argc, argv);

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

    // The program and its floor in turns, so that a busy moment of the
    // machine hits both alike.
    QList<double> times;
    QList<double> floorTimes;
    QList<double> ratios;
    QList<double> cpuTimes;
    QList<double> floorCpuTimes;
    QList<double> cpuRatios;
    double memory = 0;
    double floorMemory = 0;
    for (int run = 0; run < runs; ++run) {
        double time = 0;
        double floorTime = 0;
        double cpu = 0;
        double floorCpu = 0;
        double peak = 0;
        double floorPeak = 0;
        if (!measureStartUp(program, {}, &time, &cpu, &peak)
            || !measureStartUp(QCoreApplication::applicationFilePath(), { u"--floor"_s }, &floorTime, &floorCpu, &floorPeak))
            return 1;
        cpuTimes << cpu;
        floorCpuTimes << floorCpu;
        cpuRatios << cpu / floorCpu;
        times << time;
        floorTimes << floorTime;
        ratios << time / floorTime;
        memory = qMax(memory, peak);
        floorMemory = qMax(floorMemory, floorPeak);
    }
    Bench::report(u"start-up: process start to first frame (median)"_s, Bench::median(times), u"ms"_s, 150);
    Bench::report(u"start-up: the floor's process start to first frame (median)"_s, Bench::median(floorTimes), u"ms"_s, 0);
    Bench::report(u"start-up: ratio to the floor (median of runs in turns)"_s, Bench::median(ratios), u"x"_s, 1.10);
    Bench::report(u"start-up: CPU time to first frame, all threads (median)"_s, Bench::median(cpuTimes), u"ms"_s, 0);
    Bench::report(u"start-up: the floor's CPU time to first frame (median)"_s, Bench::median(floorCpuTimes), u"ms"_s, 0);
    Bench::report(u"start-up: ratio of CPU times to the floor (median of runs in turns)"_s, Bench::median(cpuRatios),
                  u"x"_s, 1.10);
    Bench::report(u"start-up: peak memory at first frame (largest)"_s, memory, u"MiB"_s, 64);
    Bench::report(u"start-up: the floor's peak memory at first frame (largest)"_s, floorMemory, u"MiB"_s, 0);
    return 0;
}
