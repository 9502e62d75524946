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
    void initialStateAfterConstruction();
    void propertiesAreReadOnlyAndNotifyAtTheirIndices();
    void methodTableMatchesThePublishedInterface();
    void exitStatusIsKnownByNameSoTheSlotCanBeInvoked();
    void castsByClassName();
    void qmlCannotAssignPropertiesOrReachPrivateSlots();
    void profilesAreTheNineInKeyOrderWhateverIsOnDisk();
    void imageLookupTestsTheDiskOnEveryCall();
    void refreshPortsEmitsEveryTime();
};

static const QStringList expectedProfiles = {
    u"v0_solwen_wireless"_s,  u"v1_dual_durnik_wire"_s, u"v1_dual_durnik_wireless"_s,
    u"v1_kelvar_wire"_s,      u"v1_kelvar_wireless"_s,  u"v2_durnik_wire"_s,
    u"v2_durnik_wireless"_s,  u"v2_kelvar_left_wire"_s, u"v2_kelvar_right_wire"_s,
};

static QStringList currentPortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        names << info.portName();
    return names;
}

void tst_ControllerInterface::initialStateAfterConstruction()
{
    FlashController controller;
    QCOMPARE(controller.isFlashing(), false);
    QCOMPARE(controller.flashOutput(), QString());
    QCOMPARE(controller.deviceProfiles(), expectedProfiles);
    QCOMPARE(controller.availablePorts(), currentPortNames());
}

void tst_ControllerInterface::propertiesAreReadOnlyAndNotifyAtTheirIndices()
{
    const QMetaObject &mo = FlashController::staticMetaObject;
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 4);
    QCOMPARE(mo.classInfoCount(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.constructorCount(), 0);

    const struct {
        const char *name;
        QMetaType type;
        const char *notify;
    } expected[] = {
        { "deviceProfiles", QMetaType::fromType<QStringList>(), "deviceProfilesChanged()" },
        { "availablePorts", QMetaType::fromType<QStringList>(), "availablePortsChanged()" },
        { "flashOutput", QMetaType::fromType<QString>(), "flashOutputChanged()" },
        { "isFlashing", QMetaType::fromType<bool>(), "isFlashingChanged()" },
    };
    for (int i = 0; i < 4; ++i) {
        const QMetaProperty property = mo.property(mo.propertyOffset() + i);
        QCOMPARE(property.name(), expected[i].name);
        QCOMPARE(property.metaType(), expected[i].type);
        QVERIFY(property.isReadable());
        QVERIFY2(!property.isWritable(), property.name());
        QVERIFY(!property.isResettable());
        QVERIFY(!property.isConstant());
        QVERIFY(!property.isFinal());
        QVERIFY(!property.isBindable());
        QVERIFY(property.hasNotifySignal());
        QCOMPARE(property.notifySignal().methodSignature(), QByteArray(expected[i].notify));
        // Each notify signal sits at the same index as its property.
        QCOMPARE(property.notifySignalIndex() - mo.methodOffset(), i);
    }
}

void tst_ControllerInterface::methodTableMatchesThePublishedInterface()
{
    const QMetaObject &mo = FlashController::staticMetaObject;
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 12);

    const struct {
        const char *signature;
        QList<QByteArray> parameterNames;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
        QMetaType result;
    } expected[] = {
        { "deviceProfilesChanged()", {}, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "availablePortsChanged()", {}, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "flashOutputChanged()", {}, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "isFlashingChanged()", {}, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "flashSucceeded()", {}, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "flashFailed(QString)", { "reason" }, QMetaMethod::Signal, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "refreshPorts()", {}, QMetaMethod::Slot, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "startFlash(QString,QString)", { "profileName", "port" }, QMetaMethod::Slot, QMetaMethod::Public, QMetaType::fromType<void>() },
        { "handleProcessOutput()", {}, QMetaMethod::Slot, QMetaMethod::Private, QMetaType::fromType<void>() },
        { "handleProcessError()", {}, QMetaMethod::Slot, QMetaMethod::Private, QMetaType::fromType<void>() },
        { "onProcessFinished(int,QProcess::ExitStatus)", { "exitCode", "exitStatus" }, QMetaMethod::Slot, QMetaMethod::Private, QMetaType::fromType<void>() },
        { "getImagePathForProfile(QString)", { "profileName" }, QMetaMethod::Method, QMetaMethod::Public, QMetaType::fromType<QString>() },
    };
    for (int i = 0; i < 12; ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(mo.indexOfMethod(expected[i].signature) - mo.methodOffset(), i);
        QCOMPARE(method.parameterNames(), expected[i].parameterNames);
        QCOMPARE(method.methodType(), expected[i].type);
        QCOMPARE(method.access(), expected[i].access);
        QCOMPARE(method.returnMetaType(), expected[i].result);
    }
}

void tst_ControllerInterface::exitStatusIsKnownByNameSoTheSlotCanBeInvoked()
{
    FlashController controller;
    QVERIFY(QMetaType::fromName("QProcess::ExitStatus").isValid());

    // A queued call needs the argument type by name; it reaches the slot,
    // which reports the "finished" job.
    QSignalSpy failed(&controller, &FlashController::flashFailed);
    QVERIFY(QMetaObject::invokeMethod(&controller, "onProcessFinished", Qt::QueuedConnection,
                                      Q_ARG(int, 7),
                                      Q_ARG(QProcess::ExitStatus, QProcess::NormalExit)));
    QVERIFY(failed.wait(2000));
    QVERIFY(controller.flashOutput().endsWith(u"退出代码: 7</font></b>"_s));
}

void tst_ControllerInterface::castsByClassName()
{
    FlashController controller;
    QCOMPARE(controller.qt_metacast("FlashController"), static_cast<void *>(&controller));
    QCOMPARE(controller.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&controller)));
    QCOMPARE(controller.qt_metacast("QProcess"), nullptr);
    QCOMPARE(qobject_cast<FlashController *>(static_cast<QObject *>(&controller)), &controller);
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
    QVERIFY2(firmware.isValid(), "firmware/ beside the test exists already; not touching it");
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
    QVERIFY2(firmware.isValid(), "firmware/ beside the test exists already; not touching it");
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
}

void tst_ControllerInterface::refreshPortsEmitsEveryTime()
{
    FlashController controller;
    const QStringList before = controller.availablePorts();
    QSignalSpy changed(&controller, &FlashController::availablePortsChanged);
    controller.refreshPorts();
    controller.refreshPorts();
    QCOMPARE(changed.count(), 2);
    QCOMPARE(controller.availablePorts(), before);
    QCOMPARE(controller.availablePorts(), currentPortNames());
}

QTEST_GUILESS_MAIN(tst_ControllerInterface)
#include "tst_controllerinterface.moc"
