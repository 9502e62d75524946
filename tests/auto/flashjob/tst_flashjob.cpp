#include "firmwarefixture.h"
#include "flashcontroller.h"
#include "recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;

} // namespace

class tst_FlashJob : public QObject
{
    Q_OBJECT

private slots:
    void launchPassesThirteenArgumentsAndWritesTheLaunchLine_data();
    void launchPassesThirteenArgumentsAndWritesTheLaunchLine();
    void outputStreamsAndToolMarkupIsKeptAsItIs();
    void completionReportsTheOutcomeInOrder_data();
    void completionReportsTheOutcomeInOrder();
    void secondJobStartsWithAnEmptyLog();
    void toolThatCannotBeStartedEndsTheJobOnce_data();
    void toolThatCannotBeStartedEndsTheJobOnce();
    void startWhileAJobRunsIsRefused();
    void utf8IsDecodedPerChannelAndNothingIsLost_data();
    void utf8IsDecodedPerChannelAndNothingIsLost();
    void destroyingTheControllerEndsTheToolAndItsChildrenSilently_data();
    void destroyingTheControllerEndsTheToolAndItsChildrenSilently();
};

void tst_FlashJob::launchPassesThirteenArgumentsAndWritesTheLaunchLine_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("toolPort");

    // The tool opens the port it is given as it is: on Windows the name Qt
    // lists, elsewhere a path (a bare name would be a file in the working
    // directory) or a URL.
    QTest::newRow("URL") << u"rfc2217://localhost:4000"_s << u"rfc2217://localhost:4000"_s;
#ifdef Q_OS_WIN
    QTest::newRow("COM name") << u"COM5"_s << u"COM5"_s;
#else
    QTest::newRow("listed name") << u"ttyUSB0"_s << u"/dev/ttyUSB0"_s;
    QTest::newRow("path with a space") << u"/dev/tty USB0"_s << u"/dev/tty USB0"_s;
#endif
}

void tst_FlashJob::launchPassesThirteenArgumentsAndWritesTheLaunchLine()
{
    QFETCH(QString, port);
    QFETCH(QString, toolPort);
    const QString appDir = QCoreApplication::applicationDirPath();
    QVERIFY2(appDir.contains(u' ') && appDir.contains(u"烧录"_s), qPrintable(appDir));
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile) && firmware.useScript({}));
    qputenv("STANDIN_ARGS_FILE", firmware.scratchFile(u"args.json"_s).toUtf8());

    FlashController controller;
    Recorder recorder(&controller);
    controller.startFlash(profile, port);

    QCOMPARE(recorder.events, (QStringList{ u"flashOutputChanged"_s, u"isFlashingChanged"_s, u"flashOutputChanged"_s }));
    QCOMPARE(recorder.logs.at(0), QString());
    QCOMPARE(recorder.flags, (QList<bool>{ false, true, true }));

    const QString dir = appDir + u"/firmware/"_s + profile + u'/';
    const QStringList expectedArguments = {
        u"--chip"_s, u"esp32s3"_s, u"--port"_s, toolPort, u"write_flash"_s,
        u"0x0"_s, dir + u"bootloader.bin"_s, u"0x8000"_s, dir + u"partitions.bin"_s,
        u"0xe000"_s, dir + u"boot_app0.bin"_s, u"0x10000"_s, dir + u"firmware.bin"_s,
    };
    QCOMPARE(controller.flashOutput(), u"Executing: "_s + QDir::toNativeSeparators(appDir + u"/firmware/esptool.exe"_s)
                                               + u' ' + expectedArguments.join(u' ') + u"\n\n"_s);

    QVERIFY(waitUntilIdle(controller));
    QFile recorded(firmware.scratchFile(u"args.json"_s));
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(recorded.readAll()).array().toVariantList(), QVariant(expectedArguments).toList());
}

void tst_FlashJob::outputStreamsAndToolMarkupIsKeptAsItIs()
{
    const QString hostile = u"<b>bold</b> <img src=x> <a href='y'>link</a> </font> &amp; <\r\n"_s;
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    // The tool goes on only once the test has looked at the log.
    QVERIFY(firmware.useScript({ Step::out(u"Connecting....\n"_s), Step::waitFor(firmware.scratchFile(u"looked"_s)),
                                 Step::out(hostile), Step::drained(), Step::err(u"A fatal error occurred: no chip\n"_s),
                                 Step::drained(), Step::exitWith(2) }));

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller.flashOutput().contains(u"Connecting....\n"_s), patience);
    QVERIFY(controller.isFlashing());
    QVERIFY(!controller.flashOutput().contains(u"<b>bold"_s));
    QVERIFY(firmware.createScratchFile(u"looked"_s));
    QVERIFY(waitUntilIdle(controller));
    // A standard-error read of a line and its line feed is one red element.
    QVERIFY2(controller.flashOutput().contains(u"\n\nConnecting....\n"_s + hostile
                                               + u"<font color='red'>A fatal error occurred: no chip\n</font>"_s),
             qPrintable(controller.flashOutput()));
}

void tst_FlashJob::completionReportsTheOutcomeInOrder_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<bool>("launcher");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("completionLine");

    const QString success = u"\n<b><font color='green'>烧录成功！</font></b>"_s;
    QTest::newRow("exit 0") << Step::exitWith(0) << false << u"flashSucceeded"_s << success;
    QTest::newRow("exit 2") << Step::exitWith(2) << false << u"flashFailed"_s << u"\n<b><font color='red'>烧录失败！退出代码: 2</font></b>"_s;
    QTest::newRow("exit 1") << Step::exitWith(1) << false << u"flashFailed"_s << u"\n<b><font color='red'>烧录失败！退出代码: 1</font></b>"_s;
    // A crash is a failure whatever its code is.
    QTest::newRow("crash") << Step::crash() << false << u"flashFailed"_s << u"\n<b><font color='red'>烧录失败！退出代码: "_s;
    // A one-file bundle's launcher relays what its child did.
    QTest::newRow("exit 0 through a launcher") << Step::exitWith(0) << true << u"flashSucceeded"_s << success;
    QTest::newRow("exit 2 through a launcher") << Step::exitWith(2) << true << u"flashFailed"_s << u"\n<b><font color='red'>烧录失败！退出代码: 2</font></b>"_s;
    // Its input is empty, so it goes on.
    QTest::newRow("a tool that reads its input") << Step::readInput() << false << u"flashSucceeded"_s << success;
    // Its exit decides; what it left running is ended.
    QTest::newRow("a tool that leaves a child running") << Step::leaveChild() << false << u"flashSucceeded"_s << success;
#ifdef Q_OS_LINUX
    // ... even what left the tool's process group and session.
    QTest::newRow("a tool whose child leaves its session") << Step::leaveSession() << false << u"flashSucceeded"_s << success;
#endif
}

void tst_FlashJob::completionReportsTheOutcomeInOrder()
{
    QFETCH(QByteArray, ending);
    QFETCH(bool, launcher);
    QFETCH(QString, result);
    QFETCH(QString, completionLine);

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    QVERIFY(firmware.useScript({ Step::out(u"done\n"_s), ending }));
    qputenv("STANDIN_LAUNCHER", launcher ? "1" : "");
    firmware.recordProcessIds();
    // Nothing the tool started may run on once the outcome is told. Looked
    // at without the event loop, which could end them only afterwards; the
    // system needs a moment to end what was killed, and what was not would
    // run on for minutes.
    QList<qint64> runningAtOutcome;
    const auto lookAtProcesses = [&] {
        QDeadlineTimer moment(patience);
        do {
            runningAtOutcome.clear();
            for (qint64 processId : firmware.processIds()) {
                if (isProcessAlive(processId))
                    runningAtOutcome << processId;
            }
        } while (!runningAtOutcome.isEmpty() && !moment.hasExpired() && (QThread::msleep(10), true));
    };
    FlashController controller;
    connect(&controller, &FlashController::flashSucceeded, lookAtProcesses);
    connect(&controller, &FlashController::flashFailed, lookAtProcesses);
    controller.startFlash(profile, u"COM5"_s);
    Recorder recorder(&controller);
    QVERIFY(waitUntilIdle(controller));
    QVERIFY2(runningAtOutcome.isEmpty(), qPrintable(u"still running when the outcome was told: %1"_s.arg(runningAtOutcome.size())));
    QCOMPARE(firmware.processIds().size(), launcher || ending == Step::leaveChild() || ending == Step::leaveSession() ? 2 : 1);

    QCOMPARE(recorder.events.mid(recorder.events.size() - 3), (QStringList{ result, u"flashOutputChanged"_s, u"isFlashingChanged"_s }));
    QCOMPARE(recorder.events.count(result), 1);
    // The log holds the completion line when the result is announced, while
    // the job still counts as running.
    const qsizetype atResult = recorder.events.indexOf(result);
    QVERIFY(recorder.logs.at(atResult).contains(completionLine));
    QCOMPARE(recorder.flags.at(atResult), true);
    QVERIFY(controller.flashOutput().contains(u"done\n"_s + completionLine));
    QVERIFY(controller.flashOutput().endsWith(u"</font></b>"_s));
    if (result == u"flashFailed"_s)
        QCOMPARE(recorder.reasons, QStringList{ u"烧录过程出错，请检查日志。"_s });
    QCOMPARE(controller.isFlashing(), false);
}

void tst_FlashJob::secondJobStartsWithAnEmptyLog()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    QVERIFY(firmware.useScript({ Step::out(u"first job\n"_s) }));
    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(waitUntilIdle(controller));
    QVERIFY(controller.flashOutput().contains(u"first job"_s));

    QVERIFY(firmware.useScript({ Step::out(u"second job\n"_s) }));
    Recorder recorder(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QCOMPARE(recorder.logs.first(), QString());
    QVERIFY(controller.flashOutput().startsWith(u"Executing: "_s));
    QVERIFY(waitUntilIdle(controller));
    QVERIFY(!controller.flashOutput().contains(u"first job"_s));
    QCOMPARE(controller.flashOutput().count(u"Executing: "_s), 1);
}

void tst_FlashJob::toolThatCannotBeStartedEndsTheJobOnce_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("cause");

#ifdef Q_OS_WIN
    // No cause given: the system's words for it, as Qt reports them.
    QTest::newRow("not a program") << QByteArray("not a program\n") << true << QString();
#else
    QTest::newRow("not executable") << QByteArray("#!/bin/sh\nexit 0\n") << false << u"Permission denied"_s;
    QTest::newRow("not a program for this system")
            << QByteArray("MZ\x90\x00\x03\x00\x00\x00 a Windows program", 24) << true << u"Exec format error"_s;
#endif
}

void tst_FlashJob::toolThatCannotBeStartedEndsTheJobOnce()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, executable);
    QFETCH(QString, cause);

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.writeImages(profile) && firmware.writeFile(u"esptool.exe"_s, content));
    const QFileDevice::Permissions readWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QString tool = firmware.path() + u"/esptool.exe"_s;
    QVERIFY(QFile::setPermissions(tool, executable ? readWrite | QFileDevice::ExeOwner : readWrite));
    if (cause.isEmpty()) {
        QProcess direct;
        direct.start(tool);
        QVERIFY(!direct.waitForStarted());
        cause = direct.errorString();
    }

    FlashController controller;
    Recorder recorder(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(waitUntilIdle(controller));
    // Nothing more may follow.
    QTest::qWait(300);

    QCOMPARE(recorder.events, (QStringList{ u"flashOutputChanged"_s, u"isFlashingChanged"_s, u"flashOutputChanged"_s,
                                            u"flashFailed"_s, u"flashOutputChanged"_s, u"isFlashingChanged"_s }));
    QCOMPARE(recorder.reasons, QStringList{ u"无法启动烧录工具 esptool.exe。"_s });
    const QString log = controller.flashOutput();
    const qsizetype lineStart = log.lastIndexOf(u"\n<b><font color='red'>"_s);
    QVERIFY2(lineStart > 0, qPrintable(log));
    // The line names the cause in Qt's words.
    const QString failureLine = log.mid(lineStart);
    QVERIFY(failureLine.endsWith(u"</font></b>"_s));
    QVERIFY2(failureLine.startsWith(u"\n<b><font color='red'>烧录失败！"_s), qPrintable(failureLine));
    QVERIFY2(failureLine.contains(cause), qPrintable(failureLine));
    QCOMPARE(controller.isFlashing(), false);
}

void tst_FlashJob::startWhileAJobRunsIsRefused()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    // The tool goes on only once the test has tried to start another job.
    QVERIFY(firmware.useScript({ Step::out(u"running\n"_s), Step::waitFor(firmware.scratchFile(u"tried"_s)) }));
    firmware.recordProcessIds();

    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller.flashOutput().contains(u"running"_s), patience);
    const QString runningLog = controller.flashOutput();

    {
        Recorder recorder(&controller);
        controller.startFlash(profile, u"COM6"_s);
        QCOMPARE(recorder.events, QStringList{ u"flashFailed"_s });
        QCOMPARE(recorder.reasons, QStringList{ u"烧录正在进行中，请等待当前任务结束。"_s });
    }
    QCOMPARE(controller.flashOutput(), runningLog);
    QVERIFY(controller.isFlashing());

    QSignalSpy succeeded(&controller, &FlashController::flashSucceeded);
    QSignalSpy failed(&controller, &FlashController::flashFailed);
    QVERIFY(firmware.createScratchFile(u"tried"_s));
    QVERIFY(waitUntilIdle(controller));
    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(firmware.processIds().size(), 1);
}

void tst_FlashJob::utf8IsDecodedPerChannelAndNothingIsLost_data()
{
    QTest::addColumn<QList<QByteArray>>("earlierJob");
    QTest::addColumn<QList<QByteArray>>("steps");
    QTest::addColumn<QStringList>("fragments");

    // "你好" is e4 bd a0 e5 a5 bd. A broken character shows as one
    // replacement character per byte.
    QTest::newRow("characters cut between reads of one channel")
            << QList<QByteArray>()
            << QList<QByteArray>{ Step::outHex("e4bd"), Step::drained(), Step::outHex("a0e5"), Step::drained(),
                                  Step::outHex("a5bd0a"), Step::drained(), Step::errHex("e4bd"), Step::drained(),
                                  Step::errHex("a00a") }
            // The partial read still has its own element, empty as it decoded nothing.
            << QStringList{ u"\n\n你好\n<font color='red'></font><font color='red'>你\n</font>"_s };
    // A Python tool on Windows writes text in the ANSI code page unless told
    // to write UTF-8; the stand-in does the same.
    QTest::newRow("text the tool writes as text")
            << QList<QByteArray>() << QList<QByteArray>{ Step::out(u"固件 路径\n"_s), Step::drained(), Step::err(u"错误\n"_s) }
            << QStringList{ u"\n\n固件 路径\n<font color='red'>错误\n</font>"_s };
    // A Python tool on Windows writes text in the ANSI code page unless told
    // to write UTF-8.
    QTest::newRow("the tool is told to write UTF-8")
            << QList<QByteArray>() << QList<QByteArray>{ Step::environment("PYTHONIOENCODING") }
            << QStringList{ u"\n\nPYTHONIOENCODING=utf-8\n"_s };
    QTest::newRow("a byte that is not UTF-8") << QList<QByteArray>() << QList<QByteArray>{ Step::outHex("ff0a") }
                                              << QStringList{ u"\n\n\uFFFD\n"_s };
    QTest::newRow("a character cut between the channels")
            << QList<QByteArray>()
            << QList<QByteArray>{ Step::outHex("e4bd"), Step::drained(), Step::errHex("a00a"), Step::drained() }
            << QStringList{ u"\n\n<font color='red'>\uFFFD\n</font>\uFFFD\uFFFD\n<b>"_s };
    // The end of a job's output is shown, not held back for the next job.
    QTest::newRow("a character cut between two jobs")
            << QList<QByteArray>{ Step::outHex("0a"), Step::outHex("e4bd") }
            << QList<QByteArray>{ Step::outHex("a00a") } << QStringList{ u"\n\n\uFFFD\n\n<b>"_s };
    QTest::newRow("a character cut at the end of the output")
            << QList<QByteArray>() << QList<QByteArray>{ Step::outHex("0a"), Step::drained(), Step::errHex("e4bd") }
            << QStringList{ u"<font color='red'>\uFFFD\uFFFD</font>\n<b><font color='green'>"_s };
}

void tst_FlashJob::utf8IsDecodedPerChannelAndNothingIsLost()
{
    QFETCH(QList<QByteArray>, earlierJob);
    QFETCH(QList<QByteArray>, steps);
    QFETCH(QStringList, fragments);

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    FlashController controller;
    if (!earlierJob.isEmpty()) {
        QVERIFY(firmware.useScript(earlierJob));
        controller.startFlash(profile, u"COM5"_s);
        QVERIFY(waitUntilIdle(controller));
        QVERIFY2(controller.flashOutput().contains(u"\uFFFD\uFFFD\n<b>"_s), qPrintable(controller.flashOutput()));
    }
    QVERIFY(firmware.useScript(steps));
    Recorder recorder(&controller);
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(waitUntilIdle(controller));
    for (const QString &fragment : fragments)
        QVERIFY2(controller.flashOutput().contains(fragment), qPrintable(controller.flashOutput()));
    // The completion line is a change of its own, after the last of the
    // tool's text: the window tells the two apart by that.
    const qsizetype atResult = recorder.events.indexOf(u"flashSucceeded"_s);
    QVERIFY(atResult > 0 && recorder.events.at(atResult - 1) == u"flashOutputChanged"_s);
    QCOMPARE(recorder.logs.at(atResult), recorder.logs.at(atResult - 1) + u"\n<b><font color='green'>烧录成功！</font></b>"_s);
}

void tst_FlashJob::destroyingTheControllerEndsTheToolAndItsChildrenSilently_data()
{
    QTest::addColumn<bool>("launcher");
    QTest::addColumn<int>("processes");

    QTest::addColumn<QList<QByteArray>>("firstSteps");

    QTest::newRow("a tool") << false << 1 << QList<QByteArray>();
    // A one-file bundle: a launcher waiting for the real tool, its child.
    QTest::newRow("a launcher and the tool it started") << true << 2 << QList<QByteArray>();
#ifdef Q_OS_LINUX
    // A child that left the tool's process group and session.
    QTest::newRow("a tool whose child left its session") << false << 2 << QList<QByteArray>{ Step::leaveSession() };
#endif
}

void tst_FlashJob::destroyingTheControllerEndsTheToolAndItsChildrenSilently()
{
    QFETCH(bool, launcher);
    QFETCH(int, processes);
    QFETCH(QList<QByteArray>, firstSteps);

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    // The whole tree ends at once: no process of it may see its parent end
    // before it ends itself (a launcher's child would then go on alone for
    // a moment, writing to the board).
    const QString orphaned = firmware.scratchFile(u"orphaned"_s);
    QVERIFY(firmware.useScript(QList<QByteArray>{ Step::noteOrphaned(orphaned) } + firstSteps
                               + QList<QByteArray>{ Step::out(u"started\n"_s), Step::hang() }));
    firmware.recordProcessIds();
    qputenv("STANDIN_LAUNCHER", launcher ? "1" : "");

    auto controller = std::make_unique<FlashController>();
    QSignalSpy succeeded(controller.get(), &FlashController::flashSucceeded);
    QSignalSpy failed(controller.get(), &FlashController::flashFailed);
    controller->startFlash(profile, u"COM5"_s);
    QTRY_VERIFY_WITH_TIMEOUT(controller->flashOutput().contains(u"started"_s), patience);
    const QList<qint64> processIds = firmware.processIds();
    QCOMPARE(processIds.size(), processes);
    for (qint64 processId : processIds)
        QVERIFY(isProcessAlive(processId));

    controller.reset();
    QCOMPARE(succeeded.count(), 0);
    QCOMPARE(failed.count(), 0);
    // Within moments, not after the minutes a hanging tool would run on.
    for (qint64 processId : processIds)
        QTRY_VERIFY2_WITH_TIMEOUT(!isProcessAlive(processId), qPrintable(u"process %1 of the job is still running"_s.arg(processId)),
                                  patience);
    QVERIFY2(QFileInfo(orphaned).size() == 0, "a process of the job outlived its parent");
}

QTEST_GUILESS_MAIN(tst_FlashJob)
#include "tst_flashjob.moc"
