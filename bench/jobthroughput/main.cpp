// What a flash job costs beyond the tool itself: the stand-in writes N
// progress lines as fast as it can, once read by a plain pipe reader, once
// through a FlashController and its event loop, and once more with the
// window showing the log.

#include "benchsupport.h"
#include "firmwarefixture.h"
#include "flashcontroller.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QTimer>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v0_solwen_wireless"_s;

// Runs the stand-in with its stdout on a pipe and reads it to the end;
// returns the wall time in milliseconds, or -1.
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

// Runs one job through the controller and returns its wall time in ms.
double controllerRun(FlashController &controller)
{
    QEventLoop loop;
    const auto connection = QObject::connect(&controller, &FlashController::isFlashingChanged, &loop, [&] {
        if (!controller.isFlashing())
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    controller.startFlash(profile, u"COM5"_s);
    if (controller.isFlashing())
        loop.exec();
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;
    QObject::disconnect(connection);
    return elapsed;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const bool quick = Bench::quick(app.arguments());
    const int runs = quick ? 1 : 7;

    FirmwareFixture firmware;
    if (!firmware.isValid() || !firmware.installToolAndImages(profile))
        return 1;

    const QList<int> lineCounts = quick ? QList<int>{ 1000 } : QList<int>{ 1000, 10000, 100000 };
    for (int lines : lineCounts) {
        qputenv("STANDIN_FLOOD", QByteArray::number(lines));
        QList<double> plain;
        QList<double> job;
        QList<double> withWindow;
        qint64 bytes = 0;
        for (int run = 0; run < runs; ++run) {
            plain << plainPipeRun(&bytes);

            FlashController controller;
            job << controllerRun(controller);
            if (!controller.flashOutput().contains(u"烧录成功"_s)) {
                qCritical("the flash job did not succeed");
                return 1;
            }
        }
        // The window lays the whole log out again on every change; at
        // 100,000 lines (6 MB) that takes minutes, so it is left out.
        const int windowRuns = lines > 10000 ? 0 : quick ? 1 : 3;
        for (int run = 0; run < windowRuns; ++run) {
            FlashController controller;
            QQmlApplicationEngine engine;
            if (!Bench::loadMainWindow(engine, &controller))
                return 1;
            withWindow << controllerRun(controller);
        }

        const double plainMs = Bench::median(plain);
        const double jobMs = Bench::median(job);
        const QString size = u"%1 lines (%2 KB)"_s.arg(lines).arg(bytes / 1024);
        Bench::report(u"job: stand-in alone, pipe reader, "_s + size, plainMs, u"ms"_s, 0);
        Bench::report(u"job: through FlashController, "_s + size, jobMs, u"ms"_s, 0);
        Bench::report(u"job: overhead ratio, "_s + size, jobMs / plainMs, u"x"_s,
                      lines == 10000 ? 1.10 : 0);
        if (!withWindow.isEmpty())
            Bench::report(u"job: with the window shown, "_s + size, Bench::median(withWindow), u"ms"_s, 0);
    }
    return 0;
}
