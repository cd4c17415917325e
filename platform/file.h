// The one file layer: every open, stat, read and write of a file in droprelay goes through here.
//
// A file is opened once, with its flags spelled out (OpenOptions), into a FileDescriptor that
// closes it (and so releases its lock) when it goes. What the file is (regular? size, time,
// device and inode) comes from that descriptor, so the answer is about the file actually read and
// not about whatever stands under the name a moment later. Reads and writes retry a call that a
// signal interrupted (the one EINTR rule) and stop at any other failure.
//
// Every failure records its errno with SetLastError, so SystemErrorText() names it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <functional>
#include <string>
#include <string_view>

namespace droprelay::platform {

// The test seam of the file layer: when set, it is asked before every open (`operation` "open")
// and every read of a whole file ("read") and answers an errno to fail that call with, or 0.
using FileFault = std::function<int(std::string_view operation, const std::string& path)>;
void SetFileFaultForTesting(FileFault fault);
// What the seam answers for `operation` on `path` (0 without a seam), recorded as the last error.
int InjectedFileFault(std::string_view operation, const std::string& path);

// Owns one open descriptor; move-only. Closing releases an advisory lock taken on it.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  explicit operator bool() const { return IsOpen(); }
  // Gives the descriptor up without closing it.
  int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor now (if open) and takes `fd` instead.
  void Reset(int fd = -1) noexcept;
  // Closes now and answers whether the close reported an error (recorded); a write may surface
  // only here on some file systems.
  bool Close();

 private:
  int fd_ = -1;
};

// How to open a file. Every flag is off unless asked for; descriptors are always close-on-exec
// and never become a controlling terminal.
struct OpenOptions {
  enum class Access { kRead, kWrite, kReadWrite };
  Access access = Access::kRead;
  bool noFollow = false;     // a symbolic link as the last name fails (ELOOP), never read through
  bool nonBlocking = false;  // a FIFO or device does not hang the open or the reads
  bool create = false;       // create the file when missing, with `mode` (before the umask)
  bool exclusive = false;    // with create: fail when anything (a dangling link too) has the name
  bool truncate = false;     // empty an existing file
  bool append = false;       // every write lands at the end, whoever else writes the file (O_APPEND)
  bool directory = false;    // only a directory opens (for syncing a folder)
  bool regularOnly = false;  // after opening: anything but a regular file is refused
  bool lock = false;         // an exclusive advisory lock (flock), refused at once while held
  mode_t mode = 0600;
};

// What a descriptor or a path is.
struct FileStatus {
  mode_t mode = 0;  // type and permission bits
  std::uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t linkCount = 0;  // names the file has (hard links)
  uid_t owner = 0;
  gid_t group = 0;
  struct timespec accessTime {};
  struct timespec modifyTime {};
  struct timespec changeTime {};

  bool IsRegular() const;
  bool IsDirectory() const;
  bool IsLink() const;
  // The modification and change times in nanoseconds since the epoch.
  std::int64_t ModifyTimeNs() const;
  std::int64_t ChangeTimeNs() const;
};

// Opens `path` as asked. A closed descriptor, with the error recorded, on failure; a file refused
// by regularOnly records "Not a regular file", and one locked by another holder EWOULDBLOCK.
FileDescriptor OpenFile(const std::string& path, const OpenOptions& options);

// fstat of an open descriptor.
std::optional<FileStatus> StatusOf(const FileDescriptor& file);

// The one stat of a name. kFollow describes what a link points to; kNoFollow the link itself.
enum class Links { kFollow, kNoFollow };
std::optional<FileStatus> StatusOfPath(const std::string& path, Links links);

// Reads up to `size` bytes into `into`: the count read (0 at the end), or -1 with the error
// recorded. A read interrupted by a signal is retried.
long ReadSome(const FileDescriptor& file, char* into, std::size_t size);

// Reads up to `size` bytes from `offset` on, leaving the file position alone: the count read (0
// at the end), or -1 with the error recorded. A read interrupted by a signal is retried.
long ReadAt(const FileDescriptor& file, char* into, std::size_t size, std::uint64_t offset);

// Appends everything from the current position to the end onto `out`, in blocks of `blockSize`.
// False, with what was read so far appended, when a read fails.
bool ReadAll(const FileDescriptor& file, std::string& out, std::size_t blockSize = 65536);

// Writes all of `bytes`; false, with the error recorded, when a write fails.
bool WriteAll(const FileDescriptor& file, std::string_view bytes);

// fsync; false with the error recorded on failure.
bool SyncFile(const FileDescriptor& file);

// Flushes a folder's entries (a rename, create or removal in it) to disk; false, with the error
// recorded, when it could not be opened or fsync failed.
bool SyncFolder(const std::string& folder);

// The existence test. A "file" here is any entry that is not a directory; a symbolic link counts
// as the entry itself.
enum class EntryState {
  kMissing,    // nothing by that name
  kFile,       // an entry that is not a directory (a dangling link included)
  kDirectory,  // a directory is never a file for these routines
  kUnknown,    // the test itself failed (no permission, I/O error): it may well be there
};
EntryState FileEntryState(const std::string& path);

// True when `path` names something that is not a directory, following a symbolic link (the
// test of a file to be read, such as an attachment).
bool IsExistingFile(const std::string& path);

// Removes the entry itself (unlink: a link goes, its target stays). Directories are refused.
bool RemoveFileEntry(const std::string& path);

// Removes a file left behind half-written. A failure is not recorded: the error that made the file
// useless is the one to report.
void DiscardFile(const std::string& path);

// Renames `from` to `to` unless something already has the name `to` (then EEXIST is recorded).
bool RenameNoReplace(const std::string& from, const std::string& to);

// Whether this process may read `path`, or create entries in the folder `folder`; the reason is
// recorded when not.
bool CanRead(const std::string& path);
bool CanCreateIn(const std::string& folder);

// The whole content of `fileName`; false (error recorded) when it cannot be opened or read, and
// `content` is then left alone.
bool ReadWholeFile(const std::string& fileName, std::string& content);

// Replaces the content of `fileName` with `content`, creating the file when missing (`createMode`
// before the umask). The file is rewritten in place, not replaced by a new one, so its owner,
// mode and links stay as the administrator set them, and a write-protected file stays protected.
// False (error recorded) when it cannot be opened or fully written.
bool WriteWholeFile(const std::string& fileName, std::string_view content, unsigned createMode = 0644);

// Creates or overwrites `path` with `content` (mode 0600). A symbolic link at `path` is refused,
// never written through (the temporary folder may be shared, such as /tmp). A file that cannot be
// written in full is removed again, so a half-written attachment is never sent. False, with the
// error recorded, on any failure.
bool SaveAttachmentFile(const std::string& path, std::string_view content);
// The same with content that comes in pieces: `produce` hands each piece to the writer it is
// given and answers whether all of it could be produced and written. A content too large to hold
// is never held whole.
using PieceWriter = std::function<bool(std::string_view)>;
bool SaveAttachmentFile(const std::string& path, const std::function<bool(const PieceWriter&)>& produce);

// An advisory lock (flock) on an open descriptor, taken without waiting: false while another open
// file holds an incompatible one (EWOULDBLOCK recorded). Many may share kShared; kExclusive is
// alone. Taking the other kind converts the lock; closing the descriptor releases it.
enum class LockKind { kShared, kExclusive };
bool TryLockFile(const FileDescriptor& file, LockKind kind);
void UnlockFile(const FileDescriptor& file);

// Renames `from` to `to`, replacing whatever file had the name `to` in one step: a reader of `to`
// sees the old file or the new one, never neither. False with the error recorded.
bool RenameReplacing(const std::string& from, const std::string& to);

// Gives an open file the permission bits of `like` and, where the system allows it (root, or a
// group this process belongs to), its owner and group. False (error recorded) only when the
// permission bits could not be set.
bool TakeOwnerAndMode(const FileDescriptor& file, const FileStatus& like);

}  // namespace droprelay::platform
