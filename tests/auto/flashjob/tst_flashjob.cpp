#include "firmwarefixture.h"
#include "standin.h"
#include "flashcontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;
const QString jobFailedReason = u"烧录过程出错，请检查日志。"_s;
const QString portReason = u"请选择一个有效的烧录端口！"_s;

// Records the controller's notifications in the order they happen, with the
// log and the flag as they were at that moment.
class SignalLog
{
public:
    explicit SignalLog(FlashController *controller)
    {
        auto record = [this, controller](const QString &name) {
            m_events << name;
            m_logs << controller->flashOutput();
            m_flags << controller->isFlashing();
        };
        QObject::connect(controller, &FlashController::flashOutputChanged, controller,
                         [record] { record(u"flashOutputChanged"_s); });
        QObject::connect(controller, &FlashController::isFlashingChanged, controller,
                         [record] { record(u"isFlashingChanged"_s); });
        QObject::connect(controller, &FlashController::flashSucceeded, controller,
                         [record] { record(u"flashSucceeded"_s); });
        QObject::connect(controller, &FlashController::flashFailed, controller,
                         [this, record](const QString &reason) {
                             m_reasons << reason;
                             record(u"flashFailed"_s);
                         });
    }

    QStringList events() const { return m_events; }
    QStringList reasons() const { return m_reasons; }
    QStringList logs() const { return m_logs; }
    QList<bool> flags() const { return m_flags; }
    QStringList lastEvents(int count) const { return m_events.mid(m_events.size() - count); }
    void clear()
    {
        m_events.clear();
        m_reasons.clear();
        m_logs.clear();
        m_flags.clear();
    }

private:
    QStringList m_events;
    QStringList m_reasons;
    QStringList m_logs;
    QList<bool> m_flags;
};

} // namespace

class tst_FlashJob : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void refusalsChangeNothingAndComeInTheirOrder_data();
    void refusalsChangeNothingAndComeInTheirOrder();
    void launchPassesThirteenArgumentsAndWritesTheLaunchLine();
    void outputStreamsWhileTheToolRuns();
    void stderrReadsAreRedAndToolMarkupIsKeptAsItIs();
    void completionReportsTheOutcomeInOrder_data();
    void completionReportsTheOutcomeInOrder();
    void secondJobStartsWithAnEmptyLog();
    void toolThatCannotBeStartedEndsTheJobOnce_data();
    void toolThatCannotBeStartedEndsTheJobOnce();
    void startWhileAJobRunsIsRefused();
    void utf8SplitAcrossReadsArrivesWhole();
    void destroyingTheControllerEndsTheToolSilently();

private:

    std::unique_ptr<FirmwareFixture> m_firmware;
    std::unique_ptr<QTemporaryDir> m_scratch;
};

void tst_FlashJob::init()
{
    m_firmware = std::make_unique<FirmwareFixture>();
    QVERIFY2(m_firmware->isValid(), "firmware/ beside the test exists already; not touching it");
    m_scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(m_scratch->isValid());
    Standin::resetEnvironment();
}

void tst_FlashJob::cleanup()
{
    m_firmware.reset();
    m_scratch.reset();
}



void tst_FlashJob::refusalsChangeNothingAndComeInTheirOrder_data()
{
    QTest::addColumn<QString>("profileName");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tool");
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QString>("reason");

    const QStringList all = FirmwareFixture::imageNames();
    const QString native = QDir::toNativeSeparators(
            QCoreApplication::applicationDirPath() + u"/firmware/"_s + profile);

    QTest::newRow("invalid profile beats empty port")
            << u"no_such_device"_s << QString() << true << all << u"错误：选择了无效的设备！"_s;
    QTest::newRow("profile in other letter case")
            << profile.toUpper() << u"COM5"_s << true << all << u"错误：选择了无效的设备！"_s;
    QTest::newRow("empty port") << profile << QString() << true << all << portReason;
    QTest::newRow("port placeholder") << profile << u"Device not found"_s << true << all << portReason;
    QTest::newRow("placeholder in other case passes the port checks")
            << profile << u"device not found"_s << false << all
            << u"错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s;
    QTest::newRow("missing tool beats missing images")
            << profile << u"COM5"_s << false << QStringList()
            << u"错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s;
    QTest::newRow("no images: the first is named")
            << profile << u"COM5"_s << true << QStringList()
            << u"固件文件 'bootloader.bin' 在路径 '%1' 中未找到。"_s.arg(native);
    QTest::newRow("first missing image in flash order")
            << profile << u"COM5"_s << true << QStringList{ u"bootloader.bin"_s, u"boot_app0.bin"_s }
            << u"固件文件 'partitions.bin' 在路径 '%1' 中未找到。"_s.arg(native);
    QTest::newRow("only firmware.bin missing")
            << profile << u"COM5"_s << true << all.mid(0, 3)
            << u"固件文件 'firmware.bin' 在路径 '%1' 中未找到。"_s.arg(native);
}

void tst_FlashJob::refusalsChangeNothingAndComeInTheirOrder()
{
    QFETCH(QString, profileName);
    QFETCH(QString, port);
    QFETCH(bool, tool);
    QFETCH(QStringList, images);
    QFETCH(QString, reason);

    // An earlier job's log must survive a refused launch.
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"earlier job\n"_s } } }));
    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(Standin::waitUntilIdle(controller));
    const QString earlierLog = controller.flashOutput();
    QVERIFY(earlierLog.contains(u"earlier job"_s));

    QVERIFY(QDir(m_firmware->profilePath(profile)).removeRecursively());
    QVERIFY(m_firmware->writeImages(profile, images));
    if (!tool)
        QVERIFY(m_firmware->removeFile(u"esptool.exe"_s));

    SignalLog signalLog(&controller);
    controller.startFlash(profileName, port);
    QCOMPARE(signalLog.events(), QStringList{ u"flashFailed"_s });
    QCOMPARE(signalLog.reasons(), QStringList{ reason });
    QCOMPARE(controller.flashOutput(), earlierLog);
    QCOMPARE(controller.isFlashing(), false);
}

void tst_FlashJob::launchPassesThirteenArgumentsAndWritesTheLaunchLine()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    QVERIFY2(appDir.contains(u' ') && appDir.contains(u"烧录"_s), qPrintable(appDir));
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    const QString argsFile = m_scratch->filePath(u"args.json"_s);
    qputenv("STANDIN_ARGS_FILE", argsFile.toUtf8());
    QVERIFY(Standin::useScript(m_scratch->path(), {}));

    FlashController controller;
    SignalLog signalLog(&controller);
    const QString port = u"/dev/tty USB0"_s;
    controller.startFlash(profile, port);

    QCOMPARE(signalLog.events(),
             (QStringList{ u"flashOutputChanged"_s, u"isFlashingChanged"_s, u"flashOutputChanged"_s }));
    QCOMPARE(signalLog.logs().at(0), QString());
    QCOMPARE(signalLog.flags(), (QList<bool>{ false, true, true }));

    const QString dir = appDir + u"/firmware/"_s + profile + u'/';
    const QStringList expectedArguments = {
        u"--chip"_s, u"esp32s3"_s, u"--port"_s, port, u"write_flash"_s,
        u"0x0"_s, dir + u"bootloader.bin"_s,
        u"0x8000"_s, dir + u"partitions.bin"_s,
        u"0xe000"_s, dir + u"boot_app0.bin"_s,
        u"0x10000"_s, dir + u"firmware.bin"_s,
    };
    const QString launchLine = u"Executing: "_s
            + QDir::toNativeSeparators(appDir + u"/firmware/esptool.exe"_s) + u' '
            + expectedArguments.join(u' ') + u"\n\n"_s;
    QCOMPARE(controller.flashOutput(), launchLine);

    QVERIFY(Standin::waitUntilIdle(controller));
    QFile recorded(argsFile);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QStringList received;
    for (const QJsonValue &value : QJsonDocument::fromJson(recorded.readAll()).array())
        received << value.toString();
    QCOMPARE(received, expectedArguments);
}

void tst_FlashJob::outputStreamsWhileTheToolRuns()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"Connecting....\n"_s } },
             QJsonObject{ { u"sleep"_s, 1500 } },
             QJsonObject{ { u"out"_s, u"Writing at 0x00010000... (2 %)\n"_s } } }));

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller.flashOutput().contains(u"Connecting....\n"_s), 5000);
    QVERIFY(controller.isFlashing());
    QVERIFY(!controller.flashOutput().contains(u"Writing at"_s));
    QVERIFY(Standin::waitUntilIdle(controller));
    QVERIFY(controller.flashOutput().contains(u"Connecting....\nWriting at 0x00010000... (2 %)\n"_s));
}

void tst_FlashJob::stderrReadsAreRedAndToolMarkupIsKeptAsItIs()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    const QString hostile = u"<b>bold</b> <img src=x> <a href='y'>link</a> </font> &amp; <\r\n"_s;
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, hostile } },
             QJsonObject{ { u"sleep"_s, 200 } },
             QJsonObject{ { u"err"_s, u"A fatal error occurred: no chip\n"_s } },
             QJsonObject{ { u"sleep"_s, 200 } },
             QJsonObject{ { u"exit"_s, 2 } } }));

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(Standin::waitUntilIdle(controller));
    const QString log = controller.flashOutput();
    QVERIFY2(log.contains(u"\n\n"_s + hostile + u"<font color='red'>A fatal error occurred: no chip\n</font>"_s),
             qPrintable(log));
}

void tst_FlashJob::completionReportsTheOutcomeInOrder_data()
{
    QTest::addColumn<QJsonObject>("ending");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("completionLine");

    QTest::newRow("exit 0") << QJsonObject{ { u"exit"_s, 0 } } << u"flashSucceeded"_s
                            << u"\n<b><font color='green'>烧录成功！</font></b>"_s;
    QTest::newRow("exit 2") << QJsonObject{ { u"exit"_s, 2 } } << u"flashFailed"_s
                            << u"\n<b><font color='red'>烧录失败！退出代码: 2</font></b>"_s;
    QTest::newRow("exit 1") << QJsonObject{ { u"exit"_s, 1 } } << u"flashFailed"_s
                            << u"\n<b><font color='red'>烧录失败！退出代码: 1</font></b>"_s;
    // A crash is a failure whatever its code is.
    QTest::newRow("crash") << QJsonObject{ { u"crash"_s, true } } << u"flashFailed"_s
                           << u"\n<b><font color='red'>烧录失败！退出代码: "_s;
}

void tst_FlashJob::completionReportsTheOutcomeInOrder()
{
    QFETCH(QJsonObject, ending);
    QFETCH(QString, result);
    QFETCH(QString, completionLine);

    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"done\n"_s } }, ending }));

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    SignalLog signalLog(&controller);
    QVERIFY(Standin::waitUntilIdle(controller));

    QCOMPARE(signalLog.lastEvents(3), (QStringList{ result, u"flashOutputChanged"_s, u"isFlashingChanged"_s }));
    // The log holds the completion line when the result is announced, while
    // the job still counts as running.
    const QString logAtResult = signalLog.logs().at(signalLog.events().indexOf(result));
    QVERIFY(logAtResult.contains(completionLine));
    QCOMPARE(signalLog.flags().at(signalLog.events().indexOf(result)), true);
    QCOMPARE(signalLog.events().count(result), 1);
    QVERIFY(controller.flashOutput().contains(u"done\n"_s + completionLine));
    QVERIFY(controller.flashOutput().endsWith(u"</font></b>"_s));
    if (result == u"flashFailed"_s)
        QCOMPARE(signalLog.reasons(), QStringList{ jobFailedReason });
    QCOMPARE(controller.isFlashing(), false);
}

void tst_FlashJob::secondJobStartsWithAnEmptyLog()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"first job\n"_s } } }));
    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(Standin::waitUntilIdle(controller));
    QVERIFY(controller.flashOutput().contains(u"first job"_s));

    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"second job\n"_s } } }));
    SignalLog signalLog(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QCOMPARE(signalLog.logs().first(), QString());
    QVERIFY(controller.flashOutput().startsWith(u"Executing: "_s));
    QVERIFY(Standin::waitUntilIdle(controller));
    QVERIFY(!controller.flashOutput().contains(u"first job"_s));
    QCOMPARE(controller.flashOutput().count(u"Executing: "_s), 1);
}

void tst_FlashJob::toolThatCannotBeStartedEndsTheJobOnce_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("cause");

    QTest::newRow("not executable") << QByteArray("#!/bin/sh\nexit 0\n") << false
                                    << u"Permission denied"_s;
    QTest::newRow("not a program for this system")
            << QByteArray("MZ\x90\x00\x03\x00\x00\x00 a Windows program", 24) << true
            << u"Exec format error"_s;
}

void tst_FlashJob::toolThatCannotBeStartedEndsTheJobOnce()
{
#ifdef Q_OS_WIN
    QSKIP("file permissions and foreign executables are checked on Unix only");
#endif
    QFETCH(QByteArray, content);
    QFETCH(bool, executable);
    QFETCH(QString, cause);

    QVERIFY(m_firmware->writeFile(u"esptool.exe"_s, content));
    QFile tool(m_firmware->path() + u"/esptool.exe"_s);
    const QFileDevice::Permissions readWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(tool.setPermissions(executable ? readWrite | QFileDevice::ExeOwner : readWrite));
    QVERIFY(m_firmware->writeImages(profile));

    FlashController controller;
    SignalLog signalLog(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(Standin::waitUntilIdle(controller, 5000));
    // Nothing more may follow.
    QTest::qWait(300);

    QCOMPARE(signalLog.events(),
             (QStringList{ u"flashOutputChanged"_s, u"isFlashingChanged"_s, u"flashOutputChanged"_s,
                           u"flashFailed"_s, u"flashOutputChanged"_s, u"isFlashingChanged"_s }));
    QCOMPARE(signalLog.reasons(), QStringList{ u"无法启动烧录工具 esptool.exe。"_s });
    const QString log = controller.flashOutput();
    const qsizetype lineStart = log.lastIndexOf(u"\n<b><font color='red'>"_s);
    QVERIFY2(lineStart > 0, qPrintable(log));
    const QString failureLine = log.mid(lineStart);
    QVERIFY(failureLine.endsWith(u"</font></b>"_s));
    // The line names the cause in Qt's words.
    QVERIFY2(failureLine.startsWith(u"\n<b><font color='red'>烧录失败！"_s), qPrintable(failureLine));
    QVERIFY2(failureLine.contains(cause), qPrintable(failureLine));
    QCOMPARE(controller.isFlashing(), false);
}

void tst_FlashJob::startWhileAJobRunsIsRefused()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    const QString pidFile = m_scratch->filePath(u"pid"_s);
    qputenv("STANDIN_PID_FILE", pidFile.toUtf8());
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"running\n"_s } },
             QJsonObject{ { u"sleep"_s, 1000 } } }));

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller.flashOutput().contains(u"running"_s), 5000);
    QVERIFY(QFile::remove(pidFile));
    const QString runningLog = controller.flashOutput();

    SignalLog signalLog(&controller);
    controller.startFlash(profile, u"COM6"_s);
    QCOMPARE(signalLog.events(), QStringList{ u"flashFailed"_s });
    QCOMPARE(signalLog.reasons(), QStringList{ u"烧录正在进行中，请等待当前任务结束。"_s });
    QCOMPARE(controller.flashOutput(), runningLog);
    QVERIFY(controller.isFlashing());

    signalLog.clear();
    QVERIFY(Standin::waitUntilIdle(controller));
    QCOMPARE(signalLog.events().count(u"flashSucceeded"_s), 1);
    QVERIFY(!signalLog.events().contains(u"flashFailed"_s));
    QVERIFY2(!QFile::exists(pidFile), "a second tool was started");
}

void tst_FlashJob::utf8SplitAcrossReadsArrivesWhole()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    // "你好" is e4 bd a0 e5 a5 bd; each character is cut in two.
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"outHex"_s, u"e4bd"_s } },
             QJsonObject{ { u"sleep"_s, 300 } },
             QJsonObject{ { u"outHex"_s, u"a0e5"_s } },
             QJsonObject{ { u"sleep"_s, 300 } },
             QJsonObject{ { u"outHex"_s, u"a5bd0a"_s } },
             QJsonObject{ { u"errHex"_s, u"e4bd"_s } },
             QJsonObject{ { u"sleep"_s, 300 } },
             QJsonObject{ { u"errHex"_s, u"a00a"_s } },
             QJsonObject{ { u"sleep"_s, 300 } },
             QJsonObject{ { u"outHex"_s, u"ff0a"_s } } }));

    FlashController controller;
    SignalLog signalLog(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(Standin::waitUntilIdle(controller));
    const QString log = controller.flashOutput();
    QVERIFY2(log.contains(u"\n\n你好\n"_s), qPrintable(log));
    // The partial read still has its own element, empty as it decoded nothing.
    QVERIFY2(log.contains(u"<font color='red'></font><font color='red'>你\n</font>"_s), qPrintable(log));
    // A byte that is not UTF-8 at all is shown as a replacement character.
    QCOMPARE(log.count(QChar::ReplacementCharacter), 1);
    QVERIFY(log.contains(u"\uFFFD\n"_s));
}

void tst_FlashJob::destroyingTheControllerEndsTheToolSilently()
{
    QVERIFY(m_firmware->installTool());
    QVERIFY(m_firmware->writeImages(profile));
    const QString pidFile = m_scratch->filePath(u"pid"_s);
    qputenv("STANDIN_PID_FILE", pidFile.toUtf8());
    QVERIFY(Standin::useScript(m_scratch->path(), { QJsonObject{ { u"out"_s, u"started\n"_s } }, QJsonObject{ { u"hang"_s, true } } }));

    auto controller = std::make_unique<FlashController>();
    QSignalSpy succeeded(controller.get(), &FlashController::flashSucceeded);
    QSignalSpy failed(controller.get(), &FlashController::flashFailed);
    controller->startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller->flashOutput().contains(u"started"_s), 5000);
    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    const QByteArray processId = pid.readAll().trimmed();
    QVERIFY(!processId.isEmpty());

    controller.reset();
    QTest::qWait(200);
    QCOMPARE(succeeded.count(), 0);
    QCOMPARE(failed.count(), 0);
#ifdef Q_OS_LINUX
    QVERIFY2(!QFileInfo::exists(u"/proc/"_s + QString::fromLatin1(processId)),
             "the stand-in is still running");
#endif
}

QTEST_GUILESS_MAIN(tst_FlashJob)
#include "tst_flashjob.moc"
