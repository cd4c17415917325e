// Delivery into a pickup folder: one complete .eml file per message.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include "submit/delivery.h"
#include "platform/file.h"
#include "platform/random.h"
#include "platform/syserror.h"

namespace droprelay::submit {
namespace {

std::string UniqueStem() {
  return std::to_string(std::time(nullptr)) + "." + std::to_string(::getpid()) + "." + platform::RandomHex(32);
}

}  // namespace

bool CheckPickupFolder(const std::string& folder) {
  const auto fail = [&](int error) {
    platform::SetLastErrorText("Pickup folder " + folder + ": " + strerrordesc_np(error));
    return false;
  };
  const std::optional<platform::FileStatus> st = platform::StatusOfPath(folder, platform::Links::kFollow);
  if (!st) return fail(errno);
  if (!st->IsDirectory()) return fail(ENOTDIR);
  if (!platform::CanCreateIn(folder)) return fail(platform::LastErrorCode());
  return true;
}

bool WriteToPickupFolder(const std::string& folder, const std::string& message) {
  const std::string stem = UniqueStem();
  // A leading dot keeps readers that look for *.eml (or skip hidden files) away from it.
  const std::string temporary = folder + "." + stem + ".tmp";
  platform::FileDescriptor file = platform::OpenFile(temporary, {.access = platform::OpenOptions::Access::kWrite,
                                                                  .noFollow = true,
                                                                  .create = true,
                                                                  .exclusive = true,
                                                                  .mode = 0640});
  if (!file) {
    platform::SetLastErrorText("Pickup folder " + folder + ": " + strerrordesc_np(errno));
    return false;
  }
  const bool written = platform::WriteAll(file, message) && platform::SyncFile(file);
  const int writeError = errno;
  if (!file.Close() && written) {
    platform::DiscardFile(temporary);
    return false;
  }
  if (!written) {
    platform::SetLastError(writeError);
    platform::DiscardFile(temporary);
    return false;
  }
  // RENAME_NOREPLACE: a name that is somehow taken is never overwritten.
  const std::string final = folder + stem + ".eml";
  if (!platform::RenameNoReplace(temporary, final)) {
    platform::DiscardFile(temporary);
    return false;
  }
  return true;
}

}  // namespace droprelay::submit
