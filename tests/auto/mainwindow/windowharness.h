#ifndef WINDOWHARNESS_H
#define WINDOWHARNESS_H

#include "flashcontroller.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>

// The real Main.qml from the source tree, loaded the way main() loads it: a
// controller published as flashController before the window is created;
// its own, or one the test gives it (a FakeController).
class WindowHarness
{
public:
    explicit WindowHarness(QObject *publishedController = nullptr);

    bool isLoaded() const;
    FlashController &controller();
    QQuickWindow *window() const;
    // An element of Main.qml by its id, or one of its properties.
    QQuickItem *item(const QString &id) const;
    QVariant property(const QString &id, const char *name) const;
    // The first Button with this text (for buttons without an id).
    QQuickItem *buttonWithText(const QString &text) const;

    void click(QQuickItem *item) const;
    bool selectDevice(const QString &profile) const;
    // Replaces the port selector's list, as the machine's ports are what they are.
    void injectPort(const QString &port) const;
    // Where the bottom of the log pane's view is, as a share of the log: 1
    // when the last line is in view.
    double scrollEnd() const;

private:
    FlashController m_controller;
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

#endif // WINDOWHARNESS_H
