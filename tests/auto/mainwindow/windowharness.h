#ifndef WINDOWHARNESS_H
#define WINDOWHARNESS_H

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>

class FlashController;

// The real Main.qml from the source tree, loaded the way main() loads it:
// the controller published as flashController before the window is created.
class WindowHarness
{
public:
    explicit WindowHarness(FlashController *controller);

    bool isLoaded() const;
    QQuickWindow *window() const;
    // An element of Main.qml by its id.
    QObject *byId(const QString &id) const;
    QQuickItem *itemById(const QString &id) const;
    QVariant property(const QString &id, const char *name) const;
    // The first Button whose text is the given text (for buttons without an id).
    QQuickItem *buttonWithText(const QString &text) const;

    void click(QQuickItem *item) const;
    QString renderLog(const QString &log) const;

private:
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

#endif // WINDOWHARNESS_H
