#ifndef LOGPANE_H
#define LOGPANE_H

#include <QJSValue>
#include <QObject>
#include <QVariant>

// Whether the window's log pane has been given the log as it is now: the
// window paces the pane's layouts and may hold a change back a frame or more.
inline bool logPaneIsCurrent(const QObject *window)
{
    return !window->property("logPacing").value<QJSValue>().property(QStringLiteral("dirty")).toBool();
}

#endif // LOGPANE_H
