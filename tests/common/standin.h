#ifndef STANDIN_H
#define STANDIN_H

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QString>
#include <QTest>

namespace Standin {

// Clears what earlier tests told the stand-in and makes sessions fast.
void resetEnvironment();

// Writes the steps the stand-in plays on its next start into dir and points
// the stand-in at them (see tools/esptool-standin/scriptedrun.h).
bool useScript(const QString &dir, const QJsonArray &steps);

// Lets the event loop run until the controller's job has ended.
template<typename Controller>
bool waitUntilIdle(const Controller &controller, int timeout = 15000)
{
    QDeadlineTimer deadline(timeout);
    while (controller.isFlashing() && !deadline.hasExpired())
        QTest::qWait(10);
    return !controller.isFlashing();
}

} // namespace Standin

#endif // STANDIN_H
