#include "app/command_line.h"

#include <charconv>

#include "text/log_text.h"

namespace droprelay {
namespace {

CommandLine Failure(std::string error) {
  CommandLine result;
  result.action = CommandLine::Action::Error;
  result.error = std::move(error);
  return result;
}

// The queue commands' options. True when `arguments[i]` was one of them (`i` then points at its
// last word); `error` is set when it was wrong.
bool ParseQueueArgument(const std::vector<std::string>& arguments, std::size_t& i, CommandLine& result,
                        std::string& error) {
  const std::string& argument = arguments[i];
  using Kind = QueueRequest::Kind;
  const auto select = [&](Kind kind) {
    if (result.action != CommandLine::Action::Run && !(result.action == CommandLine::Action::Queue && result.queue.kind == kind)) {
      error = "option " + argument + " cannot be combined with another command";
    }
    result.action = CommandLine::Action::Queue;
    result.queue.kind = kind;
  };
  if (argument == "--queue") {
    select(Kind::kList);
  } else if (argument == "--flush") {
    select(Kind::kFlush);
  } else if (argument == "--release") {
    select(Kind::kRelease);
  } else if (argument == "--check") {
    result.check = true;
    select(Kind::kCheck);
  } else if (argument == "--all" && result.action == CommandLine::Action::Queue && result.queue.kind == Kind::kRelease) {
    result.queue.all = true;
  } else if (argument == "--force" && result.action == CommandLine::Action::Queue && result.queue.kind == Kind::kRelease) {
    result.queue.force = true;
  } else if (argument == "--warn-age" || argument == "--crit-age") {
    int minutes = -1;
    const std::string value = i + 1 < arguments.size() ? arguments[++i] : std::string();
    const auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), minutes);
    if (failure != std::errc() || end != value.data() + value.size() || minutes < 0) {
      error = "option " + argument + " needs a number of minutes";
    }
    (argument == "--warn-age" ? result.queue.warnAgeMinutes : result.queue.critAgeMinutes) = minutes;
  } else if (result.action == CommandLine::Action::Queue && result.queue.kind == Kind::kRelease &&
             !argument.empty() && argument[0] != '-') {
    result.queue.names.push_back(argument);
  } else {
    return false;
  }
  return true;
}

// What the queue commands need beyond their single options.
std::string QueueCommandProblem(const CommandLine& line) {
  const QueueRequest& queue = line.queue;
  if (line.action != CommandLine::Action::Queue) {
    if (queue.warnAgeMinutes != kDefaultWarnAgeMinutes || queue.critAgeMinutes != kDefaultCritAgeMinutes) {
      return "options --warn-age and --crit-age go with --check";
    }
    return {};
  }
  if (queue.kind == QueueRequest::Kind::kRelease && queue.all == !queue.names.empty()) {
    return "option --release needs either file names or --all";
  }
  if (queue.kind != QueueRequest::Kind::kCheck &&
      (queue.warnAgeMinutes != kDefaultWarnAgeMinutes || queue.critAgeMinutes != kDefaultCritAgeMinutes)) {
    return "options --warn-age and --crit-age go with --check";
  }
  if (queue.warnAgeMinutes > queue.critAgeMinutes) return "the --warn-age must not exceed the --crit-age";
  if (line.json && queue.kind != QueueRequest::Kind::kList) return "option --json goes with --inspect or --queue";
  return {};
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
      if (result.action == CommandLine::Action::Queue) return Failure("option --inspect cannot be combined with another command");
      result.action = CommandLine::Action::Inspect;
      continue;
    }
    if (argument == "--check-config") {
      if (result.action == CommandLine::Action::Queue) return Failure("option --check-config goes alone");
      result.action = CommandLine::Action::CheckConfig;
      continue;
    }
    if (result.action != CommandLine::Action::Inspect) {
      std::string error;
      if (ParseQueueArgument(arguments, i, result, error)) {
        if (!error.empty()) {
          CommandLine failure = Failure(error);
          failure.check = result.check;
          return failure;
        }
        continue;
      }
    }
    if (argument == "--json") {
      result.json = true;
      continue;
    }
    if (result.action == CommandLine::Action::Inspect && (argument.empty() || argument[0] != '-' || argument == "-")) {
      result.inspectFiles.push_back(argument);
      continue;
    }
    CommandLine failure = Failure("unknown argument: " + argument);
    failure.check = result.check;
    return failure;
  }
  if (const std::string problem = QueueCommandProblem(result); !problem.empty()) {
    CommandLine failure = Failure(problem);
    failure.check = result.check;
    return failure;
  }
  if (result.action == CommandLine::Action::Inspect && result.inspectFiles.empty()) {
    return Failure("option --inspect needs at least one file");
  }
  if (result.action == CommandLine::Action::CheckConfig && !result.inspectFiles.empty()) {
    return Failure("option --check-config goes alone");
  }
  if (result.json && result.action != CommandLine::Action::Inspect && result.action != CommandLine::Action::Queue) {
    return Failure("option --json goes with --inspect");
  }
  return result;
}

std::string UsageText(const std::string& invokedAs) {
  // The name the program was started under is anybody's choice of bytes.
  const std::string programName = SafeLogText(invokedAs);
  return "Usage: " + programName +
         " [--config FILE]\n"
         "       " + programName + " [--config FILE] --inspect [--json] FILE...\n"
         "       " + programName + " [--config FILE] --check-config\n"
         "       " + programName + " [--config FILE] --queue [--json] | --flush | --release [--force] NAME...|--all\n"
         "       " + programName + " [--config FILE] --check [--warn-age MIN] [--crit-age MIN]\n"
         "Relays the messages of a drop folder, one every five seconds unless cycle_interval_ms says\n"
         "otherwise, and ends when the folder is empty.\n"
         "\n"
         "  --config FILE  read the settings from FILE instead of the .ini file beside the program;\n"
         "                 the log is written beside FILE, named like it with \".log\"\n"
         "  --inspect FILE...  show what would be sent for each stored message (recipient, subject,\n"
         "                 first attachment, body) without sending, waiting or writing anything;\n"
         "                 exit status 1 when a file cannot be read as the relay would read it\n"
         "  --check-config  warn about unknown sections and keys and values that do not parse, and\n"
         "                 list every setting in effect with where it came from; exit status 78\n"
         "                 when there is any warning, else 0\n"
         "  --json         with --inspect: one JSON object per file and line; with --queue: one object\n"
         "  --queue        list the files waiting for a later attempt and the quarantined ones\n"
         "  --flush        make every waiting file due now (the next run takes them)\n"
         "  --release NAME...|--all  move quarantined files back into the drop folder\n"
         "  --force                  with --release: also files that may have been delivered already\n"
         "  --check        one status line for a monitor; exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
         "  --warn-age MIN, --crit-age MIN  with --check: the age in minutes of the oldest waiting\n"
         "                 file that is a warning (default 60) or critical (default 1440)\n"
         "  -h, --help     show this text and exit\n"
         "  -V, --version  show the version and exit\n"
         "\n"
         "Without a display (no DISPLAY or WAYLAND_DISPLAY) the program runs without a window, so cron\n"
         "and systemd can start it.\n";
}

}  // namespace droprelay
