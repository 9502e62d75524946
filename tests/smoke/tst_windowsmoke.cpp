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
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(VELMORIN_APP_PATH), {});
    QVERIFY(program.waitForStarted());
    auto stopProgram = qScopeGuard([&program] {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    });

    Window window = 0;
    QDeadlineTimer deadline(20000);
    while (!window && !deadline.hasExpired() && program.state() == QProcess::Running) {
        window = display.findWindow(u"ESP32-S3 Velmorin"_s);
        if (!window)
            QTest::qWait(50);
    }
    QVERIFY2(window, "no window titled \"ESP32-S3 Velmorin\" appeared");
    QCOMPARE(display.windowTitle(window), u"ESP32-S3 Velmorin"_s);

    // Let the first frames render before the picture is taken.
    QTest::qWait(1500);
    const QImage screenshot = display.grab(window);
    QCOMPARE(screenshot.size(), QSize(800, 520));
    const QString screenshotPath = QDir(QCoreApplication::applicationDirPath())
                                           .filePath(u"appvelmorin-window.png"_s);
    QVERIFY(screenshot.save(screenshotPath));
    qInfo("screenshot: %s", qPrintable(screenshotPath));

    QSet<QRgb> colours;
    for (int y = 0; y < screenshot.height(); y += 2) {
        for (int x = 0; x < screenshot.width(); x += 2)
            colours.insert(screenshot.pixel(x, y));
    }
    QVERIFY2(colours.size() >= 16, "the window is blank");

    display.requestClose(window);
    QVERIFY2(program.waitForFinished(10000), "closing the window did not end the program");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_WindowSmoke)
#include "tst_windowsmoke.moc"
