#include "demobundle.h"

#include "devicepicture.h"
#include "flashcontroller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {

// Sizes close to those of a real build for this chip; the firmware differs a
// little per profile so that the sessions differ too.
struct DemoImage
{
    QString fileName;
    qsizetype size;
};

const DemoImage demoImages[] = {
    { u"bootloader.bin"_s, 15104 },
    { u"partitions.bin"_s, 3072 },
    { u"boot_app0.bin"_s, 8192 },
    { u"firmware.bin"_s, 786432 },
};

QByteArray imageContent(const QString &profile, const DemoImage &image, qsizetype size)
{
    // Deterministic, so that every staging gives the same bundle.
    QRandomGenerator generator(qHash(profile + image.fileName));
    QByteArray content(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(content.data()), size / 4);
    content[0] = char(0xe9); // the ESP image magic byte
    return content;
}

} // namespace

QString DemoBundle::profileWithoutFirmware()
{
    return u"v1_dual_durnik_wire"_s;
}

QString DemoBundle::profileWithBrokenPicture()
{
    return u"v2_durnik_wireless"_s;
}

DemoBundle::DemoBundle(const QString &standinPath)
    : m_standinPath(standinPath)
{
}

QString DemoBundle::message() const
{
    return m_message;
}

bool DemoBundle::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size())
        return true;
    m_message = u"Could not write %1: %2"_s.arg(QDir::toNativeSeparators(path), file.errorString());
    return false;
}

bool DemoBundle::stage(const QString &targetDir)
{
    const QDir target(targetDir);
    const QString firmwarePath = target.filePath(u"firmware"_s);
    if (QFileInfo::exists(firmwarePath)) {
        m_message = u"Using the existing %1 as it is (no demo bundle staged)."_s
                            .arg(QDir::toNativeSeparators(firmwarePath));
        return true;
    }

    const QDir firmware(firmwarePath);
    const QString toolPath = firmware.filePath(u"esptool.exe"_s);
    if (!QDir().mkpath(firmwarePath) || !QFile::copy(m_standinPath, toolPath)) {
        m_message = u"Could not stage the demo bundle in %1."_s.arg(QDir::toNativeSeparators(firmwarePath));
        return false;
    }

    const QStringList profiles = FlashController().deviceProfiles();
    for (int index = 0; index < profiles.size(); ++index) {
        const QString &profile = profiles.at(index);
        const QDir profileDir(firmware.filePath(profile));
        QDir().mkpath(profileDir.path());
        for (const DemoImage &image : demoImages) {
            if (profile == profileWithoutFirmware() && image.fileName == u"firmware.bin"_s)
                continue;
            const qsizetype size = image.fileName == u"firmware.bin"_s ? image.size + index * 40960 : image.size;
            if (!writeFile(profileDir.filePath(image.fileName), imageContent(profile, image, size)))
                return false;
        }
        const QString picturePath = profileDir.filePath(u"device.jpg"_s);
        if (profile == profileWithBrokenPicture()) {
            if (!writeFile(picturePath, "Demo bundle: this device.jpg is deliberately not an image.\n"))
                return false;
        } else if (!drawDevicePicture(profile).save(picturePath, "JPG", 90)) {
            m_message = u"Could not write %1."_s.arg(QDir::toNativeSeparators(picturePath));
            return false;
        }
    }

    m_message = u"Staged the demo firmware bundle in %1 (stand-in esptool, no device is written)."_s
                        .arg(QDir::toNativeSeparators(firmwarePath));
    return true;
}
