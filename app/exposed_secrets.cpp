#include "app/exposed_secrets.h"

#include "platform/odbc.h"
#include "platform/secret_file.h"
#include "platform/syserror.h"
#include "submit/profiles.h"

namespace droprelay {

std::string ExposedSecretProblem(const RelayConfig& config) {
  const std::string iniFile = config.File().FileName();
  if (!config.Password().empty()) {
    const std::string exposed = platform::ExposedSecretText(iniFile, "a Password");
    if (!exposed.empty()) return exposed;
  }
  // The database password is as much a secret as the mail one, whether or not the correction runs.
  if (platform::HasPassword(config.ConnectionString())) {
    const std::string exposed = platform::ExposedSecretText(iniFile, "a database password in ConnectionString");
    if (!exposed.empty()) return exposed;
  }
  if (!config.send_mail()) return {};
  std::string profileName = config.MAPIProfile();
  if (profileName.empty()) profileName = submit::DefaultMailProfile();
  if (profileName.empty()) return {};
  submit::MailProfile profile;
  bool refused = false;
  // Other faults of the profile (a missing file, a bad url) are reported when a message is sent,
  // which keeps the messages for when they are fixed; only an exposed secret stops the start.
  if (!submit::LoadMailProfile(profileName, profile, &refused) && refused) return platform::SystemErrorText();
  return {};
}

}  // namespace droprelay
