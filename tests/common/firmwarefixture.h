#ifndef FIRMWAREFIXTURE_H
#define FIRMWAREFIXTURE_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// The firmware directory beside the running test executable, which is where
// the controller looks (or beside a copy of the program in the directory
// given), and the esptool stand-in's settings. The directory
// is created here and removed with everything in it at the end, but only if
// it did not exist before or was left behind by a fixture: any other one is
// never touched (isValid() is false then). The stand-in starts with fast
// sessions and no script.
class FirmwareFixture
{
public:
    explicit FirmwareFixture(const QString &programDir = QCoreApplication::applicationDirPath());
    ~FirmwareFixture();

    bool isValid() const;
    QString path() const;
    QString profilePath(const QString &profile) const;

    // Copies the stand-in to firmware/esptool.exe and writes the profile's
    // four images.
    bool installToolAndImages(const QString &profile) const;
    bool installTool() const;
    bool writeImages(const QString &profile, const QStringList &fileNames = imageNames()) const;
    bool writeFile(const QString &relativePath, const QByteArray &content) const;
    bool removeFile(const QString &relativePath) const;
    // Something other than a regular file at the path: "FIFO" (Unix),
    // "directory", or "link" (Unix: a symbolic link to a regular file).
    bool writeUnusualFile(const QString &relativePath, const QString &kind) const;

    // The steps the stand-in plays on its next start (see
    // tools/esptool-standin/scriptedrun.h).
    bool useScript(const QList<QByteArray> &steps) const;
    // A file outside firmware/ for the stand-in to write to.
    QString scratchFile(const QString &name) const;
    // Creates that file, empty: what a stand-in waiting for it (Step::waitFor)
    // goes on at.
    bool createScratchFile(const QString &name) const;
    // From now on every stand-in process records its id; these are the ids
    // recorded so far, in the order the processes started.
    void recordProcessIds() const;
    QList<qint64> processIds() const;

    static QStringList imageNames();

private:
    QString m_path;
    bool m_created = false;
    QTemporaryDir m_scratch;
};

// Steps for FirmwareFixture::useScript().
namespace Step {
inline QByteArray out(const QString &text) { return "out " + text.toUtf8().toHex(); }
inline QByteArray err(const QString &text) { return "err " + text.toUtf8().toHex(); }
inline QByteArray outHex(const QByteArray &hex) { return "outbytes " + hex; }
inline QByteArray errHex(const QByteArray &hex) { return "errbytes " + hex; }
inline QByteArray environment(const QByteArray &name) { return "env " + name; }
inline QByteArray sleep(int milliseconds) { return "sleep " + QByteArray::number(milliseconds); }
inline QByteArray exitWith(int code) { return "exit " + QByteArray::number(code); }
inline QByteArray crash() { return "crash"; }
inline QByteArray hang() { return "hang"; }
inline QByteArray readInput() { return "input"; }
inline QByteArray leaveChild() { return "leavechild"; }
inline QByteArray leaveSession() { return "leavesession"; }
inline QByteArray waitFor(const QString &path) { return "waitfile " + path.toUtf8().toHex(); }
inline QByteArray drained() { return "drained"; }
inline QByteArray noteOrphaned(const QString &path) { return "noteorphaned " + path.toUtf8().toHex(); }
inline QByteArray openFiles(const QString &path) { return "openfiles " + path.toUtf8().toHex(); }
} // namespace Step

// True while the process runs (a zombie has ended).
bool isProcessAlive(qint64 processId);

// How long a test waits for what a quiet machine shows in well under a
// second: far beyond that, so that only a fault, never a busy machine,
// makes a wait run out.
inline constexpr int patience = 60000;

// Lets the event loop run until the controller's job has ended.
template<typename Controller>
bool waitUntilIdle(const Controller &controller, int timeout = patience)
{
    QDeadlineTimer deadline(timeout);
    while (controller.isFlashing() && !deadline.hasExpired())
        QTest::qWait(10);
    return !controller.isFlashing();
}

#endif // FIRMWAREFIXTURE_H
