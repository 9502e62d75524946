#ifndef LOGPANE_H
#define LOGPANE_H

#include <QColor>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

// What a reader sees of the log pane's display markup, read as the pane's
// styled text shows it: the characters (line breaks as line feeds,
// non-breaking spaces as spaces, runs of white space folded), each with its
// colour ("" for the pane's own) and weight. Markup the pane never makes
// (another tag or entity, a tag left open) makes it invalid, with the reason.
struct ShownText
{
    QString text;
    QStringList colours;
    QList<bool> bold;
    QString invalid;

    QString colourAt(qsizetype position) const { return position < colours.size() ? colours.at(position) : QString(); }
};

inline ShownText readMarkup(const QString &markup)
{
    ShownText shown;
    QStringList colours;
    int bold = 0;
    // White space at the start of a line is left out, like a run's second.
    bool afterSpace = true;
    const auto put = [&](QChar character) {
        shown.text += character;
        shown.colours += colours.isEmpty() ? QString() : colours.last();
        shown.bold += bold > 0;
    };
    for (qsizetype at = 0; at < markup.size() && shown.invalid.isEmpty(); ++at) {
        const QChar character = markup.at(at);
        if (character == u'<') {
            const qsizetype end = markup.indexOf(u'>', at);
            const QString tag = markup.mid(at + 1, end - at - 1);
            at = end;
            if (end < 0) {
                shown.invalid = QStringLiteral("a tag without its end");
            } else if (tag == u"br") {
                put(u'\n');
                afterSpace = true;
            } else if (tag == u"b") {
                ++bold;
            } else if (tag == u"/b" && bold > 0) {
                --bold;
            } else if (tag.startsWith(u"font color='") && tag.endsWith(u'\'') && QColor(tag.mid(12).chopped(1)).isValid()) {
                colours += QColor(tag.mid(12).chopped(1)).name();
            } else if (tag == u"/font" && !colours.isEmpty()) {
                colours.removeLast();
            } else {
                shown.invalid = QStringLiteral("the tag <") + tag + QStringLiteral(">");
            }
        } else if (character == u'&') {
            const qsizetype end = markup.indexOf(u';', at);
            const QString entity = markup.mid(at + 1, end - at - 1);
            at = end;
            static const QList<std::pair<QString, QChar>> entities = {
                { QStringLiteral("amp"), u'&' }, { QStringLiteral("lt"), u'<' }, { QStringLiteral("gt"), u'>' }, { QStringLiteral("nbsp"), u' ' } };
            const auto known = std::find_if(entities.cbegin(), entities.cend(), [&](const auto &e) { return e.first == entity; });
            if (end < 0 || known == entities.cend())
                shown.invalid = QStringLiteral("the entity &") + entity + QStringLiteral(";");
            else
                put(known->second);
            afterSpace = false;
        } else if (character.isSpace()) {
            if (!afterSpace)
                put(u' ');
            afterSpace = true;
        } else {
            put(character);
            afterSpace = false;
        }
    }
    if (shown.invalid.isEmpty() && (bold > 0 || !colours.isEmpty()))
        shown.invalid = QStringLiteral("a tag left open");
    return shown;
}

// What the log pane shows now.
inline ShownText shownText(const QObject *logText)
{
    return readMarkup(logText->property("text").toString());
}

#endif // LOGPANE_H
