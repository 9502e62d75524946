#ifndef FLASHCONTROLLER_H
#define FLASHCONTROLLER_H

#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class FlashController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList deviceProfiles READ deviceProfiles NOTIFY deviceProfilesChanged)
    Q_PROPERTY(QStringList availablePorts READ availablePorts NOTIFY availablePortsChanged)
    Q_PROPERTY(QString flashOutput READ flashOutput NOTIFY flashOutputChanged)
    Q_PROPERTY(bool isFlashing READ isFlashing NOTIFY isFlashingChanged)

public:
    explicit FlashController(QObject *parent = nullptr);

    QStringList deviceProfiles() const;
    QStringList availablePorts() const;
    QString flashOutput() const;
    bool isFlashing() const;

    Q_INVOKABLE QString getImagePathForProfile(const QString &profileName) const;

signals:
    void deviceProfilesChanged();
    void availablePortsChanged();
    void flashOutputChanged();
    void isFlashingChanged();
    void flashSucceeded();
    void flashFailed(const QString &reason);

public slots:
    void refreshPorts();
    void startFlash(const QString &profileName, const QString &port);

private slots:
    void handleProcessOutput();
    void handleProcessError();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void loadDeviceProfiles();
    void onProcessFailedToStart();
    void flushPendingCharacters();
    void finishJob();

    QProcess *m_process;
    QMap<QString, QString> m_profileDirs;
    QStringList m_deviceProfiles;
    QStringList m_availablePorts;
    QString m_flashOutput;
    bool m_isFlashing;

    // A UTF-8 character can be split across two reads: the bytes of one cut
    // off at the end of a read wait here for the next read of their channel.
    QByteArray m_stdoutPending;
    QByteArray m_stderrPending;
};

#endif // FLASHCONTROLLER_H
