#ifndef FAKECONTROLLER_H
#define FAKECONTROLLER_H

#include <QObject>
#include <QStringList>

// Stands in for FlashController towards the window, so that a test or a
// benchmark decides exactly how the log grows and which ports the machine
// has. The log grows as the real controller grows it: a launch line after
// a cleared log, stdout reads as they are, stderr reads in a red element,
// and at the end the result signal, the completion line and the flag.
class FakeController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList deviceProfiles READ deviceProfiles NOTIFY deviceProfilesChanged)
    Q_PROPERTY(QStringList availablePorts READ availablePorts NOTIFY availablePortsChanged)
    Q_PROPERTY(QString flashOutput READ flashOutput NOTIFY flashOutputChanged)
    Q_PROPERTY(bool isFlashing READ isFlashing NOTIFY isFlashingChanged)

public:
    using QObject::QObject;

    QStringList deviceProfiles() const;
    QStringList availablePorts() const;
    QString flashOutput() const;
    bool isFlashing() const;

    Q_INVOKABLE QString getImagePathForProfile(const QString &profileName) const;

    // The ports the next refresh finds.
    void setPortsOnMachine(const QStringList &ports);

    void launch();
    void appendOutput(const QString &text);
    void appendError(const QString &text);
    void finish(int exitCode);

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

private:
    void append(const QString &text);

    QStringList m_portsOnMachine;
    QStringList m_availablePorts;
    QString m_flashOutput;
    bool m_isFlashing = false;
};

#endif // FAKECONTROLLER_H
