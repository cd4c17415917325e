#include "platform/process_setup.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#include "platform/syserror.h"

namespace droprelay::platform {

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

namespace {

std::optional<UserIdentity> FindUser(const std::string& name) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    const int error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return UserIdentity{entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir ? entry.pw_dir : ""};
  }
}

bool Become(const UserIdentity& user) {
  // Groups first: once the user id is given up, the groups cannot be changed any more.
  if (::initgroups(user.name.c_str(), user.gid) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  // Dropping root must be for good: a process that could take it back has not dropped it.
  if (user.uid != 0 && ::setuid(0) == 0) {
    SetLastError(EPERM);
    return false;
  }
  if (!user.home.empty()) ::setenv("HOME", user.home.c_str(), 1);
  return true;
}

}  // namespace

const IdentitySystem& RealIdentitySystem() {
  static const IdentitySystem system{[] { return ::geteuid(); }, FindUser, Become};
  return system;
}

SwitchResult SwitchFromRootTo(const std::string& userName, const IdentitySystem& system) {
  if (system.effectiveUser() != 0) return SwitchResult::kNotRoot;
  const std::optional<UserIdentity> user = system.findUser(userName);
  if (!user) return SwitchResult::kNoUser;
  return system.become(*user) ? SwitchResult::kSwitched : SwitchResult::kFailed;
}

}  // namespace droprelay::platform
