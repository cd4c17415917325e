#include "app/drop_file.h"

#include <cerrno>

#include "platform/file.h"
#include "platform/syserror.h"

namespace droprelay {
namespace {

DropFileRead Refused(Outcome problem, std::string error) {
  DropFileRead read;
  read.problem = problem;
  read.error = std::move(error);
  return read;
}

}  // namespace

DropFileRead ReadDropFile(const std::string& path, const DropFileRules& rules) {
  // No link followed: a link could mail out any file the relay can read. Non-blocking: a FIFO
  // would hang the relay in the open or the read. Locked: the writer may still hold the file, and
  // nothing is read until it lets go.
  const platform::FileDescriptor file =
      platform::OpenFile(path, {.noFollow = true, .nonBlocking = true, .lock = true});
  if (!file) {
    // The open's own error, taken at once, before anything else can record another.
    const int code = platform::LastErrorCode();
    std::string error = platform::SystemErrorText();
    if (code == ELOOP) return Refused(Outcome::kNotRegular, "Is a symbolic link, not a stored message");
    if (code == EWOULDBLOCK || code == ENOENT) return Refused(Outcome::kFileLocked, std::move(error));
    // Whatever the system says about the file (EACCES from a writer's umask, EIO, EMFILE, ...)
    // tells nothing about the message: it is tried again.
    return Refused(Outcome::kSystemError, std::move(error));
  }
  const std::optional<platform::FileStatus> status = platform::StatusOf(file);
  if (!status) return Refused(Outcome::kSystemError, platform::SystemErrorText());
  if (!status->IsRegular()) return Refused(Outcome::kNotRegular, "Not a regular file");
  // A second name means someone linked a file here that may not be theirs to send (a root-only
  // file linked into a folder others can write); the relay only sends files written for it.
  if (status->linkCount != 1) {
    return Refused(Outcome::kNotOwnFile, "Has " + std::to_string(status->linkCount) + " names (hard links)");
  }
  if (rules.owners && status->owner != rules.owners->first && status->group != rules.owners->second) {
    return Refused(Outcome::kNotOwnFile, "Owned by user " + std::to_string(status->owner) + ", group " +
                                             std::to_string(status->group) + ", not the drop folder's");
  }
  if (rules.maxSize != 0 && status->size > rules.maxSize) {
    return Refused(Outcome::kTooLarge, std::to_string(status->size) + " bytes, more than " +
                                           std::to_string(rules.maxSize));
  }
  DropFile drop;
  drop.device = status->device;
  drop.inode = status->inode;
  drop.size = status->size;
  drop.modifyTimeNs = status->ModifyTimeNs();
  if (platform::InjectedFileFault("read", path) != 0 ||
      !ReadToEnd(file, static_cast<std::size_t>(drop.size), drop.bytes)) {
    return Refused(Outcome::kSystemError, platform::SystemErrorText());
  }
  DropFileRead read;
  read.file = std::move(drop);
  return read;
}

}  // namespace droprelay
