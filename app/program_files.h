// Where the running program finds its configuration and writes its log.
//
// Not installed (run from a build tree or any folder of its own): the INI beside the executable,
// or the one named by --config, with the log beside that INI, as the relay always did. Installed
// (the executable lives in the folder the build was configured to install programs into): the INI
// beside the executable still wins when it exists, else /etc/droprelay/droprelay.ini, and the log
// goes to /var/log/droprelay/droprelay.log, a folder the service user may write. In both cases
// `[system] log_path` in the chosen INI names another log file.
#pragma once

#include <functional>
#include <string>

#include "platform/program_paths.h"

namespace droprelay {

struct InstallLayout {
  std::string binDir;      // where installed programs live, e.g. /usr/bin
  std::string configFile;  // the installed configuration, e.g. /etc/droprelay/droprelay.ini
  std::string logFile;     // the installed log, e.g. /var/log/droprelay/droprelay.log
  std::string user = "droprelay";  // the service user an installed program run as root becomes
};

// The layout this build installs into (set when the build was configured).
InstallLayout BuiltInInstallLayout();

// True when `executable` sits directly in the layout's program folder.
bool IsInstalledProgram(const std::string& executable, const InstallLayout& layout);

// The files for `configOption` (--config, empty when not given), before `[system] log_path` is
// looked at. `exists` says whether a file is there.
platform::ProgramFiles ChooseProgramFiles(const std::string& configOption, const std::string& executable,
                                          const InstallLayout& layout,
                                          const std::function<bool(const std::string&)>& exists);

// `files` with the log replaced by `logPath` when that is not empty; a relative path is taken
// relative to the INI file's folder.
platform::ProgramFiles WithLogPath(platform::ProgramFiles files, const std::string& logPath);

// All of the above for the running program.
platform::ProgramFiles ResolveProgramFiles(const std::string& configOption);

// True when the running program is the installed one (see IsInstalledProgram).
bool RunningInstalled();

// The mail profiles that go with the installed configuration: "profiles.ini" beside it when
// `configFile` is the layout's configuration file, else empty (the profiles' own default applies).
std::string InstalledProfilesFile(const std::string& configFile, const InstallLayout& layout);

}  // namespace droprelay
