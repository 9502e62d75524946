#include "firmwarefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

FirmwareFixture::FirmwareFixture()
    : m_path(QDir(QCoreApplication::applicationDirPath()).filePath(u"firmware"_s))
{
    if (QFileInfo::exists(m_path))
        return;
    m_created = QDir().mkpath(m_path);
}

FirmwareFixture::~FirmwareFixture()
{
    if (m_created)
        QDir(m_path).removeRecursively();
}

bool FirmwareFixture::isValid() const
{
    return m_created;
}

QString FirmwareFixture::path() const
{
    return m_path;
}

QString FirmwareFixture::profilePath(const QString &profile) const
{
    return QDir(m_path).filePath(profile);
}

bool FirmwareFixture::installTool() const
{
    const QString target = QDir(m_path).filePath(u"esptool.exe"_s);
    QFile::remove(target);
    return m_created && QFile::copy(QStringLiteral(VELMORIN_STANDIN_PATH), target);
}

bool FirmwareFixture::writeImages(const QString &profile, const QStringList &fileNames) const
{
    for (const QString &name : fileNames) {
        // Sizes differ per image so that a session's progress differs too.
        const QByteArray content(1024 * (imageNames().indexOf(name) + 1), char(0xe9));
        if (!writeFile(profile + u'/' + name, content))
            return false;
    }
    return true;
}

bool FirmwareFixture::writeFile(const QString &relativePath, const QByteArray &content) const
{
    if (!m_created)
        return false;
    const QString filePath = QDir(m_path).filePath(relativePath);
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

bool FirmwareFixture::removeFile(const QString &relativePath) const
{
    return m_created && QFile::remove(QDir(m_path).filePath(relativePath));
}

QStringList FirmwareFixture::imageNames()
{
    return { u"bootloader.bin"_s, u"partitions.bin"_s, u"boot_app0.bin"_s, u"firmware.bin"_s };
}

QStringList FirmwareFixture::profiles()
{
    return { u"v0_solwen_wireless"_s,  u"v1_dual_durnik_wire"_s, u"v1_dual_durnik_wireless"_s,
             u"v1_kelvar_wire"_s,      u"v1_kelvar_wireless"_s,  u"v2_durnik_wire"_s,
             u"v2_durnik_wireless"_s,  u"v2_kelvar_left_wire"_s, u"v2_kelvar_right_wire"_s };
}
