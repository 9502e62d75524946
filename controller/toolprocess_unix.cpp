#include "toolprocess.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using namespace Qt::StringLiterals;

// The tool leads a process group of its own, which its children join, so
// one signal to the group ends them all.
ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
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
}
