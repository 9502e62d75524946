#include "firmwarefixture.h"
#include "standin.h"
#include "flashcontroller.h"
#include "windowharness.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQmlContext>
#include <QQmlProperty>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    void cleanup();

    void withoutSerialPortsTheButtonReportsThePlaceholder();
    void clickRunsAJobWithTheDisplayedTexts();
    void failuresShareOneDialogAndSizesFollowTheWindow();
    void pictureFollowsTheSelection();
    void logPaneStreamsAndFollowsItsEnd();
    void hostileToolOutputStaysText();
    void burstOfChangesScrollsOnce();

private:
    void createWindow();
    void selectDevice(const QString &name);
    void injectPort(const QString &port);
    double scrollEnd() const;

    std::unique_ptr<FirmwareFixture> m_firmware;
    std::unique_ptr<QTemporaryDir> m_scratch;
    std::unique_ptr<FlashController> m_controller;
    std::unique_ptr<WindowHarness> m_window;
};

void tst_MainWindow::init()
{
    m_firmware = std::make_unique<FirmwareFixture>();
    QVERIFY2(m_firmware->isValid(), "firmware/ beside the test exists already; not touching it");
    m_scratch = std::make_unique<QTemporaryDir>();
    Standin::resetEnvironment();
}

void tst_MainWindow::cleanup()
{
    m_window.reset();
    m_controller.reset();
    m_firmware.reset();
    m_scratch.reset();
}

void tst_MainWindow::createWindow()
{
    m_controller = std::make_unique<FlashController>();
    m_window = std::make_unique<WindowHarness>(m_controller.get());
    QVERIFY(m_window->isLoaded());
}


void tst_MainWindow::selectDevice(const QString &name)
{
    QObject *combo = m_window->byId(u"deviceComboBox"_s);
    const int index = m_controller->deviceProfiles().indexOf(name);
    QVERIFY(index >= 0);
    combo->setProperty("currentIndex", index);
    QCOMPARE(combo->property("currentText").toString(), name);
}

void tst_MainWindow::injectPort(const QString &port)
{
    QObject *combo = m_window->byId(u"portComboBox"_s);
    combo->setProperty("model", QStringList{ port });
    QCOMPARE(combo->property("currentText").toString(), port);
}


// Where the bottom of the log pane's view is, as a share of the log: 1 when
// the last line is in view.
double tst_MainWindow::scrollEnd() const
{
    QObject *scrollView = m_window->byId(u"logScrollView"_s);
    QObject *flickable = scrollView->property("contentItem").value<QObject *>();
    const double contentHeight = flickable->property("contentHeight").toDouble();
    const double height = flickable->property("height").toDouble();
    if (contentHeight <= height)
        return 1.0;
    return (flickable->property("contentY").toDouble() + height) / contentHeight;
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
        m_firmware.reset();
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(portlessMarker), u"1"_s);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(u"unshare"_s, { u"--mount"_s, u"--map-root-user"_s, u"sh"_s, u"-c"_s,
                                    u"mount -t tmpfs none /sys/class/tty || exit 77; exec \"$0\" \"$1\""_s,
                                    QCoreApplication::applicationFilePath(),
                                    QString::fromLatin1(QTest::currentTestFunction()) });
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        if (child.exitCode() == 77 || output.startsWith("unshare:"))
            QSKIP(qPrintable(u"no private mount namespace here: "_s + QString::fromLocal8Bit(output)));
        QVERIFY2(child.exitCode() == 0, output.constData());
        return;
#endif
    }

    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    createWindow();
    QVERIFY(m_controller->availablePorts().isEmpty());

    QObject *portCombo = m_window->byId(u"portComboBox"_s);
    QCOMPARE(portCombo->property("count").toInt(), 1);
    QCOMPARE(portCombo->property("currentText").toString(), u"Device not found"_s);
    QQuickItem *flashButton = m_window->itemById(u"flashButton"_s);
    QVERIFY(flashButton->isEnabled());

    QSignalSpy flashing(m_controller.get(), &FlashController::isFlashingChanged);
    m_window->click(flashButton);
    QCOMPARE(flashing.count(), 0);
    QCOMPARE(m_controller->flashOutput(), QString());

    QObject *failureDialog = m_window->byId(u"failureDialog"_s);
    QVERIFY(failureDialog->property("opened").toBool() || failureDialog->property("visible").toBool());
    QCOMPARE(failureDialog->property("title").toString(), u"Error"_s);
    QCOMPARE(m_window->property(u"errorLabel"_s, "text").toString(),
             u"Flashing failed: 请选择一个有效的烧录端口！"_s);
    QCOMPARE(failureDialog->property("width").toDouble(), m_window->window()->width() * 0.8);
}

void tst_MainWindow::clickRunsAJobWithTheDisplayedTexts()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    const QString argsFile = m_scratch->filePath(u"args.json"_s);
    qputenv("STANDIN_ARGS_FILE", argsFile.toUtf8());
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"Connecting....\n"_s } },
             QJsonObject{ { u"sleep"_s, 1200 } } }));
    createWindow();
    selectDevice(profile);
    injectPort(u"/dev/ttyTEST 0"_s);

    QQuickItem *flashButton = m_window->itemById(u"flashButton"_s);
    QCOMPARE(flashButton->property("text").toString(), u"Start Flashing"_s);
    m_window->click(flashButton);

    QVERIFY(m_controller->isFlashing());
    QCOMPARE(flashButton->property("text").toString(), u"Flashing..."_s);
    QVERIFY(!flashButton->isEnabled());
    QQuickItem *refresh = m_window->buttonWithText(u"Refresh Com"_s);
    QVERIFY(refresh);
    QVERIFY(refresh->isEnabled());
    QVERIFY(m_window->itemById(u"deviceComboBox"_s)->isEnabled());
    QVERIFY(m_window->itemById(u"portComboBox"_s)->isEnabled());

    // Refreshing during the job replaces the list and leaves the job alone.
    QSignalSpy portsChanged(m_controller.get(), &FlashController::availablePortsChanged);
    m_window->click(refresh);
    QCOMPARE(portsChanged.count(), 1);
    // A click on the busy button does nothing.
    m_window->click(flashButton);
    QVERIFY(!m_window->property(u"failureDialog"_s, "visible").toBool());

    QSignalSpy succeeded(m_controller.get(), &FlashController::flashSucceeded);
    QVERIFY(Standin::waitUntilIdle(*m_controller));
    QCOMPARE(succeeded.count(), 1);

    QFile recorded(argsFile);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QJsonArray arguments = QJsonDocument::fromJson(recorded.readAll()).array();
    QCOMPARE(arguments.size(), 13);
    QCOMPARE(arguments.at(3).toString(), u"/dev/ttyTEST 0"_s);
    QVERIFY(arguments.at(6).toString().endsWith(u"/firmware/v2_kelvar_left_wire/bootloader.bin"_s));

    QObject *successDialog = m_window->byId(u"successDialog"_s);
    QVERIFY(successDialog->property("visible").toBool());
    QCOMPARE(successDialog->property("title").toString(), u"Succeed"_s);
    QObject *label = successDialog->property("contentItem").value<QObject *>();
    QCOMPARE(label->property("text").toString(), u"Firmware flash successful！"_s);
    QCOMPARE(successDialog->property("width").toDouble(), m_window->window()->width() / 2.0);
    QCOMPARE(flashButton->property("text").toString(), u"Start Flashing"_s);
    QVERIFY(flashButton->isEnabled());
}

void tst_MainWindow::failuresShareOneDialogAndSizesFollowTheWindow()
{
    createWindow();
    selectDevice(profile);
    injectPort(u"COM7"_s);
    QQuickItem *flashButton = m_window->itemById(u"flashButton"_s);

    m_window->click(flashButton);
    QCOMPARE(m_window->property(u"errorLabel"_s, "text").toString(),
             u"Flashing failed: 错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s);
    // The open dialog covers the button; the second failure comes straight
    // from the controller, as a failed job's would.
    QVERIFY(m_firmware->installTool());
    m_controller->startFlash(profile, u"COM7"_s);
    QVERIFY(m_window->property(u"failureDialog"_s, "visible").toBool());
    QVERIFY(m_window->property(u"errorLabel"_s, "text").toString()
                    .startsWith(u"Flashing failed: 固件文件 'bootloader.bin' 在路径 "_s));
    QCOMPARE(m_window->window()->findChildren<QObject *>().count(m_window->byId(u"failureDialog"_s)), 1);

    QQuickWindow *window = m_window->window();
    QQuickItem *controls = m_window->itemById(u"controlColumn"_s);
    QQuickItem *pictures = m_window->itemById(u"imageContainer"_s);
    auto preferredWidth = [](QQuickItem *item) {
        return QQmlProperty(item, u"Layout.preferredWidth"_s, qmlContext(item)).read().toDouble();
    };
    double lastControlsWidth = 0;
    for (int width : { 700, 1000 }) {
        window->resize(width, 520);
        QTRY_COMPARE(m_window->property(u"failureDialog"_s, "width").toDouble(), width * 0.8);
        QCOMPARE(m_window->property(u"successDialog"_s, "width").toDouble(), width / 2.0);
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
    QImage picture(64, 40, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QVERIFY(QDir().mkpath(m_firmware->profilePath(profile)));
    QVERIFY(picture.save(m_firmware->profilePath(profile) + u"/device.jpg"_s, "JPG"));
    QVERIFY(m_firmware->writeFile(u"v1_kelvar_wire/device.jpg"_s, "this is not a JPEG"));
    createWindow();
    QQuickItem *image = m_window->itemById(u"productImage"_s);

    selectDevice(profile);
    QTRY_COMPARE(image->property("status").toInt(), 1 /* Image.Ready */);
    QCOMPARE(image->property("source").toUrl(),
             QUrl(m_controller->getImagePathForProfile(profile)));

    selectDevice(u"v2_durnik_wire"_s);
    QCOMPARE(image->property("source").toUrl(), QUrl());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u".*device\\.jpg.*"_s));
    selectDevice(u"v1_kelvar_wire"_s);
    QTRY_COMPARE(image->property("source").toUrl(), QUrl());
    QVERIFY(image->property("status").toInt() != 1);

    selectDevice(profile);
    QTRY_COMPARE(image->property("status").toInt(), 1);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u".*device\\.jpg.*"_s));
    selectDevice(u"v1_kelvar_wire"_s);
    QTRY_COMPARE(image->property("source").toUrl(), QUrl());
}

void tst_MainWindow::logPaneStreamsAndFollowsItsEnd()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QString longChunk;
    for (int i = 1; i <= 120; ++i)
        longChunk += u"Writing at 0x%1... (%2 %)\n"_s.arg(0x10000 + i * 0x4000, 8, 16, QChar(u'0')).arg(i * 100 / 120);
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, longChunk } },
             QJsonObject{ { u"sleep"_s, 1200 } },
             QJsonObject{ { u"out"_s, u"Hash of data verified.\n"_s } },
             QJsonObject{ { u"sleep"_s, 300 } } }));
    createWindow();
    selectDevice(profile);
    injectPort(u"COM7"_s);

    QQuickItem *logText = m_window->itemById(u"logText"_s);
    m_window->click(m_window->itemById(u"flashButton"_s));
    QTRY_VERIFY_WITH_TIMEOUT(logText->property("text").toString().contains(u"(100 %)"_s), 5000);
    QVERIFY(m_controller->isFlashing());
    QVERIFY(!logText->property("text").toString().contains(u"Hash of data"_s));
    // Every line feed is a line of its own (the pane is wide enough for these).
    QVERIFY(logText->property("lineCount").toInt() >= 120 + 3);
    QTRY_VERIFY(scrollEnd() > 0.999);

    // The user scrolls up; the next output brings the end back into view.
    QObject *flickable = m_window->byId(u"logScrollView"_s)->property("contentItem").value<QObject *>();
    flickable->setProperty("contentY", 0);
    QVERIFY(scrollEnd() < 0.5);
    QTRY_VERIFY_WITH_TIMEOUT(logText->property("text").toString().contains(u"Hash of data verified."_s), 5000);
    QTRY_VERIFY(scrollEnd() > 0.999);

    QVERIFY(Standin::waitUntilIdle(*m_controller));
    QTRY_VERIFY(scrollEnd() > 0.999);
    QVERIFY(logText->property("text").toString().contains(u"<font color='green'>"_s));
}

void tst_MainWindow::hostileToolOutputStaysText()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"<img src=x> <a href='y'>z</a> <h1>t</h1> </font> &amp; <\n"_s } },
             QJsonObject{ { u"err"_s, u"</font><font color='green'>fake\n"_s } },
             QJsonObject{ { u"exit"_s, 2 } } }));
    createWindow();
    selectDevice(profile);
    injectPort(u"COM7"_s);
    m_window->click(m_window->itemById(u"flashButton"_s));
    QVERIFY(Standin::waitUntilIdle(*m_controller));

    const QString shown = m_window->property(u"logText"_s, "text").toString();
    QVERIFY2(shown.contains(u"&lt;img src=x&gt; &lt;a href='y'&gt;z&lt;/a&gt; &lt;h1&gt;t&lt;/h1&gt; "
                            "&lt;/font&gt; &amp;amp; &lt;<br>"_s), qPrintable(shown));
    QVERIFY(!shown.contains(u"<img"_s));
    QVERIFY(!shown.contains(u"<a "_s));
    QVERIFY(!shown.contains(u"<h1"_s));
    QVERIFY(shown.endsWith(u"</font></b>"_s));
    QVERIFY(m_window->property(u"failureDialog"_s, "visible").toBool());
}

void tst_MainWindow::burstOfChangesScrollsOnce()
{
    createWindow();
    QObject *logText = m_window->byId(u"logText"_s);
    QObject *timer = m_window->byId(u"scrollTimer"_s);
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
