#ifndef HELPERPROCESS_H
#define HELPERPROCESS_H

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

// Makes a helper process that a test starts (an X server, the program
// itself) end with the test, however the test ends: a failed check, a
// crash, a timeout's kill, or exit() called deep inside a library. Left
// running, a helper would hold the test runner's output open and the run
// would hang.
inline void endWithThisProcess(QProcess &process)
{
#ifdef Q_OS_LINUX
    const pid_t test = ::getpid();
    process.setChildProcessModifier([test] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The test may have ended before the line above took effect.
        if (::getppid() != test)
            ::_exit(1);
    });
#else
    Q_UNUSED(process);
#endif
}

#endif // HELPERPROCESS_H
