#include "app/program_start.h"

#include <chrono>

#include "app/command_line.h"
#include "app/preview_command.h"
#include "app/program_files.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/secret_file.h"
#include "platform/syserror.h"
#include "submit/profiles.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {

ProgramStart StartProgram(const std::vector<std::string>& arguments, const std::string& programName,
                          const std::string& version, std::ostream& out, std::ostream& err) {
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
      err << "droprelay: " << commandLine.error << "\n" << UsageText(programName);
      // A monitor takes 2 for CRITICAL: a wrong --check line is UNKNOWN to it.
      start.exitStatus = commandLine.check ? kCheckUnknown : 2;
      return start;
    case CommandLine::Action::Queue:
    case CommandLine::Action::Inspect:
    case CommandLine::Action::Run:
      break;
  }
  start.files = ResolveProgramFiles(commandLine.configFile);
  start.configNamed = !commandLine.configFile.empty();
  const platform::IniFile config(start.files.configFile);
  if (commandLine.action == CommandLine::Action::Inspect) {
    start.exitStatus = RunInspect(config, commandLine.inspectFiles, commandLine.json, out, err);
    return start;
  }
  if (commandLine.action == CommandLine::Action::Queue) {
    std::string content;
    const bool readable = !start.configNamed || platform::ReadWholeFile(start.files.configFile, content);
    QueueRequest request = commandLine.queue;
    request.json = commandLine.json;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    start.exitStatus = RunQueueCommand(request, RelayConfig(config), readable, now.count(), out, err);
    return start;
  }
  start.mirror = MakeLogMirror(RelayConfig(config).syslog());
  return start;
}

std::string ExposedSecretProblem(const RelayConfig& config) {
  if (!config.Password().empty()) {
    const std::string exposed = platform::ExposedSecretText(config.File().FileName(), "a Password");
    if (!exposed.empty()) return exposed;
  }
  if (!config.send_mail()) return {};
  std::string profileName = config.MAPIProfile();
  if (profileName.empty()) profileName = submit::DefaultMailProfile();
  if (profileName.empty()) return {};
  submit::MailProfile profile;
  bool refused = false;
  // Other faults of the profile (a missing file, a bad url) are reported by every cycle, which
  // keeps the messages for when they are fixed; only an exposed secret stops the start.
  if (!submit::LoadMailProfile(profileName, profile, &refused) && refused) return platform::SystemErrorText();
  return {};
}

int RefuseExposedSecrets(RelayService& service, std::ostream& err) {
  const RelayConfig* config = service.Config();
  if (!config) return 0;
  const std::string problem = ExposedSecretProblem(*config);
  if (problem.empty()) return 0;
  service.mainlog(texts::SecretExposed() + Utf8ToCp1251(problem));
  service.Report().refusedStatus = kExitConfig;
  err << "droprelay: refusing to start: " << problem << "\n";
  return kExitConfig;
}

}  // namespace droprelay
