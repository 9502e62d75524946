#ifndef RECORDER_H
#define RECORDER_H

#include "flashcontroller.h"

#include <QList>
#include <QObject>
#include <QStringList>

// The controller's notifications in the order they happen, with the log and
// the flag as they were at that moment, for as long as the recorder lives.
struct Recorder
{
    QObject context;
    QStringList events;
    QStringList reasons;
    QStringList logs;
    QList<bool> flags;

    explicit Recorder(FlashController *controller)
    {
        using namespace Qt::StringLiterals;
        const auto record = [this, controller](const QString &event) {
            events << event;
            logs << controller->flashOutput();
            flags << controller->isFlashing();
        };
        QObject::connect(controller, &FlashController::flashOutputChanged, &context, [=] { record(u"flashOutputChanged"_s); });
        QObject::connect(controller, &FlashController::isFlashingChanged, &context, [=] { record(u"isFlashingChanged"_s); });
        QObject::connect(controller, &FlashController::flashSucceeded, &context, [=] { record(u"flashSucceeded"_s); });
        QObject::connect(controller, &FlashController::flashFailed, &context, [=](const QString &reason) {
            reasons << reason;
            record(u"flashFailed"_s);
        });
    }
};

#endif // RECORDER_H
