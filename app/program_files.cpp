#include "app/program_files.h"

#include <unistd.h>

#include "app/relay_config.h"
#include "platform/ini_file.h"

#ifndef DROPRELAY_INSTALL_BINDIR
#define DROPRELAY_INSTALL_BINDIR "/usr/local/bin"
#endif
#ifndef DROPRELAY_INSTALL_CONFIG
#define DROPRELAY_INSTALL_CONFIG "/etc/droprelay/droprelay.ini"
#endif
#ifndef DROPRELAY_INSTALL_USER
#define DROPRELAY_INSTALL_USER "droprelay"
#endif
#ifndef DROPRELAY_INSTALL_LOG
#define DROPRELAY_INSTALL_LOG "/var/log/droprelay/droprelay.log"
#endif

namespace droprelay {
namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

InstallLayout BuiltInInstallLayout() {
  return InstallLayout{DROPRELAY_INSTALL_BINDIR, DROPRELAY_INSTALL_CONFIG, DROPRELAY_INSTALL_LOG, DROPRELAY_INSTALL_USER};
}

bool IsInstalledProgram(const std::string& executable, const InstallLayout& layout) {
  std::string binDir = layout.binDir;
  while (binDir.size() > 1 && binDir.back() == '/') binDir.pop_back();
  return !executable.empty() && !binDir.empty() && FolderOf(executable) == binDir;
}

platform::ProgramFiles ChooseProgramFiles(const std::string& configOption, const std::string& executable,
                                          const InstallLayout& layout,
                                          const std::function<bool(const std::string&)>& exists) {
  const bool installed = IsInstalledProgram(executable, layout);
  platform::ProgramFiles files;
  if (!configOption.empty()) {
    files = platform::ProgramFilesForConfig(configOption);
  } else {
    const std::string beside = executable + ".ini";
    if (installed && !exists(beside)) {
      files = platform::ProgramFilesForConfig(layout.configFile);
    } else {
      files = platform::ProgramFiles{beside, executable + ".log"};
    }
  }
  // An installed program's folder and /etc are not the service user's to write.
  if (installed) files.logFile = layout.logFile;
  return files;
}

platform::ProgramFiles WithLogPath(platform::ProgramFiles files, const std::string& logPath) {
  if (logPath.empty()) return files;
  if (logPath.front() == '/') {
    files.logFile = logPath;
  } else {
    const std::string folder = FolderOf(files.configFile);
    files.logFile = folder.empty() ? logPath : folder + "/" + logPath;
  }
  return files;
}

platform::ProgramFiles ResolveProgramFiles(const std::string& configOption) {
  const platform::ProgramFiles files =
      ChooseProgramFiles(configOption, platform::ExecutablePath(), BuiltInInstallLayout(),
                         [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; });
  const platform::IniFile ini(files.configFile);
  return WithLogPath(files, RelayConfig(ini).log_path());
}

bool RunningInstalled() { return IsInstalledProgram(platform::ExecutablePath(), BuiltInInstallLayout()); }

std::string InstalledProfilesFile(const std::string& configFile, const InstallLayout& layout) {
  if (configFile != layout.configFile) return {};
  const std::string folder = FolderOf(configFile);
  return (folder.empty() ? std::string() : folder + "/") + "profiles.ini";
}

}  // namespace droprelay
