#include "windowharness.h"

#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// What a reader sees of the rendered log, read back with Qt's HTML reader:
// the characters, and the formats they carry.
struct Reading
{
    QString text;
    bool hasImageOrLink = false;
    QTextDocument document;
};

void read(const QString &rendered, Reading &reading)
{
    reading.document.setHtml(rendered);
    reading.text = reading.document.toPlainText();
    for (QTextBlock block = reading.document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat() || format.isAnchor())
                reading.hasImageOrLink = true;
        }
    }
}

QTextCharFormat formatOf(const Reading &reading, const QString &part)
{
    const qsizetype at = reading.text.indexOf(part);
    if (at < 0)
        return QTextCharFormat();
    QTextCursor cursor(const_cast<QTextDocument *>(&reading.document));
    cursor.setPosition(int(at + 1));
    return cursor.charFormat();
}

bool isPlain(const QTextCharFormat &format)
{
    return !format.hasProperty(QTextFormat::ForegroundBrush) && format.fontWeight() <= QFont::Normal;
}

} // namespace

class tst_LogRendering : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void toolOutputShowsAsTheCharactersItWrote_data();
    void toolOutputShowsAsTheCharactersItWrote();
    void controllerMarkupBecomesColourAndBold();
    void ansiColoursBecomeColoursNotGarbage();
    void renderingInStepsEqualsRenderingAtOnce();

private:
    std::unique_ptr<WindowHarness> m_window;
};

void tst_LogRendering::initTestCase()
{
    m_window = std::make_unique<WindowHarness>();
    QVERIFY(m_window->isLoaded());
}

void tst_LogRendering::toolOutputShowsAsTheCharactersItWrote_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("visible");

    QTest::newRow("line feeds break lines") << u"a\nb\n\nc"_s << u"a\nb\n\nc"_s;
    QTest::newRow("markup from the tool")
            << u"<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>"_s
            << u"<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>"_s;
    QTest::newRow("stray closing tags") << u"</font></b> done"_s << u"</font></b> done"_s;
    QTest::newRow("entities and lone brackets") << u"&amp; &lt; & < > a<b"_s << u"&amp; &lt; & < > a<b"_s;
    QTest::newRow("a tag cut off at the end") << u"x <font color='re"_s << u"x <font color='re"_s;
    QTest::newRow("CR LF is one break") << u"one\r\ntwo\r\n"_s << u"one\ntwo\n"_s;
    QTest::newRow("lone CR starts the line over")
            << u"Writing at 0x0... (10 %)\rWriting at 0x0... (55 %)\rWriting at 0x0... (100 %)\nHash"_s
            << u"Writing at 0x0... (100 %)\nHash"_s;
    QTest::newRow("CR at the end keeps the line") << u"abc\r"_s << u"abc"_s;
    QTest::newRow("runs of spaces and tabs are kept")
            << u"a   b\n  indented\n\tx"_s << u"a   b\n  indented\n        x"_s;
    QTest::newRow("control characters are dropped") << u"a\u0000b\u0007c\u0008d"_s << u"abcd"_s;
    QTest::newRow("ANSI sequences are dropped from the text")
            << u"> \u001b[1m\u001b[33mWarning\u001b[0m: x\u001b[K\u001b]0;title\u0007!"_s << u"> Warning: x!"_s;
    QTest::newRow("Chinese text") << u"烧录成功！ 端口"_s << u"烧录成功！ 端口"_s;
}

void tst_LogRendering::toolOutputShowsAsTheCharactersItWrote()
{
    QFETCH(QString, log);
    QFETCH(QString, visible);

    Reading reading;
    read(m_window->renderLog(log), reading);
    QCOMPARE(reading.text, visible);
    QVERIFY(!reading.hasImageOrLink);
    QVERIFY(isPlain(formatOf(reading, visible.left(1))));
}

void tst_LogRendering::controllerMarkupBecomesColourAndBold()
{
    const QString log = u"Executing: esptool.exe --port COM5\n\nConnecting...\n"
                        "<font color='red'>A fatal error occurred: <b>no</b> </font>\n</font>"
                        "\n<b><font color='red'>烧录失败！退出代码: 2</font></b>"_s;
    Reading reading;
    read(m_window->renderLog(log), reading);
    QCOMPARE(reading.text, u"Executing: esptool.exe --port COM5\n\nConnecting...\n"
                           "A fatal error occurred: <b>no</b> \n</font>\n烧录失败！退出代码: 2"_s);
    QVERIFY(isPlain(formatOf(reading, u"Connecting"_s)));

    const QTextCharFormat error = formatOf(reading, u"fatal error"_s);
    QCOMPARE(error.foreground().color(), QColor(Qt::red));
    QCOMPARE(error.fontWeight(), int(QFont::Normal));
    // Bold inside the tool's stderr text is the tool's, so it stays text.
    QCOMPARE(formatOf(reading, u"<b>no"_s).foreground().color(), QColor(Qt::red));
    // After its element closed, a second </font> is the tool's: plain text.
    QVERIFY(isPlain(formatOf(reading, u"</font>"_s)));

    const QTextCharFormat failure = formatOf(reading, u"烧录失败"_s);
    QCOMPARE(failure.foreground().color(), QColor(Qt::red));
    QCOMPARE(failure.fontWeight(), int(QFont::Bold));

    // Progress rewritten in place inside a red element keeps the colours
    // where they belong, however often the line starts over.
    read(m_window->renderLog(u"<font color='red'>x\ny 1%\ry 2%\ry 3%</font>after"_s), reading);
    QCOMPARE(reading.text, u"x\ny 3%after"_s);
    QCOMPARE(formatOf(reading, u"y 3%"_s).foreground().color(), QColor(Qt::red));
    QVERIFY(isPlain(formatOf(reading, u"after"_s)));

    read(m_window->renderLog(u"done\n<b><font color='green'>烧录成功！</font></b>"_s), reading);
    QCOMPARE(reading.text, u"done\n烧录成功！"_s);
    QCOMPARE(formatOf(reading, u"烧录成功"_s).foreground().color(), QColor(u"green"_s));
    QCOMPARE(formatOf(reading, u"烧录成功"_s).fontWeight(), int(QFont::Bold));
}

void tst_LogRendering::ansiColoursBecomeColoursNotGarbage()
{
    Reading reading;
    read(m_window->renderLog(u"\u001b[33mWARNING\u001b[0m plain \u001b[1;31mERR\u001b[39m bold\u001b[m end"_s),
         reading);
    QCOMPARE(reading.text, u"WARNING plain ERR bold end"_s);
    QVERIFY(formatOf(reading, u"WARNING"_s).foreground().color() != QColor(Qt::white));
    QVERIFY(formatOf(reading, u"WARNING"_s).hasProperty(QTextFormat::ForegroundBrush));
    QVERIFY(isPlain(formatOf(reading, u"plain"_s)));
    QVERIFY(formatOf(reading, u"ERR"_s).hasProperty(QTextFormat::ForegroundBrush));
    QCOMPARE(formatOf(reading, u"ERR"_s).fontWeight(), int(QFont::Bold));
    QCOMPARE(formatOf(reading, u"bold"_s).fontWeight(), int(QFont::Bold));
    QVERIFY(!formatOf(reading, u"bold"_s).hasProperty(QTextFormat::ForegroundBrush));
    QVERIFY(isPlain(formatOf(reading, u"end"_s)));

    // A colour left open by the tool does not leak past the controller's
    // closing tag, and the controller's element still closes.
    read(m_window->renderLog(u"<font color='red'>\u001b[32mok</font>after"_s), reading);
    QCOMPARE(reading.text, u"okafter"_s);
    QVERIFY(formatOf(reading, u"ok"_s).foreground().color() != QColor(Qt::red));
    QVERIFY(formatOf(reading, u"after"_s).foreground().color() != QColor(Qt::red));
}

void tst_LogRendering::renderingInStepsEqualsRenderingAtOnce()
{
    // A realistic log with every kind of piece, appended the way the
    // controller appends it, but also cut at every awkward place.
    const QString log = u"Executing: esptool.exe --chip esp32s3\n\n"
                        "esptool v5\nConnecting....\n"
                        "\rWriting at 0x00010000 [=>   ] 2.0% \rWriting at 0x00014000 [==>  ] 40.5% "
                        "\u001b[33mWarning:\u001b[0m  slow\r\n"
                        "<font color='red'>\u001b[31mA fatal error occurred: 你好 <img src=x>\u001b[0m\n</font>"
                        "<font color='red'></font>"
                        "\n<b><font color='red'>烧录失败！退出代码: 2</font></b>"_s;
    const QString atOnce = m_window->renderLog(log);

    for (int step : { 1, 2, 3, 7, 13 }) {
        m_window->renderLog(QString());
        QString inSteps;
        for (qsizetype end = 0; end < log.size(); end += step)
            inSteps = m_window->renderLog(log.left(end));
        inSteps = m_window->renderLog(log);
        QCOMPARE(inSteps, atOnce);
    }

    // A log that is not a continuation (the next job's) is rendered afresh.
    QCOMPARE(m_window->renderLog(u"next job"_s), u"next job"_s);
}

QTEST_MAIN(tst_LogRendering)
#include "tst_logrendering.moc"
