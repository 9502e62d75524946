#ifndef TERMINATIONSIGNALS_H
#define TERMINATIONSIGNALS_H

#include <memory>

class QSocketNotifier;

// While it lives, SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal closed)
// end the event loop as closing the window does, so that main destroys
// what it owns as usual: the controller, and with it the flashing tool and
// everything the tool started. Left to the default handling, such a signal
// would end the program without destructors and leave the tool running on
// the port. Destroyed after the controller, after such a signal, it ends
// the program by that signal, with the signal's default action: whoever started the
// program sees it ended by the signal (a shell shows 130, 143 or 129), as
// with any program that has no handler of its own. A second signal of the
// same kind is handled by default again: it ends a program that no longer
// answers. A signal ignored when the program started (nohup) stays ignored.
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
    // The first of the signals that arrived, or 0.
    int m_received = 0;
};

#endif // TERMINATIONSIGNALS_H
