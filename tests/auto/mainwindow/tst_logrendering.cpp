#include "fakecontroller.h"
#include "logpane.h"
#include "windowharness.h"

#include <QTest>
#include <QTextLayout>

#include <QtQuick/private/qquicktext_p.h>
#include <QtQuick/private/qquicktext_p_p.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// What a reader sees in the log pane, as Qt's StyledText in the real Text
// item laid it out: the characters, and the colour and weight of each.
struct Reading
{
    QString text;
    QList<QTextLayout::FormatRange> formats;

    // "plain", a colour name or #rrggbb, and "+b" when bold.
    QString styleAt(qsizetype position) const
    {
        QString style = u"plain"_s;
        bool bold = false;
        for (const QTextLayout::FormatRange &range : formats) {
            if (position < range.start || position >= range.start + range.length)
                continue;
            if (range.format.hasProperty(QTextFormat::ForegroundBrush)) {
                const QColor colour = range.format.foreground().color();
                style = colour == QColor(Qt::red) ? u"red"_s : colour == QColor(u"green"_s) ? u"green"_s : colour.name();
            }
            bold = bold || range.format.fontWeight() >= QFont::Bold;
        }
        return bold ? style + u"+b"_s : style;
    }
};

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

Reading readPane(const WindowHarness &window)
{
    // The pane is given its text with the next frame.
    if (!QTest::qWaitFor([&window] { return logPaneIsCurrent(window.window()); }, 5000))
        return {};
    auto *text = qobject_cast<QQuickText *>(window.item(u"logText"_s));
    const QTextLayout &layout = QQuickTextPrivate::get(text)->layout;
    QString visible = layout.text();
    visible.replace(QChar::LineSeparator, u'\n').replace(QChar::Nbsp, u' ');
    return { visible, layout.formats() };
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
    void paneShowsTheLastLinesAndSaysHowManyItLeavesOut();

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
                                                 << QStringList{ u"still=red"_s, u"烧录失败=red+b"_s };
    // All a tool can still do: one stdout read that is exactly a stderr read.
    QTest::newRow("stdout that is exactly a stderr read")
            << QStringList{ u"o:<font color='red'>as if on stderr</font>"_s } << false << u"as if on stderr"_s
            << QStringList{ u"as if=red"_s };

    QTest::newRow("a title sequence without its end")
            << QStringList{ u"o:abc\u001b]0;title\n"_s, u"e:A fatal error occurred\n"_s, u"x:2"_s } << false
            << u"abc\nA fatal error occurred\n"_s + failure << QStringList{ u"fatal=red"_s, u"烧录失败=red+b"_s };
    QTest::newRow("a colour sequence cut between stdout reads, stderr between")
            << QStringList{ u"o:ok \u001b[1;3"_s, u"e:warn\n"_s, u"o:2mdone\u001b[0m end\n"_s } << false
            << u"ok warn\ndone end\n"_s << QStringList{ u"warn=red"_s, u"done=#6bd66b+b"_s, u"end=plain"_s };
    QTest::newRow("character sets and other short sequences")
            << QStringList{ u"o:a\u001b(Bb\u001b=c\u001b7d\u001b#8e\n"_s } << false << u"abcde\n"_s << QStringList();
    QTest::newRow("a sequence that never ends is cut at its bound")
            << QStringList{ u"o:\u001b]"_s + QString(300, u't') + u'\n' } << false << QString(46, u't') + u'\n' << QStringList();
    QTest::newRow("ANSI colours and bold")
            << QStringList{ u"o:\u001b[33mWARNING\u001b[0m plain \u001b[1;31mERR\u001b[39m bold\u001b[m end\n"_s } << false
            << u"WARNING plain ERR bold end\n"_s
            << QStringList{ u"WARNING=#e8c547"_s, u"plain=plain"_s, u"ERR=#ff6b6b+b"_s, u"bold=plain+b"_s, u"end=plain"_s };
    QTest::newRow("a colour left on stdout does not reach stderr")
            << QStringList{ u"o:\u001b[32mgreen"_s, u"e:err\n"_s, u"o:still green\n"_s } << false << u"greenerr\nstill green\n"_s
            << QStringList{ u"green=#6bd66b"_s, u"err=red"_s, u"still=#6bd66b"_s };
    QTest::newRow("direction controls") << QStringList{ u"o:abc\u202edef\u2067ghi\u2069\u200fjkl\n"_s } << false
                                        << u"abcdefghijkl\n"_s << QStringList();

    QTest::newRow("line feeds break lines") << QStringList{ u"o:a\nb\n\nc"_s } << false << u"a\nb\n\nc"_s << QStringList();
    QTest::newRow("CR LF is one break, even cut between reads") << QStringList{ u"o:one\r\ntwo\r"_s, u"o:\nthree"_s } << false
                                                                << u"one\ntwo\nthree"_s << QStringList();
    QTest::newRow("a lone CR starts the line over")
            << QStringList{ u"o:Writing at 0x0... (10 %)\rWriting at 0x0... (100 %)\nHash\r"_s } << false
            << u"Writing at 0x0... (100 %)\nHash"_s << QStringList();
    QTest::newRow("runs of spaces, and tabs to the next stop")
            << QStringList{ u"o:a   b\n  indented\n\tx\nab\tc\n"_s } << false << u"a   b\n  indented\n        x\nab      c\n"_s
            << QStringList();
    QTest::newRow("control characters are dropped") << QStringList{ u"o:a\u0000b\u0007c\u0008d\u009be\n"_s } << false
                                                    << u"abcde\n"_s << QStringList();
    QTest::newRow("a line too long to show")
            << QStringList{ u"o:"_s + QString(12000, u'x') + u'\n' } << false
            << QString(10000, u'x') + u" … 2000 more characters not shown\n"_s << QStringList{ u"…=#a0a0a0"_s };
    QTest::newRow("the success line") << QStringList{ u"o:烧录 done\n"_s, u"x:0"_s } << false << u"烧录 done\n\n烧录成功！"_s
                                      << QStringList{ u"done=plain"_s, u"烧录成功=green+b"_s };
    QTest::newRow("a window opened after the job")
            << QStringList{ u"o:out\n"_s, u"e:err\n"_s, u"x:2"_s } << true << u"out\nerr\n"_s + failure
            << QStringList{ u"out=plain"_s, u"err=red"_s, u"烧录失败=red+b"_s };
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
    const Reading pane = readPane(openedAfterwards ? *lateWindow : *m_window);
    // What follows the launch line and the empty line after it.
    QCOMPARE(pane.text.mid(pane.text.indexOf(u"\n\n"_s) + 2), visible);
    for (const QString &style : styles) {
        const QString part = style.section(u'=', 0, 0);
        QCOMPARE(part + u'=' + pane.styleAt(pane.text.indexOf(part)), style);
    }
}

void tst_LogRendering::readsCutAnywhereShowTheSame()
{
    const QString output = u"esptool v5\nConnecting....\n\rWriting at 0x00010000 [=>   ] 2.0% \rWriting at 0x00014000 "
                           "[==>  ] 40.5% \u001b[33mWarning:\u001b[0m  slow\r\n\u001b]0;t\u0007a\u001b(Bb\tc 你好 <img>\n"_s;
    m_controller.launch();
    m_controller.appendOutput(output);
    m_controller.finish(0);
    QVERIFY(readPane(*m_window).text.contains(u"Warning:  slow"_s));
    const QString atOnce = m_window->property(u"logText"_s, "text").toString();

    for (int step : { 1, 3, 7 }) {
        m_controller.launch();
        for (qsizetype at = 0; at < output.size(); at += step)
            m_controller.appendOutput(output.mid(at, step));
        m_controller.finish(0);
        readPane(*m_window);
        QCOMPARE(m_window->property(u"logText"_s, "text").toString(), atOnce);
    }
}

void tst_LogRendering::paneShowsTheLastLinesAndSaysHowManyItLeavesOut()
{
    const int shownLines = m_window->property(u"root"_s, "logShownLines").toInt();
    QVERIFY(shownLines > 1000);
    m_controller.launch();
    QString lines;
    for (int line = 1; line <= shownLines + 1; ++line)
        lines += u"line %1\n"_s.arg(line);
    m_controller.appendOutput(lines);
    const Reading pane = readPane(*m_window);
    // The launch line, the empty line after it and the first line went.
    QVERIFY2(pane.text.startsWith(u"… 3 earlier lines ("_s), qPrintable(pane.text.left(80)));
    QVERIFY2(pane.text.contains(u"not shown …\nline 2\n"_s), qPrintable(pane.text.left(80)));
    QVERIFY(pane.text.endsWith(u"line %1\n"_s.arg(shownLines + 1)));
    QCOMPARE(pane.text.count(u'\n'), 1 + shownLines);
}

QTEST_MAIN(tst_LogRendering)
#include "tst_logrendering.moc"
