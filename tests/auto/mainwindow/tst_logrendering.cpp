#include "fakecontroller.h"
#include "logpane.h"
#include "windowharness.h"

#include <QQmlContext>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QColor paneBackground(u"#2B2B2B"_s);

// The names the rows give the pane's colours; any other is #rrggbb.
const QList<std::pair<QString, QString>> colourNames = {
    { u"#ff6b6b"_s, u"red"_s },         // standard error, and ANSI red
    { u"#5fd75f"_s, u"success"_s },     // the verdicts
    { u"#ff7b7b"_s, u"failure"_s },
    { u"#a0a0a0"_s, u"note"_s },
};

// WCAG 2 contrast of a colour against the pane's background.
double contrast(const QColor &colour)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    return (luminance(colour) + 0.05) / (luminance(paneBackground) + 0.05);
}

// "plain", a colour's name or #rrggbb, and "+b" when bold, of the character
// at a position.
QString styleAt(const ShownText &shown, qsizetype position)
{
    QString style = u"plain"_s;
    bool bold = false;
    for (const QTextLayout::FormatRange &range : shown.formats) {
        if (position < range.start || position >= range.start + range.length)
            continue;
        if (range.format.hasProperty(QTextFormat::ForegroundBrush)) {
            style = range.format.foreground().color().name();
            for (const auto &[value, name] : colourNames)
                style = style == value ? name : style;
        }
        bold = bold || range.format.fontWeight() >= QFont::Bold;
    }
    return bold ? style + u"+b"_s : style;
}

// The pane once it shows what follows the launch line and the empty line
// after it, or as it is after five seconds.
ShownText readPaneOnceItShows(const WindowHarness &window, const QString &visible)
{
    QQuickItem *logText = window.item(u"logText"_s);
    const auto afterLaunch = [&] {
        const QString text = shownText(logText).text;
        return text.mid(text.indexOf(u"\n\n"_s) + 2);
    };
    if (!QTest::qWaitFor([&] { return afterLaunch() == visible; }, 5000))
        qWarning("the pane did not show what was expected within 5 s");
    ShownText pane = shownText(logText);
    pane.text = afterLaunch();
    const qsizetype removed = shownText(logText).text.size() - pane.text.size();
    for (QTextLayout::FormatRange &range : pane.formats)
        range.start -= removed;
    return pane;
}

// Plays the pieces on the fake controller as the real one would append
// them: "o:" a stdout read, "e:" a stderr read, "x:" the tool's exit code.
void play(FakeController &controller, const QStringList &pieces)
{
    controller.launch();
    for (const QString &piece : pieces) {
        const QString text = piece.mid(2);
        if (piece.startsWith(u"o:"_s))
            controller.appendOutput(text);
        else if (piece.startsWith(u"e:"_s))
            controller.appendError(text);
        else
            controller.finish(text.toInt());
    }
}

} // namespace

class tst_LogRendering : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void toolOutputShowsAsWrittenAndOnlyTheControllerFormats_data();
    void toolOutputShowsAsWrittenAndOnlyTheControllerFormats();
    void readsCutAnywhereShowTheSame();
    void paneShowsTheLastLinesAndSaysHowManyItLeavesOut_data();
    void paneShowsTheLastLinesAndSaysHowManyItLeavesOut();
    void failureDialogShowsTheReasonAsText();

private:
    FakeController m_controller;
    std::unique_ptr<WindowHarness> m_window;
};

void tst_LogRendering::initTestCase()
{
    m_window = std::make_unique<WindowHarness>(&m_controller);
    QVERIFY(m_window->isLoaded());
}

void tst_LogRendering::toolOutputShowsAsWrittenAndOnlyTheControllerFormats_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<bool>("openedAfterwards");
    QTest::addColumn<QString>("visible");
    QTest::addColumn<QStringList>("styles");

    const QString failure = u"\n烧录失败！退出代码: 2"_s;
    QTest::newRow("markup from the tool")
            << QStringList{ u"o:<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>\n"_s } << false
            << u"<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>\n"_s << QStringList{ u"link=plain"_s };
    QTest::newRow("entities and lone brackets") << QStringList{ u"o:&amp; &lt; & < > a<b\n"_s } << false
                                                << u"&amp; &lt; & < > a<b\n"_s << QStringList();
    QTest::newRow("stdout copying the success line")
            << QStringList{ u"o:\n<b><font color='green'>烧录成功！</font></b>"_s } << false
            << u"\n<b><font color='green'>烧录成功！</font></b>"_s << QStringList{ u"烧录成功=plain"_s };
    QTest::newRow("stderr copying closing tags") << QStringList{ u"e:bad </font></b> still red\n"_s, u"x:2"_s } << false
                                                 << u"bad </font></b> still red\n"_s + failure
                                                 << QStringList{ u"still=red"_s, u"烧录失败=failure+b"_s };
    // All a tool can still do: one stdout read that is exactly a stderr read.
    QTest::newRow("stdout that is exactly a stderr read")
            << QStringList{ u"o:<font color='red'>as if on stderr</font>"_s } << false << u"as if on stderr"_s
            << QStringList{ u"as if=red"_s };
    // The verdict is the only bold text, in colours of its own.
    QTest::newRow("ANSI bold and colours copying the verdicts")
            << QStringList{ u"o:\u001b[1;32m烧录成功！\u001b[0m\n"_s, u"e:\u001b[1m烧录失败！退出代码: 2\n"_s,
                            u"o:\u001b[1;31m烧录失败！\u001b[22m done\n"_s, u"x:0"_s }
            << false << u"烧录成功！\n烧录失败！退出代码: 2\n烧录失败！ done\n\n烧录成功！"_s
            << QStringList{ u"烧录成功！\n=#8fef8f"_s, u"退出代码=red"_s, u"烧录失败！ done=#ff8f8f"_s, u"done=red"_s };

    QTest::newRow("a title sequence without its end")
            << QStringList{ u"o:abc\u001b]0;title\n"_s, u"e:A fatal error occurred\n"_s, u"x:2"_s } << false
            << u"abc\nA fatal error occurred\n"_s + failure << QStringList{ u"fatal=red"_s, u"烧录失败=failure+b"_s };
    QTest::newRow("a colour sequence cut between stdout reads, stderr between")
            << QStringList{ u"o:ok \u001b[1;3"_s, u"e:warn\n"_s, u"o:2mdone\u001b[0m end\n"_s } << false
            << u"ok warn\ndone end\n"_s << QStringList{ u"warn=red"_s, u"done=#8fef8f"_s, u"end=plain"_s };
    QTest::newRow("character sets and other short sequences")
            << QStringList{ u"o:a\u001b(Bb\u001b=c\u001b7d\u001b#8e\n"_s } << false << u"abcde\n"_s << QStringList();
    QTest::newRow("a sequence that never ends is cut at its bound")
            << QStringList{ u"o:\u001b]"_s + QString(300, u't') + u'\n' } << false << QString(46, u't') + u'\n' << QStringList();
    QTest::newRow("cancelled sequences") << QStringList{ u"o:a\u001b[31\u0018b\u001b]title\u001ac\u001b[3\u001b[32md\n"_s }
                                         << false << u"abcd\n"_s << QStringList{ u"b=plain"_s, u"d=#6bd66b"_s };
    QTest::newRow("ANSI colours, bold drawn bright")
            << QStringList{ u"o:\u001b[33mWARNING\u001b[0m plain \u001b[1;31mERR\u001b[39m bold\u001b[m end\n"_s } << false
            << u"WARNING plain ERR bold end\n"_s
            << QStringList{ u"WARNING=#e8c547"_s, u"plain=plain"_s, u"ERR=#ff8f8f"_s, u"bold=plain"_s, u"end=plain"_s };
    QTest::newRow("every ANSI colour reads on the pane")
            << QStringList{ u"o:\u001b[30m0\u001b[31m1\u001b[32m2\u001b[33m3\u001b[34m4\u001b[35m5\u001b[36m6\u001b[37m7"
                            "\u001b[90m8\u001b[91m9\u001b[92ma\u001b[93mb\u001b[94mc\u001b[95md\u001b[96me\u001b[97mf\n"_s,
                            u"e:\u001b[1;30mg\n"_s, u"x:2"_s }
            << false << u"0123456789abcdef\ng\n"_s + failure << QStringList{ u"0=#999999"_s, u"g=#b0b0b0"_s };
    QTest::newRow("a colour left on stdout does not reach stderr")
            << QStringList{ u"o:\u001b[32mgreen"_s, u"e:err\n"_s, u"o:still green\n"_s } << false << u"greenerr\nstill green\n"_s
            << QStringList{ u"green=#6bd66b"_s, u"err=red"_s, u"still=#6bd66b"_s };
    QTest::newRow("direction controls")
            << QStringList{ u"o:abc\u202edef\u2067ghi\u2069\u200fjkl\u061cmno\u202apqr\u202dstu\u202cvwx\n"_s } << false
            << u"abcdefghijklmnopqrstuvwx\n"_s << QStringList();

    // esptool's reason for a failure stands out, on stdout as well (v4).
    QTest::newRow("error lines are red on either channel")
            << QStringList{ u"o:Writing...\nA fatal er"_s, u"o:ror occurred: Failed to connect\nFor help visit: x\n"_s,
                            u"o:Note: A fatal error occurred: quoted\n"_s,
                            u"o:A serial exception error occurred: read failed\n"_s, u"x:1"_s }
            << false
            << u"Writing...\nA fatal error occurred: Failed to connect\nFor help visit: x\nNote: A fatal error occurred: quoted\n"
               "A serial exception error occurred: read failed\n\n烧录失败！退出代码: 1"_s
            << QStringList{ u"Writing=plain"_s, u"A fatal=red"_s, u"Failed=red"_s, u"For help=plain"_s,
                            u"Note=plain"_s, u"A serial=red"_s, u"烧录失败=failure+b"_s };

    QTest::newRow("line feeds break lines") << QStringList{ u"o:a\nb\n\nc"_s } << false << u"a\nb\n\nc"_s << QStringList();
    QTest::newRow("CR LF is one break, even cut between reads") << QStringList{ u"o:one\r\ntwo\r"_s, u"o:\nthree"_s } << false
                                                                << u"one\ntwo\nthree"_s << QStringList();
    QTest::newRow("a lone CR starts the line over")
            << QStringList{ u"o:Writing at 0x0... (10 %)\rWriting at 0x0... (100 %)\nHash\r"_s } << false
            << u"Writing at 0x0... (100 %)\nHash"_s << QStringList();
    QTest::newRow("progress redrawn in place keeps the colour it set")
            << QStringList{ u"o:\r\u001b[K\u001b[36m10%\r\u001b[K20%\r"_s, u"o:\u001b[K30%\n"_s } << false << u"30%\n"_s
            << QStringList{ u"30%=#5fcfcf"_s };
    QTest::newRow("runs of spaces, and tabs to the next stop")
            << QStringList{ u"o:a   b\n  indented\n\tx\nab\tc\n"_s } << false << u"a   b\n  indented\n        x\nab      c\n"_s
            << QStringList();
    QTest::newRow("control characters are dropped") << QStringList{ u"o:a\u0000b\u0007c\u0008d\u009be\n"_s } << false
                                                    << u"abcde\n"_s << QStringList();
    QTest::newRow("a line too long to show, its kept part still text")
            << QStringList{ u"o:<b>"_s + QString(11997, u'x') + u'\n' } << false
            << u"<b>"_s + QString(9997, u'x') + u" … 2000 more characters not shown\n"_s
            << QStringList{ u"<b>x=plain"_s, u"…=note"_s };
    QTest::newRow("a line too long, made of many pieces")
            << QStringList{ u"o:"_s + QString(u"x\u0007"_s).repeated(6000), u"o:"_s + QString(u"y\u0007"_s).repeated(6000) + u'\n' }
            << false << QString(6000, u'x') + QString(4000, u'y') + u" … 2000 more characters not shown\n"_s
            << QStringList{ u"…=note"_s };
    QTest::newRow("a line too long cuts between characters, not inside one")
            << QStringList{ u"o:"_s + QString(u"😀"_s).repeated(10001) + u'\n' } << false
            << QString(u"😀"_s).repeated(10000) + u" … 1 more character not shown\n"_s << QStringList();
    QTest::newRow("the success line") << QStringList{ u"o:烧录 done\n"_s, u"x:0"_s } << false << u"烧录 done\n\n烧录成功！"_s
                                      << QStringList{ u"done=plain"_s, u"烧录成功=success+b"_s };
    QTest::newRow("a window opened after the job")
            << QStringList{ u"o:out\n"_s, u"e:err\n"_s, u"x:2"_s } << true << u"out\nerr\n"_s + failure
            << QStringList{ u"out=plain"_s, u"err=red"_s, u"烧录失败=failure+b"_s };
    QTest::newRow("a window opened after the job, stdout copying the verdict")
            << QStringList{ u"o:\n<b><font color='green'>烧录成功！</font></b>\n"_s, u"x:2"_s } << true
            << u"\n<b><font color='green'>烧录成功！</font></b>\n"_s + failure
            << QStringList{ u"烧录成功=plain"_s, u"烧录失败=failure+b"_s };
    QTest::newRow("a window opened during the job, stdout copying the verdict")
            << QStringList{ u"o:\n<b><font color='green'>烧录成功！</font></b>"_s } << true
            << u"\n<b><font color='green'>烧录成功！</font></b>"_s << QStringList{ u"烧录成功=plain"_s };
}

void tst_LogRendering::toolOutputShowsAsWrittenAndOnlyTheControllerFormats()
{
    QFETCH(QStringList, pieces);
    QFETCH(bool, openedAfterwards);
    QFETCH(QString, visible);
    QFETCH(QStringList, styles);

    FakeController lateController;
    std::unique_ptr<WindowHarness> lateWindow;
    if (openedAfterwards) {
        play(lateController, pieces);
        lateWindow = std::make_unique<WindowHarness>(&lateController);
        QVERIFY(lateWindow->isLoaded());
    } else {
        play(m_controller, pieces);
    }
    const ShownText pane = readPaneOnceItShows(openedAfterwards ? *lateWindow : *m_window, visible);
    QCOMPARE(pane.text, visible);
    for (const QString &style : styles) {
        const QString part = style.section(u'=', 0, 0);
        QCOMPARE(part + u'=' + styleAt(pane, pane.text.indexOf(part)), style);
    }

    // Whatever the tool writes, the verdict's look is the verdict's alone,
    // and every colour reads on the pane.
    const qsizetype verdict = pieces.last().startsWith(u"x:"_s) ? pane.text.lastIndexOf(u'\n') + 1 : pane.text.size();
    const QString verdictStyle = verdict < pane.text.size() ? styleAt(pane, verdict) : QString();
    for (qsizetype at = 0; at < pane.text.size(); ++at) {
        const QString style = styleAt(pane, at);
        if (at >= verdict)
            QCOMPARE(style, verdictStyle);
        else
            QVERIFY2(!style.endsWith(u"+b"_s) && style.section(u'+', 0, 0) != verdictStyle.section(u'+', 0, 0),
                     qPrintable(u"tool text at %1 drawn as %2"_s.arg(at).arg(style)));
    }
    for (const QTextLayout::FormatRange &range : pane.formats) {
        const QColor colour = range.format.hasProperty(QTextFormat::ForegroundBrush) ? range.format.foreground().color()
                                                                                       : QColor(Qt::white);
        QVERIFY2(contrast(colour) >= 4.5, qPrintable(colour.name()));
    }
}

void tst_LogRendering::readsCutAnywhereShowTheSame()
{
    const QString output = u"esptool v5\nConnecting....\n\rWriting at 0x00010000 [=>   ] 2.0% \rWriting at 0x00014000 "
                           "[==>  ] 40.5% \u001b[33mWarning:\u001b[0m  slow\r\n\u001b]0;t\u0007a\u001b(Bb\tc 你好 <img>\n"_s;
    const auto shownAfter = [this](const QStringList &reads) {
        m_controller.launch();
        for (const QString &text : reads)
            m_controller.appendOutput(text);
        m_controller.finish(0);
        QQuickItem *logText = m_window->item(u"logText"_s);
        return QTest::qWaitFor([&] { return shownText(logText).text.endsWith(u"烧录成功！"_s); }, 5000)
                ? logText->property("text").toString() : QString();
    };
    const QString atOnce = shownAfter({ output });
    QVERIFY(atOnce.contains(u"Warning:"_s));

    for (int step : { 1, 3, 7 }) {
        QStringList reads;
        for (qsizetype at = 0; at < output.size(); at += step)
            reads << output.mid(at, step);
        QCOMPARE(shownAfter(reads), atOnce);
    }
}

void tst_LogRendering::paneShowsTheLastLinesAndSaysHowManyItLeavesOut_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("linesPerRead");
    QTest::addColumn<bool>("finalLineFeed");
    QTest::addColumn<int>("dropped");

    // The log's first two lines are the launch line and the empty line
    // after it; the pane shows at most 10,000 lines.
    QTest::newRow("one line more than the pane holds") << 10001 << 10001 << true << 3;
    QTest::newRow("one earlier line") << 9999 << 2000 << true << 1;
    QTest::newRow("the last line without its line feed") << 10001 << 2500 << false << 3;
    QTest::newRow("many more, read after read") << 30000 << 3000 << true << 20002;
    QTest::newRow("many more, in one read") << 30001 << 30001 << true << 20003;
}

void tst_LogRendering::paneShowsTheLastLinesAndSaysHowManyItLeavesOut()
{
    QFETCH(int, lines);
    QFETCH(int, linesPerRead);
    QFETCH(bool, finalLineFeed);
    QFETCH(int, dropped);

    m_controller.launch();
    QString chunk;
    for (int line = 1; line <= lines; ++line) {
        chunk += u"line %1 é😀"_s.arg(line);
        if (line < lines || finalLineFeed)
            chunk += u'\n';
        if (line % linesPerRead == 0 || line == lines) {
            m_controller.appendOutput(std::exchange(chunk, {}));
            // A frame for each read, as a tool's reads come.
            QTest::qWait(20);
        }
    }
    const QString last = u"line %1 é😀"_s.arg(lines) + (finalLineFeed ? u"\n"_s : QString());

    // The characters of the lines left out, as the tool wrote them, line
    // feeds included, each character counted once.
    const QString log = m_controller.flashOutput();
    qsizetype end = 0;
    for (int line = 0; line < dropped; ++line)
        end = log.indexOf(u'\n', end) + 1;
    const qsizetype characters = log.left(end).toUcs4().size();
    const QString note = u"… %1 earlier line%2 (%3 characters) not shown …\n"_s.arg(dropped).arg(dropped == 1 ? "" : "s").arg(characters);

    QQuickItem *logText = m_window->item(u"logText"_s);
    QTRY_VERIFY_WITH_TIMEOUT(shownText(logText).text.endsWith(last), 10000);
    const QString shown = shownText(logText).text;
    QCOMPARE(shown.left(note.size()), note);
    const QString firstShown = log.mid(end, log.indexOf(u'\n', end) + 1 - end);
    QCOMPARE(shown.mid(note.size(), firstShown.size()), firstShown);
    QCOMPARE(shown.count(u'\n') - 1 + (finalLineFeed ? 0 : 1), 10000);
}

void tst_LogRendering::failureDialogShowsTheReasonAsText()
{
    // A reason may hold a path, and a path may hold anything.
    const QString reason = u"固件文件 'firmware.bin' 在路径 '/tmp/<b>x</b> &amp; <br>y' 中未找到。"_s;
    emit m_controller.flashFailed(reason);
    QObject *dialog = qmlContext(m_window->window())->objectForName(u"failureDialog"_s);
    QTRY_VERIFY(dialog->property("visible").toBool());
    QCOMPARE(shownText(m_window->item(u"errorLabel"_s)).text, u"Flashing failed: "_s + reason);
    QMetaObject::invokeMethod(dialog, "close");
}

QTEST_MAIN(tst_LogRendering)
#include "tst_logrendering.moc"
