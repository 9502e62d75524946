#ifndef LOGPANE_H
#define LOGPANE_H

#include <QQuickItem>
#include <QTextLayout>

#include <QtQuick/private/qquicktext_p.h>
#include <QtQuick/private/qquicktext_p_p.h>

// What a reader sees in a Text item, as Qt laid it out: the characters
// (line separators as line feeds, non-breaking spaces as spaces), and the
// formats that colour them. Tests that use it link Qt6::QuickPrivate.
struct ShownText
{
    QString text;
    QList<QTextLayout::FormatRange> formats;
};

inline ShownText shownText(QQuickItem *item)
{
    const QTextLayout &layout = QQuickTextPrivate::get(qobject_cast<QQuickText *>(item))->layout;
    QString visible = layout.text();
    visible.replace(QChar::LineSeparator, u'\n').replace(QChar::Nbsp, u' ');
    return { visible, layout.formats() };
}

#endif // LOGPANE_H
