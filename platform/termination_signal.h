// Stop requests from outside (SIGTERM from systemd or kill, SIGINT from a terminal, SIGHUP when the
// terminal goes away), turned into something an event loop can wait for, so a stopped run still
// ends the way a finished one does (with its last log line) instead of dying mid-way.
#pragma once

#include <cstdint>

namespace droprelay::platform {

// Installs the handlers (once) and answers a descriptor that becomes readable when one of the
// signals arrived; -1 when that cannot be set up (the signals then keep their default effect).
int TerminationSignalDescriptor();

// True once one of the signals arrived (after TerminationSignalDescriptor installed the handlers).
// Stays true: a stopped run takes no further step.
bool TerminationRequested();

// True once TerminationSignalDescriptor installed the handlers.
bool TerminationSignalsWatched();

// Waits up to `milliseconds`, returning early when one of the signals arrives (or had arrived);
// answers TerminationRequested(). Without the handlers installed, it returns at once with false.
bool WaitForTerminationSignal(std::uint32_t milliseconds);

// Reads what the signals wrote, so the descriptor is not readable again until the next signal.
void DrainTerminationSignals();

}  // namespace droprelay::platform
