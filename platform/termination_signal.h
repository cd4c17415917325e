// Stop requests from outside (SIGTERM from systemd or kill, SIGINT from a terminal, SIGHUP when the
// terminal goes away), turned into something an event loop can wait for, so a stopped run still
// ends the way a finished one does (with its last log line) instead of dying mid-way.
#pragma once

namespace droprelay::platform {

// Installs the handlers (once) and answers a descriptor that becomes readable when one of the
// signals arrived; -1 when that cannot be set up (the signals then keep their default effect).
int TerminationSignalDescriptor();

// Reads what the signals wrote, so the descriptor is not readable again until the next signal.
void DrainTerminationSignals();

}  // namespace droprelay::platform
