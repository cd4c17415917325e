#include "platform/program_paths.h"

#include <climits>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/syserror.h"
#include "text/ascii.h"

namespace droprelay::platform {

std::string ExecutablePath() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length < 0) {
    SetLastErrorFromErrno();
    return {};
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
}

ProgramFiles ProgramFilesBesideExecutable() {
  const std::string exe = ExecutablePath();
  return ProgramFiles{exe + ".ini", exe + ".log"};
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

ProgramFiles ProgramFilesForConfig(const std::string& configFile) {
  std::string log = configFile;
  const std::size_t slash = log.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = log.rfind('.');
  if (dot != std::string::npos && dot > nameStart && log.size() - dot == 4) {
    if (AsciiEqualNoCase(std::string_view(log).substr(dot), ".ini")) log.erase(dot);
  }
  return ProgramFiles{configFile, log + ".log"};
}

}  // namespace droprelay::platform
