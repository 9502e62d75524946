#include "logpane.h"

#include <QDeadlineTimer>
#include <QJSEngine>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <ctime>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString launchLine = u"Executing: C:\\flasher\\firmware\\esptool.exe --port COM5 write_flash 0x0 boot.bin\n\n"_s;
const QString errorOpen = u"<font color='red'>"_s;
const QString errorClose = u"</font>"_s;
const QString success = u"烧录成功！"_s;
QString failure(int exitCode)
{
    return u"烧录失败！退出代码: %1"_s.arg(exitCode);
}

// The names the rows give the pane's colours; any other is #rrggbb.
const QList<std::pair<QString, QString>> colourNames = {
    { u"#ff6b6b"_s, u"red"_s },         // standard error, and ANSI red
    { u"#4be0a0"_s, u"success"_s },     // the verdicts
    { u"#ff70b8"_s, u"failure"_s },
    { u"#a0a0a0"_s, u"note"_s },
};
const QColor paneBackground(u"#2B2B2B"_s);

// WCAG 2 contrast of a colour against the pane's background.
double contrast(const QColor &colour)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    return (luminance(colour) + 0.05) / (luminance(paneBackground) + 0.05);
}

int hueDistance(const QColor &a, const QColor &b)
{
    const int distance = std::abs(a.hsvHue() - b.hsvHue()) % 360;
    return std::min(distance, 360 - distance);
}

// "plain", a colour's name or #rrggbb, and "+b" when bold.
QString styleAt(const ShownText &shown, qsizetype position)
{
    QString style = shown.colourAt(position).isEmpty() ? u"plain"_s : shown.colourAt(position);
    for (const auto &[value, name] : colourNames)
        style = style == value ? name : style;
    return position < shown.bold.size() && shown.bold.at(position) ? style + u"+b"_s : style;
}

// One read of the tool's output as the controller takes it in.
struct Read
{
    QChar channel; // 'o' standard output, 'e' standard error
    QString text;
};

struct Job
{
    QList<Read> reads;
    std::optional<int> exitCode;
};

// The row notation: "o:" a stdout read, "e:" a stderr read, "x:" the exit code.
Job jobOf(const QStringList &pieces)
{
    Job job;
    for (const QString &piece : pieces) {
        if (piece.startsWith(u"x:"_s))
            job.exitCode = piece.mid(2).toInt();
        else
            job.reads += Read{ piece.at(0), piece.mid(2) };
    }
    return job;
}

// The log pane's renderer in an engine of its own, fed as the window feeds
// it: every change of a log that grows as the controller grows it.
class Pane
{
public:
    explicit Pane(const QJSValue &module)
        : m_renderer(module.property(u"createRenderer"_s).call())
    {
    }

    QJSValue renderer() const { return m_renderer; }

    // A window created now, over the log so far.
    void openWindow()
    {
        call(u"takeWholeLog"_s, { m_log, m_flashing });
        m_live = true;
    }

    // The job as the controller writes it; the pane takes every change when
    // live, or none of them when a window is created only afterwards. A
    // frame every so many reads shows the pane on the way.
    void play(const Job &job, bool live = true, int readsPerFrame = 0)
    {
        m_live = live;
        m_log.clear();
        change();
        m_log = launchLine;
        m_flashing = true;
        change();
        for (qsizetype k = 0; k < job.reads.size(); ++k) {
            take(job.reads.at(k));
            if (readsPerFrame > 0 && k % readsPerFrame == 0)
                frame();
        }
        if (job.exitCode)
            finish(*job.exitCode);
    }

    void take(const Read &read)
    {
        m_log += read.channel == u'e' ? errorOpen + read.text + errorClose : read.text;
        change();
    }

    void finish(int exitCode)
    {
        if (m_live)
            call(u"expectCompletion"_s, {});
        m_log += exitCode == 0 ? u"\n<b><font color='green'>"_s + success + u"</font></b>"_s
                               : u"\n<b><font color='red'>"_s + failure(exitCode) + u"</font></b>"_s;
        m_flashing = false;
        change();
    }

    QString markup() { return call(u"display"_s, {}).toString(); }
    // What the window does a turn of its event loop: one slice of the output
    // rendered, and the pane shown as far as it is rendered.
    void frame()
    {
        call(u"render"_s, { 0 });
        call(u"markup"_s, {});
        call(u"shownText"_s, {});
    }
    ShownText shown() { return readMarkup(markup()); }
    QString plainText() { return call(u"plainText"_s, {}).toString(); }
    int failures() const { return m_renderer.property(u"failures"_s).toInt(); }
    const QString &log() const { return m_log; }

private:
    void change()
    {
        if (m_live)
            call(u"takeChange"_s, { m_log, m_flashing });
    }

    QJSValue call(const QString &name, const QJSValueList &arguments)
    {
        const QJSValue result = m_renderer.property(name).callWithInstance(m_renderer, arguments);
        if (result.isError())
            qWarning("%s: %s", qPrintable(name), qPrintable(result.toString()));
        return result;
    }

    QJSValue m_renderer;
    QString m_log;
    bool m_flashing = false;
    bool m_live = true;
};

QList<Read> splitInto(const QList<Read> &reads, const std::function<qsizetype(const QString &, qsizetype)> &nextCut)
{
    QList<Read> split;
    for (const Read &read : reads) {
        qsizetype at = 0;
        do {
            qsizetype end = std::min(read.text.size(), nextCut(read.text, at));
            // Reads hold whole characters: the controller decodes whole UTF-8 sequences.
            if (end < read.text.size() && read.text.at(end).isLowSurrogate())
                ++end;
            split += Read{ read.channel, read.text.mid(at, end - at) };
            at = end;
        } while (at < read.text.size());
    }
    return split;
}

QList<Read> joined(const QList<Read> &reads)
{
    QList<Read> result;
    for (const Read &read : reads) {
        if (!result.isEmpty() && result.last().channel == read.channel)
            result.last().text += read.text;
        else
            result += read;
    }
    return result;
}

// Whether the log read whole tells the reads apart: not when tool text
// holds the tags of a red element, in one read or across several.
bool logTellsReadsApart(const Job &job)
{
    QString out;
    QString err;
    for (const Read &read : job.reads)
        (read.channel == u'o' ? out : err) += read.text;
    return !out.contains(errorOpen) && !out.contains(errorClose) && !err.contains(errorClose);
}

// A stdout read that is exactly a red element: the log alone cannot tell it
// from a stderr read.
bool looksLikeError(const QList<Read> &reads)
{
    return std::any_of(reads.cbegin(), reads.cend(), [](const Read &read) {
        return read.channel == u'o' && read.text.startsWith(errorOpen) && read.text.endsWith(errorClose);
    });
}

// What holds for any output: the markup is the pane's own; the verdict is
// shown once, last, alone in its style; tool text is never bold, never in
// the verdict's colours or a hue near them, always readable; the text a
// screen reader gets is the text shown.
QString paneFault(Pane &pane, const Job &job)
{
    const ShownText shown = pane.shown();
    if (!shown.invalid.isEmpty())
        return u"invalid markup: "_s + shown.invalid;
    const QString verdict = job.exitCode ? (*job.exitCode == 0 ? success : failure(*job.exitCode)) : QString();
    const qsizetype verdictAt = shown.text.size() - verdict.size();
    if (!shown.text.endsWith(verdict) || (!verdict.isEmpty() && verdictAt > 0 && shown.text.at(verdictAt - 1) != u'\n'))
        return u"the pane does not end in its verdict"_s;
    const QString verdictColour = verdict.isEmpty() ? QString() : shown.colourAt(verdictAt);
    for (qsizetype at = verdictAt; at < shown.text.size(); ++at) {
        if (!shown.bold.at(at) || shown.colourAt(at) != verdictColour)
            return u"the verdict is not in one style of its own"_s;
    }
    QSet<QString> toolColours;
    for (qsizetype at = 0; at < verdictAt; ++at) {
        if (shown.bold.at(at))
            return u"tool text at %1 is bold"_s.arg(at);
        toolColours.insert(shown.colourAt(at));
    }
    const auto unreadable = [](const QString &name) { return contrast(QColor(name.isEmpty() ? u"white"_s : name)) < 4.5; };
    if (unreadable(verdictColour))
        return u"the verdict does not read on the pane"_s;
    for (const QString &name : std::as_const(toolColours)) {
        const QColor colour(name.isEmpty() ? u"white"_s : name);
        if (unreadable(name))
            return u"%1 does not read on the pane"_s.arg(colour.name());
        for (const auto &own : { u"#4be0a0"_s, u"#ff70b8"_s }) {
            if (colour.saturation() > 40 && hueDistance(colour, QColor(own)) < 25)
                return u"tool text is drawn in %1, near the verdict's %2"_s.arg(colour.name(), own);
        }
    }
    QString plain = pane.plainText();
    plain.replace(QRegularExpression(u"[\\x{00a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}\\x{202f}\\x{205f}\\x{3000}\\x{feff}]"_s), u" "_s);
    plain.replace(QRegularExpression(u"(^|\\n) +"_s), u"\\1"_s);
    QString text = shown.text;
    text.replace(QRegularExpression(u"(^|\\n) +"_s), u"\\1"_s);
    if (plain != text)
        return u"the plain text differs from what is shown"_s;
    return {};
}

// The pane after the job, the same for every way the output could have come
// that the log can tell apart: as read, cut into single characters, joined
// read by read, and in a window created before, during or after the job.
QString sameWhateverTheTiming(const QJSValue &module, const Job &job, bool splitsAgree, bool wholeLogAgrees, QString *shown)
{
    Pane live(module);
    live.play(job);
    const QString expected = live.markup();
    if (shown)
        *shown = expected;
    if (const QString fault = paneFault(live, job); !fault.isEmpty())
        return fault;
    if (live.failures() > 0)
        return u"the renderer failed"_s;

    QList<std::pair<QString, Job>> others;
    if (splitsAgree) {
        // Each read hands the engine the whole log: single characters only
        // where that stays small.
        qsizetype size = 0;
        for (const Read &read : job.reads)
            size += read.text.size();
        const qsizetype step = size < 4096 ? 1 : 61;
        others += { u"cut into pieces of %1"_s.arg(step),
                    { splitInto(job.reads, [step](const QString &, qsizetype at) { return at + step; }), job.exitCode } };
        others += { u"joined"_s, { joined(job.reads), job.exitCode } };
    }
    for (const auto &[how, other] : others) {
        if (looksLikeError(other.reads) || looksLikeError(job.reads))
            continue;
        Pane pane(module);
        pane.play(other, true, 3);
        if (pane.markup() != expected)
            return u"the pane differs when the reads are "_s + how + u", shown every third read"_s;
    }
    if (wholeLogAgrees) {
        Pane after(module);
        after.play(job, false);
        after.openWindow();
        if (after.markup() != expected)
            return u"a window created after the job shows another pane"_s;
        Pane during(module);
        Job firstHalf{ job.reads.first(job.reads.size() / 2), {} };
        during.play(firstHalf, false);
        during.openWindow();
        for (const Read &read : job.reads.mid(job.reads.size() / 2))
            during.take(read);
        if (job.exitCode)
            during.finish(*job.exitCode);
        if (during.markup() != expected)
            return u"a window created during the job shows another pane"_s;
    }
    return {};
}

// ---- Random tool output ----

// Output from a grammar of what tools write, and of what breaks renderers.
class OutputGrammar
{
public:
    explicit OutputGrammar(quint32 seed) : m_random(seed) { }

    Job job()
    {
        Job job;
        const int pieces = int(m_random.bounded(1, 40));
        QString text;
        QChar channel = u'o';
        for (int k = 0; k < pieces; ++k) {
            if (m_random.bounded(4) == 0 && !text.isEmpty()) {
                job.reads += splitRandomly(channel, std::exchange(text, {}));
                channel = m_random.bounded(3) == 0 ? u'e' : u'o';
            }
            text += piece();
        }
        job.reads += splitRandomly(channel, text);
        if (m_random.bounded(8) > 0)
            job.exitCode = m_random.bounded(4) == 0 ? int(m_random.bounded(-3, 3)) : 0;
        return job;
    }

private:
    QString piece()
    {
        static const QStringList sgr = { u""_s, u"0"_s, u"1"_s, u"22"_s, u"31"_s, u"1;32"_s, u"39"_s, u"97"_s, u"90"_s,
                                         u"38;5;196"_s, u"38;2;255;112;184"_s, u"38:5:1"_s, u"48;5;2;1"_s, u";33"_s, u"1;"_s };
        static const QStringList other = { u"\u001b[K"_s, u"\u001b[2K"_s, u"\u001b[1A"_s, u"\u001b[?25l"_s, u"\u001b]0;title\u0007"_s,
                                           u"\u001b]8;;http://x\u001b\\"_s, u"\u001bPq#0;2;0\u001b\\"_s, u"\u001b(B"_s, u"\u001b[3\u0018"_s,
                                           u"\u001b[3\u001a"_s, u"\u001b]0;\u001b[31m"_s, u"\u001b_apc\u009c"_s, u"\u001b[3\u00071m"_s,
                                           u"\u001b["_s, u"\u001b"_s, u"\u001b[38;5"_s, u"\u009b31m"_s };
        static const QStringList words = { u"Writing"_s, u"at"_s, u"0x00010000"_s, u"A fatal error occurred:"_s, u"A serial"_s,
                                           u"<b>"_s, u"</font>"_s, u"<font color='red'>"_s, u"&amp;"_s, u"&"_s, u"<"_s, u">"_s,
                                           u"\n<b><font color='green'>烧录成功！</font></b>"_s, u"烧录"_s, u"你好"_s, u"é"_s,
                                           u"😀"_s, u"\ufffd"_s, u"\u0000"_s, u"\u0007"_s, u"\u0008"_s, u"\u202e"_s, u"\u2067"_s,
                                           u"\u200f"_s, u"\u0333\u0347\u0333"_s, u"\u3000"_s, u"\u00a0"_s, u"\u0085"_s, u"x"_s };
        switch (m_random.bounded(14)) {
        case 0: return u"\u001b["_s + pick(sgr) + u"m"_s;
        case 1: return pick(other);
        case 2: return u"\r"_s;
        case 3: return u"\r\n"_s;
        case 4: return u"\t"_s;
        case 5: return QString(int(m_random.bounded(1, 5)), u' ');
        case 6: return u"Writing at 0x%1... (%2 %)\r"_s.arg(m_random.bounded(0x100000u), 8, 16, QChar(u'0')).arg(m_random.bounded(101u));
        case 7: return u"\u001b]"_s + QString(int(m_random.bounded(200, 300)), u't');
        case 8:
            // Lines near the limit of what a line shows, or many lines.
            if (m_random.bounded(50) == 0)
                return QString(int(m_random.bounded(9990, 10010)), u'w') + u'\n';
            if (m_random.bounded(100) == 0)
                return u"l\n"_s.repeated(int(m_random.bounded(9990, 10010)));
            return u"\n"_s;
        case 9: return QString(int(m_random.bounded(60, 200)), QChar(u'a' + int(m_random.bounded(26))));
        default: return pick(words) + (m_random.bounded(2) ? u" "_s : QString());
        }
    }

    QString pick(const QStringList &list) { return list.at(int(m_random.bounded(list.size()))); }

    QList<Read> splitRandomly(QChar channel, const QString &text)
    {
        // Long output comes in longer reads, as from a pipe.
        const int longest = text.size() > 4096 ? 4096 : 64;
        QList<Read> reads = splitInto({ { channel, text } }, [this, longest](const QString &, qsizetype at) {
            return at + (m_random.bounded(3) == 0 ? 1 : qsizetype(m_random.bounded(1, longest)));
        });
        // Empty reads happen too.
        if (m_random.bounded(10) == 0)
            reads.insert(int(m_random.bounded(reads.size() + 1)), Read{ channel, QString() });
        return reads;
    }

    QRandomGenerator m_random;
};

// A failing job made smaller while it still fails: runs of reads left out,
// halves first, then reads cut short. Shrinking stops after a while: a case
// of thousands of reads is still told, if less small.
Job shrunk(Job job, const std::function<bool(const Job &)> &fails)
{
    QDeadlineTimer enough(std::chrono::seconds(60));
    for (bool smaller = true; smaller && !enough.hasExpired();) {
        smaller = false;
        for (qsizetype run = job.reads.size() / 2; run >= 1 && !enough.hasExpired(); run /= 2) {
            for (qsizetype k = 0; k + run <= job.reads.size() && !enough.hasExpired();) {
                Job candidate = job;
                candidate.reads.remove(k, run);
                if (fails(candidate)) {
                    job = candidate;
                    smaller = true;
                } else {
                    k += run;
                }
            }
        }
        for (qsizetype k = 0; k < job.reads.size() && !enough.hasExpired(); ++k) {
            for (qsizetype keep = job.reads.at(k).text.size() / 2; keep > 0; keep /= 2) {
                Job candidate = job;
                candidate.reads[k].text.truncate(keep);
                if (fails(candidate)) {
                    job = candidate;
                    smaller = true;
                    break;
                }
            }
        }
    }
    return job;
}

QString asRow(const Job &job)
{
    QStringList pieces;
    for (const Read &read : job.reads) {
        QString escaped;
        for (qsizetype i = 0; i < read.text.size(); ++i) {
            const QChar c = read.text.at(i);
            if (c.isHighSurrogate() && i + 1 < read.text.size() && read.text.at(i + 1).isLowSurrogate()) {
                escaped += u"\\U"_s + QString::number(QChar::surrogateToUcs4(c, read.text.at(i + 1)), 16).rightJustified(8, u'0');
                ++i;
            } else if (c.isSurrogate()) {
                // A lone half, which no \u can name: a code unit of its own,
                // the literal split after it.
                escaped += u"\\x"_s + QString::number(c.unicode(), 16) + u"\" u\""_s;
            } else if (c.unicode() < 0x20 || c.unicode() > 0x7e || c == u'"' || c == u'\\') {
                escaped += u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0');
            } else {
                escaped += c;
            }
        }
        pieces += u"u\"%1:%2\"_s"_s.arg(read.channel).arg(escaped);
    }
    if (job.exitCode)
        pieces += u"u\"x:%1\"_s"_s.arg(*job.exitCode);
    return u"QStringList{ "_s + pieces.join(u", "_s) + u" }"_s;
}

double threadSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

class tst_LogRenderer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toolOutputShowsAsWrittenAndOnlyTheControllerFormats_data();
    void toolOutputShowsAsWrittenAndOnlyTheControllerFormats();
    void paneShowsTheLastLinesAndSaysHowManyItLeavesOut_data();
    void paneShowsTheLastLinesAndSaysHowManyItLeavesOut();
    void layoutCostBoundsWhatIsShown();
    void randomOutputShowsTheSameHoweverItComes();
    void workGrowsWithTheOutputNotFaster_data();
    void workGrowsWithTheOutputNotFaster();
    void aRendererDefectCostsToolTextNeverTheVerdict();

private:
    QJSEngine m_engine;
    QJSValue m_module;
};

void tst_LogRenderer::initTestCase()
{
    m_module = m_engine.importModule(QStringLiteral(VELMORIN_QML_DIR "/logrenderer.mjs"));
    QVERIFY2(!m_module.isError(), qPrintable(m_module.toString()));
}

// Rows hold whatever the pane shows after the launch line; "…" at the start
// of what is visible means "ends with the rest".
void tst_LogRenderer::toolOutputShowsAsWrittenAndOnlyTheControllerFormats_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("visible");
    QTest::addColumn<QStringList>("styles");
    // Whether the same output cut or joined otherwise, and the log read whole
    // by a window created later, show the same: true, unless the log itself
    // cannot tell (a stdout read that is exactly a red element).
    QTest::addColumn<bool>("splitsAgree");
    QTest::addColumn<bool>("wholeLogAgrees");

    const QString failed2 = u"\n烧录失败！退出代码: 2"_s;
    const auto row = [](const char *name, const QStringList &pieces, const QString &visible, const QStringList &styles = {},
                        bool splitsAgree = true, bool wholeLogAgrees = true) {
        QTest::newRow(name) << pieces << visible << styles << splitsAgree << wholeLogAgrees;
    };

    // Only the controller's markup formats anything.
    row("markup from the tool", { u"o:<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>\n"_s },
        u"<img src=x> <a href='http://x'>link</a> <h1>big</h1> <i>i</i> <br> <p>\n"_s, { u"link=plain"_s });
    row("entities and lone brackets", { u"o:&amp; &lt; & < > a<b\n"_s }, u"&amp; &lt; & < > a<b\n"_s);
    row("stdout copying the success line", { u"o:\n<b><font color='green'>烧录成功！</font></b>"_s },
        u"\n<b><font color='green'>烧录成功！</font></b>"_s, { u"烧录成功=plain"_s });
    row("stdout copying the verdict, then the real one", { u"o:\n<b><font color='green'>烧录成功！</font></b>\n"_s, u"x:2"_s },
        u"\n<b><font color='green'>烧录成功！</font></b>\n"_s + failed2, { u"烧录成功=plain"_s, u"烧录失败=failure+b"_s });
    row("stderr copying closing tags", { u"e:bad </font></b> still red\n"_s, u"x:2"_s }, u"bad </font></b> still red\n"_s + failed2,
        { u"still=red"_s, u"烧录失败=failure+b"_s }, true, false);
    row("stdout that is exactly a stderr read", { u"o:<font color='red'>as if on stderr</font>"_s }, u"as if on stderr"_s,
        { u"as if=red"_s }, false, true);
    row("ANSI bold and colours copying the verdicts",
        { u"o:\u001b[1;32m烧录成功！\u001b[0m\n"_s, u"e:\u001b[1m烧录失败！退出代码: 2\n"_s,
          u"o:\u001b[1;31m烧录失败！\u001b[22m done\n"_s, u"x:0"_s },
        u"烧录成功！\n烧录失败！退出代码: 2\n烧录失败！ done\n\n烧录成功！"_s,
        { u"烧录成功！\n=#8fef8f"_s, u"退出代码=red"_s, u"烧录失败！ done=#ff8f8f"_s, u"done=red"_s });

    // Escape sequences: only colours show, and a broken one swallows little.
    row("a title sequence without its end", { u"o:abc\u001b]0;title\n"_s, u"e:A fatal error occurred\n"_s, u"x:2"_s },
        u"abc\nA fatal error occurred\n"_s + failed2, { u"fatal=red"_s, u"烧录失败=failure+b"_s });
    row("a colour sequence cut between stdout reads, stderr between",
        { u"o:ok \u001b[1;3"_s, u"e:warn\n"_s, u"o:2mdone\u001b[0m end\n"_s }, u"ok warn\ndone end\n"_s,
        { u"warn=red"_s, u"done=#8fef8f"_s, u"end=plain"_s });
    row("character sets and other short sequences", { u"o:a\u001b(Bb\u001b=c\u001b7d\u001b#8e\n"_s }, u"abcde\n"_s);
    row("a sequence that never ends is cut at its bound", { u"o:\u001b]"_s + QString(300, u't') + u'\n' },
        QString(46, u't') + u'\n');
    row("a colour sequence too long ends at the bound",
        { u"o:\u001b["_s + QString(250, u'0') + u"31mA\u001b["_s + QString(260, u'0') + u"32mB\n"_s }, u"A"_s + QString(6, u'0') + u"32mB\n"_s,
        { u"A=red"_s, u"32mB=red"_s });
    row("cancelled sequences", { u"o:a\u001b[31\u0018b\u001b]title\u001ac\u001b[3\u001b[32md\n"_s }, u"abcd\n"_s,
        { u"b=plain"_s, u"d=#6bd66b"_s });
    row("DCS is a string sequence", { u"o:a\u001bPq#0;2;0;0;0#1;2;100\u001b\\b\n"_s }, u"ab\n"_s);
    row("BEL and C1 ST end string sequences", { u"o:\u001b]0;title\u0007one \u001b_x\u009ctwo\n"_s }, u"one two\n"_s);
    row("controls inside a sequence are ignored", { u"o:\u001b[3\u00071mred\u001b[\u00080m plain\n"_s }, u"red plain\n"_s,
        { u"red=red"_s, u"plain=plain"_s });
    row("a character no row takes ends the sequence and shows", { u"o:a\u001b[3éb\u001b]x\n"_s }, u"aéb\n"_s);
    row("':' separates the parts of one parameter", { u"o:\u001b[33m\u001b[38:5:196mx\u001b[4:3my\n"_s }, u"xy\n"_s,
        { u"x=#e8c547"_s, u"y=#e8c547"_s });
    row("extended colours take their arguments with them",
        { u"o:\u001b[31m\u001b[38;5;1mX\u001b[32m\u001b[38;2;1;31;3mY\u001b[48;5;1mZ\n"_s }, u"XYZ\n"_s,
        { u"X=red"_s, u"Y=#6bd66b"_s, u"Z=#6bd66b"_s });
    row("reset, empty parameters and weight",
        { u"o:\u001b[1;32mA\u001b[0;32mB\u001b[1;31mC\u001b[;31mD\u001b[1mE\u001b[mF\u001b[97mG\u001b[90mH\n"_s }, u"ABCDEFGH\n"_s,
        { u"A=#8fef8f"_s, u"B=#6bd66b"_s, u"C=#ff8f8f"_s, u"D=red"_s, u"E=#ff8f8f"_s, u"F=plain"_s, u"G=#ffffff"_s, u"H=#b0b0b0"_s });
    row("ANSI colours, bold drawn bright",
        { u"o:\u001b[33mWARNING\u001b[0m plain \u001b[1;31mERR\u001b[39m bold\u001b[m end\n"_s }, u"WARNING plain ERR bold end\n"_s,
        { u"WARNING=#e8c547"_s, u"plain=plain"_s, u"ERR=#ff8f8f"_s, u"bold=plain"_s, u"end=plain"_s });
    row("every ANSI colour reads on the pane",
        { u"o:\u001b[30m0\u001b[31m1\u001b[32m2\u001b[33m3\u001b[34m4\u001b[35m5\u001b[36m6\u001b[37m7"
          "\u001b[90m8\u001b[91m9\u001b[92ma\u001b[93mb\u001b[94mc\u001b[95md\u001b[96me\u001b[97mf\n"_s,
          u"e:\u001b[1;30mg\n"_s, u"x:2"_s },
        u"0123456789abcdef\ng\n"_s + failed2, { u"0=#999999"_s, u"g=#b0b0b0"_s });
    row("a colour left on stdout does not reach stderr", { u"o:\u001b[32mgreen"_s, u"e:err\n"_s, u"o:still green\n"_s },
        u"greenerr\nstill green\n"_s, { u"green=#6bd66b"_s, u"err=red"_s, u"still=#6bd66b"_s });
    row("direction controls", { u"o:abc\u202edef\u2067ghi\u2069\u200fjkl\u061cmno\u202apqr\u202dstu\u202cvwx\n"_s },
        u"abcdefghijklmnopqrstuvwx\n"_s);

    // esptool's reason for a failure stands out, on stdout as well (v4).
    row("error lines are red on either channel",
        { u"o:Writing...\nA fatal er"_s, u"o:ror occurred: Failed to connect\nFor help visit: x\n"_s,
          u"o:Note: A fatal error occurred: quoted\n"_s, u"o:\u0007A serial exception error occurred: read failed\n"_s, u"x:1"_s },
        u"Writing...\nA fatal error occurred: Failed to connect\nFor help visit: x\nNote: A fatal error occurred: quoted\n"
        "A serial exception error occurred: read failed\n\n烧录失败！退出代码: 1"_s,
        { u"Writing=plain"_s, u"A fatal=red"_s, u"Failed=red"_s, u"For help=plain"_s, u"Note=plain"_s, u"A serial=red"_s,
          u"烧录失败=failure+b"_s });
    row("an error line keeps the tool's own colours", { u"o:A fatal error occurred: \u001b[33mtimeout\u001b[0m, retry\n"_s },
        u"A fatal error occurred: timeout, retry\n"_s, { u"A fatal=red"_s, u"timeout=#e8c547"_s, u"retry=red"_s });
    row("what a CR overwrites no longer makes an error line",
        { u"o:A fatal error occurred: x\rWriting\nWriting\rA fatal error occurred: y\n"_s },
        u"Writing\nA fatal error occurred: y\n"_s, { u"Writing=plain"_s, u"y=red"_s });

    // Lines.
    row("line feeds break lines", { u"o:a\nb\n\nc"_s }, u"a\nb\n\nc"_s);
    row("CR LF is one break, even cut between reads", { u"o:one\r\ntwo\r"_s, u"o:\nthree"_s }, u"one\ntwo\nthree"_s);
    row("a lone CR starts the line over, in one read with others",
        { u"o:Writing at 0x0... (10 %)\rWriting at 0x0... (100 %)\nHash\r"_s }, u"Writing at 0x0... (100 %)\nHash"_s);
    row("progress redrawn in place keeps the colour it set", { u"o:\r\u001b[K\u001b[36m10%\r\u001b[K20%\r"_s, u"o:\u001b[K30%\n"_s },
        u"30%\n"_s, { u"30%=#5fcfcf"_s });
    row("runs of spaces, and tabs to the next stop", { u"o:a   b\n  indented\n\tx\nab\tc\n"_s },
        u"a   b\n  indented\n        x\nab      c\n"_s);
    row("a tab stop counts from the start of the line", { u"o:ab\u001b[31m\tc\u0007\td\n"_s }, u"ab      c       d\n"_s,
        { u"c=red"_s });
    row("an over-long sequence never ends inside a character",
        { u"o:a\u001b]"_s + QString(253, u't') + u"\U0001f600b\n"_s }, u"ab\n"_s);
    row("control characters are dropped", { u"o:a\u0000b\u0007c\u0008d\u009be\n"_s }, u"abcde\n"_s);
    row("at most two marks on a character",
        { u"o:x"_s + QString(120, QChar(0x0333)) + u"y\u0301\u0301\u0301z\u0303\n"_s, u"x:0"_s },
        u"x\u0333\u0333y\u0301\u0301z\u0303\n\n烧录成功！"_s);
    row("a line too long to show, its kept part still text", { u"o:<b>"_s + QString(11997, u'x') + u'\n' },
        u"<b>"_s + QString(9997, u'x') + u" … 2000 more characters not shown\n"_s, { u"<b>x=plain"_s, u"…=note"_s });
    row("a line too long, made of many pieces",
        { u"o:"_s + QString(u"x\u0007"_s).repeated(6000), u"o:"_s + QString(u"y\u0007"_s).repeated(6000) + u'\n' },
        QString(6000, u'x') + QString(4000, u'y') + u" … 2000 more characters not shown\n"_s, { u"…=note"_s });
    row("a line too long cuts between characters, not inside one", { u"o:"_s + QString(u"😀"_s).repeated(10001) + u'\n' },
        QString(u"😀"_s).repeated(10000) + u" … 1 more character not shown\n"_s);
    row("a long line of tabs in a read of many lines", { u"o:"_s + QString(u"ab\t"_s).repeated(3000) + u"\nx\n"_s },
        QString(u"ab      "_s).repeated(1250) + u" … 5250 more characters not shown\nx\n"_s);

    // The verdict.
    row("the success line", { u"o:烧录 done\n"_s, u"x:0"_s }, u"烧录 done\n\n烧录成功！"_s,
        { u"done=plain"_s, u"烧录成功=success+b"_s });
    row("a crash", { u"e:Segmentation fault"_s, u"x:-1"_s }, u"Segmentation fault\n烧录失败！退出代码: -1"_s,
        { u"Segmentation=red"_s, u"烧录失败=failure+b"_s });
    row("the verdict after a last line of thousands of sequences",
        { u"o:"_s + u"line\n"_s.repeated(300), u"o:"_s + u"\u001b[32mx \u001b[31my "_s.repeated(4005), u"x:0"_s },
        u"…x y  … 6020 more characters not shown\n烧录成功！"_s, { u"烧录成功=success+b"_s });
    row("a colour set before thousands of lines left out still shows", { u"o:\u001b[36mcyan\n"_s, u"o:"_s + u"x\n"_s.repeated(12000) + u"end\n"_s },
        u"…x\nend\n"_s, { u"end=#5fcfcf"_s });
    row("the verdict after an unfinished sequence and half a CR LF", { u"o:text\u001b]0;tit"_s, u"e:\u001b[31"_s, u"o:\r"_s, u"x:3"_s },
        u"text\n烧录失败！退出代码: 3"_s);
}

void tst_LogRenderer::toolOutputShowsAsWrittenAndOnlyTheControllerFormats()
{
    QFETCH(QStringList, pieces);
    QFETCH(QString, visible);
    QFETCH(QStringList, styles);
    QFETCH(bool, splitsAgree);
    QFETCH(bool, wholeLogAgrees);

    const Job job = jobOf(pieces);
    QString markup;
    const QString fault = sameWhateverTheTiming(m_module, job, splitsAgree, wholeLogAgrees, &markup);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));

    ShownText pane = readMarkup(markup);
    const qsizetype afterLaunch = pane.text.indexOf(u"\n\n"_s) + 2;
    pane.text.remove(0, afterLaunch);
    pane.colours.remove(0, afterLaunch);
    pane.bold.remove(0, afterLaunch);
    if (visible.startsWith(u'…'))
        QVERIFY2(pane.text.endsWith(visible.mid(1)), qPrintable(pane.text.right(80)));
    else
        QCOMPARE(pane.text, visible);
    for (const QString &style : styles) {
        const QString part = style.section(u'=', 0, 0);
        QCOMPARE(part + u'=' + styleAt(pane, pane.text.indexOf(part)), style);
    }
}

void tst_LogRenderer::paneShowsTheLastLinesAndSaysHowManyItLeavesOut_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("charactersPerRead");
    QTest::addColumn<bool>("finalLineFeed");
    QTest::addColumn<int>("dropped");

    // The log's first two lines are the launch line and the empty line
    // after it; the pane shows at most 10,000 lines. Reads end anywhere,
    // in the middle of lines too.
    QTest::newRow("one line more than the pane holds") << 10001 << 4093 << true << 3;
    QTest::newRow("one earlier line") << 9999 << 7919 << true << 1;
    QTest::newRow("the last line without its line feed") << 10001 << 30011 << false << 3;
    QTest::newRow("many more, read after read") << 30000 << 65536 << true << 20002;
    QTest::newRow("many more, in one read") << 30001 << 0 << true << 20003;
}

void tst_LogRenderer::paneShowsTheLastLinesAndSaysHowManyItLeavesOut()
{
    QFETCH(int, lines);
    QFETCH(int, charactersPerRead);
    QFETCH(bool, finalLineFeed);
    QFETCH(int, dropped);

    // Each line first shows its number, then is erased and written over,
    // as esptool v5 redraws its progress.
    QString output;
    for (int line = 1; line <= lines; ++line)
        output += u"%1 %\r\u001b[Kline %1 é😀"_s.arg(line) + (line < lines || finalLineFeed ? u"\n"_s : QString());
    Job job;
    job.reads = splitInto({ { u'o', output } }, [&](const QString &text, qsizetype at) {
        return charactersPerRead > 0 ? at + charactersPerRead : text.size();
    });
    Pane pane(m_module);
    pane.play(job);
    const ShownText shown = pane.shown();

    // The characters of the lines left out, as the tool wrote them, line
    // feeds and overwritten text included, each character counted once.
    const QString log = pane.log();
    qsizetype end = 0;
    for (int line = 0; line < dropped; ++line)
        end = log.indexOf(u'\n', end) + 1;
    const qsizetype characters = log.left(end).toUcs4().size();
    const QString note = u"… %1 earlier line%2 (%3 characters) not shown …\n"_s.arg(dropped).arg(dropped == 1 ? "" : "s").arg(characters);
    QCOMPARE(shown.text.left(note.size()), note);
    QCOMPARE(styleAt(shown, 0), u"note"_s);
    QString firstShown = log.mid(end, log.indexOf(u'\n', end) + 1 - end);
    firstShown.remove(0, firstShown.indexOf(u'\r') + 1).remove(u"\u001b[K"_s);
    QCOMPARE(shown.text.mid(note.size(), firstShown.size()), firstShown);
    QCOMPARE(shown.text.count(u'\n') - 1 + (finalLineFeed ? 0 : 1), 10000);
}

// Layout costs by what is laid out: characters beyond Latin-1 three times
// a Latin-1 one, characters in a word too long to wrap at its spaces six
// times. The pane shows as many lines as that allows.
void tst_LogRenderer::layoutCostBoundsWhatIsShown()
{
    const auto shownLines = [this](const QString &line, int count) {
        Pane pane(m_module);
        pane.play(jobOf({ u"o:"_s + (line + u'\n').repeated(count), u"x:0"_s }));
        return pane.shown().text.count(u'\n') - 1;
    };
    const int latin = shownLines(u"abcdefghi "_s.repeated(6), 20000);
    const int wide = shownLines(u"写入地址数据校验完 "_s.repeated(6), 20000);
    const int unbroken = shownLines(QString(10000, u'x'), 40);
    QVERIFY2(latin > 2000 && latin < 10000, qPrintable(QString::number(latin)));
    QVERIFY2(wide * 3 > latin && wide * 3 / 2 < latin, qPrintable(u"%1 of %2"_s.arg(wide).arg(latin)));
    QVERIFY2(unbroken >= 2 && unbroken <= 6, qPrintable(QString::number(unbroken)));
}

void tst_LogRenderer::randomOutputShowsTheSameHoweverItComes()
{
    const int cases = qEnvironmentVariableIsSet("VELMORIN_RANDOM_CASES") ? qEnvironmentVariableIntValue("VELMORIN_RANDOM_CASES")
                                                                          : VELMORIN_RANDOM_CASES;
    const quint32 seed = qEnvironmentVariableIsSet("VELMORIN_RANDOM_SEED") ? quint32(qEnvironmentVariableIntValue("VELMORIN_RANDOM_SEED"))
                                                                          : QRandomGenerator::global()->generate();
    // Told first: a run the system ends (out of memory, a timeout) says no more.
    qInfo("%d cases, seed %u", cases, seed);
    OutputGrammar grammar(seed);
    for (int index = 0; index < cases; ++index) {
        const Job job = grammar.job();
        const auto fault = [this](const Job &candidate) {
            return sameWhateverTheTiming(m_module, candidate, true, logTellsReadsApart(candidate), nullptr);
        };
        if (const QString found = fault(job); !found.isEmpty()) {
            int tries = 0;
            const Job small = shrunk(job, [&](const Job &candidate) {
                // Shrinking runs thousands of jobs between two of the
                // collections below.
                if (++tries % 50 == 0)
                    m_engine.collectGarbage();
                return !fault(candidate).isEmpty();
            });
            QFAIL(qPrintable(u"seed %1, case %2: %3\nshrunk: %4 -> %5"_s.arg(seed).arg(index).arg(found, asRow(small), fault(small))));
        }
        // Every so often the engine is emptied, as a long test fills it.
        if (index % 200 == 199)
            m_engine.collectGarbage();
    }
}

void tst_LogRenderer::workGrowsWithTheOutputNotFaster_data()
{
    QTest::addColumn<QString>("unit");

    QTest::newRow("a line of tabs") << u"ab\t"_s;
    QTest::newRow("a colour on every character") << u"\u001b[3%1mx"_s;
    QTest::newRow("stacked marks") << u"x\u0333\u0347\u0333"_s;
    QTest::newRow("an unbreakable word") << u"x"_s;
    QTest::newRow("progress redrawn in place") << u"\u001b[K%1 %\r"_s;
    QTest::newRow("sequences that never end") << u"\u001b]0;"_s;
    QTest::newRow("plain lines") << u"Writing at 0x00010000...\n"_s;
}

// The renderer's work per character of output is bounded, whatever shape
// the output has: four times the output takes about four times the work,
// not sixteen. Measured as the best of three, in this thread's CPU time,
// which other work on the machine leaves alone.
void tst_LogRenderer::workGrowsWithTheOutputNotFaster()
{
    QFETCH(QString, unit);

    const auto readsOf = [&](int bytes) {
        QString text;
        for (int k = 0; text.size() < bytes; ++k)
            text += unit.contains(u"%1"_s) ? unit.arg(k % 8) : unit;
        return splitInto({ { u'o', text } }, [](const QString &, qsizetype at) { return at + 65536; });
    };
    // One play's time, played again until it has lasted several ticks of
    // the thread's clock, which on Windows ticks every 15.6 ms.
    const auto seconds = [&](const QList<Read> &reads) {
        int plays = 0;
        double elapsed = 0;
        const double start = threadSeconds();
        do {
            Pane pane(m_module);
            pane.play({ reads, 0 });
            pane.markup();
            ++plays;
            elapsed = threadSeconds() - start;
        } while (elapsed < 0.1);
        return elapsed / plays;
    };
    // The two sizes in turns, the best of each: a busy spell of the machine
    // then slows both.
    const QList<Read> smallReads = readsOf(1 << 16);
    const QList<Read> largeReads = readsOf(1 << 18);
    double small = 1e9;
    double large = 1e9;
    for (int round = 0; round < 3; ++round) {
        small = std::min(small, seconds(smallReads));
        large = std::min(large, seconds(largeReads));
    }
    const QString figures = u"64 Ki characters: %1 s, 256 Ki: %2 s"_s.arg(small).arg(large);
    QVERIFY2(large < 8 * small + 0.02, qPrintable(figures));
    // And each character costs little: over 256 Ki of them, 24 µs at most
    // each, where the renderer takes about one (a few in a sanitized build).
    QVERIFY2(large < 6.0, qPrintable(figures));
}

// A defect of the renderer, whatever it is, costs tool text: the verdict is
// still shown, and the failure is told, not kept quiet.
void tst_LogRenderer::aRendererDefectCostsToolTextNeverTheVerdict()
{
    for (const QString &part : { u"feed"_s, u"toolMarkup"_s }) {
        Pane pane(m_module);
        pane.play(jobOf({ u"o:before\n"_s }));
        QJSValue renderer = pane.renderer();
        renderer.setProperty(part, m_engine.evaluate(u"(function () { throw new TypeError('planted') })"_s));
        pane.take({ u'o', u"after\n"_s });
        pane.finish(2);
        const ShownText shown = pane.shown();
        QVERIFY2(shown.text.endsWith(u"\n烧录失败！退出代码: 2"_s), qPrintable(part));
        QCOMPARE(shown.text.count(u"烧录失败"_s), 1);
        QVERIFY(shown.text.contains(u"could not be shown"_s));
        QVERIFY(pane.failures() > 0);
        QVERIFY(renderer.property(u"lastFailure"_s).toString().contains(u"planted"_s));
    }
}

QTEST_GUILESS_MAIN(tst_LogRenderer)
#include "tst_logrenderer.moc"
