#include "benchsupport.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace Bench {

bool quick(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("--quick"));
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double threadCpuMilliseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

void report(const QString &name, double value, const QString &unit, double budget)
{
    const QString verdict = budget <= 0 ? QStringLiteral("-")
                          : value <= budget ? QStringLiteral("met")
                                            : QStringLiteral("MISSED");
    std::printf("RESULT\t%s\t%.3f\t%s\t%s\t%s\n", qPrintable(name), value, qPrintable(unit),
                budget > 0 ? qPrintable(QString::number(budget)) : "-", qPrintable(verdict));
    std::fflush(stdout);
}

QQuickWindow *loadMainWindow(QQmlApplicationEngine &engine, QObject *controller)
{
    engine.rootContext()->setContextProperty(QStringLiteral("flashController"), controller);
    engine.load(QUrl::fromLocalFile(QStringLiteral(VELMORIN_QML_DIR "/Main.qml")));
    return engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
}

} // namespace Bench
