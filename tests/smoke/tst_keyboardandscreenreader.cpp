#include "helperprocess.h"
#include "runningprogram.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Debian's own Python, which sees Debian's python3-pyatspi.
const QString python = u"/usr/bin/python3"_s;
const QString accessibleTree = QStringLiteral(VELMORIN_ACCESSIBLE_TREE_PATH);

// One accessible object as a screen reader finds it.
struct AccessibleObject
{
    QString role;
    QString name;
    QStringList states;
    QString text;
    int parent = -1;
};

// The accessible objects of every program on the bus, in tree order.
struct AccessibleTree
{
    QList<AccessibleObject> objects;
    QString error;

    // The first showing object of this role whose name matches.
    const AccessibleObject *find(const QString &role, const QRegularExpression &name) const
    {
        for (const AccessibleObject &object : objects) {
            if (object.role == role && name.match(object.name).hasMatch() && object.states.contains(u"showing"_s))
                return &object;
        }
        return nullptr;
    }

    const AccessibleObject *focused() const
    {
        for (const AccessibleObject &object : objects) {
            if (object.states.contains(u"focused"_s) && object.role != u"dialog"_s)
                return &object;
        }
        return nullptr;
    }

    // The name of the dialog an object is in, or "" outside any.
    QString dialogOf(const AccessibleObject &object) const
    {
        for (int at = object.parent; at >= 0; at = objects[at].parent) {
            if (objects[at].role == u"dialog"_s)
                return objects[at].name;
        }
        return QString();
    }

    QString describe(const AccessibleObject *object) const
    {
        if (!object)
            return u"nothing"_s;
        const QString dialog = dialogOf(*object);
        return u"%1 \"%2\"%3"_s.arg(object->role, object->name,
                                    dialog.isEmpty() ? QString() : u" in dialog \"%1\""_s.arg(dialog));
    }

    // For a failure message: every object, one a line.
    QString dump() const
    {
        QString lines = error;
        for (const AccessibleObject &object : objects)
            lines += u"\n  %1 \"%2\" [%3]"_s.arg(object.role, object.name, object.states.join(u' '));
        return lines;
    }
};

// A private session bus on which a screen reader runs: AT-SPI's bus and
// registry start on it as on a desktop, and programs started with its
// environment expose their windows there. Everything it starts is in one
// process group, and ends with it.
class ScreenReaderSession
{
public:
    ~ScreenReaderSession()
    {
        if (m_bus.state() == QProcess::NotRunning)
            return;
        const pid_t group = pid_t(m_bus.processId());
        ::kill(-group, SIGTERM);
        m_bus.waitForFinished(5000);
        ::kill(-group, SIGKILL);
    }

    bool start()
    {
        if (!m_runtime.isValid()) {
            m_error = u"no runtime directory"_s;
            return false;
        }
        // AT-SPI's bus, started by the session bus, puts its socket there;
        // without it, in the home directory, where the buses of tests that
        // run at the same time would take each other's place.
        m_environment = userEnvironment();
        m_environment.insert(u"XDG_RUNTIME_DIR"_s, m_runtime.path());
        // Both would lead to the desktop's own AT-SPI bus, where the test
        // runs on one.
        m_environment.remove(u"AT_SPI_BUS_ADDRESS"_s);
        m_environment.remove(u"DISPLAY"_s);
        m_bus.setProcessEnvironment(m_environment);
        // Its own process group, so that the bus's children end with it; and
        // it ends with the test however the test ends.
        const pid_t test = ::getpid();
        m_bus.setChildProcessModifier([test] {
            ::setsid();
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != test)
                ::_exit(1);
        });
        m_bus.start(u"dbus-daemon"_s, { u"--session"_s, u"--nofork"_s, u"--print-address=1"_s });
        QDeadlineTimer deadline(10000);
        while (m_bus.waitForStarted() && !m_bus.canReadLine() && !deadline.hasExpired()
               && m_bus.state() == QProcess::Running) {
            m_bus.waitForReadyRead(100);
        }
        const QString address = QString::fromUtf8(m_bus.readLine().trimmed());
        if (address.isEmpty()) {
            m_error = u"dbus-daemon named no address: "_s + QString::fromUtf8(m_bus.readAllStandardError());
            return false;
        }
        m_environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
        const auto [switchedOn, output] = runAccessibleTree(u"on"_s);
        m_error = u"no screen reader could be switched on: "_s + output;
        return switchedOn;
    }

    QProcessEnvironment environment() const { return m_environment; }
    QString errorString() const { return m_error; }

    // What a screen reader finds now.
    AccessibleTree tree() const
    {
        AccessibleTree tree;
        const auto [read, output] = runAccessibleTree(u"tree"_s);
        const QJsonDocument document = QJsonDocument::fromJson(output.toUtf8());
        if (!read || !document.isArray()) {
            tree.error = output;
            return tree;
        }
        for (const QJsonValue &value : document.array()) {
            const QJsonObject object = value.toObject();
            AccessibleObject accessible;
            accessible.role = object[u"role"].toString();
            accessible.name = object[u"name"].toString();
            for (const QJsonValue &state : object[u"states"].toArray())
                accessible.states.append(state.toString());
            accessible.text = object[u"text"].toString();
            accessible.parent = object[u"parent"].toInt();
            tree.objects.append(accessible);
        }
        return tree;
    }

    // The tree once the condition holds, or the last one read after the
    // time given.
    AccessibleTree treeOnce(const std::function<bool(const AccessibleTree &)> &condition, int milliseconds) const
    {
        QDeadlineTimer deadline(milliseconds);
        AccessibleTree last = tree();
        while (!condition(last) && !deadline.hasExpired()) {
            QTest::qWait(100);
            last = tree();
        }
        return last;
    }

private:
    std::pair<bool, QString> runAccessibleTree(const QString &command) const
    {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        endWithThisProcess(process);
        process.start(python, { u"-B"_s, accessibleTree, command });
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return { false, u"accessibletree.py did not end within 20 s"_s };
        }
        const QString output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        return { process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output };
    }

    QTemporaryDir m_runtime;
    QProcess m_bus;
    QProcessEnvironment m_environment;
    QString m_error;
};

// What the keyboard's focus is on: role, a pattern for the name, and the
// dialog it is in ("" for none).
struct Focus
{
    QString role;
    QString name;
    QString dialog;
};

} // namespace

Q_DECLARE_METATYPE(Focus)

class tst_KeyboardAndScreenReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyControlSaysWhatItIs_data();
    void everyControlSaysWhatItIs();
    void keyboardAloneFlashesTheDemo_data();
    void keyboardAloneFlashesTheDemo();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ScreenReaderSession> m_session;
    std::unique_ptr<RunningProgram> m_program;
    bool m_stepFailed = false;
};

void tst_KeyboardAndScreenReader::initTestCase()
{
    // The window starts a job only with a port chosen, and it chooses the
    // first port the machine lists; the stand-in opens none of them.
    if (QSerialPortInfo::availablePorts().isEmpty())
        QSKIP("this machine lists no serial port, so the window cannot start a job here");

    // A copy of the program with the demo bundle beside it.
    QVERIFY(m_dir.isValid());
    const QString copy = m_dir.filePath(u"appvelmorin"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELMORIN_APP_PATH), copy));
    QProcess demo;
    endWithThisProcess(demo);
    demo.start(QStringLiteral(VELMORIN_DEMO_BUNDLE_PATH), { m_dir.path() });
    QVERIFY2(demo.waitForFinished(60000) && demo.exitCode() == 0, demo.readAllStandardError().constData());

    m_session = std::make_unique<ScreenReaderSession>();
    QVERIFY2(m_session->start(), qPrintable(m_session->errorString()));
    m_program = std::make_unique<RunningProgram>();
    QVERIFY2(m_program->start(copy, {}, m_session->environment()), qPrintable(m_program->errorString()));
    m_program->display().focus(m_program->window());
    const QRegularExpression title(u"^ESP32-S3 Velmorin$"_s);
    const AccessibleTree tree = m_session->treeOnce([&](const AccessibleTree &tree) { return tree.find(u"frame"_s, title); },
                                                    30000);
    QVERIFY2(tree.find(u"frame"_s, title), qPrintable(u"the window is not there for a screen reader:"_s + tree.dump()));
}

void tst_KeyboardAndScreenReader::everyControlSaysWhatItIs_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("states");

    QTest::newRow("device selector") << u"combo box"_s << u"^Device: v0_solwen_wireless$"_s << QStringList();
    QTest::newRow("port selector") << u"combo box"_s << u"^Com: \\S+"_s << QStringList();
    QTest::newRow("Refresh Com") << u"push button"_s << u"^Refresh Com$"_s << QStringList();
    QTest::newRow("Start Flashing") << u"push button"_s << u"^Start Flashing$"_s << QStringList();
    QTest::newRow("log pane") << u"text"_s << u"^Log$"_s << QStringList { u"read only"_s, u"multi line"_s };
    QTest::newRow("picture") << u"image"_s << u"^Picture of v0_solwen_wireless$"_s << QStringList();
}

void tst_KeyboardAndScreenReader::everyControlSaysWhatItIs()
{
    QFETCH(QString, role);
    QFETCH(QString, name);
    QFETCH(QStringList, states);

    const QRegularExpression pattern(name);
    // The picture is read beside the window's thread, and named once loaded.
    const AccessibleTree tree = m_session->treeOnce([&](const AccessibleTree &tree) { return tree.find(role, pattern); },
                                                    5000);
    const AccessibleObject *control = tree.find(role, pattern);
    QVERIFY2(control, qPrintable(u"no %1 named /%2/ among:"_s.arg(role, name) + tree.dump()));
    for (const QString &state : states)
        QVERIFY2(control->states.contains(state), qPrintable(u"not %1: "_s.arg(state) + control->states.join(u' ')));
}

void tst_KeyboardAndScreenReader::keyboardAloneFlashesTheDemo_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<Focus>("focus");
    QTest::addColumn<int>("seconds");

    // Each row goes on from the one before: the keys pressed, then where
    // the focus is, as a screen reader says it.
    const Focus device { u"combo box"_s, u"^Device: v0_solwen_wireless$"_s, QString() };
    const Focus flash { u"push button"_s, u"^Start Flashing$"_s, QString() };
    QTest::newRow("opened on the device") << QStringList() << device << 5;
    QTest::newRow("Tab to the port") << QStringList { u"Tab"_s } << Focus { u"combo box"_s, u"^Com: "_s, QString() } << 5;
    QTest::newRow("Tab to Refresh Com") << QStringList { u"Tab"_s } << Focus { u"push button"_s, u"^Refresh Com$"_s, QString() } << 5;
    QTest::newRow("Tab to Start Flashing") << QStringList { u"Tab"_s } << flash << 5;
    QTest::newRow("Tab round to the device") << QStringList { u"Tab"_s } << device << 5;
    // The demo leaves out this profile's firmware.bin.
    QTest::newRow("Down chooses the next profile")
            << QStringList { u"Down"_s } << Focus { u"combo box"_s, u"^Device: v1_dual_durnik_wire$"_s, QString() } << 5;
    QTest::newRow("Shift+Tab round to Start Flashing") << QStringList { u"Shift+Tab"_s } << flash << 5;
    QTest::newRow("Space starts, the start is refused")
            << QStringList { u"space"_s } << Focus { u"label"_s, u"^Flashing failed: \\S"_s, u"Error"_s } << 10;
    QTest::newRow("Escape closes the dialog") << QStringList { u"Escape"_s } << flash << 5;
    QTest::newRow("Another profile")
            << QStringList { u"Tab"_s, u"Down"_s }
            << Focus { u"combo box"_s, u"^Device: v1_dual_durnik_wireless$"_s, QString() } << 5;
    QTest::newRow("Enter starts, the flash succeeds")
            << QStringList { u"Tab"_s, u"Tab"_s, u"Tab"_s, u"Return"_s }
            << Focus { u"label"_s, u"^Firmware flash successful！$"_s, u"Succeed"_s } << 60;
    QTest::newRow("Enter closes the dialog") << QStringList { u"Return"_s } << flash << 5;
}

void tst_KeyboardAndScreenReader::keyboardAloneFlashesTheDemo()
{
    QFETCH(QStringList, keys);
    QFETCH(Focus, focus);
    QFETCH(int, seconds);

    // Each step goes on from where the one before left the window.
    if (m_stepFailed)
        QSKIP("an earlier step failed");
    m_stepFailed = true;
    for (const QString &key : keys)
        m_program->display().pressKey(key);
    // The dialog opens a moment before the pane shows the verdict.
    const bool flashed = focus.dialog == u"Succeed"_s;
    const QRegularExpression name(focus.name);
    const auto focusedAsExpected = [&](const AccessibleTree &tree) {
        const AccessibleObject *focused = tree.focused();
        return focused && focused->role == focus.role && name.match(focused->name).hasMatch()
                && tree.dialogOf(*focused) == focus.dialog;
    };
    const auto logOf = [](const AccessibleTree &tree) {
        const AccessibleObject *log = tree.find(u"text"_s, QRegularExpression(u"^Log$"_s));
        return log ? log->text : QString();
    };
    const AccessibleTree tree = m_session->treeOnce([&](const AccessibleTree &tree) {
        return focusedAsExpected(tree) && (!flashed || logOf(tree).endsWith(u"\n烧录成功！"_s));
    }, seconds * 1000);
    QVERIFY2(focusedAsExpected(tree), qPrintable(u"the focus is on "_s + tree.describe(tree.focused()) + tree.dump()));
    if (flashed) {
        // The log pane reads as the pane shows it: the tool's output for the
        // profile chosen, then the verdict line, and no markup.
        const QString log = logOf(tree);
        QVERIFY2(log.endsWith(u"\n烧录成功！"_s), qPrintable(log.right(200)));
        QVERIFY2(log.contains(u"/v1_dual_durnik_wireless/firmware.bin"_s), qPrintable(log.left(400)));
        static const QRegularExpression markup(u"<(br|/?font|/?b)\\b|&(lt|gt|amp|nbsp);"_s);
        QVERIFY2(!markup.match(log).hasMatch(), qPrintable(u"markup in the log's text: "_s + log.right(200)));
    }
    m_stepFailed = false;
}

void tst_KeyboardAndScreenReader::cleanupTestCase()
{
    if (!m_program)
        return;
    const auto [exitCode, errors] = m_program->close();
    QVERIFY2(exitCode == 0, qPrintable(u"exit code %1; stderr:\n"_s.arg(exitCode) + errors));
    QVERIFY2(qmlDiagnostics(errors).isEmpty(), qPrintable(u"QML diagnostics on stderr:\n"_s + errors));
}

QTEST_GUILESS_MAIN(tst_KeyboardAndScreenReader)
#include "tst_keyboardandscreenreader.moc"
