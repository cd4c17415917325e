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

// `path` with every link, "." and ".." resolved (realpath), ending in "/" when `path` did; none
// when it cannot be resolved (missing, unreadable).
std::optional<std::string> ResolvedPath(const std::string& path);

// Writes `content` to `path` so that it survives a crash: a new file in the same folder, flushed,
// renamed over `path`, and the folder flushed. False (error recorded) on any failure; a partial
// file never stands under `path`. The file gets exactly `mode`, whatever the umask.
bool WriteFileDurably(const std::string& path, std::string_view content, unsigned mode = 0600);

// Removes `path` (a missing one is no error) and flushes its folder. False (error recorded) when
// the entry stays or the folder could not be flushed.
bool RemoveFileDurably(const std::string& path);

// The name prefix of the start-up probes: what a run killed in the middle of one leaves behind is
// removed by the next start under the run lock. In a folder others share (the temporary folder,
// the archive) a relay names its probes with a prefix of its own, so it never takes another's.
inline constexpr const char* kProbePrefix = ".droprelay-probe-";

// Creates `folder` with every missing parent and proves it writable by writing, flushing and
// removing a file of real data in it. False (error recorded) otherwise.
bool PrepareWritableFolder(const std::string& folder, const std::string& probePrefix = kProbePrefix);

// True when `folder` can be opened and listed.
bool CanListFolder(const std::string& folder);

// Overwrites the first bytes of the existing regular file `path` in place and flushes it: one
// write and one fsync, for a note that changes state. False (error recorded) on any failure.
bool OverwriteStartDurably(const std::string& path, std::string_view bytes);

// A new folder of its own inside `parent` (which ends in "/"), mode 0700, named `prefix` and an
// unguessable ending; its path with a final "/", or nothing (error recorded).
std::optional<std::string> MakePrivateFolder(const std::string& parent, const std::string& prefix = "droprelay-");

// Removes what killed runs left in `folder`: every entry whose name starts with `prefix` and is
// longer (files and links themselves, folders with the files directly in them). The count removed.
int RemoveLeftovers(const std::string& folder, const std::string& prefix);

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
  // Takes the lock on the folder itself, without waiting. A lock on an open folder belongs to its
  // inode: the folder reached by another name (a link, "./", a bind mount) is the same lock.
  Result AcquireFolder(const std::string& folder);
  void Release();

 private:
  FileDescriptor file_;
};

}  // namespace droprelay::platform
