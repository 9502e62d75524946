#include "firmwarefixture.h"
#include "flashcontroller.h"
#include "helperprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QImageReader>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// A port as Qt lists it, and as the tool then reports it.
#ifdef Q_OS_WIN
const QString listedPort = u"COM5"_s;
const QString toolPort = listedPort;
#else
const QString listedPort = u"ttyUSB0"_s;
const QString toolPort = u"/dev/ttyUSB0"_s;
#endif

struct ToolRun
{
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

ToolRun run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    endWithThisProcess(process);
    process.start(program, arguments);
    if (!process.waitForFinished(2 * patience) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return { process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError() };
}

ToolRun stage(const QString &dir)
{
    return run(QStringLiteral(VELMORIN_DEMO_BUNDLE_PATH), { dir });
}

QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        files.insert(file.fileName(), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<dir>"));
    }
    return files;
}

} // namespace

class tst_DemoBundle : public QObject
{
    Q_OBJECT

private slots:
    void stagingIntoAnEmptyPlaceCreatesTheWholeBundle();
    void stagingWhereFirmwareExistsChangesNothing();
    void sessionOnAStagedBundleEndsAsAsked_data();
    void sessionOnAStagedBundleEndsAsAsked();
    void sessionModeRefusesAWrongCommandLine_data();
    void sessionModeRefusesAWrongCommandLine();
    void sessionModeOpensOnlyPortsEsptoolCanOpen_data();
    void sessionModeOpensOnlyPortsEsptoolCanOpen();
};

void tst_DemoBundle::stagingIntoAnEmptyPlaceCreatesTheWholeBundle()
{
    QTemporaryDir dir;
    const ToolRun staging = stage(dir.path());
    QCOMPARE(staging.exitCode, 0);
    QCOMPARE(staging.output.count('\n'), 1);
    QVERIFY(staging.output.contains("demo"));

    const QDir firmware(dir.filePath(u"firmware"_s));
    const QFileInfo tool(firmware.filePath(u"esptool.exe"_s));
    QVERIFY(tool.isFile() && tool.isExecutable());

    int withoutFirmware = 0;
    int brokenPictures = 0;
    for (const QString &profile : FlashController().deviceProfiles()) {
        const QDir profileDir(firmware.filePath(profile));
        for (const QString &image : FirmwareFixture::imageNames().mid(0, 3))
            QVERIFY2(QFileInfo(profileDir.filePath(image)).size() > 1000, qPrintable(profile));
        const QFileInfo firmwareImage(profileDir.filePath(u"firmware.bin"_s));
        withoutFirmware += firmwareImage.exists() ? 0 : 1;
        QVERIFY(!firmwareImage.exists() || firmwareImage.size() > 500 * 1024);

        QImageReader picture(profileDir.filePath(u"device.jpg"_s));
        QVERIFY(QFileInfo::exists(picture.fileName()));
        const QImage image = picture.read();
        brokenPictures += image.isNull() ? 1 : 0;
        QVERIFY(image.isNull() || image.width() >= 320);
    }
    QCOMPARE(withoutFirmware, 1);
    QCOMPARE(brokenPictures, 1);
}

void tst_DemoBundle::stagingWhereFirmwareExistsChangesNothing()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"firmware/v0_solwen_wireless"_s));
    QFile real(dir.filePath(u"firmware/v0_solwen_wireless/firmware.bin"_s));
    QVERIFY(real.open(QIODevice::WriteOnly) && real.write("the user's own firmware") > 0);
    real.close();
    const auto before = snapshot(dir.path());

    const ToolRun staging = stage(dir.path());
    QCOMPARE(staging.exitCode, 0);
    QCOMPARE(staging.output.count('\n'), 1);
    QCOMPARE(snapshot(dir.path()), before);

    // A file named firmware is left alone too.
    QTemporaryDir other;
    QFile file(other.filePath(u"firmware"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(stage(other.path()).exitCode, 0);
    QVERIFY(QFileInfo(other.filePath(u"firmware"_s)).isFile());
}

void tst_DemoBundle::sessionOnAStagedBundleEndsAsAsked_data()
{
    QTest::addColumn<QByteArray>("failure");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("success") << QByteArray() << QString() << 0;
    QTest::newRow("no chip answers") << QByteArray("connect") << u"A fatal error occurred: Failed to connect to ESP32-S3"_s << 2;
    QTest::newRow("link lost while writing") << QByteArray("write") << u"A serial exception error occurred"_s << 1;
}

void tst_DemoBundle::sessionOnAStagedBundleEndsAsAsked()
{
    QFETCH(QByteArray, failure);
    QFETCH(QString, message);
    QFETCH(int, exitCode);

    // Staged where the controller looks: a firmware/ directory beside the test.
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && QDir(firmware.path()).removeRecursively());
    QCOMPARE(stage(QCoreApplication::applicationDirPath()).exitCode, 0);
    qputenv("STANDIN_FAIL", failure);

    FlashController controller;
    QSignalSpy succeeded(&controller, &FlashController::flashSucceeded);
    QSignalSpy failed(&controller, &FlashController::flashFailed);
    controller.startFlash(u"v2_kelvar_right_wire"_s, listedPort);
    QVERIFY2(controller.isFlashing(), qPrintable(controller.flashOutput() + (failed.isEmpty() ? QString() : failed.at(0).at(0).toString())));
    QVERIFY(waitUntilIdle(controller));
    QCOMPARE(succeeded.count(), exitCode == 0 ? 1 : 0);
    QCOMPARE(failed.count(), exitCode == 0 ? 0 : 1);

    const QString log = controller.flashOutput();
    QVERIFY2(log.contains(u"demo stand-in"_s) && log.contains(u"Serial port "_s + toolPort + u'\n'), qPrintable(log));
    if (exitCode == 0) {
        QCOMPARE(log.count(u"Hash of data verified."_s), 4);
        QVERIFY(log.contains(u"Writing at 0x00010000... ("_s) && log.contains(u"(100 %)"_s));
        QVERIFY(!log.contains(u"<font color='red'>"_s));
        // The profile without firmware.bin is refused before the tool runs.
        controller.startFlash(u"v1_dual_durnik_wire"_s, listedPort);
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.at(0).at(0).toString().startsWith(u"固件文件 'firmware.bin'"_s));
    } else {
        // Like esptool v4, the stand-in reports on stdout: the only red is the
        // completion line.
        QVERIFY2(log.contains(message) && log.count(u"<font color='red'>"_s) == 1, qPrintable(log));
        QVERIFY(log.endsWith(u"退出代码: %1</font></b>"_s.arg(exitCode)));
    }
}

void tst_DemoBundle::sessionModeRefusesAWrongCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");

    const QStringList options = { u"--chip"_s, u"esp32s3"_s, u"--port"_s, u"COM5"_s };
    const QString image = QCoreApplication::applicationFilePath();
    QTest::newRow("no operation") << options;
    QTest::newRow("unknown chip") << QStringList{ u"--chip"_s, u"esp99"_s, u"--port"_s, u"COM5"_s, u"write_flash"_s, u"0x0"_s, image };
    QTest::newRow("missing image") << options + QStringList{ u"write_flash"_s, u"0x0"_s, u"/no/such/bootloader.bin"_s };
    QTest::newRow("offset without image") << options + QStringList{ u"write_flash"_s, u"0x0"_s, image, u"0x8000"_s };
    QTest::newRow("offset not a number") << options + QStringList{ u"write_flash"_s, u"boot"_s, image };
    QTest::newRow("unknown option") << QStringList{ u"--chipp"_s, u"esp32s3"_s, u"write_flash"_s, u"0x0"_s, image };
}

void tst_DemoBundle::sessionModeRefusesAWrongCommandLine()
{
    QFETCH(QStringList, arguments);
    const ToolRun tool = run(QStringLiteral(VELMORIN_STANDIN_PATH), arguments);
    QCOMPARE(tool.exitCode, 2);
    QVERIFY(tool.errors.startsWith("usage: esptool"));
    QVERIFY(tool.errors.contains("esptool: error: "));
    QVERIFY(tool.output.isEmpty());
}

void tst_DemoBundle::sessionModeOpensOnlyPortsEsptoolCanOpen_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("opens");

    QTest::newRow("URL") << u"socket://localhost:4000"_s << true;
#ifdef Q_OS_WIN
    QTest::newRow("COM name") << u"COM3"_s << true;
    QTest::newRow("device namespace") << u"\\\\.\\COM12"_s << true;
    QTest::newRow("Unix path") << u"/dev/ttyUSB0"_s << false;
#else
    QTest::newRow("device path") << u"/dev/ttyUSB0"_s << true;
    // Opened relative to the working directory, where no such file is.
    QTest::newRow("bare name") << u"ttyUSB0"_s << false;
    QTest::newRow("COM name") << u"COM3"_s << false;
#endif
}

void tst_DemoBundle::sessionModeOpensOnlyPortsEsptoolCanOpen()
{
    QFETCH(QString, port);
    QFETCH(bool, opens);

    qputenv("STANDIN_FAST", "1");
    qunsetenv("STANDIN_FAIL");
    const QString image = QCoreApplication::applicationFilePath();
    const ToolRun tool = run(QStringLiteral(VELMORIN_STANDIN_PATH),
                             { u"--chip"_s, u"esp32s3"_s, u"--port"_s, port, u"write_flash"_s, u"0x0"_s, image });
    QCOMPARE(tool.exitCode, opens ? 0 : 2);
    QVERIFY(tool.output.contains("Serial port " + port.toUtf8() + '\n'));
    QCOMPARE(tool.output.contains("A fatal error occurred: Could not open " + port.toUtf8()
                                  + ", the port is busy or doesn't exist."), !opens);
    QVERIFY(tool.errors.isEmpty());
}

QTEST_GUILESS_MAIN(tst_DemoBundle)
#include "tst_demobundle.moc"
