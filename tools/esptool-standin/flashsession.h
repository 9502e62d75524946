#ifndef FLASHSESSION_H
#define FLASHSESSION_H

#include <QList>
#include <QString>
#include <QStringList>

// A write_flash session as esptool v4 prints it, for the images named on the
// command line. Fatal errors go to stderr, as esptool v5 writes them, so they
// can be told apart in the flasher's log.
class FlashSession
{
public:
    void setFast(bool fast);
    void setFailure(const QString &failure);

    // Returns the exit code: 0, 2 for usage and fatal errors, 1 for a lost link.
    int run(const QStringList &arguments);

private:
    struct Image
    {
        qint64 offset = 0;
        QString path;
        qint64 size = 0;
    };

    bool parse(const QStringList &arguments);
    int usageError(const QString &message) const;
    int fatalError(const QString &message) const;
    void say(const QString &line) const;
    void pause(int milliseconds) const;

    bool m_fast = false;
    QString m_failure;
    QString m_chip;
    QString m_port;
    QList<Image> m_images;
    QString m_parseError;
};

#endif // FLASHSESSION_H
