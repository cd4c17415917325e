// What both programs (the headless relay and the window) do before the relay starts.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/log_mirror.h"
#include "app/relay_service.h"
#include "platform/process_setup.h"
#include "platform/program_paths.h"

namespace droprelay {

struct ProgramStart {
  // Set when the program is done already (--help, --version, --inspect, a wrong command line).
  std::optional<int> exitStatus;
  platform::ProgramFiles files;
  std::unique_ptr<LogMirror> mirror;  // the log's copy for the journal or syslog; null for none
  bool configNamed = false;           // --config named the settings file: it must be readable
};

// Reads the command line (`arguments` without the program name) and answers what to do.
ProgramStart StartProgram(const std::vector<std::string>& arguments, const std::string& programName,
                          const std::string& version, std::ostream& out, std::ostream& err);

// Exit statuses (sysexits.h) are in app/exit_status.h.

// For an installed program (`installed`) started as root: becomes `user` through `system`.
// Answers 0 when the program may go on (not root, or switched), else kExitConfig after a line on
// `err` saying why (no such user, the switch failed).
int BecomeServiceUser(bool installed, const std::string& user, const platform::IdentitySystem& system,
                      std::ostream& err);

}  // namespace droprelay
