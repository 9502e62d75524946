#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>

#include "flashcontroller.h"
#include "graphicsbackend.h"
#include "terminationsignals.h"

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    // Ctrl-C, a closed terminal or a kill end the program as closing the
    // window does, so that the tool ends with it; then the program ends by
    // that signal, as its caller expects.
    TerminationSignals terminationSignals;

    chooseGraphicsBackend();

    QQmlApplicationEngine engine;
    FlashController flashController;
    engine.rootContext()->setContextProperty(u"flashController"_s, &flashController);

    QObject::connect(
            &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
            []() { QCoreApplication::exit(-1); }, Qt::QueuedConnection);

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule(u"velmorin"_s, u"Main"_s);
#else
    // Qt 6.4 cannot load by module; this is the URL the module puts Main at.
    engine.load(QUrl(u"qrc:/qt/qml/velmorin/Main.qml"_s));
#endif

    const int exitCode = QGuiApplication::exec();
    // The window's bindings read the controller. Were the window destroyed
    // after it, with the engine, they would read it once more when it is
    // gone; so the window goes first.
    qDeleteAll(engine.rootObjects());
    return exitCode;
}
