// Reading one file of the drop folder: the only place the relay opens a stored message.
//
// The file is opened once, and everything the relay learns about it comes from that one open:
// what it is (fstat), the lock, and the bytes that both the raw-text checks and the parser use.
// A link, a FIFO or anything else swapped in under the listed name is refused at the open or by
// the fstat of what was opened, never followed and never waited on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <optional>
#include <string>

#include "mail/byte_buffer.h"
#include "text/outcome.h"

namespace droprelay {

// The bytes of a stored message and what the descriptor said about the file they came from.
struct DropFile {
  // Read straight into the buffer the mail library parses, which takes it over: a large message
  // is held once.
  ByteBuffer bytes;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;  // as fstat said before reading
  std::int64_t modifyTimeNs = 0;
};

// What the relay accepts as one of its own drop files.
struct DropFileRules {
  std::uint64_t maxSize = 0;  // 0: no limit
  // When set (the relay runs as root), a file owned by neither this user nor this group is refused.
  std::optional<std::pair<uid_t, gid_t>> owners;
};

// The read, or why there is none: kFileLocked (its writer holds it, or it went meanwhile: nothing
// to say about the message yet), kNotRegular (a symbolic link, FIFO, device or folder),
// kNotOwnFile (more than one name, or another owner), kTooLarge, kSystemError (the open, its fstat
// or the read failed: tried again later).
struct DropFileRead {
  std::optional<DropFile> file;
  Outcome problem = Outcome::kDelivered;  // meaningful when there is no file
  std::string error;                      // the system's or the check's own text, when there is no file
};

// Opens `path` once (read-only, no link followed, non-blocking, close-on-exec), checks it against
// `rules` before reading anything, takes the exclusive lock without waiting and reads the whole file.
DropFileRead ReadDropFile(const std::string& path, const DropFileRules& rules = {});

}  // namespace droprelay
