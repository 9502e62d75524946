#include "windowharness.h"

#include "flashcontroller.h"

#include <QQmlContext>
#include <QTest>

using namespace Qt::StringLiterals;

WindowHarness::WindowHarness(FlashController *controller)
{
    m_engine.rootContext()->setContextProperty(u"flashController"_s, controller);
    m_engine.load(QUrl::fromLocalFile(QStringLiteral(VELMORIN_QML_DIR "/Main.qml")));
    if (!m_engine.rootObjects().isEmpty())
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
}

bool WindowHarness::isLoaded() const
{
    return m_window && QTest::qWaitForWindowExposed(m_window);
}

QQuickWindow *WindowHarness::window() const
{
    return m_window;
}

QObject *WindowHarness::byId(const QString &id) const
{
    return qmlContext(m_window)->objectForName(id);
}

QQuickItem *WindowHarness::itemById(const QString &id) const
{
    return qobject_cast<QQuickItem *>(byId(id));
}

QVariant WindowHarness::property(const QString &id, const char *name) const
{
    QObject *object = byId(id);
    return object ? object->property(name) : QVariant();
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

QString WindowHarness::renderLog(const QString &log) const
{
    QVariant rendered;
    QMetaObject::invokeMethod(m_window, "renderLog", Q_RETURN_ARG(QVariant, rendered),
                              Q_ARG(QVariant, log));
    return rendered.toString();
}
