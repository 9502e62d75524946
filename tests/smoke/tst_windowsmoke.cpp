#include "xvfbdisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSet>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

class tst_WindowSmoke : public QObject
{
    Q_OBJECT

private slots:
    void programOpensItsWindowAndExitsZeroWhenItIsClosed();
};

void tst_WindowSmoke::programOpensItsWindowAndExitsZeroWhenItIsClosed()
{
    XvfbDisplay display;
    QVERIFY2(display.start(), qPrintable(display.errorString()));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, display.name());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
#ifdef VELMORIN_SANITIZED_BUILD
    // Mesa's GL driver leaks and is unloaded before the leak report could
    // name it; the sanitized run draws with Qt Quick's software renderer so
    // that leaks of the program itself still count.
    environment.insert(u"QT_QUICK_BACKEND"_s, u"software"_s);
#endif
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(VELMORIN_APP_PATH), {});
    QVERIFY(program.waitForStarted());
    auto stopProgram = qScopeGuard([&program] { program.kill(); program.waitForFinished(); });

    Window window = 0;
    QDeadlineTimer deadline(20000);
    while (!window && !deadline.hasExpired() && program.state() == QProcess::Running) {
        window = display.findWindow(u"ESP32-S3 Velmorin"_s);
        if (!window)
            QTest::qWait(50);
    }
    QVERIFY2(window, "no window titled \"ESP32-S3 Velmorin\" appeared");

    // The first frames may take a while (a sanitizer build is slow): take
    // pictures until one shows the window drawn, or give up.
    auto colourCount = [](const QImage &image) {
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2) {
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        }
        return colours.size();
    };
    QImage screenshot;
    QDeadlineTimer drawn(20000);
    do {
        QTest::qWait(250);
        screenshot = display.grab(window);
    } while (colourCount(screenshot) < 16 && !drawn.hasExpired());
    QCOMPARE(screenshot.size(), QSize(800, 520));
    QVERIFY(screenshot.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-window.png"_s));
    QVERIFY2(colourCount(screenshot) >= 16, "the window is blank");

    display.requestClose(window);
    QVERIFY2(program.waitForFinished(10000), "closing the window did not end the program");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_WindowSmoke)
#include "tst_windowsmoke.moc"
