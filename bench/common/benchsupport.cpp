#include "benchsupport.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

#include "graphicsbackend.h"
#include "helperprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace Qt::StringLiterals;

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

namespace {

// A field of /proc/<pid>/status in MiB, or -1.
double statusMiB(qint64 pid, const QByteArray &field)
{
    QFile status(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

} // namespace

QHash<QString, double> threadCpuTimes()
{
    QHash<QString, double> times;
    const double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    const QStringList tasks = QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile stat(u"/proc/self/task/%1/stat"_s.arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The name is in parentheses and may hold spaces; utime and stime
        // are the 14th and 15th fields.
        const qsizetype open = line.indexOf('(');
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (open < 0 || close < 0 || fields.size() < 13)
            continue;
        times[QString::fromUtf8(line.mid(open + 1, close - open - 1))] += (fields.at(11).toDouble() + fields.at(12).toDouble()) * tick;
    }
    return times;
}

double peakMemoryMiB(qint64 pid)
{
    return statusMiB(pid, "VmHWM");
}

double memoryMiB()
{
    return statusMiB(0, "VmRSS");
}

double plainPipeRun(qint64 *bytesRead)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    const QByteArray program = VELMORIN_STANDIN_PATH;
    char *argv[] = { const_cast<char *>(program.constData()), nullptr };

    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return -1;
    }
    char buffer[65536];
    qint64 total = 0;
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0)
            total += got;
        else if (errno != EINTR)
            break;
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    *bytesRead = total;
    return double(timer.nsecsElapsed()) / 1e6;
}

QByteArray toolOutput(const QString &kind, qint64 size)
{
    QByteArray output;
    output.reserve(size + 256);
    char text[128];
    quint32 random = 12345;
    for (qint64 step = 0; output.size() < size; ++step) {
        if (kind == u"lines"_s) {
            const int length = std::snprintf(text, sizeof text, "Writing at 0x%08llx... (%lld %%) block %lld",
                                             0x10000 + step * 0x400, step % 101, step + 1);
            output += QByteArray(text, length).leftJustified(59, '.') + '\n';
        } else if (kind == u"long-line"_s) {
            output += char('0' + step % 10);
        } else if (kind == u"colours"_s) {
            output += "\x1b[3" + QByteArray::number(1 + step % 6) + 'm' + char('a' + step % 26);
            if (step % 80 == 79)
                output += '\n';
        } else if (kind == u"tabs"_s) {
            output += "ab\t";
        } else if (kind == u"colours-unbroken"_s) {
            output += "\x1b[3" + QByteArray::number(1 + step % 6) + 'm' + char('a' + step % 26);
        } else if (kind == u"coloured-last-line"_s) {
            // The size is that of the last line; the lines before it add
            // about 18 KB.
            if (step == 0) {
                for (int line = 0; line < 300; ++line) {
                    const int length = std::snprintf(text, sizeof text, "Writing at 0x%08x... (%d %%)\n",
                                                     0x10000 + line * 0x400, line / 3);
                    output += QByteArray(text, length);
                }
                size += output.size();
            }
            output += "\x1b[3" + QByteArray::number(step % 8) + 'm' + char('a' + step % 26);
        } else if (kind == u"progress"_s) {
            const int done = int(step % 1000);
            const int length = std::snprintf(text, sizeof text, "\r\x1b[KWriting at 0x%08llx [%-30s] %5.1f%% %d/549836 bytes... ",
                                             0x10000 + step * 0x200, QByteArray(done * 30 / 1000, '=').constData(),
                                             done / 10.0, done * 549);
            output += QByteArray(text, length);
            if (done == 999)
                output += '\n';
        } else if (kind == u"spacing"_s) {
            const int length = std::snprintf(text, sizeof text, "0x%08llx\tWriting    block %6lld   of   many\t  ok   \n",
                                             0x10000 + step * 0x400, step + 1);
            output += QByteArray(text, length);
        } else if (kind == u"invalid"_s || kind == u"random"_s) {
            random = random * 1103515245u + 12345u;
            const uchar byte = uchar(random >> 24);
            if (step % 60 == 59)
                output += '\n';
            else if (kind == u"random"_s || byte < 0x20 || (byte >= 0x80 && byte < 0xc2) || byte >= 0xf5)
                output += byte == '\n' ? '\0' : char(byte);
            else if (byte >= 0xc2)
                output += QByteArray(1, char(byte)) + 'x'; // a sequence cut short
            else
                output += char(byte);
        } else {
            return {};
        }
    }
    return output;
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

QQuickWindow *loadMainWindow(QQmlApplicationEngine &engine, QObject *controller)
{
    chooseGraphicsBackend();
    engine.rootContext()->setContextProperty(QStringLiteral("flashController"), controller);
    engine.load(QUrl::fromLocalFile(QStringLiteral(VELMORIN_QML_DIR "/Main.qml")));
    return engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
}

int runSelfOnXvfb(const QStringList &arguments, int timeoutMilliseconds)
{
    const QString xvfb = QStandardPaths::findExecutable(u"Xvfb"_s);
    if (xvfb.isEmpty()) {
        std::fprintf(stderr, "Xvfb is not installed: what needs a real X server is left out\n");
        return 0;
    }
    QProcess server;
    endWithThisProcess(server);
    // Xvfb takes a free display itself and names it once it is ready.
    server.start(xvfb, { u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"2560x1700x24"_s, u"-nolisten"_s, u"tcp"_s });
    QDeadlineTimer started(10000);
    while (server.waitForStarted() && !server.canReadLine() && !started.hasExpired()
           && server.state() == QProcess::Running) {
        server.waitForReadyRead(100);
    }
    bool named = false;
    const int display = server.canReadLine() ? server.readLine().trimmed().toInt(&named) : -1;
    int result = 1;
    if (named) {
        QProcess child;
        endWithThisProcess(child);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.insert(u"DISPLAY"_s, u":%1"_s.arg(display));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), arguments);
        if (child.waitForFinished(timeoutMilliseconds))
            result = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
        else
            std::fprintf(stderr, "the run on Xvfb did not end in time\n");
        child.kill();
        child.waitForFinished();
    } else {
        std::fprintf(stderr, "Xvfb did not start\n");
    }
    server.terminate();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished();
    }
    return result;
}

} // namespace Bench
