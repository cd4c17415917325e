#include "app/drop_file.h"

#include <cerrno>

#include "platform/file.h"
#include "platform/syserror.h"

namespace droprelay {

std::optional<DropFile> ReadDropFile(const std::string& path) {
  // No link followed: a link could mail out any file the relay can read. Non-blocking: a FIFO
  // would hang the relay in the open or the read. Locked: the writer may still hold the file, and
  // nothing is read until it lets go.
  const platform::FileDescriptor file =
      platform::OpenFile(path, {.noFollow = true, .nonBlocking = true, .regularOnly = true, .lock = true});
  if (!file) {
    if (platform::LastErrorCode() == ELOOP) platform::SetLastErrorText("Is a symbolic link, not a stored message");
    return std::nullopt;
  }
  const std::optional<platform::FileStatus> status = platform::StatusOf(file);
  if (!status) return std::nullopt;
  DropFile drop;
  drop.device = status->device;
  drop.inode = status->inode;
  drop.size = status->size;
  drop.modifyTimeNs = status->ModifyTimeNs();
  drop.bytes.reserve(static_cast<std::size_t>(drop.size));
  if (!platform::ReadAll(file, drop.bytes)) return std::nullopt;
  return drop;
}

}  // namespace droprelay
