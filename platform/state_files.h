// Files and folders of the relay's own bookkeeping: records written so that a crash or a power loss
// cannot undo them, the run lock, the private work folders, and the start-up probe of a folder.
// Failures record their errno with SetLastError, so SystemErrorText() names them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace droprelay::platform {

// What identifies one drop file: a file replaced under the same name differs in at least one of
// these (a new inode, or the same inode rewritten with another size or modification time).
struct FileFacts {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
  bool regular = false;      // a regular file itself (not a link, pipe, device or folder)
  bool operator==(const FileFacts&) const = default;
};

// The facts of the entry itself (a symbolic link is not followed). Nothing when it is gone or the
// test failed (error recorded).
std::optional<FileFacts> EntryFacts(const std::string& path);

// Writes `content` to `path` so that it survives a crash: a new file in the same folder, flushed,
// renamed over `path`, and the folder flushed. False (error recorded) on any failure; a partial
// file never stands under `path`. The new file gets `mode` (before the umask).
bool WriteFileDurably(const std::string& path, std::string_view content, unsigned mode = 0600);

// Removes `path` (a missing one is no error) and flushes its folder. False (error recorded) when
// the entry stays.
bool RemoveFileDurably(const std::string& path);

// Creates `folder` with every missing parent and proves it writable by creating and removing a
// file in it. False (error recorded) otherwise.
bool PrepareWritableFolder(const std::string& folder);

// True when `folder` can be opened and listed.
bool CanListFolder(const std::string& folder);

// A new folder of its own inside `parent` (which ends in "/"), mode 0700, with an unguessable
// name; its path with a final "/", or nothing (error recorded).
std::optional<std::string> MakePrivateFolder(const std::string& parent);

// Removes the folder made by MakePrivateFolder with the files directly in it. Links inside are
// removed themselves, never followed. False (error recorded) when something stays.
bool RemovePrivateFolder(const std::string& folder);

// An exclusive lock (flock) on a file, held as long as the object lives and released by the
// system when the process ends in any way, kill -9 included.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  enum class Result { kLocked, kHeldByAnother, kFailed };
  // Creates `lockFile` when missing and takes the lock without waiting.
  Result Acquire(const std::string& lockFile);
  void Release();

 private:
  FileDescriptor file_;
};

}  // namespace droprelay::platform
