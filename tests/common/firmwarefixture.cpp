#include "firmwarefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <sys/stat.h>
#endif

using namespace Qt::StringLiterals;

FirmwareFixture::FirmwareFixture(const QString &programDir)
    : m_path(QDir(programDir).filePath(u"firmware"_s))
{
    for (const char *name : { "STANDIN_SCRIPT", "STANDIN_ARGS_FILE", "STANDIN_PID_FILE", "STANDIN_FAIL", "STANDIN_REPLAY",
                              "STANDIN_LAUNCHER" })
        qunsetenv(name);
    qputenv("STANDIN_FAST", "1");
    // A test that was killed (a timeout, a machine that went down) leaves
    // its directory behind, with the mark; it would fail every later run.
    const QString mark = QDir(m_path).filePath(u".made-by-a-test"_s);
    if (QFileInfo::exists(mark))
        QDir(m_path).removeRecursively();
    if (QFileInfo::exists(m_path)) {
        qWarning("%s exists already; not touching it", qPrintable(m_path));
        return;
    }
    QFile markFile(mark);
    m_created = QDir().mkpath(m_path) && markFile.open(QIODevice::WriteOnly);
}

FirmwareFixture::~FirmwareFixture()
{
    if (m_created)
        QDir(m_path).removeRecursively();
}

bool FirmwareFixture::isValid() const
{
    return m_created && m_scratch.isValid();
}

QString FirmwareFixture::path() const
{
    return m_path;
}

QString FirmwareFixture::profilePath(const QString &profile) const
{
    return QDir(m_path).filePath(profile);
}

bool FirmwareFixture::installToolAndImages(const QString &profile) const
{
    return installTool() && writeImages(profile);
}

bool FirmwareFixture::installTool() const
{
    const QString target = QDir(m_path).filePath(u"esptool.exe"_s);
    QFile::remove(target);
    return m_created && QFile::copy(QStringLiteral(VELMORIN_STANDIN_PATH), target);
}

bool FirmwareFixture::writeImages(const QString &profile, const QStringList &fileNames) const
{
    for (const QString &name : fileNames) {
        // Sizes differ per image so that a session's progress differs too.
        if (!writeFile(profile + u'/' + name, QByteArray(1024 * (imageNames().indexOf(name) + 1), char(0xe9))))
            return false;
    }
    return true;
}

bool FirmwareFixture::writeFile(const QString &relativePath, const QByteArray &content) const
{
    const QString filePath = QDir(m_path).filePath(relativePath);
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile file(filePath);
    return m_created && file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool FirmwareFixture::removeFile(const QString &relativePath) const
{
    return m_created && QFile::remove(QDir(m_path).filePath(relativePath));
}

bool FirmwareFixture::writeUnusualFile(const QString &relativePath, const QString &kind) const
{
    const QString filePath = QDir(m_path).filePath(relativePath);
    if (!m_created || !QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return false;
    if (kind == u"directory"_s)
        return QDir().mkpath(filePath);
#ifdef Q_OS_UNIX
    if (kind == u"FIFO"_s)
        return ::mkfifo(QFile::encodeName(filePath).constData(), 0600) == 0;
    if (kind == u"link"_s)
        return writeFile(relativePath + u".target"_s, "linked") && QFile::link(filePath + u".target"_s, filePath);
#endif
    return false;
}

bool FirmwareFixture::useScript(const QList<QByteArray> &steps) const
{
    const QString path = scratchFile(u"script.txt"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(steps.join('\n') + '\n');
    qputenv("STANDIN_SCRIPT", path.toUtf8());
    return true;
}

QString FirmwareFixture::scratchFile(const QString &name) const
{
    return m_scratch.filePath(name);
}

bool FirmwareFixture::createScratchFile(const QString &name) const
{
    QFile file(scratchFile(name));
    return file.open(QIODevice::WriteOnly);
}

void FirmwareFixture::recordProcessIds() const
{
    qputenv("STANDIN_PID_FILE", scratchFile(u"pids"_s).toUtf8());
}

QList<qint64> FirmwareFixture::processIds() const
{
    QList<qint64> ids;
    QFile file(scratchFile(u"pids"_s));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                ids << line.toLongLong();
        }
    }
    return ids;
}

bool isProcessAlive(qint64 processId)
{
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(processId));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    QFile stat(u"/proc/%1/stat"_s.arg(processId));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (name) state ...": the name may hold anything, so look behind it.
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
#endif
}

QStringList FirmwareFixture::imageNames()
{
    return { u"bootloader.bin"_s, u"partitions.bin"_s, u"boot_app0.bin"_s, u"firmware.bin"_s };
}
