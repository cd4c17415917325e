#include "app/command_line.h"

namespace droprelay {
namespace {

CommandLine Failure(std::string error) {
  CommandLine result;
  result.action = CommandLine::Action::Error;
  result.error = std::move(error);
  return result;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      result.action = CommandLine::Action::Help;
      return result;
    }
    if (argument == "--version" || argument == "-V") {
      result.action = CommandLine::Action::Version;
      return result;
    }
    if (argument == "--config" || argument.rfind("--config=", 0) == 0) {
      std::string value;
      if (argument == "--config") {
        if (i + 1 >= arguments.size()) {
          return Failure("option --config needs a file name");
        }
        value = arguments[++i];
      } else {
        value = argument.substr(9);
      }
      if (value.empty()) return Failure("option --config needs a file name");
      result.configFile = value;
      continue;
    }
    if (argument == "--inspect") {
      result.action = CommandLine::Action::Inspect;
      continue;
    }
    if (argument == "--check-config") {
      result.action = CommandLine::Action::CheckConfig;
      continue;
    }
    if (argument == "--json") {
      result.json = true;
      continue;
    }
    if (result.action == CommandLine::Action::Inspect && (argument.empty() || argument[0] != '-' || argument == "-")) {
      result.inspectFiles.push_back(argument);
      continue;
    }
    return Failure("unknown argument: " + argument);
  }
  if (result.action == CommandLine::Action::Inspect && result.inspectFiles.empty()) {
    return Failure("option --inspect needs at least one file");
  }
  if (result.action == CommandLine::Action::CheckConfig && !result.inspectFiles.empty()) {
    return Failure("option --check-config goes alone");
  }
  if (result.json && result.action != CommandLine::Action::Inspect) {
    return Failure("option --json goes with --inspect");
  }
  return result;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName +
         " [--config FILE]\n"
         "       " + programName + " [--config FILE] --inspect [--json] FILE...\n"
         "       " + programName + " [--config FILE] --check-config\n"
         "Relays the messages of a drop folder, one every five seconds, and ends when the folder is empty.\n"
         "\n"
         "  --config FILE  read the settings from FILE instead of the .ini file beside the program;\n"
         "                 the log is written beside FILE, named like it with \".log\"\n"
         "  --inspect FILE...  show what would be sent for each stored message (recipient, subject,\n"
         "                 first attachment, body) without sending, waiting or writing anything\n"
         "  --json         with --inspect: one JSON object per file and line\n"
         "  --check-config  warn about unknown sections and keys and values that do not parse, and\n"
         "                 list every setting in effect with where it came from; exit status 78\n"
         "                 when there is any warning, else 0\n"
         "  -h, --help     show this text and exit\n"
         "  -V, --version  show the version and exit\n"
         "\n"
         "Without a display (no DISPLAY or WAYLAND_DISPLAY) the program runs without a window, so cron\n"
         "and systemd can start it.\n";
}

}  // namespace droprelay
