#include "terminationsignals.h"

#include <QSocketNotifier>

// A Windows GUI program gets no SIGINT, SIGTERM or SIGHUP: it is closed
// through its window, and killed outright its job object ends the tool.
TerminationSignals::TerminationSignals() = default;

TerminationSignals::~TerminationSignals() = default;
