#include "fakecontroller.h"

QStringList FakeController::deviceProfiles() const
{
    return { QStringLiteral("v0_solwen_wireless") };
}

QStringList FakeController::availablePorts() const
{
    return { QStringLiteral("COM5") };
}

QString FakeController::flashOutput() const
{
    return m_flashOutput;
}

bool FakeController::isFlashing() const
{
    return true;
}

void FakeController::append(const QString &text)
{
    m_flashOutput += text;
    emit flashOutputChanged();
}

QString FakeController::getImagePathForProfile(const QString &) const
{
    return QString();
}
