#include "firmwarefixture.h"
#include "flashcontroller.h"
#include "recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString profile = u"v2_kelvar_left_wire"_s;
const QString portReason = u"请选择一个有效的烧录端口！"_s;
const QString toolReason = u"错误: 未在 'firmware' 目录下找到烧录工具 esptool.exe。"_s;

} // namespace

// A binary of its own beside tst_flashjob: each row runs a job first, and
// together they would take the sanitized flash job test close to its time.
class tst_FlashRefusals : public QObject
{
    Q_OBJECT

private slots:
    void refusalsChangeNothingAndComeInTheirOrder_data();
    void refusalsChangeNothingAndComeInTheirOrder();
};

void tst_FlashRefusals::refusalsChangeNothingAndComeInTheirOrder_data()
{
    QTest::addColumn<QString>("profileName");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tool");
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QString>("reason");

    const QStringList all = FirmwareFixture::imageNames();
    const QString missing = u"固件文件 '%1' 在路径 '%2' 中未找到。"_s;
    const QString native = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + u"/firmware/"_s + profile);

    QTest::newRow("invalid profile beats empty port") << u"no_such_device"_s << QString() << true << all << u"错误：选择了无效的设备！"_s;
    QTest::newRow("profile in other letter case") << profile.toUpper() << u"COM5"_s << true << all << u"错误：选择了无效的设备！"_s;
    QTest::newRow("empty port") << profile << QString() << true << all << portReason;
    QTest::newRow("port placeholder") << profile << u"Device not found"_s << true << all << portReason;
    QTest::newRow("placeholder in other case passes the port checks") << profile << u"device not found"_s << false << all << toolReason;
    QTest::newRow("missing tool beats missing images") << profile << u"COM5"_s << false << QStringList() << toolReason;
    QTest::newRow("no images: the first is named") << profile << u"COM5"_s << true << QStringList() << missing.arg(u"bootloader.bin"_s, native);
    QTest::newRow("first missing image in flash order") << profile << u"COM5"_s << true << QStringList{ all[0], all[2] }
                                                        << missing.arg(u"partitions.bin"_s, native);
    QTest::newRow("only firmware.bin missing") << profile << u"COM5"_s << true << all.mid(0, 3) << missing.arg(u"firmware.bin"_s, native);
    // Only a regular file is an image; a link to one is one too.
    QTest::newRow("firmware.bin a directory") << profile << u"COM5"_s << true << all.mid(0, 3) + QStringList{ u"firmware.bin as directory"_s }
                                              << missing.arg(u"firmware.bin"_s, native);
#ifdef Q_OS_UNIX
    QTest::newRow("firmware.bin a FIFO") << profile << u"COM5"_s << true << all.mid(0, 3) + QStringList{ u"firmware.bin as FIFO"_s }
                                         << missing.arg(u"firmware.bin"_s, native);
    QTest::newRow("a link to an image counts") << profile << u"COM5"_s << true << QStringList{ u"bootloader.bin as link"_s }
                                               << missing.arg(u"partitions.bin"_s, native);
#endif
}

void tst_FlashRefusals::refusalsChangeNothingAndComeInTheirOrder()
{
    QFETCH(QString, profileName);
    QFETCH(QString, port);
    QFETCH(bool, tool);
    QFETCH(QStringList, images);
    QFETCH(QString, reason);

    // An earlier job's log must survive a refused launch.
    FirmwareFixture firmware;
    QVERIFY(firmware.isValid() && firmware.installToolAndImages(profile));
    QVERIFY(firmware.useScript({ Step::out(u"earlier job\n"_s) }));
    FlashController controller;
    controller.startFlash(profile, u"COM5"_s);
    QVERIFY(waitUntilIdle(controller));
    const QString earlierLog = controller.flashOutput();
    QVERIFY(earlierLog.contains(u"earlier job"_s));

    QVERIFY(QDir(firmware.profilePath(profile)).removeRecursively());
    for (const QString &image : images) {
        const QStringList nameAndKind = image.split(u" as "_s);
        QVERIFY(nameAndKind.size() == 1 ? firmware.writeImages(profile, nameAndKind)
                                        : firmware.writeUnusualFile(profile + u'/' + nameAndKind[0], nameAndKind[1]));
    }
    if (!tool)
        QVERIFY(firmware.removeFile(u"esptool.exe"_s));

    Recorder recorder(&controller);
    controller.startFlash(profileName, port);
    QCOMPARE(recorder.events, QStringList{ u"flashFailed"_s });
    QCOMPARE(recorder.reasons, QStringList{ reason });
    QCOMPARE(controller.flashOutput(), earlierLog);
    QCOMPARE(controller.isFlashing(), false);
}

QTEST_GUILESS_MAIN(tst_FlashRefusals)
#include "tst_flashrefusals.moc"
