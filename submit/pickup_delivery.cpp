// Delivery into a pickup folder: one complete .eml file per message.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
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

// Copies the whole message into `file`: false with the error recorded (the message's own when it
// could not be read).
bool WriteMessage(const platform::FileDescriptor& file, ComposedMessage& message) {
  constexpr std::size_t kBlock = 1 << 16;
  const auto buffer = std::make_unique<char[]>(kBlock);
  message.Rewind();
  for (;;) {
    const long n = message.Read(buffer.get(), kBlock);
    if (n < 0) {
      platform::SetLastErrorText(message.Error());
      return false;
    }
    if (n == 0) return true;
    if (!platform::WriteAll(file, std::string_view(buffer.get(), static_cast<std::size_t>(n)))) return false;
  }
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

bool WriteToPickupFolder(const std::string& folder, ComposedMessage& message) {
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
  const bool written = WriteMessage(file, message) && platform::SyncFile(file);
  if (!written) {
    // The error recorded by the write (or the read of the message) is the one to report.
    platform::KeepLastError keep;
    file.Reset();
    platform::DiscardFile(temporary);
    return false;
  }
  if (!file.Close()) {
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
