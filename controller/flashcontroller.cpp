#include "flashcontroller.h"

#include "toolprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QUrl>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString portPlaceholder = u"Device not found"_s;

// Offset and image file name of each part of the flash layout, in the order
// they are checked and passed to the tool.
struct FlashRegion
{
    QString offset;
    QString fileName;
};

const FlashRegion flashLayout[] = {
    { u"0x0"_s, u"bootloader.bin"_s },
    { u"0x8000"_s, u"partitions.bin"_s },
    { u"0xe000"_s, u"boot_app0.bin"_s },
    { u"0x10000"_s, u"firmware.bin"_s },
};

QString firmwareDirPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"firmware"_s);
}

QString toolPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"firmware/esptool.exe"_s);
}

// Decodes the characters that are complete in pending followed by bytes, and
// keeps in pending an incomplete one at the end, for the next read.
QString decodeCompleteCharacters(QByteArray &pending, const QByteArray &bytes)
{
    pending += bytes;
    qsizetype complete = pending.size();
    for (qsizetype back = 1; back <= qMin<qsizetype>(3, pending.size()); ++back) {
        const uchar byte = uchar(pending.at(pending.size() - back));
        if ((byte & 0xc0) == 0x80)
            continue;
        const int length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
        if (length > back)
            complete = pending.size() - back;
        break;
    }
    const QString text = QString::fromUtf8(pending.first(complete));
    pending.remove(0, complete);
    return text;
}

} // namespace

FlashController::FlashController(QObject *parent)
    : QObject(parent)
    , m_process(new ToolProcess(this))
    , m_isFlashing(false)
{
    // Lets onProcessFinished be invoked through the meta-object by its
    // recorded signature, not only through the direct connection below.
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");

    loadDeviceProfiles();

    connect(m_process, &QProcess::readyReadStandardOutput, this, &FlashController::handleProcessOutput);
    connect(m_process, &QProcess::readyReadStandardError, this, &FlashController::handleProcessError);
    connect(m_process, &QProcess::finished, this, &FlashController::onProcessFinished);

    // A tool that cannot be started never sends finished; without this the
    // job would stay in "Flashing..." for good. A lambda keeps the published
    // slots as they are. Crashes are followed by finished and end there.
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onProcessFailedToStart();
    });

    refreshPorts();
}

QStringList FlashController::deviceProfiles() const
{
    return m_deviceProfiles;
}

QStringList FlashController::availablePorts() const
{
    return m_availablePorts;
}

QString FlashController::flashOutput() const
{
    return m_flashOutput;
}

bool FlashController::isFlashing() const
{
    return m_isFlashing;
}

void FlashController::loadDeviceProfiles()
{
    static const QString identifiers[] = {
        u"v2_kelvar_left_wire"_s,
        u"v2_kelvar_right_wire"_s,
        u"v2_durnik_wire"_s,
        u"v2_durnik_wireless"_s,
        u"v1_kelvar_wire"_s,
        u"v1_dual_durnik_wire"_s,
        u"v1_kelvar_wireless"_s,
        u"v1_dual_durnik_wireless"_s,
        u"v0_solwen_wireless"_s,
    };

    const QDir firmwareDir(firmwareDirPath());
    m_deviceProfiles.clear();
    m_profileDirs.clear();
    for (const QString &identifier : identifiers)
        m_profileDirs.insert(identifier, firmwareDir.filePath(identifier));
    m_deviceProfiles = m_profileDirs.keys();
    emit deviceProfilesChanged();
}

void FlashController::refreshPorts()
{
    m_availablePorts.clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        m_availablePorts.append(info.portName());
    emit availablePortsChanged();
}

QString FlashController::getImagePathForProfile(const QString &profileName) const
{
    const auto it = m_profileDirs.constFind(profileName);
    if (it == m_profileDirs.constEnd())
        return QString();

    // Only a regular file (or a link to one) is a picture: the window would
    // wait for ever to read a FIFO, and a directory or a device is no picture.
    const QString imagePath = QDir(it.value()).filePath(u"device.jpg"_s);
    if (!QFileInfo(imagePath).isFile())
        return QString();
    return QUrl::fromLocalFile(imagePath).toString();
}

void FlashController::startFlash(const QString &profileName, const QString &port)
{
    // Starting over would wipe the running job's log, and the process object
    // cannot run a second tool anyway.
    if (m_isFlashing) {
        emit flashFailed(u"烧录正在进行中，请等待当前任务结束。"_s);
        return;
    }

    const auto profileDir = m_profileDirs.constFind(profileName);
    if (profileDir == m_profileDirs.constEnd()) {
        emit flashFailed(u"错误：选择了无效的设备！"_s);
        return;
    }
    if (port.isEmpty() || port == portPlaceholder) {
        emit flashFailed(u"请选择一个有效的烧录端口！"_s);
        return;
    }
    const QString program = toolPath();
    if (!QFile::exists(program)) {
        emit flashFailed(u"错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s);
        return;
    }

    const QDir dir(profileDir.value());
    QStringList arguments = { u"--chip"_s, u"esp32s3"_s, u"--port"_s, ToolProcess::portArgument(port), u"write_flash"_s };
    for (const FlashRegion &region : flashLayout) {
        // A FIFO, a directory or a device is no image to write to a board.
        const QString imagePath = dir.filePath(region.fileName);
        if (!QFileInfo(imagePath).isFile()) {
            emit flashFailed(u"固件文件 '%1' 在路径 '%2' 中未找到。"_s
                                 .arg(QFileInfo(imagePath).fileName(),
                                      QDir::toNativeSeparators(profileDir.value())));
            return;
        }
        arguments << region.offset << imagePath;
    }

    m_flashOutput.clear();
    emit flashOutputChanged();
    m_isFlashing = true;
    emit isFlashingChanged();

    m_stdoutPending.clear();
    m_stderrPending.clear();

    m_flashOutput += u"Executing: "_s + QDir::toNativeSeparators(program) + u' '
            + arguments.join(u' ') + u"\n\n"_s;
    emit flashOutputChanged();

    // A Python tool writes to a pipe in the system's ANSI code page (GBK on
    // a Chinese Windows) unless told otherwise; the log decodes UTF-8.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PYTHONIOENCODING"_s, u"utf-8"_s);
    m_process->setProcessEnvironment(environment);
    m_process->start(program, arguments, QIODeviceBase::ReadWrite);
}

void FlashController::handleProcessOutput()
{
    m_flashOutput += decodeCompleteCharacters(m_stdoutPending, m_process->readAllStandardOutput());
    emit flashOutputChanged();
}

void FlashController::handleProcessError()
{
    m_flashOutput += u"<font color='red'>"_s
            + decodeCompleteCharacters(m_stderrPending, m_process->readAllStandardError()) + u"</font>"_s;
    emit flashOutputChanged();
}

void FlashController::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    flushPendingCharacters();
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        m_flashOutput += u"\n<b><font color='green'>烧录成功！</font></b>"_s;
        emit flashSucceeded();
    } else {
        m_flashOutput += u"\n<b><font color='red'>烧录失败！退出代码: %1</font></b>"_s.arg(exitCode);
        emit flashFailed(u"烧录过程出错，请检查日志。"_s);
    }
    finishJob();
}

void FlashController::onProcessFailedToStart()
{
    // Only a job of ours can fail to start; never end one twice.
    if (!m_isFlashing)
        return;
    m_flashOutput += u"\n<b><font color='red'>烧录失败！无法启动烧录工具: %1</font></b>"_s
                             .arg(m_process->errorString());
    emit flashFailed(u"无法启动烧录工具 esptool.exe。"_s);
    finishJob();
}

void FlashController::flushPendingCharacters()
{
    // A character cut off at the very end of the output is shown as what it
    // is, broken, as a last read of its channel would show it.
    if (!m_stdoutPending.isEmpty()) {
        m_flashOutput += QString::fromUtf8(std::exchange(m_stdoutPending, {}));
        emit flashOutputChanged();
    }
    if (!m_stderrPending.isEmpty()) {
        m_flashOutput += u"<font color='red'>"_s + QString::fromUtf8(std::exchange(m_stderrPending, {})) + u"</font>"_s;
        emit flashOutputChanged();
    }
}

void FlashController::finishJob()
{
    emit flashOutputChanged();
    m_isFlashing = false;
    emit isFlashingChanged();
}
