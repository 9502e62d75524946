#include "toolprocess.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The tool leads a process group of its own, which its children join, so
// one signal to the group ends them all.
ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
    setChildProcessModifier([] {
        ::setpgid(0, 0);
#ifdef F_SETPIPE_SZ
        // Roomier pipes (Linux gives 64 KiB): a tool that writes a lot is
        // read in fewer, larger pieces, and each piece costs the log a copy.
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
        ::fcntl(STDERR_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
    });
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
    // still exists and its id cannot have been reused.
    ::kill(-pid_t(processId()), SIGKILL);
    kill();
    waitForFinished();
}
