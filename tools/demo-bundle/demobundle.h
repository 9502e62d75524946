#ifndef DEMOBUNDLE_H
#define DEMOBUNDLE_H

#include <QString>
#include <QStringList>

// The demo firmware directory: the stand-in esptool as esptool.exe, and for
// each device profile four generated images of plausible sizes and a
// generated picture. One profile lacks its firmware.bin and one has a
// picture that is not an image, so the refusal and the empty picture pane
// can be seen too.
class DemoBundle
{
public:
    static QString profileWithoutFirmware();
    static QString profileWithBrokenPicture();

    explicit DemoBundle(const QString &standinPath);

    // Creates targetDir/firmware unless something by that name exists; a
    // firmware/ that is there already is never touched. The message says
    // what happened, in one line.
    bool stage(const QString &targetDir);
    QString message() const;

private:
    bool writeFile(const QString &path, const QByteArray &content);

    QString m_standinPath;
    QString m_message;
};

#endif // DEMOBUNDLE_H
