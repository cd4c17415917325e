// Secrets readable by others stop a run before it does anything else: no folder is created, no
// lock taken and no database contacted while a password lies open.
#pragma once

#include <string>

#include "app/relay_config.h"

namespace droprelay {

// Empty when no secret the configuration names is readable by others; otherwise the problem
// (UTF-8): the INI holding a `Password`, or a password in `ConnectionString` (PWD= or Password=),
// or, when mail is sent, the mail profile's password (in the profiles file or a password file of
// its own) or a login without encryption.
std::string ExposedSecretProblem(const RelayConfig& config);

}  // namespace droprelay
