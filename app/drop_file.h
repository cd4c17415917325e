// Reading one file of the drop folder: the only place the relay opens a stored message.
//
// The file is opened once, and everything the relay learns about it comes from that one open:
// what it is (fstat), the lock, and the bytes that both the raw-text checks and the parser use.
// A link, a FIFO or anything else swapped in under the listed name is refused at the open or by
// the fstat of what was opened, never followed and never waited on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace droprelay {

// The bytes of a stored message and what the descriptor said about the file they came from.
struct DropFile {
  std::string bytes;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;  // as fstat said before reading
  std::int64_t modifyTimeNs = 0;
};

// Opens `path` once (read-only, no link followed, non-blocking, close-on-exec), insists on a
// regular file, takes the exclusive lock without waiting and reads the whole file. std::nullopt,
// with the reason recorded for SystemErrorText(), when it is a symbolic link ("Is a symbolic link,
// not a stored message"), not a regular file ("Not a regular file"), locked by another holder,
// missing, or unreadable.
std::optional<DropFile> ReadDropFile(const std::string& path);

}  // namespace droprelay
