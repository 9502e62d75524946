// Floods of tool output of every kind, with the real window showing the
// log: how long until the job has ended and the pane shows the verdict
// (against the stand-in alone read by a plain pipe reader), how late a click
// on the window is handled meanwhile, and the peak memory of the whole
// process. Each case runs in a process of its own, so that the peak is the
// case's.
//
//   bench_flood                 every case (bench/README.md names them)
//   bench_flood --case KIND     one case, in this process
//   --quick                     each case small, once

#include "benchsupport.h"
#include "firmwarefixture.h"
#include "flashcontroller.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QMutex>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QThread>
#include <QTimer>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

// Clicks on the window from another thread, as a user does whatever the
// window is busy with, and records how long each click waited until the
// window's thread took it.
class Clicker : public QObject
{
public:
    explicit Clicker(QQuickWindow *window)
        : m_window(window)
    {
        m_window->installEventFilter(this);
        m_clock.start();
        // Made here: the first use creates the device, an object of this thread.
        const QPointingDevice *mouse = QPointingDevice::primaryPointingDevice();
        m_thread = QThread::create([this, mouse] {
            while (!m_stop) {
                {
                    QMutexLocker lock(&m_mutex);
                    m_sent.append(m_clock.nsecsElapsed());
                }
                const QPointF where(m_window->width() * 0.3, m_window->height() - 20.0);
                QCoreApplication::postEvent(m_window, new QMouseEvent(QEvent::MouseButtonPress, where, where,
                                                                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier, mouse));
                QCoreApplication::postEvent(m_window, new QMouseEvent(QEvent::MouseButtonRelease, where, where,
                                                                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier, mouse));
                QThread::msleep(100);
            }
        });
        m_thread->start();
    }
    ~Clicker() override
    {
        m_stop = true;
        m_thread->wait();
        delete m_thread;
    }

    double longestWait() const { return m_longest; }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress) {
            QMutexLocker lock(&m_mutex);
            if (!m_sent.isEmpty())
                m_longest = qMax(m_longest, double(m_clock.nsecsElapsed() - m_sent.takeFirst()) / 1e6);
        }
        return false;
    }

private:
    QQuickWindow *m_window;
    QThread *m_thread = nullptr;
    std::atomic<bool> m_stop = false;
    QMutex m_mutex;
    QElapsedTimer m_clock;
    QList<qint64> m_sent;
    double m_longest = 0;
};

struct Case
{
    QString kind;
    qint64 size;
    QString label;
    // The output's lines are written 2 ms apart, as a tool that is doing
    // something between them writes them, and then the rest at once.
    bool paced = false;
};

const QList<Case> cases = {
    { u"lines"_s, 10'000'000, u"10 MB of 60-byte lines"_s },
    { u"long-line"_s, 4'194'304, u"one 4 MB line"_s },
    { u"colours"_s, 2'000'000, u"2 MB, a colour change on every character"_s },
    { u"progress"_s, 10'000'000, u"10 MB of progress redrawn in place"_s },
    { u"spacing"_s, 10'000'000, u"10 MB of lines with a tab and runs of spaces"_s },
    { u"invalid"_s, 10'000'000, u"10 MB of invalid UTF-8 and control characters"_s },
    { u"random"_s, 10'000'000, u"10 MB of random bytes"_s },
    { u"tabs"_s, 2'000'000, u"one 2 MB line of tabs"_s },
    { u"colours-unbroken"_s, 2'000'000, u"2 MB, a colour change on every character, one line"_s },
    { u"coloured-last-line"_s, 48'060, u"300 lines, then 8,010 colour changes on the last line"_s, true },
};

// A stand-in script that writes the output's lines 2 ms apart and then
// whatever follows the last line feed.
QByteArray pacedScript(const QByteArray &output)
{
    QByteArray script;
    const qsizetype rest = output.lastIndexOf('\n') + 1;
    for (const QByteArray &line : output.left(rest).split('\n')) {
        if (!line.isEmpty())
            script += "out " + (line + '\n').toHex() + "\nsleep 2\n";
    }
    if (rest < output.size())
        script += "outbytes " + output.mid(rest).toHex() + '\n';
    return script + "exit 0\n";
}

int runCase(const Case &flood, bool quick)
{
    const QString profile = u"v0_solwen_wireless"_s;
    FirmwareFixture firmware;
    if (!firmware.isValid() || !firmware.installToolAndImages(profile))
        return 1;
    QFile output(firmware.scratchFile(u"output"_s));
    // The paced case is small already, and its size is what it is about.
    const QByteArray bytes = Bench::toolOutput(flood.kind, quick && !flood.paced ? flood.size / 50 : flood.size);
    if (!output.open(QIODevice::WriteOnly) || output.write(flood.paced ? pacedScript(bytes) : bytes) < 0)
        return 1;
    output.close();
    qputenv(flood.paced ? "STANDIN_SCRIPT" : "STANDIN_REPLAY", output.fileName().toLocal8Bit());
    qint64 bytesRead = 0;
    const double plain = Bench::plainPipeRun(&bytesRead);

    FlashController controller;
    QQmlApplicationEngine engine;
    QQuickWindow *window = Bench::loadMainWindow(engine, &controller);
    if (!window)
        return 1;
    // The verdict is the pane's only bold text, and its last.
    QObject *logText = qmlContext(window)->objectForName(u"logText"_s);
    const auto verdictShown = [&] {
        return !controller.isFlashing() && logText->property("text").toString().endsWith(u"</b></font>"_s);
    };

    QElapsedTimer timer;
    timer.start();
    double elapsed = 0;
    double longestWait = 0;
    {
        Clicker clicker(window);
        controller.startFlash(profile, u"ttyUSB0"_s);
        // The event loop runs freely; a check every few milliseconds sees
        // when the pane shows the verdict.
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (verdictShown())
                loop.quit();
        });
        check.start(5);
        loop.exec();
        // Before the clicker stops: its thread may sleep a while yet.
        elapsed = double(timer.nsecsElapsed()) / 1e6;
        longestWait = clicker.longestWait();
    }

    const QString label = flood.label;
    Bench::report(u"flood, %1: stand-in alone, pipe reader"_s.arg(label), plain, u"ms"_s, 0);
    Bench::report(u"flood, %1: job with the window, to the verdict"_s.arg(label), elapsed, u"ms"_s, 2 * plain + 1000);
    Bench::report(u"flood, %1: longest wait of a click"_s.arg(label), longestWait, u"ms"_s, 250);
    Bench::report(u"flood, %1: peak memory"_s.arg(label), Bench::peakMemoryMiB(), u"MiB"_s, 300);
    return controller.flashOutput().contains(u"烧录成功"_s) ? 0 : 1;
}

// Runs one case in a child process, so that its peak memory is its own.
int runInChild(const QStringList &arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    return child.waitForFinished(-1) && child.exitCode() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool quick = Bench::quick(arguments);
    const qsizetype chosen = arguments.indexOf(u"--case"_s);
    if (chosen > 0 && chosen + 1 < arguments.size()) {
        for (const Case &flood : cases) {
            if (flood.kind == arguments.at(chosen + 1))
                return runCase(flood, quick);
        }
        return 1;
    }

    int failed = 0;
    for (const Case &flood : cases)
        failed += runInChild(quick ? QStringList{ u"--case"_s, flood.kind, u"--quick"_s } : QStringList{ u"--case"_s, flood.kind });
    return failed;
}
