// The program's command line: --config FILE, a run, --inspect, --check-config, the queue commands,
// --check, --help and --version.
#pragma once

#include <string>
#include <vector>

#include "app/queue_commands.h"

namespace droprelay {

struct CommandLine {
  enum class Action { Run, Help, Version, Inspect, CheckConfig, Queue, Error };
  Action action = Action::Run;
  std::string configFile;  // empty: the INI beside the executable
  std::string error;       // for Action::Error, what was wrong
  std::vector<std::string> inspectFiles;  // for Action::Inspect, the stored messages to look at
  bool json = false;                      // --json: one JSON object per file
  // For Action::Queue (--queue, --flush, --release, --check): which command, with its options.
  QueueRequest queue;
  bool check = false;  // --check was asked for: a wrong command line is UNKNOWN (3), as for a monitor
};

// `arguments` excludes the program name. Accepts "--config FILE" and "--config=FILE", "--help"/"-h",
// "--version"/"-V", "--inspect FILE..." with an optional "--json", "--check-config", "--queue [--json]",
// "--flush", "--release NAME...|--all", "--check [--warn-age MIN] [--crit-age MIN]"; anything else is
// an error.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The usage text (UTF-8), ending in a line break; the name the program was started under passes
// the log's filter.
std::string UsageText(const std::string& invokedAs);

}  // namespace droprelay
