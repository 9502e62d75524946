#include "firmwarefixture.h"
#include "helperprocess.h"
#include "runningprogram.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// The smallest rectangle of the area that holds what changed between two
// pictures: rows and columns where many pixels changed. A pixel or two
// elsewhere (a glyph drawn a little differently) does not count.
QRect changedRect(const QImage &before, const QImage &after, const QRect &area)
{
    QList<int> changedInColumn(after.width());
    QList<int> changedInRow(after.height());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y)) {
                ++changedInColumn[x];
                ++changedInRow[y];
            }
        }
    }
    const auto span = [](const QList<int> &counts) {
        const auto many = [](int count) { return count >= 20; };
        const auto first = std::find_if(counts.begin(), counts.end(), many);
        const auto last = std::find_if(counts.rbegin(), counts.rend(), many);
        return first == counts.end() ? std::pair(0, -1)
                                     : std::pair(int(first - counts.begin()), int(counts.rend() - last) - 1);
    };
    const auto [left, right] = span(changedInColumn);
    const auto [top, bottom] = span(changedInRow);
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

// The lines of text in a popup list that opened: one line per entry, dark
// on a light background.
int textLines(const QImage &image, const QRect &popup)
{
    // Inside the popup's border; a gap of a few rows (below the letters, an
    // underscore) does not end a line.
    int lines = 0;
    int blankRows = 8;
    for (int y = popup.top() + 4; y <= popup.bottom() - 4; ++y) {
        bool ink = false;
        for (int x = popup.left() + 4; x <= popup.right() - 4 && !ink; ++x)
            ink = qGray(image.pixel(x, y)) < 110;
        lines += ink && blankRows >= 8 ? 1 : 0;
        blankRows = ink ? 0 : blankRows + 1;
    }
    return lines;
}

// Pixels of the green the success line is written in.
int greenPixels(const QImage &image, const QRect &area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            count += qGreen(pixel) > 180 && qRed(pixel) < 130 && qBlue(pixel) > 130 && qBlue(pixel) < 200 ? 1 : 0;
        }
    }
    return count;
}

} // namespace

class tst_WindowSmoke : public QObject
{
    Q_OBJECT

private slots:
    void programShowsTheProfilesWithoutWarningsAndExitsZeroWhenClosed();
    void signalMidJobEndsTheToolThenTheProgramByThatSignal_data();
    void signalMidJobEndsTheToolThenTheProgramByThatSignal();
    void deployedProgramFlashesTheDemo_data();
    void deployedProgramFlashesTheDemo();
};

void tst_WindowSmoke::programShowsTheProfilesWithoutWarningsAndExitsZeroWhenClosed()
{
    RunningProgram program;
    QVERIFY2(program.start(QStringLiteral(VELMORIN_APP_PATH), {}, userEnvironment()), qPrintable(program.errorString()));

    const QImage screenshot = program.settledPicture();
    QCOMPARE(screenshot.size(), QSize(800, 520));
    QVERIFY(screenshot.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-window.png"_s));
    QVERIFY2(colourCount(screenshot) >= 16, "the window is blank");

    // The device selector opens on the nine profiles the controller offers.
    const QPoint deviceSelector(270, 30);
    program.display().click(program.window(), deviceSelector);
    const QRect below(0, deviceSelector.y() + 20, screenshot.width(), screenshot.height() - deviceSelector.y() - 20);
    int entries = 0;
    QImage opened;
    QDeadlineTimer listed(patience);
    do {
        QTest::qWait(100);
        opened = program.display().grab(program.window());
        entries = textLines(opened, changedRect(screenshot, opened, below));
    } while (entries != 9 && !listed.hasExpired());
    opened.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-devices.png"_s);
    QCOMPARE(entries, 9);
    program.display().pressKey(u"Escape"_s);

    const auto [exitCode, errors] = program.close();
    QVERIFY2(exitCode == 0, qPrintable(u"exit code %1; stderr:\n"_s.arg(exitCode) + errors));
    QVERIFY2(qmlDiagnostics(errors).isEmpty(), qPrintable(u"QML diagnostics on stderr:\n"_s + errors));
}

void tst_WindowSmoke::signalMidJobEndsTheToolThenTheProgramByThatSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("ignoredFromStart");
    QTest::addColumn<bool>("answering");

    // Ctrl-C, a polite kill, the terminal closed: the tool ends as if the
    // window was closed, then the program ends by the signal, so that a
    // shell sees 130, 143 or 129.
    QTest::newRow("SIGINT") << int(SIGINT) << 0 << true;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 0 << true;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 0 << true;
    // Started by nohup, the program does not end when the terminal closes;
    // a kill still ends it, by its own signal.
    QTest::newRow("SIGTERM after a SIGHUP ignored from the start") << int(SIGTERM) << int(SIGHUP) << true;
    // A program that no longer answers (its X server stopped) is ended by
    // a second signal of the same kind.
    QTest::newRow("SIGTERM twice to a program that no longer answers") << int(SIGTERM) << 0 << false;
    // Killed outright, the program runs nothing more; the system ends the
    // tool it started (not the tool's own child).
    QTest::newRow("SIGKILL") << int(SIGKILL) << 0 << true;
}

void tst_WindowSmoke::signalMidJobEndsTheToolThenTheProgramByThatSignal()
{
    QFETCH(int, signal);
    QFETCH(int, ignoredFromStart);
    QFETCH(bool, answering);

    // The window starts a job only with a port chosen, and it chooses the
    // first port the machine lists; the stand-in opens none of them.
    if (QSerialPortInfo::availablePorts().isEmpty())
        QSKIP("this machine lists no serial port, so the window cannot start a job here");

    // A copy of the program, with a firmware directory of its own: a silent
    // tool in a one-file bundle, a launcher waiting for its child.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString copy = dir.filePath(u"appvelmorin"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELMORIN_APP_PATH), copy));
    FirmwareFixture firmware(dir.path());
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(u"v0_solwen_wireless"_s));
    const QString openFiles = firmware.scratchFile(u"open files"_s);
    QVERIFY(firmware.useScript({ Step::openFiles(openFiles), Step::out(u"started\n"_s), Step::hang() }));
    firmware.recordProcessIds();
    qputenv("STANDIN_LAUNCHER", "1");
    // Whatever happens to the test, nothing of the tool outlives it.
    const auto endTheTool = qScopeGuard([&firmware] {
        if (!firmware.processIds().isEmpty())
            ::kill(-pid_t(firmware.processIds().first()), SIGKILL);
    });

    RunningProgram program;
    QVERIFY2(program.start(copy, {}, userEnvironment(), ignoredFromStart), qPrintable(program.errorString()));
    program.settledPicture();
    program.display().click(program.window(), QPoint(232, 130));
    QDeadlineTimer started(patience);
    while ((firmware.processIds().size() < 2 || !QFileInfo::exists(openFiles)) && !started.hasExpired())
        QTest::qWait(50);
    const QList<qint64> tool = firmware.processIds();
    QVERIFY2(tool.size() == 2, "the click on Start Flashing started no launcher with its child");

    // The tool gets nothing of the program's own but its standard streams:
    // above all not the program's wake-up call for signals, which would
    // keep it open after the program ended.
    QFile inherited(openFiles);
    QVERIFY(inherited.open(QIODevice::ReadOnly));
    const QByteArray files = inherited.readAll();
    QVERIFY2(!files.contains("socket:"), files.constData());

    if (ignoredFromStart != 0)
        program.sendSignal(ignoredFromStart);
    if (!answering) {
        program.display().setAnswering(false);
        program.sendSignal(signal);
        QTRY_VERIFY_WITH_TIMEOUT(program.hasTaken(signal), patience);
    }
    program.sendSignal(signal);
    const bool ended = program.waitForEnd();
    program.display().setAnswering(true);
    QVERIFY2(ended, "the program did not end");
    QCOMPARE(program.process().exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.process().exitCode(), signal);
    if (signal == SIGKILL) {
        QTRY_VERIFY2_WITH_TIMEOUT(!isProcessAlive(tool[0]), "the launcher outlived the program", patience);
        return;
    }
    // Ended by the default action, a program that no longer answered ran
    // nothing more either.
    if (!answering)
        return;
    QTRY_VERIFY2_WITH_TIMEOUT(!isProcessAlive(tool[0]) && !isProcessAlive(tool[1]),
                              "the launcher or its child outlived the program", patience);
}

void tst_WindowSmoke::deployedProgramFlashesTheDemo_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QStringList>("runner");
    QTest::addColumn<bool>("needsListedPort");
    QTest::addColumn<QString>("name");

    // The zip, unpacked into a Wine prefix that lists a port and has the
    // program write its diagnostics to stderr (a Windows GUI program would
    // report them to the debugger only): scripts/test-windows.sh.
    QTest::newRow("Windows zip") << u"VELMORIN_WINDOWS_PROGRAM"_s << QStringList { u"wine"_s } << false
                                 << u"windows"_s;
    // The same, installed by the Windows installer into the user's programs
    // folder, with the demo in its firmware folder.
    QTest::newRow("Windows installer") << u"VELMORIN_WINDOWS_INSTALLED_PROGRAM"_s << QStringList { u"wine"_s }
                                       << false << u"windows-installed"_s;
    // The Debian package, installed, with the demo in its firmware
    // directory: scripts/test-package.sh.
    QTest::newRow("Debian package") << u"VELMORIN_INSTALLED_PROGRAM"_s << QStringList() << true << u"debian"_s;
}

void tst_WindowSmoke::deployedProgramFlashesTheDemo()
{
    QFETCH(QString, variable);
    QFETCH(QStringList, runner);
    QFETCH(bool, needsListedPort);
    QFETCH(QString, name);

    const QString deployed = qEnvironmentVariable(qPrintable(variable));
    if (deployed.isEmpty())
        QSKIP(qPrintable(u"no deployed program given in %1"_s.arg(variable)));
    // The program flashes through the first port it lists; the stand-in
    // opens none, but with none listed the program refuses to start.
    if (needsListedPort && QSerialPortInfo::availablePorts().isEmpty())
        QSKIP("this machine lists no serial port, so the program has none to offer and cannot flash here");

    const QStringList command = runner + QStringList { deployed };
    RunningProgram program;
    QVERIFY2(program.start(command.first(), command.mid(1), userEnvironment()), qPrintable(program.errorString()));
    const QImage idle = program.settledPicture();
    QCOMPARE(idle.size(), QSize(800, 520));
    QVERIFY2(colourCount(idle) >= 16, "the window is blank");

    // The demo's session takes a few seconds; it ends in the success line
    // in the log and the success dialog, half as wide as the window, at its
    // top left.
    program.display().click(program.window(), QPoint(232, 130));
    const QRect logPane(10, 200, 440, 300);
    const QRect dialogs(0, 0, idle.width(), 150);
    const auto showsTheDialog = [&](const QImage &picture) {
        const QRect dialog = changedRect(idle, picture, dialogs);
        return dialog.left() <= 2 && qAbs(dialog.right() - idle.width() / 2) <= 4;
    };
    QImage done;
    QDeadlineTimer finished(2 * patience);
    do {
        QTest::qWait(250);
        done = program.display().grab(program.window());
    } while ((greenPixels(done, logPane) < 20 || !showsTheDialog(done)) && !finished.hasExpired());
    QVERIFY(done.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-%1-succeed.png"_s.arg(name)));
    QVERIFY2(greenPixels(done, logPane) >= 20, "no success line in the log");
    const QRect dialog = changedRect(idle, done, dialogs);
    QVERIFY2(showsTheDialog(done),
             qPrintable(u"no dialog half as wide as the window at its top left: %1..%2"_s.arg(dialog.left()).arg(dialog.right())));

    const auto [exitCode, errors] = program.close();
    QVERIFY2(exitCode == 0, qPrintable(u"exit code %1; stderr:\n"_s.arg(exitCode) + errors));
    QVERIFY2(qmlDiagnostics(errors).isEmpty(), qPrintable(u"QML diagnostics:\n"_s + errors));
}

QTEST_GUILESS_MAIN(tst_WindowSmoke)
#include "tst_windowsmoke.moc"
