#include "platform/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

FileStatus FromStat(const struct stat& st) {
  FileStatus status;
  status.mode = st.st_mode;
  status.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  status.device = st.st_dev;
  status.inode = st.st_ino;
  status.linkCount = static_cast<std::uint64_t>(st.st_nlink);
  status.owner = st.st_uid;
  status.group = st.st_gid;
  status.accessTime = st.st_atim;
  status.modifyTime = st.st_mtim;
  status.changeTime = st.st_ctim;
  return status;
}

std::int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

constexpr OpenOptions::Access kWrite = OpenOptions::Access::kWrite;

int OpenFlags(const OpenOptions& options) {
  int flags = O_CLOEXEC | O_NOCTTY;
  switch (options.access) {
    case OpenOptions::Access::kRead: flags |= O_RDONLY; break;
    case OpenOptions::Access::kWrite: flags |= O_WRONLY; break;
    case OpenOptions::Access::kReadWrite: flags |= O_RDWR; break;
  }
  if (options.noFollow) flags |= O_NOFOLLOW;
  if (options.nonBlocking) flags |= O_NONBLOCK;
  if (options.create) flags |= O_CREAT;
  if (options.create && options.exclusive) flags |= O_EXCL;
  if (options.truncate) flags |= O_TRUNC;
  if (options.append) flags |= O_APPEND;
  if (options.directory) flags |= O_DIRECTORY;
  return flags;
}

}  // namespace

void FileDescriptor::Reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool FileDescriptor::Close() {
  if (fd_ < 0) return true;
  const int fd = Release();
  if (::close(fd) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool FileStatus::IsRegular() const { return S_ISREG(mode); }
bool FileStatus::IsDirectory() const { return S_ISDIR(mode); }
bool FileStatus::IsLink() const { return S_ISLNK(mode); }
std::int64_t FileStatus::ModifyTimeNs() const { return Nanoseconds(modifyTime); }
std::int64_t FileStatus::ChangeTimeNs() const { return Nanoseconds(changeTime); }

namespace {
FileFault& Fault() {
  static FileFault fault;
  return fault;
}
}  // namespace

void SetFileFaultForTesting(FileFault fault) { Fault() = std::move(fault); }

int InjectedFileFault(std::string_view operation, const std::string& path) {
  const int code = Fault() ? Fault()(operation, path) : 0;
  if (code != 0) SetLastError(code);
  return code;
}

FileDescriptor OpenFile(const std::string& path, const OpenOptions& options) {
  if (InjectedFileFault("open", path) != 0) return FileDescriptor();
  FileDescriptor file(::open(path.c_str(), OpenFlags(options), options.mode));
  if (!file) {
    SetLastErrorFromErrno();
    return file;
  }
  if (options.regularOnly) {
    const std::optional<FileStatus> status = StatusOf(file);
    if (!status) return FileDescriptor();
    if (!status->IsRegular()) {
      SetLastErrorText("Not a regular file");
      return FileDescriptor();
    }
  }
  // The nearest thing to opening with no sharing: refused at once while another holder has it.
  if (options.lock && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    SetLastErrorFromErrno();
    return FileDescriptor();
  }
  return file;
}

std::optional<FileStatus> StatusOf(const FileDescriptor& file) {
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) {
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  return FromStat(st);
}

std::optional<FileStatus> StatusOfPath(const std::string& path, Links links) {
  struct stat st {};
  const int result = links == Links::kFollow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (result != 0) {
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  return FromStat(st);
}

long ReadSome(const FileDescriptor& file, char* into, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(file.get(), into, size);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) {
      SetLastErrorFromErrno();
      return -1;
    }
  }
}

long ReadAt(const FileDescriptor& file, char* into, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(file.get(), into, size, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) {
      SetLastErrorFromErrno();
      return -1;
    }
  }
}

bool ReadAll(const FileDescriptor& file, std::string& out, std::size_t blockSize) {
  if (blockSize == 0) blockSize = 65536;
  const auto buffer = std::make_unique<char[]>(blockSize);
  for (;;) {
    const long got = ReadSome(file, buffer.get(), blockSize);
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer.get(), static_cast<std::size_t>(got));
  }
}

bool WriteAll(const FileDescriptor& file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(file.get(), bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

bool SyncFile(const FileDescriptor& file) {
  if (::fsync(file.get()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const FileDescriptor dir(::open(folder.c_str(), OpenFlags({.directory = true})));
  if (!dir || ::fsync(dir.get()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

EntryState FileEntryState(const std::string& path) {
  const std::optional<FileStatus> status = StatusOfPath(path, Links::kNoFollow);
  if (!status) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return EntryState::kMissing;
    return EntryState::kUnknown;
  }
  return status->IsDirectory() ? EntryState::kDirectory : EntryState::kFile;
}

bool IsExistingFile(const std::string& path) {
  const std::optional<FileStatus> status = StatusOfPath(path, Links::kFollow);
  return status && !status->IsDirectory();
}

bool RemoveFileEntry(const std::string& path) {
  // unlink never follows a link and refuses a directory (EISDIR), which is what we want.
  if (::unlink(path.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

void DiscardFile(const std::string& path) { ::unlink(path.c_str()); }

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

namespace {

bool MayAccess(const std::string& path, int mode) {
  if (::access(path.c_str(), mode) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace

bool CanRead(const std::string& path) { return MayAccess(path, R_OK); }
bool CanCreateIn(const std::string& folder) { return MayAccess(folder, W_OK | X_OK); }

bool ReadWholeFile(const std::string& fileName, std::string& content) {
  const FileDescriptor file = OpenFile(fileName, OpenOptions{});
  std::string data;
  if (!file || !ReadAll(file, data)) return false;
  content = std::move(data);
  return true;
}

bool WriteWholeFile(const std::string& fileName, std::string_view content, unsigned createMode) {
  FileDescriptor file = OpenFile(fileName, {.access = kWrite,
                                            .create = true,
                                            .truncate = true,
                                            .mode = static_cast<mode_t>(createMode)});
  return file && WriteAll(file, content) && file.Close();
}

bool SaveAttachmentFile(const std::string& path, std::string_view content) {
  return SaveAttachmentFile(path, [content](const PieceWriter& write) { return write(content); });
}

bool SaveAttachmentFile(const std::string& path, const std::function<bool(const PieceWriter&)>& produce) {
  FileDescriptor file = OpenFile(path, {.access = kWrite, .noFollow = true, .create = true, .truncate = true});
  if (!file) return false;
  int error = 0;
  const bool written = produce([&](std::string_view piece) {
    if (WriteAll(file, piece)) return true;
    error = errno;
    return false;
  });
  if (!written && error == 0) error = EIO;
  if (!file.Close() && error == 0) error = errno;
  if (error == 0) return true;
  DiscardFile(path);
  SetLastError(error);
  return false;
}

bool TryLockFile(const FileDescriptor& file, LockKind kind) {
  if (::flock(file.get(), (kind == LockKind::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

void UnlockFile(const FileDescriptor& file) { ::flock(file.get(), LOCK_UN); }

bool RenameReplacing(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool TakeOwnerAndMode(const FileDescriptor& file, const FileStatus& like) {
  // The owner first: a change of owner may clear set-id bits, which the mode then sets as asked.
  if (::fchown(file.get(), like.owner, like.group) != 0) {
    // Not allowed to give the file away; the group alone may still be ours to set.
    (void)::fchown(file.get(), static_cast<uid_t>(-1), like.group);
  }
  if (::fchmod(file.get(), like.mode & 07777) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace droprelay::platform
