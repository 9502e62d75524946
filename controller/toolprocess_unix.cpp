#include "toolprocess.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using namespace Qt::StringLiterals;

namespace {

// The children of this program that it did not start itself. This program
// starts its children in its own process group, but for the tool, which
// leads a group of its own; so a child in another group is the tool, or
// something from the tool's tree that fell to this program when its parent
// ended: in the tool's group, or one that left it (setsid()). Called only
// once the tool is reaped, this leaves out the program's own helpers (a
// test's X server, a simulator) and finds only the adopted.
QList<pid_t> adoptedChildren()
{
    QList<pid_t> adopted;
    const pid_t program = ::getpid();
    const pid_t programGroup = ::getpgrp();
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isProcess = false;
        const pid_t candidate = pid_t(entry.toLong(&isProcess));
        if (!isProcess)
            continue;
        QFile stat(u"/proc/%1/stat"_s.arg(candidate));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold anything, so
        // the fields are counted from behind it.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields.at(1).toLong() == program && fields.at(2).toLong() != programGroup)
            adopted << candidate;
    }
    return adopted;
}

} // namespace

// The tool leads a process group of its own, which its children join, so
// one signal to the group ends them all. On Linux this program is also the
// child subreaper of what it starts: a descendant of the tool whose parent
// ends becomes this program's child, not init's, even one that left the
// tool's group, so none can outlive the job unseen.
ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif

    // Nothing is ever written to the tool: one that reads its input gets
    // end-of-file at once instead of waiting for ever.
    setStandardInputFile(QProcess::nullDevice());

    const pid_t program = ::getpid();
    setChildProcessModifier([program] {
        ::setpgid(0, 0);
#ifdef Q_OS_LINUX
        // A program that is killed outright, or crashes, runs no destructor;
        // the kernel then ends the tool it started. (Not the tool's own
        // children: they are not ours, and this does not pass on.)
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The program may have died before the line above took effect.
        if (::getppid() != program)
            ::_exit(127);
#else
        Q_UNUSED(program);
#endif
#ifdef F_SETPIPE_SZ
        // Roomier pipes (Linux gives 64 KiB): a tool that writes a lot is
        // read in fewer, larger pieces, and each piece costs the log a copy.
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
        ::fcntl(STDERR_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
    });

    // Connected before anyone else can connect to finished, so this runs
    // before the job's outcome is announced.
    connect(this, &QProcess::started, this, [this] { m_processGroup = processId(); });
    connect(this, &QProcess::finished, this, &ToolProcess::endLeftovers);
}

ToolProcess::~ToolProcess()
{
    endProcessTree();
    endAdopted();
}

QString ToolProcess::portArgument(const QString &port)
{
    if (port.startsWith(u'/') || port.contains(u"://"_s))
        return port;
    return u"/dev/"_s + port;
}

void ToolProcess::endProcessTree()
{
    if (state() == NotRunning)
        return;
    // The leader is not reaped before waitForFinished below, so the group
    // still exists and its id cannot have been reused. (Never 0: that would
    // be this program's own group.)
    if (const pid_t leader = pid_t(processId()); leader > 0)
        ::kill(-leader, SIGKILL);
    kill();
    waitForFinished();
}

void ToolProcess::endLeftovers()
{
    // The leader has been reaped by now, but a group's id stays taken for as
    // long as anything is left in the group, so the signal can only reach
    // what the tool left behind. Only with nothing left could the number
    // have passed to a new group; that needs the system to hand out every
    // other process id first (ids are given out in turn), all between the
    // reaping a moment ago and this line.
    const qint64 group = std::exchange(m_processGroup, 0);
    if (group > 0)
        ::kill(-pid_t(group), SIGKILL);
    endAdopted();
}

void ToolProcess::endAdopted()
{
    // Each one reaped has handed its own children down to this program, so
    // this goes on until a look finds none. Ended by SIGKILL, none can start
    // another in between, and each is reaped at once: its id cannot pass to
    // anyone else while it is in the list.
    for (QList<pid_t> adopted = adoptedChildren(); !adopted.isEmpty(); adopted = adoptedChildren()) {
        for (const pid_t child : adopted)
            ::kill(child, SIGKILL);
        for (const pid_t child : adopted) {
            while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
}
