#include "app/program_start.h"

#include <chrono>
#include <cstdlib>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/preview_command.h"
#include "app/program_files.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/process_setup.h"
#include "platform/secret_file.h"
#include "platform/syserror.h"
#include "submit/profiles.h"
#include "text/convert.h"
#include "text/log_text.h"
#include "text/texts.h"

namespace droprelay {

int BecomeServiceUser(bool installed, const std::string& user, const platform::IdentitySystem& system,
                      std::ostream& err) {
  if (!installed) return 0;
  switch (platform::SwitchFromRootTo(user, system)) {
    case platform::SwitchResult::kNotRoot:
    case platform::SwitchResult::kSwitched:
      return 0;
    case platform::SwitchResult::kNoUser:
      err << ErrorLine("refusing to run as root: there is no user " + user +
                       " to switch to (the package creates it; else run systemd-sysusers, or start droprelay as the"
                       " user that owns its folders)");
      return kExitConfig;
    case platform::SwitchResult::kFailed:
      err << ErrorLine("refusing to run as root: cannot switch to the user " + user + ": " +
                       platform::SystemErrorText());
      return kExitConfig;
  }
  return kExitConfig;
}

ProgramStart StartProgram(const std::vector<std::string>& arguments, const std::string& programName,
                          const std::string& version, std::ostream& out, std::ostream& err) {
  platform::IgnoreBrokenPipes();
  ProgramStart start;
  const CommandLine commandLine = ParseCommandLine(arguments);
  switch (commandLine.action) {
    case CommandLine::Action::Help:
      out << UsageText(programName);
      start.exitStatus = 0;
      return start;
    case CommandLine::Action::Version:
      out << "droprelay " << version << "\n";
      start.exitStatus = 0;
      return start;
    case CommandLine::Action::Error:
      err << ErrorLine(commandLine.error) << UsageText(programName);
      // A monitor takes 2 for CRITICAL: a wrong --check line is UNKNOWN to it.
      start.exitStatus = commandLine.check ? kCheckUnknown : 2;
      return start;
    case CommandLine::Action::Queue:
    case CommandLine::Action::Inspect:
    case CommandLine::Action::CheckConfig:
    case CommandLine::Action::Run:
      break;
  }
  // Installed and started as root (by hand, from root's crontab), the relay would create its log
  // and state as root, which the service can then no longer write: it becomes the service user
  // before it opens any file of its own.
  const InstallLayout layout = BuiltInInstallLayout();
  if (const int refused = BecomeServiceUser(RunningInstalled(), layout.user, platform::RealIdentitySystem(), err)) {
    start.exitStatus = refused;
    return start;
  }
  start.files = ResolveProgramFiles(commandLine.configFile);
  start.configNamed = !commandLine.configFile.empty();
  // The installed configuration comes with the installed profiles, whoever runs it.
  if (const std::string profiles = InstalledProfilesFile(start.files.configFile, layout);
      !profiles.empty() && !std::getenv("DROPRELAY_PROFILES")) {
    ::setenv("DROPRELAY_PROFILES", profiles.c_str(), 1);
  }
  if (commandLine.action == CommandLine::Action::CheckConfig) {
    start.exitStatus = PrintConfigCheck(start.files.configFile, start.files.logFile, submit::MailProfilesPath(), out, err);
    return start;
  }
  if (commandLine.action == CommandLine::Action::Run && !start.configNamed) {
    // The built-in defaults name the production drop folder and send nothing: a run without any
    // configuration would dispose of real mail unsent. It touches nothing instead.
    std::string content;
    if (!platform::ReadWholeFile(start.files.configFile, content)) {
      err << ErrorLine("no configuration: cannot read " + start.files.configFile + " (" +
                       platform::SystemErrorText() +
                       "); nothing was done. Write it (see droprelay(8)) or name one with --config FILE");
      start.exitStatus = kExitConfig;
      return start;
    }
  }
  const platform::IniFile config(start.files.configFile);
  if (commandLine.action == CommandLine::Action::Inspect) {
    start.exitStatus = RunInspect(config, commandLine.inspectFiles, commandLine.json, out, err);
    return start;
  }
  if (commandLine.action == CommandLine::Action::Queue) {
    // Without any configuration the defaults would name the production folders: like a run, the
    // queue commands then touch and report nothing.
    std::string content;
    const bool readable = platform::ReadWholeFile(start.files.configFile, content);
    QueueRequest request = commandLine.queue;
    request.json = commandLine.json;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    start.exitStatus = RunQueueCommand(request, RelayConfig(config), readable, now.count(), out, err);
    return start;
  }
  start.mirror = MakeLogMirror(RelayConfig(config).syslog());
  return start;
}

}  // namespace droprelay
