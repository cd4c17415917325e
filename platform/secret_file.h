// Files that hold secrets (a password in an INI file, a password file) must not be readable by
// every user of the machine; a log holding recipients and subjects neither.
#pragma once

#include <string>

namespace droprelay::platform {

// Empty when `path` is not readable by others (or cannot be examined: the reader then fails on its
// own); otherwise a sentence naming the file, its mode and the mode to set, for example
// "/etc/droprelay/droprelay.ini holds a password and is readable by others (mode 0644); set mode
// 0640 (chmod 0640 /etc/droprelay/droprelay.ini)". `what` completes "holds ...".
std::string ExposedSecretText(const std::string& path, const std::string& what);

}  // namespace droprelay::platform
