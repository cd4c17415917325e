// The program's command line: --config FILE, --help, --version.
#pragma once

#include <string>
#include <vector>

namespace droprelay {

struct CommandLine {
  enum class Action { Run, Help, Version, Inspect, CheckConfig, Error };
  Action action = Action::Run;
  std::string configFile;  // empty: the INI beside the executable
  std::string error;       // for Action::Error, what was wrong
  std::vector<std::string> inspectFiles;  // for Action::Inspect, the stored messages to look at
  bool json = false;                      // --json: one JSON object per file
};

// `arguments` excludes the program name. Accepts "--config FILE" and "--config=FILE", "--help"/"-h",
// "--version"/"-V", "--inspect FILE..." with an optional "--json", "--check-config"; anything
// else is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The usage text (UTF-8), ending in a line break.
std::string UsageText(const std::string& programName);

}  // namespace droprelay
