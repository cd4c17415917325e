#include "platform/file_system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

std::uint64_t entriesRead = 0;

std::string ParentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Copies a regular file (opened without following links) into `tempPath`, created exclusively so
// nothing planted under that name can be written through. Answers the errno of the first failure.
int CopyRegularFile(const std::string& from, const std::string& tempPath) {
  const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st {};
  if (::fstat(in, &st) != 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  const int out = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  int error = 0;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(got))) {
      error = errno;
      break;
    }
  }
  if (error == 0 && ::fchmod(out, st.st_mode & 07777) != 0) error = errno;
  if (error == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);  // a lost timestamp is no reason to keep the file where it is
  }
  if (error == 0 && ::fsync(out) != 0) error = errno;
  if (::close(out) != 0 && error == 0) error = errno;
  ::close(in);
  return error;
}

// The cross-file-system move: copy beside the target, rename over it, then remove the source.
bool MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  const std::string folder = ParentFolder(to);
  std::string tempPath = folder + "/.droprelay-move-XXXXXX";
  // mkstemp reserves a unique name; the copy then recreates it exclusively.
  const int reserved = ::mkstemp(tempPath.data());
  if (reserved < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  ::close(reserved);
  ::unlink(tempPath.c_str());

  int error = 0;
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
    if (length < 0) {
      error = errno;
    } else {
      target.resize(static_cast<std::size_t>(length));
      if (::symlink(target.c_str(), tempPath.c_str()) != 0) error = errno;
    }
  } else if (S_ISREG(st.st_mode)) {
    error = CopyRegularFile(from, tempPath);
  } else {
    // Sockets, pipes and devices cannot be carried to another file system.
    error = EXDEV;
  }
  if (error == 0 && ::rename(tempPath.c_str(), to.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(tempPath.c_str());
    SetLastError(error);
    return false;
  }
  SyncFolder(folder);
  // The copy is safe in place; a source that cannot be removed makes this attempt fail, and the
  // next attempt replaces the copy again.
  if (::unlink(from.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace

DirectorySearch::DirectorySearch(const std::string& folder) {
  dir_ = ::opendir(folder.empty() ? "" : folder.c_str());
  if (!dir_) SetLastErrorFromErrno();
}

DirectorySearch::~DirectorySearch() {
  if (dir_) ::closedir(dir_);
}

std::optional<std::string> DirectorySearch::NextFile() {
  if (!dir_) return std::nullopt;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir_);
    if (!entry) {
      if (errno != 0) SetLastErrorFromErrno();
      return std::nullopt;
    }
    ++entriesRead;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      // Some file systems do not say; ask without following a link.
      struct stat st {};
      if (::fstatat(::dirfd(dir_), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
      type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_DIR) continue;
    return std::string(entry->d_name);
  }
}

std::optional<std::string> FindFirstFile(const std::string& folder) {
  DirectorySearch search(folder);
  return search.NextFile();
}

std::uint64_t DirectoryEntriesRead() { return entriesRead; }

bool FileSystem::FileExists(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool FileSystem::DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool FileSystem::MoveFileReplace(const std::string& from, const std::string& to) {
  // rename() succeeds without doing anything when both names are links to one file; the source
  // would then stay, be reported moved, and be relayed again every run.
  struct stat source {}, target {};
  if (::lstat(from.c_str(), &source) == 0 && ::lstat(to.c_str(), &target) == 0 && source.st_dev == target.st_dev &&
      source.st_ino == target.st_ino) {
    struct stat sourceFolder {}, targetFolder {};
    const bool sameEntry = ::stat(ParentFolder(from).c_str(), &sourceFolder) == 0 &&
                           ::stat(ParentFolder(to).c_str(), &targetFolder) == 0 &&
                           sourceFolder.st_dev == targetFolder.st_dev && sourceFolder.st_ino == targetFolder.st_ino &&
                           BaseName(from) == BaseName(to);
    if (sameEntry) {
      // Moving a file onto itself (archive folder = drop folder) cannot take it away.
      SetLastError(EINVAL);
      return false;
    }
    // The target already is this file: only the source name has to go.
    if (::unlink(from.c_str()) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
    return true;
  }
  // rename() neither follows a link at `from` nor at `to`: it moves or replaces the entries.
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    SetLastErrorFromErrno();
    return false;
  }
  return MoveAcrossFileSystems(from, to);
}

bool FileSystem::CreateFolderPath(const std::string& folder) {
  if (folder.empty()) {
    SetLastError(ENOENT);
    return false;
  }
  std::size_t position = 0;
  while (position != std::string::npos) {
    position = folder.find('/', position + 1);
    const std::string prefix = folder.substr(0, position);
    if (prefix.empty() || prefix == "/") continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno();
      return false;
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(ENOTDIR);
    return false;
  }
  return true;
}

FileSystem& RealFileSystem() {
  static FileSystem real;
  return real;
}

}  // namespace droprelay::platform
