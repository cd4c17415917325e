// Where the configuration and log files live: beside the executable, bearing its name.
#pragma once

#include <string>

namespace droprelay::platform {

// The full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

struct ProgramFiles {
  std::string configFile;  // the INI file
  std::string logFile;     // the activity log
};

// Linux executables have no extension, so ".ini" and ".log" are appended to the executable's path.
ProgramFiles ProgramFilesBesideExecutable();

// The user's home folder: $HOME, else the password database's entry; empty when neither says.
std::string HomeFolder();

// For an INI named on the command line: the log sits beside it, its name with a final ".ini"
// (any case) replaced by ".log", or ".log" appended when it has no such extension.
ProgramFiles ProgramFilesForConfig(const std::string& configFile);

}  // namespace droprelay::platform
