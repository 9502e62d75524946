#include "firmwarefixture.h"
#include "helperprocess.h"
#include "logpane.h"
#include "windowharness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlContext>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;
// Debian's own Python, which sees Debian's python3-serial and friends.
const QString python = u"/usr/bin/python3"_s;
const QString simulatorDir = QStringLiteral(VELMORIN_ESPTOOL_SIM_DIR);
constexpr qsizetype flashSize = 4 << 20;

struct FlashRegion
{
    qsizetype offset;
    QString fileName;
};

const FlashRegion flashLayout[] = {
    { 0x0, u"bootloader.bin"_s },
    { 0x8000, u"partitions.bin"_s },
    { 0xe000, u"boot_app0.bin"_s },
    { 0x10000, u"firmware.bin"_s },
};

// firmware/esptool.exe as a user on Linux makes it: the unpacked esptool of
// that version, given the program's arguments as they are.
QByteArray toolWrapper(const QString &version)
{
    const QByteArray source = QStringLiteral(VELMORIN_ESPTOOL_DIR "/esptool-%1").arg(version).toUtf8();
    if (version.startsWith(u'4'))
        return "#!/bin/sh\nexec " + python.toUtf8() + " '" + source + "/esptool.py' \"$@\"\n";
    return "#!/bin/sh\nPYTHONPATH='" + source + "' exec " + python.toUtf8() + " -m esptool \"$@\"\n";
}

// What the log pane shows once it shows this job's verdict: a pane that
// names the job's own port (the last job's pane may end in the same
// verdict), or what it shows when the wait runs out.
ShownText paneOnceItShows(const WindowHarness &window, const QString &port, const QString &verdict)
{
    QQuickItem *logText = window.item(u"logText"_s);
    const auto showsTheJob = [&] {
        const QString text = shownText(logText).text;
        return text.contains(u"--port "_s + port + u' ') && text.endsWith(verdict);
    };
    if (!QTest::qWaitFor(showsTheJob, patience))
        qWarning("the pane did not show this job's verdict");
    return shownText(logText);
}

// Whether the character at a position is drawn in a shade of red.
bool drawnRed(const ShownText &shown, qsizetype position)
{
    const QColor colour(shown.colourAt(position));
    return colour.isValid() && colour.red() > 200 && colour.green() < 160 && colour.blue() < 160;
}

// A helper program that ends with the test, however the test ends.
bool startHelper(QProcess &process, const QString &program, const QStringList &arguments)
{
    endWithThisProcess(process);
    process.start(program, arguments);
    return process.waitForStarted(patience);
}

// Asks a helper to end, and ends it for sure; whether it ended when asked.
bool stopHelper(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (process.waitForFinished(patience))
        return true;
    process.kill();
    process.waitForFinished();
    return false;
}

} // namespace

// The real esptool, v4 and v5, flashes a simulated ESP32-S3 through the real
// window: the simulator listens on a TCP port, socat joins a pty to it, and
// the pty's absolute path is the port the user picks.
class tst_RealEsptool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void flashesTheSimulatedChipAsTheUserSeesIt_data();
    void flashesTheSimulatedChipAsTheUserSeesIt();

private:
    std::unique_ptr<FirmwareFixture> m_firmware;
    QByteArray m_expectedFlash;
    // One window for the whole table, as a user flashes job after job.
    std::unique_ptr<WindowHarness> m_window;
};

void tst_RealEsptool::initTestCase()
{
    m_firmware = std::make_unique<FirmwareFixture>();
    QVERIFY(m_firmware->isValid());
    const QString images = m_firmware->profilePath(profile);
    QVERIFY(QDir().mkpath(images));

    // The simulator's own check makes valid ESP32-S3 images (esptool checks
    // their chip id and revision against the chip), the same ones each time.
    QProcess maker;
    maker.setProcessChannelMode(QProcess::MergedChannels);
    QVERIFY(startHelper(maker, python, { u"-B"_s, u"-c"_s, u"import os, random, sys\n"
                                         "sys.path.insert(0, sys.argv[1])\n"
                                         "import check\n"
                                         "for name, data in check.make_images(random.Random(0x533)).items():\n"
                                         "    open(os.path.join(sys.argv[2], name), 'wb').write(data)\n"_s,
                                         simulatorDir, images }));
    QVERIFY(maker.waitForFinished(patience));
    QVERIFY2(maker.exitCode() == 0, maker.readAll().constData());

    m_expectedFlash = QByteArray(flashSize, char(0xff));
    for (const FlashRegion &region : flashLayout) {
        QFile image(QDir(images).filePath(region.fileName));
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QByteArray bytes = image.readAll();
        QVERIFY(bytes.size() > 1000);
        m_expectedFlash.replace(region.offset, bytes.size(), bytes);
    }

    // As a user who starts the program from a terminal runs it: esptool v5
    // then colours its output and redraws its progress in place, even into
    // a pipe.
    qputenv("TERM", "xterm-256color");
    qunsetenv("NO_COLOR");

    m_window = std::make_unique<WindowHarness>();
    QVERIFY(m_window->isLoaded() && m_window->selectDevice(profile));
}

void tst_RealEsptool::flashesTheSimulatedChipAsTheUserSeesIt_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    // The start of the tool's line that tells how the flash went: the pane
    // must show it as a line of its own.
    QTest::addColumn<QString>("toolSays");

    for (const QString &version : { u"4.12.0"_s, u"5.3.1"_s }) {
        const QByteArray name = version.toLatin1();
        QTest::newRow(name + " success") << version << u"none"_s << 0 << u"Hash of data verified."_s;
        QTest::newRow(name + " no chip answering")
                << version << u"silent"_s << 2 << u"A fatal error occurred: Failed to connect to ESP32-S3: No serial data received."_s;
        QTest::newRow(name + " link dropped while writing")
                << version << u"drop-during-write"_s << 1 << u"A serial exception error occurred: "_s;
        QTest::newRow(name + " flash write error")
                << version << u"flash-error"_s << 2
                << u"A fatal error occurred: Failed to write compressed data to flash after seq 17 "
                   "(result was C400: Failed SPI operation)"_s;
    }
}

void tst_RealEsptool::flashesTheSimulatedChipAsTheUserSeesIt()
{
    QFETCH(QString, version);
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, toolSays);

    QVERIFY(m_firmware->writeFile(u"esptool.exe"_s, toolWrapper(version)));
    QVERIFY(QFile::setPermissions(QDir(m_firmware->path()).filePath(u"esptool.exe"_s),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString dump = scratch.filePath(u"flash.bin"_s);
    const QString port = scratch.filePath(u"ttyV0"_s);

    QProcess simulator;
    QProcess socat;
    // However the row ends, neither outlives it.
    const auto stopBoth = qScopeGuard([&] {
        stopHelper(socat);
        stopHelper(simulator);
    });
    QVERIFY(startHelper(simulator, python, { u"-B"_s, simulatorDir + u"/sim.py"_s, u"--port"_s, u"0"_s, u"--flash-out"_s, dump,
                                             u"--fault"_s, fault, u"--timeout"_s, u"90"_s }));
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine() || simulator.state() == QProcess::NotRunning, patience);
    const QByteArray listening = simulator.readLine().trimmed(); // "sim: listening on 127.0.0.1:PORT"
    QVERIFY2(listening.startsWith("sim: listening on 127.0.0.1:"), simulator.readAllStandardError().constData());
    QVERIFY(startHelper(socat, u"socat"_s, { u"PTY,link=%1,raw,echo=0"_s.arg(port),
                                            u"TCP:127.0.0.1:"_s + QString::fromLatin1(listening.split(':').last()) }));
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo::exists(port), socat.readAllStandardError().constData(), patience);

    WindowHarness &window = *m_window;
    // The last job's dialog was closed with its OK button.
    for (const char *dialog : { "successDialog", "failureDialog" })
        QMetaObject::invokeMethod(qmlContext(window.window())->objectForName(QLatin1String(dialog)), "close");
    window.injectPort(port);
    window.click(window.item(u"flashButton"_s));
    QVERIFY(window.controller().isFlashing());
    QVERIFY(waitUntilIdle(window.controller(), 2 * patience));

    // The simulator saves the flash when its connection ends, and at the
    // latest when it is told to stop. A dropped link has ended both already.
    QVERIFY(stopHelper(socat) && stopHelper(simulator));

    const QString log = window.controller().flashOutput();
    const QString verdict = exitCode == 0 ? u"烧录成功！"_s : u"烧录失败！退出代码: %1"_s.arg(exitCode);
    const ShownText shown = paneOnceItShows(window, port, verdict);
    const QString &pane = shown.text;
    const QByteArray seen = "--- the log pane:\n" + pane.toLocal8Bit() + "\n--- the simulator:\n"
            + simulator.readAllStandardError();

    // The tool was given the absolute path as it was, and the chip (or it
    // would have had to detect it).
    QVERIFY2(pane.contains(u"Serial port "_s + port), seen.constData());
    QVERIFY2(!pane.contains(u"Detecting chip type"_s), seen.constData());
    if (exitCode == 0) {
        QVERIFY2(log.endsWith(u"\n<b><font color='green'>烧录成功！</font></b>"_s), seen.constData());
        QVERIFY(pane.endsWith(u'\n' + verdict));
        QVERIFY(window.property(u"successDialog"_s, "visible").toBool());
        QCOMPARE(window.property(u"successDialog"_s, "title").toString(), u"Succeed"_s);
        QVERIFY(!window.property(u"failureDialog"_s, "visible").toBool());
        QFile flash(dump);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QVERIFY2(flash.readAll() == m_expectedFlash, "the flash does not hold the four images, and 0xFF elsewhere");
        // ... written in the layout's order.
        QStringList written;
        auto wrote = QRegularExpression(u"^Wrote \\d+ bytes \\(\\d+ compressed\\) at (0x[0-9a-f]+)"_s,
                                        QRegularExpression::MultilineOption).globalMatch(pane);
        while (wrote.hasNext())
            written << wrote.next().captured(1);
        QCOMPARE(written, QStringList({ u"0x00000000"_s, u"0x00008000"_s, u"0x0000e000"_s, u"0x00010000"_s }));
    } else {
        QVERIFY2(log.endsWith(u"\n<b><font color='red'>"_s + verdict + u"</font></b>"_s), seen.constData());
        QVERIFY(pane.endsWith(u'\n' + verdict));
        QVERIFY(window.property(u"failureDialog"_s, "visible").toBool());
        QCOMPARE(window.property(u"failureDialog"_s, "title").toString(), u"Error"_s);
        QCOMPARE(window.property(u"errorLabel"_s, "text").toString(), u"Flashing failed: 烧录过程出错，请检查日志。"_s);
        QVERIFY(!window.property(u"successDialog"_s, "visible").toBool());
    }

    // What the tool said, on a line of its own, with nothing left of the
    // escape codes and carriage returns it said it with.
    const QRegularExpressionMatch said = QRegularExpression(u"(^|\n)("_s + QRegularExpression::escape(toolSays) + u')').match(pane);
    QVERIFY2(said.hasMatch(), seen.constData());
    // Its reason for a failure stands out, whichever channel it came on.
    QCOMPARE(drawnRed(shown, said.capturedStart(2)), exitCode != 0);
    QVERIFY2(!pane.contains(QChar(0x1b)) && !pane.contains(u'\r'), seen.constData());
    QVERIFY2(!pane.contains(QRegularExpression(u"\\[[0-9;]*[ABCDGHJKm]"_s)), seen.constData());
    QVERIFY2(!pane.contains(QRegularExpression(u"Writing at[^\n]*Writing at"_s)), seen.constData());
    // esptool v5 did colour its output, and redrew its progress in place
    // where it wrote; v4 does neither into a pipe.
    const bool v5 = version.startsWith(u'5');
    QCOMPARE(log.contains(QChar(0x1b)), v5);
    QCOMPARE(log.contains(u"\r\u001b[K"_s), v5 && log.contains(u"Writing at"_s));
}

QTEST_MAIN(tst_RealEsptool)
#include "tst_realesptool.moc"
