#ifndef FIRMWAREFIXTURE_H
#define FIRMWAREFIXTURE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The firmware directory beside the running test executable, which is where
// the controller looks. It is created by the constructor and removed with
// everything in it by the destructor, but only if it did not exist before:
// a directory that was already there is never touched (isValid() is false).
class FirmwareFixture
{
public:
    FirmwareFixture();
    ~FirmwareFixture();

    FirmwareFixture(const FirmwareFixture &) = delete;
    FirmwareFixture &operator=(const FirmwareFixture &) = delete;

    bool isValid() const;
    QString path() const;
    QString profilePath(const QString &profile) const;

    // Copies the esptool stand-in to firmware/esptool.exe.
    bool installTool() const;
    // Writes the named images (all four by default) for the profile.
    bool writeImages(const QString &profile, const QStringList &fileNames = imageNames()) const;
    bool writeFile(const QString &relativePath, const QByteArray &content) const;
    bool removeFile(const QString &relativePath) const;

    static QStringList imageNames();
    static QStringList profiles();

private:
    QString m_path;
    bool m_created = false;
};

#endif // FIRMWAREFIXTURE_H
