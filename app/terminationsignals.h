#ifndef TERMINATIONSIGNALS_H
#define TERMINATIONSIGNALS_H

#include <memory>

class QSocketNotifier;

// While it lives, SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal closed)
// end the event loop as closing the window does, with exit code 0, so that
// main destroys what it owns as usual: the controller, and with it the
// flashing tool and everything the tool started. Left to the default
// handling, such a signal would end the program without destructors and
// leave the tool running on the port. A second signal of the same kind is
// handled by default again: it ends a program that no longer answers.
// Windows sends none of these; there it does nothing.
class TerminationSignals
{
public:
    TerminationSignals();
    ~TerminationSignals();

    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

#endif // TERMINATIONSIGNALS_H
