#include "firmwarefixture.h"
#include "helperprocess.h"

#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void moduleQmldirIsTheFourLines();
    void windowThatCannotBeCreatedEndsTheProgramWithMinusOne();
};

void tst_Startup::moduleQmldirIsTheFourLines()
{
    QFile qmldir(QStringLiteral(VELMORIN_QMLDIR_FILE));
    QVERIFY2(qmldir.open(QIODevice::ReadOnly), qPrintable(qmldir.fileName()));
    // Four lines and an empty fifth, whatever the platform's line ends.
    const QString text = QString::fromUtf8(qmldir.readAll()).remove(u'\r');
    QCOMPARE(text, u"module velmorin\n"
                   "typeinfo appvelmorin.qmltypes\n"
                   "prefer :/qt/qml/velmorin/\n"
                   "Main 1.0 Main.qml\n"
                   "\n"_s);
}

void tst_Startup::windowThatCannotBeCreatedEndsTheProgramWithMinusOne()
{
    // A copy of the program beside a qt.conf whose QML import path is an
    // empty directory: QtQuick cannot be imported, so Main cannot be created.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(u"appvelmorin"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELMORIN_APP_PATH), program));
    QVERIFY(QDir().mkpath(dir.filePath(u"no-qml"_s)));

    QFile qtConf(dir.filePath(u"qt.conf"_s));
    QVERIFY(qtConf.open(QIODevice::WriteOnly));
    const QString conf = u"[Paths]\nPrefix=%1\nPlugins=%2\nLibraries=%3\nQmlImports=%4\nQml2Imports=%4\n"_s
                                 .arg(QLibraryInfo::path(QLibraryInfo::PrefixPath),
                                      QLibraryInfo::path(QLibraryInfo::PluginsPath),
                                      QLibraryInfo::path(QLibraryInfo::LibrariesPath),
                                      dir.filePath(u"no-qml"_s));
    qtConf.write(conf.toUtf8());
    qtConf.close();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    // A Windows GUI program would report to the debugger only.
    environment.insert(u"QT_FORCE_STDERR_LOGGING"_s, u"1"_s);
    environment.remove(u"QML_IMPORT_PATH"_s);
    environment.remove(u"QML2_IMPORT_PATH"_s);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    endWithThisProcess(process);

    process.start(program, {});
    QVERIFY(process.waitForStarted());
    const bool ended = process.waitForFinished(patience);
    if (!ended)
        process.kill();
    const QByteArray output = process.readAll();
    QVERIFY2(ended, "the program kept running without a window");
    QVERIFY2(output.contains("QtQuick"), output.constData());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
#ifdef Q_OS_WIN
    QCOMPARE(process.exitCode(), -1);
#else
    // -1 as a POSIX exit status.
    QCOMPARE(process.exitCode(), 255);
#endif
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
