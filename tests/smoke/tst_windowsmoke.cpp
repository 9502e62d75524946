#include "helperprocess.h"
#include "xvfbdisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

// The lines of text that appeared below a control when it was clicked: a
// popup list shows one line per entry, dark on a light background.
int textLinesOpenedBelow(const QPoint &clicked, const QImage &before, const QImage &after)
{
    // The popup is where many pixels changed; a pixel or two elsewhere (a
    // glyph drawn a little differently) does not count.
    QList<int> changedInColumn(after.width());
    QList<int> changedInRow(after.height());
    for (int y = clicked.y() + 20; y < after.height(); ++y) {
        for (int x = 0; x < after.width(); ++x) {
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

    // Inside the popup's border; a gap of a few rows (below the letters, an
    // underscore) does not end a line.
    int lines = 0;
    int blankRows = 8;
    for (int y = top + 4; y <= bottom - 4; ++y) {
        bool ink = false;
        for (int x = left + 4; x <= right - 4 && !ink; ++x)
            ink = qGray(after.pixel(x, y)) < 110;
        lines += ink && blankRows >= 8 ? 1 : 0;
        blankRows = ink ? 0 : blankRows + 1;
    }
    return lines;
}

} // namespace

class tst_WindowSmoke : public QObject
{
    Q_OBJECT

private slots:
    void programShowsTheProfilesWithoutWarningsAndExitsZeroWhenClosed();
};

void tst_WindowSmoke::programShowsTheProfilesWithoutWarningsAndExitsZeroWhenClosed()
{
    XvfbDisplay display;
    QVERIFY2(display.start(), qPrintable(display.errorString()));

    // Started as a user starts it: only the display is the test's.
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, display.name());
    environment.remove(u"QT_QPA_PLATFORM"_s);
#ifdef VELMORIN_SANITIZED_BUILD
    // Mesa's GL driver leaks and is unloaded before the leak report can name
    // it, so nothing could tell its leaks from ours: the sanitized run draws
    // with Qt Quick's software renderer, and leaks of the program still count.
    environment.insert(u"QT_QUICK_BACKEND"_s, u"software"_s);
#endif
    program.setProcessEnvironment(environment);
    endWithThisProcess(program);
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
    // pictures until two in a row show the same drawn window, or give up.
    QImage screenshot;
    QImage previous;
    QDeadlineTimer drawn(20000);
    do {
        previous = screenshot;
        QTest::qWait(250);
        screenshot = display.grab(window);
    } while ((colourCount(screenshot) < 16 || screenshot != previous) && !drawn.hasExpired());
    QCOMPARE(screenshot.size(), QSize(800, 520));
    QVERIFY(screenshot.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-window.png"_s));
    QVERIFY2(colourCount(screenshot) >= 16, "the window is blank");

    // The device selector opens on the nine profiles the controller offers.
    const QPoint deviceSelector(270, 30);
    display.click(window, deviceSelector);
    int entries = 0;
    QImage opened;
    QDeadlineTimer listed(10000);
    do {
        QTest::qWait(100);
        opened = display.grab(window);
        entries = textLinesOpenedBelow(deviceSelector, screenshot, opened);
    } while (entries != 9 && !listed.hasExpired());
    opened.save(QCoreApplication::applicationDirPath() + u"/appvelmorin-devices.png"_s);
    QCOMPARE(entries, 9);
    display.pressEscape();

    display.requestClose(window);
    QVERIFY2(program.waitForFinished(20000), "closing the window did not end the program");
    stopProgram.dismiss();
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
             qPrintable(u"exit code %1; stderr:\n"_s.arg(program.exitCode()) + errors));

    // Whatever QML reports (a reference to something the program did not
    // publish, a type error, a binding loop) names a QML file and a line.
    static const QRegularExpression qmlDiagnostic(u"^.*(\\.qml:\\d+|ReferenceError|TypeError|Binding loop).*$"_s,
                                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch diagnostic = qmlDiagnostic.match(errors);
    QVERIFY2(!diagnostic.hasMatch(), qPrintable(u"QML diagnostics on stderr:\n"_s + errors));
}

QTEST_GUILESS_MAIN(tst_WindowSmoke)
#include "tst_windowsmoke.moc"
