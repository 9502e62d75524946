// What the program's CPU time is beside its tool's on a real job: the real
// esptool (v4 and v5, from ../shared/esptool) flashes a simulated ESP32-S3
// through the real window on Xvfb, as the real-esptool test table's success
// rows do. The program's time is this process's, every thread of it (the
// window's thread reads the tool and renders, lays out and polishes the
// pane; the render thread draws); the tool's is what its process used,
// counted by the shell that runs it.
//
//   bench_realjob          both versions, three jobs each, on a private Xvfb
//   bench_realjob --quick  one v5 job
// Without the esptool source, or without Xvfb, it says so and measures
// nothing.

#include "benchsupport.h"
#include "firmwarefixture.h"
#include "graphicsbackend.h"
#include "helperprocess.h"
#include "windowharness.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QQmlContext>
#include <QTemporaryDir>
#include <QTimer>


using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;
const QString python = u"/usr/bin/python3"_s;
const QString simulatorDir = QStringLiteral(VELMORIN_ESPTOOL_SIM_DIR);

// The user and system time the shell's children used, from the two lines
// of its "times": "0m1.23s 0m0.45s".
double childrenCpuMilliseconds(const QString &timesFile)
{
    QFile file(timesFile);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    if (lines.size() < 2)
        return -1;
    double total = 0;
    for (const QByteArray &field : lines.at(1).split(' ')) {
        const qsizetype m = field.indexOf('m');
        total += field.left(m).toDouble() * 60000.0 + field.mid(m + 1).chopped(1).toDouble() * 1000.0;
    }
    return total;
}

// firmware/esptool.exe as a user on Linux makes it, which also writes what
// the tool's process used when it ends.
QByteArray toolWrapper(const QString &version, const QString &timesFile)
{
    const QByteArray source = QStringLiteral(VELMORIN_ESPTOOL_DIR "/esptool-%1").arg(version).toUtf8();
    const QByteArray run = version.startsWith(u'4')
            ? python.toUtf8() + " '" + source + "/esptool.py' \"$@\""
            : "PYTHONPATH='" + source + "' " + python.toUtf8() + " -m esptool \"$@\"";
    return "#!/bin/sh\n" + run + "\nstatus=$?\ntimes > '" + timesFile.toUtf8() + "'\nexit $status\n";
}

bool startHelper(QProcess &process, const QString &program, const QStringList &arguments)
{
    endWithThisProcess(process);
    process.start(program, arguments);
    return process.waitForStarted(10000);
}

void stopHelper(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()> &done, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

struct JobCost
{
    double tool = 0;
    double program = 0;
    QHash<QString, double> threads;
};

// One successful job: the simulator and a pty joined to it, the button
// pressed, until the pane shows the verdict and has drawn it.
bool flashOnce(WindowHarness &window, FirmwareFixture &firmware, const QString &version, JobCost *cost)
{
    QTemporaryDir scratch;
    const QString timesFile = scratch.filePath(u"times"_s);
    if (!firmware.writeFile(u"esptool.exe"_s, toolWrapper(version, timesFile))
        || !QFile::setPermissions(QDir(firmware.path()).filePath(u"esptool.exe"_s),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return false;
    const QString port = scratch.filePath(u"ttyV0"_s);
    QProcess simulator;
    if (!startHelper(simulator, python, { u"-B"_s, simulatorDir + u"/sim.py"_s, u"--port"_s, u"0"_s, u"--flash-out"_s,
                                          scratch.filePath(u"flash.bin"_s), u"--fault"_s, u"none"_s, u"--timeout"_s, u"90"_s })
        || !simulator.waitForReadyRead(10000))
        return false;
    const QByteArray listening = simulator.readLine().trimmed(); // "sim: listening on 127.0.0.1:PORT"
    QProcess socat;
    if (!startHelper(socat, u"socat"_s, { u"PTY,link=%1,raw,echo=0"_s.arg(port),
                                         u"TCP:127.0.0.1:"_s + QString::fromLatin1(listening.split(':').last()) })
        || !waitFor([&] { return QFileInfo::exists(port); }, 10000))
        return false;

    for (const char *dialog : { "successDialog", "failureDialog" })
        QMetaObject::invokeMethod(qmlContext(window.window())->objectForName(QLatin1String(dialog)), "close");
    window.injectPort(port);
    QQuickItem *logText = window.item(u"logText"_s);
    const QHash<QString, double> before = Bench::threadCpuTimes();
    window.click(window.item(u"flashButton"_s));
    const bool shown = waitFor([&] {
        return !window.controller().isFlashing() && logText->property("text").toString().endsWith(u"烧录成功！</b></font>"_s);
    }, 90000);
    // The frame that draws the verdict.
    waitFor([] { return false; }, 300);
    const QHash<QString, double> after = Bench::threadCpuTimes();
    stopHelper(socat);
    stopHelper(simulator);
    if (!shown)
        return false;

    cost->tool = childrenCpuMilliseconds(timesFile);
    cost->program = 0;
    for (auto thread = after.cbegin(); thread != after.cend(); ++thread) {
        const double used = thread.value() - before.value(thread.key());
        cost->threads[thread.key()] = used;
        cost->program += used;
    }
    return cost->tool > 0;
}

int measure(bool quick)
{
    if (!QFileInfo::exists(simulatorDir)) {
        std::fprintf(stderr, "no esptool source beside the repository: the real job is left out\n");
        return 0;
    }
    FirmwareFixture firmware;
    if (!firmware.isValid())
        return 1;
    const QString images = firmware.profilePath(profile);
    QDir().mkpath(images);
    QProcess maker;
    maker.setProcessChannelMode(QProcess::MergedChannels);
    if (!startHelper(maker, python, { u"-B"_s, u"-c"_s, u"import os, random, sys\n"
                                      "sys.path.insert(0, sys.argv[1])\n"
                                      "import check\n"
                                      "for name, data in check.make_images(random.Random(0x533)).items():\n"
                                      "    open(os.path.join(sys.argv[2], name), 'wb').write(data)\n"_s,
                                      simulatorDir, images })
        || !maker.waitForFinished(30000) || maker.exitCode() != 0)
        return 1;
    // As a user who starts the program from a terminal: esptool v5 then
    // colours its output and redraws its progress in place.
    qputenv("TERM", "xterm-256color");
    qunsetenv("NO_COLOR");

    chooseGraphicsBackend();
    WindowHarness window;
    if (!window.isLoaded() || !window.selectDevice(profile))
        return 1;
    const QStringList versions = quick ? QStringList{ u"5.3.1"_s } : QStringList{ u"4.12.0"_s, u"5.3.1"_s };
    const int runs = quick ? 1 : 3;
    for (const QString &version : versions) {
        QList<double> tool;
        QList<double> program;
        QList<double> ratio;
        QHash<QString, QList<double>> threads;
        for (int run = 0; run < runs; ++run) {
            JobCost cost;
            if (!flashOnce(window, firmware, version, &cost)) {
                std::fprintf(stderr, "the esptool %s job did not succeed\n", qPrintable(version));
                return 1;
            }
            tool << cost.tool;
            program << cost.program;
            ratio << cost.program / cost.tool;
            for (auto thread = cost.threads.cbegin(); thread != cost.threads.cend(); ++thread)
                threads[thread.key()] << thread.value();
        }
        const QString job = u"real job, esptool v%1: "_s.arg(version.left(1));
        Bench::report(job + u"the tool's CPU time"_s, Bench::median(tool), u"ms"_s, 0);
        Bench::report(job + u"the program's CPU time, all threads"_s, Bench::median(program), u"ms"_s, 0);
        Bench::report(job + u"the program's CPU time against the tool's"_s, Bench::median(ratio), u"x"_s, 0.25);
        for (auto thread = threads.cbegin(); thread != threads.cend(); ++thread) {
            const double used = Bench::median(thread.value());
            if (used >= 10)
                Bench::report(job + u"CPU time of the program's threads named "_s + thread.key(), used, u"ms"_s, 0);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const bool quick = Bench::quick(app.arguments());
    if (app.arguments().contains(u"--measure"_s))
        return measure(quick);
    QStringList arguments = { u"--measure"_s };
    if (quick)
        arguments << u"--quick"_s;
    return Bench::runSelfOnXvfb(arguments, quick ? 240000 : 900000);
}
