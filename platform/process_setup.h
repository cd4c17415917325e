// What a droprelay program sets up about its own process before it does anything: broken pipes
// as errors instead of a silent death, and the identity it runs under.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace droprelay::platform {

// SIGPIPE ignored: a write to a closed pipe or socket (a reader of --check-config that went away,
// a syslog daemon that restarted, a server that dropped the connection) fails with EPIPE, which
// the writer reports, instead of ending the process without a word or a log line.
void IgnoreBrokenPipes();

// A user of the password database, as far as switching to it needs.
struct UserIdentity {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// The seams of the identity switch: the effective user, the password database, the switch itself.
struct IdentitySystem {
  std::function<uid_t()> effectiveUser;
  std::function<std::optional<UserIdentity>(const std::string& name)> findUser;
  // Takes the user's groups, group and user, in that order; false (errno set) when any step fails.
  std::function<bool(const UserIdentity& user)> become;
};

// The real process: geteuid, getpwnam, initgroups + setgid + setuid (and HOME set to the user's).
const IdentitySystem& RealIdentitySystem();

enum class SwitchResult {
  kNotRoot,   // not running as root: nothing to do
  kSwitched,  // now running as the user
  kNoUser,    // running as root and the user does not exist
  kFailed,    // running as root and the switch failed (errno says why)
};

// When running as root, becomes `userName` (its uid, its group and supplementary groups); a
// process that is not root is left as it is.
SwitchResult SwitchFromRootTo(const std::string& userName, const IdentitySystem& system = RealIdentitySystem());

}  // namespace droprelay::platform
