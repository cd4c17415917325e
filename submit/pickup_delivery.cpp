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

// The error of the platform call that just failed, for the folder it was about.
std::string FolderError(const std::string& folder, const char* what = nullptr) {
  return "Pickup folder " + folder + ": " + (what ? std::string(what) + ": " : std::string()) +
         strerrordesc_np(platform::LastErrorCode());
}

// Copies the whole message into `file`: empty, or why not (the message's own error when it could
// not be read, with `unreadable` set).
std::string WriteMessage(const platform::FileDescriptor& file, ComposedMessage& message, const std::string& folder,
                         bool& unreadable) {
  constexpr std::size_t kBlock = 1 << 16;
  const auto buffer = std::make_unique<char[]>(kBlock);
  message.Rewind();
  for (;;) {
    const long n = message.Read(buffer.get(), kBlock);
    if (n < 0) {
      unreadable = true;
      return message.Error();
    }
    if (n == 0) return {};
    if (!platform::WriteAll(file, std::string_view(buffer.get(), static_cast<std::size_t>(n)))) {
      return FolderError(folder);
    }
  }
}

}  // namespace

SubmissionResult CheckPickupFolder(const std::string& folder) {
  const auto fail = [&](int error) {
    return FailedSubmission(Outcome::kLogonRefused, "Pickup folder " + folder + ": " + strerrordesc_np(error));
  };
  const std::optional<platform::FileStatus> st = platform::StatusOfPath(folder, platform::Links::kFollow);
  if (!st) return fail(errno);
  if (!st->IsDirectory()) return fail(ENOTDIR);
  if (!platform::CanCreateIn(folder)) return fail(platform::LastErrorCode());
  return {};
}

SubmissionResult WriteToPickupFolder(const std::string& folder, ComposedMessage& message) {
  const std::string stem = UniqueStem();
  // A leading dot keeps readers that look for *.eml (or skip hidden files) away from it.
  const std::string temporary = folder + "." + stem + ".tmp";
  platform::FileDescriptor file = platform::OpenFile(temporary, {.access = platform::OpenOptions::Access::kWrite,
                                                                  .noFollow = true,
                                                                  .create = true,
                                                                  .exclusive = true,
                                                                  .mode = 0640});
  if (!file) return FailedSubmission(Outcome::kSendFailed, "Pickup folder " + folder + ": " + strerrordesc_np(errno));
  bool unreadable = false;
  std::string why = WriteMessage(file, message, folder, unreadable);
  if (why.empty() && !platform::SyncFile(file)) why = FolderError(folder);
  if (why.empty() && !file.Close()) why = FolderError(folder);
  if (!why.empty()) {
    file.Reset();
    platform::DiscardFile(temporary);
    return FailedSubmission(unreadable ? Outcome::kAttachmentMissing : Outcome::kSendFailed, why);
  }
  // RENAME_NOREPLACE: a name that is somehow taken is never overwritten.
  const std::string final = folder + stem + ".eml";
  if (!platform::RenameNoReplace(temporary, final)) {
    why = FolderError(folder);
    platform::DiscardFile(temporary);
    return FailedSubmission(Outcome::kSendFailed, why);
  }
  // The rename lives in the folder's entries: until they are on disk a crash may lose the message
  // that the relay has already disposed of.
  if (!platform::SyncFolder(folder)) {
    why = FolderError(folder, "cannot flush the folder");
    // Taken back, the message is simply not delivered yet; a name already gone went to a reader.
    if (platform::RemoveFileEntry(final)) return FailedSubmission(Outcome::kSendFailed, why);
    SubmissionResult result = FailedSubmission(Outcome::kUncertain, why);
    result.dataSent = true;
    return result;
  }
  return {};
}

}  // namespace droprelay::submit
