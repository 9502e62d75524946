#include "fakecontroller.h"
#include "firmwarefixture.h"
#include "helperprocess.h"
#include "windowharness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QQmlContext>
#include <QQmlProperty>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;
const char portlessMarker[] = "VELMORIN_TEST_WITHOUT_PORTS";

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutSerialPortsTheButtonReportsThePlaceholder();
    void clickRunsAJobWithTheDisplayedTexts();
    void refreshNeverPutsAnotherBoardInPlaceOfTheChosenOne();
    void failuresShareOneDialogAndSizesFollowTheWindow();
    void pictureFollowsTheSelection();
    void logPaneStreamsFollowsItsEndAndKeepsToolMarkupAsText();
    void failureDialogShowsTheReasonAsText();
    void burstOfChangesScrollsOnce();
};

void tst_MainWindow::init()
{
    // Binding loops, TypeErrors and the like come with the window's location.
    QTest::failOnWarning(QRegularExpression(u"Main\\.qml:\\d+"_s));
}

void tst_MainWindow::withoutSerialPortsTheButtonReportsThePlaceholder()
{
    if (!QSerialPortInfo::availablePorts().isEmpty()) {
        if (qEnvironmentVariableIsSet(portlessMarker))
            QFAIL("serial ports are still visible");
#ifndef Q_OS_LINUX
        QSKIP("this machine has serial ports");
#else
        // Run this test again where the kernel lists no tty devices: a
        // private mount namespace with an empty /sys/class/tty.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(portlessMarker), u"1"_s);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        endWithThisProcess(child);
        child.start(u"unshare"_s, { u"--mount"_s, u"--map-root-user"_s, u"sh"_s, u"-c"_s,
                                    u"mount -t tmpfs none /sys/class/tty || exit 77; exec \"$0\" \"$1\""_s,
                                    QCoreApplication::applicationFilePath(), QString::fromLatin1(QTest::currentTestFunction()) });
        QVERIFY(child.waitForFinished(2 * patience));
        const QByteArray output = child.readAll();
        if (child.exitCode() == 77 || output.startsWith("unshare:"))
            QSKIP(qPrintable(u"no private mount namespace here: "_s + QString::fromLocal8Bit(output)));
        QVERIFY2(child.exitCode() == 0, output.constData());
        return;
#endif
    }

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    WindowHarness window;
    QVERIFY(window.isLoaded());
    QVERIFY(window.controller().availablePorts().isEmpty());
    QCOMPARE(window.property(u"portComboBox"_s, "count").toInt(), 1);
    QCOMPARE(window.property(u"portComboBox"_s, "currentText").toString(), u"Device not found"_s);
    QVERIFY(window.item(u"flashButton"_s)->isEnabled());

    QSignalSpy flashing(&window.controller(), &FlashController::isFlashingChanged);
    window.click(window.item(u"flashButton"_s));
    QCOMPARE(flashing.count(), 0);
    QCOMPARE(window.controller().flashOutput(), QString());
    QVERIFY(window.property(u"failureDialog"_s, "visible").toBool());
    QCOMPARE(window.property(u"failureDialog"_s, "title").toString(), u"Error"_s);
    QCOMPARE(window.property(u"errorLabel"_s, "text").toString(), u"Flashing failed: 请选择一个有效的烧录端口！"_s);
    QCOMPARE(window.property(u"failureDialog"_s, "width").toDouble(), window.window()->width() * 0.8);
}

void tst_MainWindow::clickRunsAJobWithTheDisplayedTexts()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    // The tool goes on only once the test has looked at the window.
    QVERIFY(firmware.useScript({ Step::out(u"Connecting....\n"_s), Step::waitFor(firmware.scratchFile(u"looked"_s)) }));
    qputenv("STANDIN_ARGS_FILE", firmware.scratchFile(u"args.json"_s).toUtf8());
    WindowHarness window;
    QVERIFY(window.isLoaded() && window.selectDevice(profile));
    window.injectPort(u"/dev/ttyTEST 0"_s);

    QQuickItem *flashButton = window.item(u"flashButton"_s);
    QCOMPARE(flashButton->property("text").toString(), u"Start Flashing"_s);
    // Counted from the start: on a busy machine the job may end before the
    // checks below are done.
    QSignalSpy succeeded(&window.controller(), &FlashController::flashSucceeded);
    window.click(flashButton);
    QVERIFY(window.controller().isFlashing());
    QCOMPARE(flashButton->property("text").toString(), u"Flashing..."_s);
    QVERIFY(!flashButton->isEnabled());
    // The window keeps naming the profile and the board it flashes: nothing
    // that would change them works until the job ends.
    const QList<QQuickItem *> selection = { window.buttonWithText(u"Refresh Com"_s), window.item(u"deviceComboBox"_s),
                                            window.item(u"portComboBox"_s) };
    for (QQuickItem *control : selection)
        QVERIFY(control && !control->isEnabled());
    QSignalSpy portsChanged(&window.controller(), &FlashController::availablePortsChanged);
    window.click(selection.first());
    QCOMPARE(portsChanged.count(), 0);
    window.click(flashButton);
    QVERIFY(!window.property(u"failureDialog"_s, "visible").toBool());

    QVERIFY(firmware.createScratchFile(u"looked"_s));
    QVERIFY(waitUntilIdle(window.controller()));
    QCOMPARE(succeeded.count(), 1);
    QFile recorded(firmware.scratchFile(u"args.json"_s));
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QJsonArray arguments = QJsonDocument::fromJson(recorded.readAll()).array();
    QCOMPARE(arguments.size(), 13);
    QCOMPARE(arguments.at(3).toString(), u"/dev/ttyTEST 0"_s);
    QVERIFY(arguments.at(6).toString().endsWith(u"/firmware/v2_kelvar_left_wire/bootloader.bin"_s));

    QVERIFY(window.property(u"successDialog"_s, "visible").toBool());
    QCOMPARE(window.property(u"successDialog"_s, "title").toString(), u"Succeed"_s);
    QObject *label = window.property(u"successDialog"_s, "contentItem").value<QObject *>();
    QCOMPARE(label->property("text").toString(), u"Firmware flash successful！"_s);
    QCOMPARE(window.property(u"successDialog"_s, "width").toDouble(), window.window()->width() / 2.0);
    QCOMPARE(flashButton->property("text").toString(), u"Start Flashing"_s);
    QVERIFY(flashButton->isEnabled());
    for (QQuickItem *control : selection)
        QVERIFY(control->isEnabled());
}

void tst_MainWindow::refreshNeverPutsAnotherBoardInPlaceOfTheChosenOne()
{
    FakeController controller;
    controller.setPortsOnMachine({ u"ttyUSB0"_s, u"ttyUSB1"_s });
    controller.refreshPorts();
    WindowHarness window(&controller);
    QVERIFY(window.isLoaded());
    QQuickItem *ports = window.item(u"portComboBox"_s);
    QQuickItem *refresh = window.buttonWithText(u"Refresh Com"_s);
    ports->setProperty("currentIndex", 1);

    // The ports on the machine at each Refresh Com, the port the user then
    // picks (if any), and what the selector shows afterwards.
    struct Step
    {
        QStringList machine;
        QString picked;
        QString shown;
    };
    const QList<Step> steps = {
        // A second board is plugged in, and its port comes first in the list.
        { { u"ttyACM0"_s, u"ttyUSB0"_s, u"ttyUSB1"_s }, {}, u"ttyUSB1"_s },
        // The chosen board is unplugged: none is chosen, not another board.
        { { u"ttyACM0"_s, u"ttyUSB0"_s }, {}, u"ttyUSB1 is gone: pick a port"_s },
        { { u"ttyUSB0"_s, u"ttyACM0"_s }, {}, u"ttyUSB1 is gone: pick a port"_s },
        // It is back, wherever it is listed.
        { { u"ttyUSB1"_s, u"ttyUSB0"_s }, {}, u"ttyUSB1"_s },
        // Unplugged again, and the user picks another board meanwhile.
        { { u"ttyUSB0"_s }, u"ttyUSB0"_s, u"ttyUSB0"_s },
        { { u"ttyUSB1"_s, u"ttyUSB0"_s }, {}, u"ttyUSB0"_s },
        // No port at all: the placeholder, which the controller refuses.
        { {}, {}, u"Device not found"_s },
        { { u"ttyUSB1"_s, u"ttyUSB0"_s }, {}, u"ttyUSB0"_s },
    };
    for (const Step &step : steps) {
        controller.setPortsOnMachine(step.machine);
        window.click(refresh);
        if (!step.picked.isEmpty())
            ports->setProperty("currentIndex", step.machine.indexOf(step.picked));
        QCOMPARE(ports->property("displayText").toString(), step.shown);
        const bool chosen = !ports->property("currentText").toString().isEmpty();
        QCOMPARE(chosen, !step.shown.endsWith(u"pick a port"_s));
        QCOMPARE(window.item(u"flashButton"_s)->isEnabled(), chosen);
    }
}

void tst_MainWindow::failuresShareOneDialogAndSizesFollowTheWindow()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid());
    WindowHarness window;
    QVERIFY(window.isLoaded() && window.selectDevice(profile));
    window.injectPort(u"COM7"_s);

    window.click(window.item(u"flashButton"_s));
    QCOMPARE(window.property(u"errorLabel"_s, "text").toString(),
             u"Flashing failed: 错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s);
    // The open dialog covers the button; the second failure comes straight
    // from the controller, as a failed job's would.
    QVERIFY(firmware.installTool());
    window.controller().startFlash(profile, u"COM7"_s);
    QVERIFY(window.property(u"failureDialog"_s, "visible").toBool());
    QVERIFY(window.property(u"errorLabel"_s, "text").toString().startsWith(u"Flashing failed: 固件文件 'bootloader.bin' 在路径 "_s));

    QQuickItem *controls = window.item(u"controlColumn"_s);
    QQuickItem *pictures = window.item(u"imageContainer"_s);
    auto preferredWidth = [](QQuickItem *item) {
        return QQmlProperty(item, u"Layout.preferredWidth"_s, qmlContext(item)).read().toDouble();
    };
    // The closed success dialog's text wraps anew at this width.
    window.window()->resize(300, 520);
    QTRY_COMPARE(window.property(u"successDialog"_s, "width").toDouble(), 150.0);
    double lastControlsWidth = 0;
    for (int width : { 700, 1000 }) {
        window.window()->resize(width, 520);
        QTRY_COMPARE(window.property(u"failureDialog"_s, "width").toDouble(), width * 0.8);
        QCOMPARE(window.property(u"successDialog"_s, "width").toDouble(), width / 2.0);
        QCOMPARE(preferredWidth(controls), width * 0.6);
        QCOMPARE(preferredWidth(pictures), width * 0.4);
        // Together they fill what the margins and the spacing leave.
        QTRY_VERIFY(qAbs(controls->width() + pictures->width() - (width - 35)) < 1.0);
        QVERIFY(controls->width() > lastControlsWidth);
        lastControlsWidth = controls->width();
    }
}

void tst_MainWindow::pictureFollowsTheSelection()
{
    FirmwareFixture firmware;
    QImage picture(64, 40, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QVERIFY(firmware.isValid() && QDir().mkpath(firmware.profilePath(profile)));
    QVERIFY(picture.save(firmware.profilePath(profile) + u"/device.jpg"_s, "JPG"));
    QVERIFY(firmware.writeFile(u"v1_kelvar_wire/device.jpg"_s, "this is not a JPEG"));
    WindowHarness window;
    QVERIFY(window.isLoaded());
    QQuickItem *image = window.item(u"productImage"_s);
    const int ready = 1; // Image.Ready

    QVERIFY(window.selectDevice(profile));
    QTRY_COMPARE(image->property("status").toInt(), ready);
    QCOMPARE(image->property("source").toUrl(), QUrl(window.controller().getImagePathForProfile(profile)));
    QVERIFY(window.selectDevice(u"v2_durnik_wire"_s));
    QCOMPARE(image->property("source").toUrl(), QUrl());

    // A picture that cannot be read empties the pane, each time it is chosen.
    for (int round = 0; round < 2; ++round) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u".*device\\.jpg.*"_s));
        QVERIFY(window.selectDevice(u"v1_kelvar_wire"_s));
        QTRY_COMPARE(image->property("source").toUrl(), QUrl());
        QVERIFY(image->property("status").toInt() != ready);
        QVERIFY(window.selectDevice(profile));
        QTRY_COMPARE(image->property("status").toInt(), ready);
    }

#ifdef Q_OS_UNIX
    // Reading a FIFO waits for a writer: the window would freeze for good.
    // Should it try, a writer comes and goes at once, so the test fails
    // instead of hanging.
    const QString fifo = firmware.profilePath(u"v2_durnik_wire"_s) + u"/device.jpg"_s;
    QVERIFY(firmware.writeUnusualFile(u"v2_durnik_wire/device.jpg"_s, u"FIFO"_s));
    std::atomic<bool> looking = true;
    std::atomic<bool> opened = false;
    std::thread writer([&] {
        while (looking) {
            const int end = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (end >= 0) {
                opened = true;
                ::close(end);
            }
            QThread::msleep(20);
        }
    });
    const auto stopWriting = qScopeGuard([&] {
        looking = false;
        writer.join();
    });
    QVERIFY(window.selectDevice(u"v2_durnik_wire"_s));
    QTest::qWait(200);
    QVERIFY2(!opened, "the window opened the FIFO");
    QCOMPARE(image->property("source").toUrl(), QUrl());
#endif
}

void tst_MainWindow::logPaneStreamsFollowsItsEndAndKeepsToolMarkupAsText()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    QString longChunk;
    for (int i = 1; i <= 120; ++i)
        longChunk += u"Writing at 0x%1... (%2 %)\n"_s.arg(0x10000 + i * 0x4000, 8, 16, QChar(u'0')).arg(i * 100 / 120);
    // The tool goes on only once the user has scrolled up.
    QVERIFY(firmware.useScript({ Step::out(longChunk), Step::waitFor(firmware.scratchFile(u"scrolled"_s)),
                                 Step::out(u"<img src=x> <a href='y'>z</a> <h1>t</h1> </font> &amp; <\n"_s),
                                 Step::err(u"</font><font color='green'>fake\n"_s), Step::drained() }));
    WindowHarness window;
    QVERIFY(window.isLoaded() && window.selectDevice(profile));
    window.injectPort(u"COM7"_s);
    QQuickItem *logText = window.item(u"logText"_s);
    auto shown = [logText] { return logText->property("text").toString(); };

    window.click(window.item(u"flashButton"_s));
    QTRY_VERIFY_WITH_TIMEOUT(shown().contains(u"(100 %)"_s), patience);
    QVERIFY(window.controller().isFlashing());
    QVERIFY(!shown().contains(u"&lt;img"_s));
    // Every line feed is a line of its own (the pane is wide enough for these).
    QVERIFY(logText->property("lineCount").toInt() >= 120 + 3);
    QTRY_VERIFY(window.scrollEnd() > 0.999);

    // The user scrolls up; the next output brings the end back into view.
    window.property(u"logScrollView"_s, "contentItem").value<QObject *>()->setProperty("contentY", 0);
    QVERIFY(window.scrollEnd() < 0.5);
    QVERIFY(firmware.createScratchFile(u"scrolled"_s));
    QTRY_VERIFY_WITH_TIMEOUT(shown().contains(u"&lt;img"_s), patience);
    QTRY_VERIFY(window.scrollEnd() > 0.999);
    QVERIFY(waitUntilIdle(window.controller()));
    QTRY_VERIFY(window.scrollEnd() > 0.999);

    // What the tool wrote stays text; only the controller's markup formats.
    QVERIFY2(shown().contains(u"&lt;img src=x&gt; &lt;a href='y'&gt;z&lt;/a&gt; &lt;h1&gt;t&lt;/h1&gt; "
                              "&lt;/font&gt; &amp;amp; &lt;<br>"_s), qPrintable(shown()));
    QVERIFY(!shown().contains(u"<img"_s) && !shown().contains(u"<a "_s) && !shown().contains(u"<h1"_s));
    QTRY_VERIFY(shown().endsWith(u"烧录成功！</b></font>"_s));

    // A window created after the job shows the log, the verdict included.
    {
        WindowHarness late(&window.controller());
        QVERIFY(late.isLoaded());
        const auto lateShown = [&] { return late.item(u"logText"_s)->property("text").toString(); };
        QTRY_VERIFY(lateShown().endsWith(u"烧录成功！</b></font>"_s));
        QVERIFY(lateShown().contains(u"(100 %)"_s));
    }

    // A resized pane that showed its end shows it still; one the user
    // scrolled up in stays where the user left it.
    const double wideHeight = logText->height();
    window.window()->resize(300, 520);
    QTRY_VERIFY(logText->height() > wideHeight);
    QTRY_VERIFY(window.scrollEnd() > 0.999);
    QObject *view = window.property(u"logScrollView"_s, "contentItem").value<QObject *>();
    const double tallView = view->property("height").toDouble();
    window.window()->resize(300, 300);
    QTRY_VERIFY(view->property("height").toDouble() < tallView);
    QTRY_VERIFY(window.scrollEnd() > 0.999);
    view->setProperty("contentY", 100);
    window.window()->resize(800, 420);
    QTRY_COMPARE(logText->height(), wideHeight);
    QTest::qWait(50);
    QCOMPARE(view->property("contentY").toDouble(), 100.0);
}

void tst_MainWindow::failureDialogShowsTheReasonAsText()
{
    WindowHarness window;
    QVERIFY(window.isLoaded());
    // A reason may hold a path, and a path may hold anything.
    const QString reason = u"固件文件 'firmware.bin' 在路径 '/tmp/<b>x</b> &amp; <br>y' 中未找到。"_s;
    emit window.controller().flashFailed(reason);
    QObject *dialog = qmlContext(window.window())->objectForName(u"failureDialog"_s);
    QTRY_VERIFY(dialog->property("visible").toBool());
    QQuickItem *label = window.item(u"errorLabel"_s);
    QCOMPARE(label->property("text").toString(), u"Flashing failed: "_s + reason);
    QCOMPARE(label->property("textFormat").toInt(), int(Qt::PlainText));
}

void tst_MainWindow::burstOfChangesScrollsOnce()
{
    WindowHarness window;
    QVERIFY(window.isLoaded());
    QObject *logText = window.item(u"logText"_s);
    QObject *timer = qmlContext(window.window())->objectForName(u"scrollTimer"_s);
    QCOMPARE(timer->property("interval").toInt(), 1);
    QCOMPARE(timer->property("repeat").toBool(), false);
    QSignalSpy scrolls(timer, SIGNAL(triggered()));

    // Three changes in the same moment (the binding gives way to them).
    logText->setProperty("text", u"one"_s);
    logText->setProperty("text", u"one<br>two"_s);
    logText->setProperty("text", u"one<br>two<br>three"_s);
    QTRY_COMPARE(scrolls.count(), 1);
    QTest::qWait(50);
    QCOMPARE(scrolls.count(), 1);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
