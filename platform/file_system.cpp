#include "platform/file_system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/file.h"
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

// Both names stand for one file (same device and inode).
bool SameFile(const std::string& a, Links links, const std::string& b) {
  const KeepLastError keep;  // a missing name just means "not the same"
  const std::optional<FileStatus> first = StatusOfPath(a, links);
  if (!first) return false;
  const std::optional<FileStatus> second = StatusOfPath(b, links);
  return second && first->device == second->device && first->inode == second->inode;
}

// Copies a regular file (opened without following links) into `tempPath`, created exclusively so
// nothing planted under that name can be written through. Answers the errno of the first failure.
int CopyRegularFile(const std::string& from, const std::string& tempPath) {
  const FileDescriptor in = OpenFile(from, {.noFollow = true});
  if (!in) return errno;
  const std::optional<FileStatus> st = StatusOf(in);
  if (!st) return errno;
  FileDescriptor out = OpenFile(
      tempPath, {.access = OpenOptions::Access::kWrite, .noFollow = true, .create = true, .exclusive = true});
  if (!out) return errno;
  int error = 0;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const long got = ReadSome(in, buffer.data(), buffer.size());
    if (got < 0) {
      error = errno;
      break;
    }
    if (got == 0) break;
    if (!WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      error = errno;
      break;
    }
  }
  if (error == 0 && ::fchmod(out.get(), st->mode & 07777) != 0) error = errno;
  if (error == 0) {
    const struct timespec times[2] = {st->accessTime, st->modifyTime};
    ::futimens(out.get(), times);  // a lost timestamp is no reason to keep the file where it is
  }
  if (error == 0 && !SyncFile(out)) error = errno;
  if (!out.Close() && error == 0) error = errno;
  return error;
}

// The cross-file-system move: copy beside the target, rename over it, then remove the source.
bool MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  const std::optional<FileStatus> st = StatusOfPath(from, Links::kNoFollow);
  if (!st) return false;
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
  if (st->IsLink()) {
    std::string target(static_cast<std::size_t>(st->size > 0 ? st->size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
    if (length < 0) {
      error = errno;
    } else {
      target.resize(static_cast<std::size_t>(length));
      if (::symlink(target.c_str(), tempPath.c_str()) != 0) error = errno;
    }
  } else if (st->IsRegular()) {
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

DirectorySearch::DirectorySearch(const std::string& folder) : folder_(folder) {
  dir_ = ::opendir(folder.empty() ? "" : folder.c_str());
  if (!dir_) SetLastErrorFromErrno();
}

DirectorySearch::~DirectorySearch() {
  if (dir_) ::closedir(dir_);
}

std::optional<std::string> DirectorySearch::NextFile() {
  if (!dir_) return std::nullopt;
  if (const int fault = InjectedFileFault("list", folder_); fault != 0) {
    failed_ = true;
    return std::nullopt;
  }
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir_);
    if (!entry) {
      if (errno != 0) {
        SetLastErrorFromErrno();
        failed_ = true;
      }
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

// Any failure of the test, no permission included, answers false.
bool FileSystem::FileExists(const std::string& path) { return StatusOfPath(path, Links::kNoFollow).has_value(); }

bool FileSystem::DeleteFile(const std::string& path) { return RemoveFileEntry(path); }

bool FileSystem::MoveFileReplace(const std::string& from, const std::string& to) {
  // rename() succeeds without doing anything when both names are links to one file; the source
  // would then stay, be reported moved, and be relayed again every run.
  if (SameFile(from, Links::kNoFollow, to)) {
    const bool sameEntry =
        SameFile(ParentFolder(from), Links::kFollow, ParentFolder(to)) && BaseName(from) == BaseName(to);
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
  const std::optional<FileStatus> st = StatusOfPath(folder, Links::kFollow);
  if (!st) return false;
  if (!st->IsDirectory()) {
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
