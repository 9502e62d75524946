#include "fakecontroller.h"

using namespace Qt::StringLiterals;

QStringList FakeController::deviceProfiles() const
{
    return { u"v0_solwen_wireless"_s, u"v1_dual_durnik_wire"_s };
}

QStringList FakeController::availablePorts() const
{
    return m_availablePorts;
}

QString FakeController::flashOutput() const
{
    return m_flashOutput;
}

bool FakeController::isFlashing() const
{
    return m_isFlashing;
}

QString FakeController::getImagePathForProfile(const QString &) const
{
    return QString();
}

void FakeController::setPortsOnMachine(const QStringList &ports)
{
    m_portsOnMachine = ports;
}

void FakeController::refreshPorts()
{
    m_availablePorts = m_portsOnMachine;
    emit availablePortsChanged();
}

void FakeController::startFlash(const QString &, const QString &)
{
}

void FakeController::launch()
{
    m_flashOutput.clear();
    emit flashOutputChanged();
    m_isFlashing = true;
    emit isFlashingChanged();
    append(u"Executing: C:\\flasher\\firmware\\esptool.exe --chip esp32s3 --port COM5 write_flash "
           "0x0 C:/flasher/firmware/v0_solwen_wireless/bootloader.bin\n\n"_s);
}

void FakeController::appendOutput(const QString &text)
{
    append(text);
}

void FakeController::appendError(const QString &text)
{
    append(u"<font color='red'>"_s + text + u"</font>"_s);
}

void FakeController::finish(int exitCode)
{
    if (exitCode == 0) {
        m_flashOutput += u"\n<b><font color='green'>烧录成功！</font></b>"_s;
        emit flashSucceeded();
    } else {
        m_flashOutput += u"\n<b><font color='red'>烧录失败！退出代码: %1</font></b>"_s.arg(exitCode);
        emit flashFailed(u"烧录过程出错，请检查日志。"_s);
    }
    emit flashOutputChanged();
    m_isFlashing = false;
    emit isFlashingChanged();
}

void FakeController::append(const QString &text)
{
    m_flashOutput += text;
    emit flashOutputChanged();
}
