// The GUI-thread time of one change of the log in the real window (binding,
// rendering of the log, text layout, scroll, frame), against the same text
// shown as plain text in a bare Text of the same width: the floor that Qt's
// own layout sets.

#include "benchsupport.h"
#include "fakecontroller.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// Chunks of 80 characters as a job's log has them: progress lines, and now
// and then a red standard-error read.
QString chunk(int index)
{
    if (index % 50 == 49) {
        const QString open = u"<font color='red'>"_s;
        const QString close = u"</font>"_s;
        return open + u"Warning: retrying block %1"_s.arg(index).leftJustified(80 - open.size() - close.size() - 1)
                + u'\n' + close;
    }
    return u"Writing at 0x%1... (%2 %)"_s.arg(0x10000 + index * 0x400, 8, 16, QChar(u'0'))
                   .arg(index % 100).leftJustified(79) + u'\n';
}

// Waits, without using the CPU, until the condition holds after a frame.
void waitForFrame(QQuickWindow *window, const std::function<bool()> &ready)
{
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(window, &QQuickWindow::frameSwapped, &loop, [&] {
        if (ready())
            loop.quit();
    });
    timeout.start(5000);
    window->update();
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const bool quick = Bench::quick(app.arguments());
    const int changes = quick ? 3 : 25;

    FakeController controller;
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(u"flashController"_s, &controller);
    engine.load(QUrl::fromLocalFile(QStringLiteral(VELMORIN_QML_DIR "/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    QQmlContext *ids = qmlContext(window);
    auto *logText = qobject_cast<QQuickItem *>(ids->objectForName(u"logText"_s));
    QObject *scrollTimer = ids->objectForName(u"scrollTimer"_s);

    QQmlComponent floorComponent(&engine);
    floorComponent.setData(QByteArrayLiteral(
            "import QtQuick\n"
            "Window { width: 800; height: 520; visible: true; color: '#2B2B2B'\n"
            "  property alias text: plain.text\n"
            "  property alias textWidth: plain.width\n"
            "  Text { id: plain; color: 'white'; font.family: 'Monospace';\n"
            "         wrapMode: Text.WordWrap; textFormat: Text.PlainText } }\n"),
            QUrl());
    std::unique_ptr<QObject> floorObject(floorComponent.create());
    auto *floorWindow = qobject_cast<QQuickWindow *>(floorObject.get());
    if (!floorWindow)
        return 1;
    floorWindow->setProperty("textWidth", logText->width());

    controller.append(u"Executing: C:\\flasher\\firmware\\esptool.exe --chip esp32s3 --port COM5 write_flash "
                      "0x0 C:/flasher/firmware/v0_solwen_wireless/bootloader.bin\n\n"_s);
    int next = 0;
    const QList<int> sizes = { 20 * 1024, 100 * 1024, 1024 * 1024 };
    for (int size : sizes) {
        QString growth;
        while (controller.flashOutput().size() + growth.size() < size)
            growth += chunk(next++);
        controller.append(growth);
        waitForFrame(window, [] { return true; });

        QList<double> ours;
        QList<double> floor;
        for (int change = 0; change < changes; ++change) {
            const QString piece = chunk(next++);

            const double start = Bench::threadCpuMilliseconds();
            controller.append(piece);
            // Done once the scroll has happened and a frame shows it.
            auto watch = QObject::connect(scrollTimer, SIGNAL(triggered()), window, SLOT(requestUpdate()));
            waitForFrame(window, [&] { return !scrollTimer->property("running").toBool(); });
            QObject::disconnect(watch);
            ours << Bench::threadCpuMilliseconds() - start;

            const QString plainText = controller.flashOutput();
            const double floorStart = Bench::threadCpuMilliseconds();
            floorWindow->setProperty("text", plainText);
            waitForFrame(floorWindow, [] { return true; });
            floor << Bench::threadCpuMilliseconds() - floorStart;
        }
        const double oursMs = Bench::median(ours);
        const double floorMs = Bench::median(floor);
        const QString label = size >= 1024 * 1024 ? u"1 MB"_s : u"%1 KB"_s.arg(size / 1024);
        Bench::report(u"log pane: one change at "_s + label, oursMs, u"ms"_s, size == 20 * 1024 ? 5.0 : 0);
        Bench::report(u"log pane: plain-text floor at "_s + label, floorMs, u"ms"_s, 0);
        Bench::report(u"log pane: ratio to the floor at "_s + label, oursMs / floorMs, u"x"_s, 1.25);
        if (quick)
            break;
    }
    return 0;
}
