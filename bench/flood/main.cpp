// A flood of tool output with the real window showing the log: how long
// until the job has ended and the pane shows the log to its end (against
// the stand-in alone read by a plain pipe reader), how late a click on the
// window is handled meanwhile, and the peak memory of the whole process.
// Each case runs in a process of its own, so that the peak is the case's.
//
//   bench_flood                 10 MB of 60-byte lines, and one 4 MB line
//   bench_flood --lines N       N lines of 60 bytes (one case, this process)
//   bench_flood --long-line N   one line of N bytes, no line feed

#include "benchsupport.h"
#include "firmwarefixture.h"
#include "flashcontroller.h"
#include "logpane.h"

#include <QElapsedTimer>
#include <QEventLoop>
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

int runCase(const QString &label, const char *standinVariable, const QByteArray &value)
{
    const QString profile = u"v0_solwen_wireless"_s;
    FirmwareFixture firmware;
    if (!firmware.isValid() || !firmware.installToolAndImages(profile))
        return 1;
    qputenv(standinVariable, value);
    qint64 bytes = 0;
    const double plain = Bench::plainPipeRun(&bytes);

    FlashController controller;
    QQmlApplicationEngine engine;
    QQuickWindow *window = Bench::loadMainWindow(engine, &controller);
    if (!window)
        return 1;
    QObject *logText = qmlContext(window)->objectForName(u"logText"_s);
    const auto shownToTheEnd = [&] {
        return !controller.isFlashing() && logPaneIsCurrent(window)
                && logText->property("text").toString().endsWith(u"</b></font>"_s);
    };

    QElapsedTimer timer;
    timer.start();
    double longestWait = 0;
    {
        Clicker clicker(window);
        controller.startFlash(profile, u"ttyUSB0"_s);
        // The event loop runs freely; a check every few milliseconds sees
        // when the pane has shown the end.
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (shownToTheEnd())
                loop.quit();
        });
        check.start(5);
        loop.exec();
        longestWait = clicker.longestWait();
    }
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;

    Bench::report(u"flood, %1: stand-in alone, pipe reader"_s.arg(label), plain, u"ms"_s, 0);
    Bench::report(u"flood, %1: job with the window, to the pane's end"_s.arg(label), elapsed, u"ms"_s,
                  bytes > 8'000'000 ? 2 * plain + 1000 : 0);
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
    const qsizetype lines = arguments.indexOf(u"--lines"_s);
    if (lines > 0 && lines + 1 < arguments.size())
        return runCase(u"%1 lines of 60 bytes"_s.arg(arguments.at(lines + 1)), "STANDIN_FLOOD", arguments.at(lines + 1).toLatin1());
    const qsizetype longLine = arguments.indexOf(u"--long-line"_s);
    if (longLine > 0 && longLine + 1 < arguments.size())
        return runCase(u"one line of %1 bytes"_s.arg(arguments.at(longLine + 1)), "STANDIN_FLOOD_LINE",
                       arguments.at(longLine + 1).toLatin1());

    const bool quick = Bench::quick(arguments);
    int failed = runInChild({ u"--lines"_s, quick ? u"2000"_s : u"170000"_s });
    failed += runInChild({ u"--long-line"_s, quick ? u"100000"_s : u"4194304"_s });
    return failed;
}
