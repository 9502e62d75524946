#include "windowharness.h"

#include <QQmlContext>
#include <QTest>

using namespace Qt::StringLiterals;

WindowHarness::WindowHarness(QObject *publishedController)
{
    m_engine.rootContext()->setContextProperty(u"flashController"_s,
                                               publishedController ? publishedController : &m_controller);
    m_engine.load(QUrl::fromLocalFile(QStringLiteral(VELMORIN_QML_DIR "/Main.qml")));
    if (!m_engine.rootObjects().isEmpty())
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
}

bool WindowHarness::isLoaded() const
{
    return m_window && QTest::qWaitForWindowExposed(m_window);
}

FlashController &WindowHarness::controller()
{
    return m_controller;
}

QQuickWindow *WindowHarness::window() const
{
    return m_window;
}

QQuickItem *WindowHarness::item(const QString &id) const
{
    return qobject_cast<QQuickItem *>(qmlContext(m_window)->objectForName(id));
}

QVariant WindowHarness::property(const QString &id, const char *name) const
{
    return qmlContext(m_window)->objectForName(id)->property(name);
}

QQuickItem *WindowHarness::buttonWithText(const QString &text) const
{
    // The window, not its content item, is the QObject parent of what it holds.
    const auto items = m_window->findChildren<QQuickItem *>();
    for (QQuickItem *item : items) {
        if (item->inherits("QQuickButton") && item->property("text").toString() == text)
            return item;
    }
    return nullptr;
}

void WindowHarness::click(QQuickItem *item) const
{
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

bool WindowHarness::selectDevice(const QString &profile) const
{
    QObject *combo = qmlContext(m_window)->objectForName(u"deviceComboBox"_s);
    combo->setProperty("currentIndex", combo->property("model").toStringList().indexOf(profile));
    return combo->property("currentText").toString() == profile;
}

void WindowHarness::injectPort(const QString &port) const
{
    qmlContext(m_window)->objectForName(u"portComboBox"_s)->setProperty("model", QStringList{ port });
}

double WindowHarness::scrollEnd() const
{
    QObject *flickable = property(u"logScrollView"_s, "contentItem").value<QObject *>();
    const double contentHeight = flickable->property("contentHeight").toDouble();
    const double height = flickable->property("height").toDouble();
    return contentHeight <= height ? 1.0 : (flickable->property("contentY").toDouble() + height) / contentHeight;
}
