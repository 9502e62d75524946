#include "terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int handledSignals[] = { SIGINT, SIGTERM, SIGHUP };
struct sigaction previousActions[std::size(handledSignals)];

// A signal may arrive in the middle of anything, on any thread; its handler
// may do next to nothing. It writes the signal's number as a byte, and the
// event loop, woken by it, does the rest. [0] is written by the handler,
// [1] read by the loop.
int wakeUp[2] = { -1, -1 };

void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(wakeUp[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals()
{
    // Not inherited by the tool; a full socket drops the byte instead of
    // blocking the handler (one byte is enough to quit).
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeUp) != 0)
        return;

    m_notifier = std::make_unique<QSocketNotifier>(wakeUp[1], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        char bytes[16];
        for (ssize_t got; (got = ::read(wakeUp[1], bytes, sizeof bytes)) > 0;) {
            if (m_received == 0)
                m_received = bytes[0];
        }
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (size_t i = 0; i < std::size(handledSignals); ++i) {
        ::sigaction(handledSignals[i], nullptr, &previousActions[i]);
        // A signal ignored from the start (nohup ignores SIGHUP) stays
        // ignored: whoever started the program wants it so.
        if (previousActions[i].sa_handler != SIG_IGN)
            ::sigaction(handledSignals[i], &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (size_t i = 0; i < std::size(handledSignals); ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    m_notifier.reset();
    ::close(wakeUp[0]);
    ::close(wakeUp[1]);
    wakeUp[0] = wakeUp[1] = -1;
    // The previous action is the default one: a handler of someone else's
    // does not survive exec(), and an ignored signal never got here.
    if (m_received != 0)
        ::raise(m_received);
}
