#ifndef FAKECONTROLLER_H
#define FAKECONTROLLER_H

#include <QObject>
#include <QStringList>

// Stands in for FlashController towards the window, so that the benchmark
// can grow the log by exactly the chunks it wants.
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

    void append(const QString &text);

    Q_INVOKABLE QString getImagePathForProfile(const QString &profileName) const;

signals:
    void deviceProfilesChanged();
    void availablePortsChanged();
    void flashOutputChanged();
    void isFlashingChanged();
    void flashSucceeded();
    void flashFailed(const QString &reason);

public slots:
    void refreshPorts() {}
    void startFlash(const QString &, const QString &) {}

private:
    QString m_flashOutput;
};

#endif // FAKECONTROLLER_H
