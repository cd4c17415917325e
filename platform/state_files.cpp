#include "platform/state_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool Fail() {
  SetLastErrorFromErrno();
  return false;
}

bool SyncFolderOf(const std::string& path) {
  const int fd = ::open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  const bool ok = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

bool MakeFolderPath(const std::string& folder, unsigned mode) {
  std::string path;
  std::size_t pos = 0;
  while (pos <= folder.size()) {
    const std::size_t slash = folder.find('/', pos);
    const std::size_t end = slash == std::string::npos ? folder.size() : slash;
    path = folder.substr(0, end);
    pos = end + 1;
    if (path.empty()) continue;
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return Fail();
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) return Fail();
  if (!S_ISDIR(info.st_mode)) {
    SetLastError(ENOTDIR);
    return false;
  }
  return true;
}

}  // namespace

std::optional<FileFacts> EntryFacts(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  FileFacts facts;
  facts.device = static_cast<std::uint64_t>(info.st_dev);
  facts.inode = static_cast<std::uint64_t>(info.st_ino);
  facts.size = static_cast<std::uint64_t>(info.st_size);
  facts.mtimeNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  facts.regular = S_ISREG(info.st_mode);
  return facts;
}

bool IsLockedByAnother(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // A shared lock conflicts only with a writer's exclusive one, and is dropped again at once.
  const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

bool WriteFileDurably(const std::string& path, std::string_view content) {
  std::string temp = ParentOf(path) + "/.tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Fail();
  bool ok = WriteAll(fd, content) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    SetLastError(error);
    return false;
  }
  return SyncFolderOf(path);
}

bool RemoveFileDurably(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Fail();
  return SyncFolderOf(path);
}

bool PrepareWritableFolder(const std::string& folder, unsigned mode) {
  if (folder.empty()) {
    SetLastError(ENOENT);
    return false;
  }
  if (!MakeFolderPath(folder, mode)) return false;
  std::string probe = folder + (folder.back() == '/' ? "" : "/") + ".probe-XXXXXX";
  const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return Fail();
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

bool CanListFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return Fail();
  errno = 0;
  const bool ok = ::readdir(dir) != nullptr || errno == 0;
  const int error = errno;
  ::closedir(dir);
  if (!ok) SetLastError(error);
  return ok;
}

std::optional<std::string> MakePrivateFolder(const std::string& parent) {
  std::string path = parent + "droprelay-XXXXXX";
  if (!::mkdtemp(path.data())) {  // mkdtemp creates it with mode 0700
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  return path + "/";
}

bool RemovePrivateFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return errno == ENOENT ? true : Fail();
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  const std::string base = folder.back() == '/' ? folder : folder + "/";
  for (const std::string& name : names) ::unlink((base + name).c_str());
  if (::rmdir(folder.c_str()) != 0) return Fail();
  return true;
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  // link + unlink refuses an existing target on every file system that has hard links; rename
  // alone would replace it.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  if (::link(from.c_str(), to.c_str()) != 0) return Fail();
  ::unlink(from.c_str());
  return true;
}

FolderLock::~FolderLock() { Release(); }

void FolderLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FolderLock::Result FolderLock::Acquire(const std::string& lockFile) {
  if (fd_ >= 0) return Result::kLocked;
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return Result::kFailed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    SetLastError(error);
    return error == EWOULDBLOCK ? Result::kHeldByAnother : Result::kFailed;
  }
  fd_ = fd;
  return Result::kLocked;
}

}  // namespace droprelay::platform
