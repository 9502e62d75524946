// What a flash job costs beyond the tool itself: the stand-in writes N
// progress lines as fast as it can, once read by a plain pipe reader, once
// through a FlashController and its event loop, and once more with the
// window showing the log.

#include "benchsupport.h"
#include "firmwarefixture.h"
#include "flashcontroller.h"

#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v0_solwen_wireless"_s;

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
        QFile output(firmware.scratchFile(u"output"_s));
        if (!output.open(QIODevice::WriteOnly) || output.write(Bench::toolOutput(u"lines"_s, lines * 60LL)) < 0)
            return 1;
        output.close();
        qputenv("STANDIN_REPLAY", output.fileName().toLocal8Bit());
        QList<double> plain;
        QList<double> job;
        QList<double> withWindow;
        qint64 bytes = 0;
        for (int run = 0; run < runs; ++run) {
            plain << Bench::plainPipeRun(&bytes);

            FlashController controller;
            job << controllerRun(controller);
            if (!controller.flashOutput().contains(u"烧录成功"_s)) {
                qCritical("the flash job did not succeed");
                return 1;
            }
        }
        const int windowRuns = quick ? 1 : 3;
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
