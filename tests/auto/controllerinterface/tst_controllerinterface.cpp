#include "firmwarefixture.h"
#include "flashcontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <type_traits>

using namespace Qt::StringLiterals;

static_assert(std::is_same_v<decltype(&FlashController::getImagePathForProfile),
                             QString (FlashController::*)(const QString &) const>,
              "the image lookup is a const query");

class tst_ControllerInterface : public QObject
{
    Q_OBJECT

private slots:
    void initialStateAndPortRefresh();
    void metaObjectMatchesThePublishedTables();
    void exitStatusIsKnownByNameSoTheSlotCanBeInvoked();
    void qmlCannotAssignPropertiesOrReachPrivateSlots();
    void profilesAreTheNineInKeyOrderWhateverIsOnDisk();
    void imageLookupTestsTheDiskOnEveryCall();
};

static const QStringList expectedProfiles = {
    u"v0_solwen_wireless"_s,  u"v1_dual_durnik_wire"_s, u"v1_dual_durnik_wireless"_s,
    u"v1_kelvar_wire"_s,      u"v1_kelvar_wireless"_s,  u"v2_durnik_wire"_s,
    u"v2_durnik_wireless"_s,  u"v2_kelvar_left_wire"_s, u"v2_kelvar_right_wire"_s,
};

static QStringList currentPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

void tst_ControllerInterface::initialStateAndPortRefresh()
{
    FlashController controller;
    QCOMPARE(controller.isFlashing(), false);
    QCOMPARE(controller.flashOutput(), QString());
    QCOMPARE(controller.deviceProfiles(), expectedProfiles);
    QCOMPARE(controller.availablePorts(), currentPortNames());

    // Every refresh announces the list, changed or not.
    QSignalSpy changed(&controller, &FlashController::availablePortsChanged);
    controller.refreshPorts();
    controller.refreshPorts();
    QCOMPARE(changed.count(), 2);
    QCOMPARE(controller.availablePorts(), currentPortNames());
}

void tst_ControllerInterface::metaObjectMatchesThePublishedTables()
{
    const QMetaObject &mo = FlashController::staticMetaObject;
    QCOMPARE(mo.classInfoCount(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.constructorCount(), 0);

    // One line per property: name, type, notify signal and its index, and
    // the flags (r readable, w writable, s resettable, c constant, f final,
    // b bindable).
    QStringList properties;
    for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i) {
        const QMetaProperty p = mo.property(i);
        QString flags;
        for (auto [set, letter] : { std::pair{ p.isReadable(), 'r' }, { p.isWritable(), 'w' }, { p.isResettable(), 's' },
                                    { p.isConstant(), 'c' }, { p.isFinal(), 'f' }, { p.isBindable(), 'b' } })
            flags += set ? QChar::fromLatin1(letter) : QChar();
        properties << u"%1 %2 %3@%4 %5"_s.arg(QLatin1String(p.name()), QLatin1String(p.metaType().name()),
                                              QLatin1String(p.notifySignal().methodSignature()))
                              .arg(p.notifySignalIndex() - mo.methodOffset()).arg(flags.remove(QChar()));
    }
    QCOMPARE(properties, (QStringList{
            u"deviceProfiles QStringList deviceProfilesChanged()@0 r"_s,
            u"availablePorts QStringList availablePortsChanged()@1 r"_s,
            u"flashOutput QString flashOutputChanged()@2 r"_s,
            u"isFlashing bool isFlashingChanged()@3 r"_s }));

    // One line per method, in index order: kind, access, result, signature
    // and the recorded parameter names.
    const char *kinds[] = { "method", "signal", "slot", "constructor" };
    const char *accesses[] = { "private", "protected", "public" };
    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        QCOMPARE(mo.indexOfMethod(m.methodSignature().constData()), i);
        methods << u"%1 %2 %3 %4 (%5)"_s.arg(QLatin1String(kinds[m.methodType()]), QLatin1String(accesses[m.access()]),
                                            QLatin1String(m.returnMetaType().name()), QLatin1String(m.methodSignature()),
                                            QLatin1String(m.parameterNames().join(',')));
    }
    QCOMPARE(methods, (QStringList{
            u"signal public void deviceProfilesChanged() ()"_s,
            u"signal public void availablePortsChanged() ()"_s,
            u"signal public void flashOutputChanged() ()"_s,
            u"signal public void isFlashingChanged() ()"_s,
            u"signal public void flashSucceeded() ()"_s,
            u"signal public void flashFailed(QString) (reason)"_s,
            u"slot public void refreshPorts() ()"_s,
            u"slot public void startFlash(QString,QString) (profileName,port)"_s,
            u"slot private void handleProcessOutput() ()"_s,
            u"slot private void handleProcessError() ()"_s,
            u"slot private void onProcessFinished(int,QProcess::ExitStatus) (exitCode,exitStatus)"_s,
            u"method public QString getImagePathForProfile(QString) (profileName)"_s }));

    FlashController controller;
    QCOMPARE(controller.qt_metacast("FlashController"), static_cast<void *>(&controller));
    QCOMPARE(controller.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&controller)));
    QCOMPARE(controller.qt_metacast("QProcess"), nullptr);
}

void tst_ControllerInterface::exitStatusIsKnownByNameSoTheSlotCanBeInvoked()
{
    FlashController controller;
    QVERIFY(QMetaType::fromName("QProcess::ExitStatus").isValid());

    // A queued call needs the argument type by name; it reaches the slot,
    // which reports the "finished" job.
    QSignalSpy failed(&controller, &FlashController::flashFailed);
    QVERIFY(QMetaObject::invokeMethod(&controller, "onProcessFinished", Qt::QueuedConnection,
                                      Q_ARG(int, 7), Q_ARG(QProcess::ExitStatus, QProcess::NormalExit)));
    QVERIFY(failed.wait(2000));
    QVERIFY(controller.flashOutput().endsWith(u"退出代码: 7</font></b>"_s));
}

void tst_ControllerInterface::qmlCannotAssignPropertiesOrReachPrivateSlots()
{
    QQmlEngine engine;
    FlashController controller;
    engine.rootContext()->setContextProperty(u"flashController"_s, &controller);

    auto evaluate = [&](const QString &code) {
        QQmlExpression expression(engine.rootContext(), nullptr, code);
        const QVariant result = expression.evaluate();
        return expression.hasError() ? expression.error().description() : result.toString();
    };

    const QStringList assignments = {
        u"flashController.deviceProfiles = ['x']"_s,
        u"flashController.availablePorts = ['COM9']"_s,
        u"flashController.flashOutput = 'forged'"_s,
        u"flashController.isFlashing = true"_s,
    };
    for (const QString &assignment : assignments) {
        const QString outcome = evaluate(u"try { %1; 'assigned' } catch (e) { String(e) }"_s.arg(assignment));
        QVERIFY2(outcome.contains(u"read-only"_s), qPrintable(assignment + u" -> "_s + outcome));
    }
    QCOMPARE(controller.deviceProfiles(), expectedProfiles);
    QCOMPARE(controller.availablePorts(), currentPortNames());
    QCOMPARE(controller.flashOutput(), QString());
    QCOMPARE(controller.isFlashing(), false);

    for (const char *hidden : { "handleProcessOutput", "handleProcessError", "onProcessFinished" })
        QCOMPARE(evaluate(u"typeof flashController.%1"_s.arg(QLatin1String(hidden))), u"undefined"_s);
    for (const char *callable : { "refreshPorts", "startFlash", "getImagePathForProfile" })
        QCOMPARE(evaluate(u"typeof flashController.%1"_s.arg(QLatin1String(callable))), u"function"_s);
}

void tst_ControllerInterface::profilesAreTheNineInKeyOrderWhateverIsOnDisk()
{
    {
        FlashController withoutFirmware;
        QCOMPARE(withoutFirmware.deviceProfiles(), expectedProfiles);
    }

    FirmwareFixture firmware;
    QVERIFY(firmware.isValid());
    // Directories on disk that are not profiles, and only some profiles.
    QVERIFY(firmware.writeFile(u"v3_unknown/device.jpg"_s, "x"));
    QVERIFY(firmware.writeFile(u"V0_SOLWEN_WIRELESS/device.jpg"_s, "x"));
    QVERIFY(firmware.writeImages(u"v2_durnik_wire"_s));
    FlashController withFirmware;
    QCOMPARE(withFirmware.deviceProfiles(), expectedProfiles);
    QCOMPARE(withFirmware.deviceProfiles().first(), u"v0_solwen_wireless"_s);
}

void tst_ControllerInterface::imageLookupTestsTheDiskOnEveryCall()
{
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid());
    FlashController controller;
    const QString profile = u"v2_kelvar_left_wire"_s;

    QCOMPARE(controller.getImagePathForProfile(profile), QString());

    QVERIFY(firmware.writeFile(profile + u"/device.jpg"_s, "not looked into"));
    const QString expected = QUrl::fromLocalFile(
            QCoreApplication::applicationDirPath() + u"/firmware/v2_kelvar_left_wire/device.jpg"_s).toString();
    QVERIFY(expected.startsWith(u"file:///"_s));
    QCOMPARE(controller.getImagePathForProfile(profile), expected);

    QCOMPARE(controller.getImagePathForProfile(profile.toUpper()), QString());
    QCOMPARE(controller.getImagePathForProfile(u"v2_Kelvar_left_wire"_s), QString());
    QCOMPARE(controller.getImagePathForProfile(u"v9_unknown"_s), QString());
    QCOMPARE(controller.getImagePathForProfile(QString()), QString());
    QCOMPARE(controller.getImagePathForProfile(u"../firmware/v2_kelvar_left_wire"_s), QString());

    QVERIFY(firmware.removeFile(profile + u"/device.jpg"_s));
    QCOMPARE(controller.getImagePathForProfile(profile), QString());

    // Only a regular file, or a link to one, is a picture.
    QVERIFY(firmware.writeUnusualFile(profile + u"/device.jpg"_s, u"directory"_s));
    QCOMPARE(controller.getImagePathForProfile(profile), QString());
#ifdef Q_OS_UNIX
    QVERIFY(QDir(firmware.profilePath(profile)).removeRecursively());
    QVERIFY(firmware.writeUnusualFile(profile + u"/device.jpg"_s, u"FIFO"_s));
    QCOMPARE(controller.getImagePathForProfile(profile), QString());
    QVERIFY(QDir(firmware.profilePath(profile)).removeRecursively());
    QVERIFY(firmware.writeUnusualFile(profile + u"/device.jpg"_s, u"link"_s));
    QCOMPARE(controller.getImagePathForProfile(profile), expected);
#endif
}

QTEST_GUILESS_MAIN(tst_ControllerInterface)
#include "tst_controllerinterface.moc"
