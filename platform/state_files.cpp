#include "platform/state_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/random.h"
#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A new file of its own in `folder` under a fresh hidden name (never a name that already stands
// there, a planted link included); its path in `path`.
FileDescriptor CreateFreshFile(const std::string& folder, const char* prefix, std::string& path,
                               unsigned mode = 0600) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    path = folder + "/" + prefix + RandomHex(12);
    FileDescriptor file = OpenFile(path, {.access = OpenOptions::Access::kWrite, .noFollow = true,
                                          .create = true, .exclusive = true, .mode = 0600});
    if (file && mode != 0600 && ::fchmod(file.get(), static_cast<mode_t>(mode)) != 0) {
      SetLastErrorFromErrno();
      DiscardFile(path);
      return FileDescriptor();
    }
    if (file || LastErrorCode() != EEXIST) return file;
  }
  return FileDescriptor();
}

}  // namespace

std::optional<FileFacts> EntryFacts(const std::string& path) {
  const std::optional<FileStatus> status = StatusOfPath(path, Links::kNoFollow);
  if (!status) return std::nullopt;
  FileFacts facts;
  facts.device = static_cast<std::uint64_t>(status->device);
  facts.inode = static_cast<std::uint64_t>(status->inode);
  facts.size = status->size;
  facts.mtimeNs = status->ModifyTimeNs();
  facts.regular = status->IsRegular();
  return facts;
}

bool WriteFileDurably(const std::string& path, std::string_view content, unsigned mode) {
  const std::string folder = FolderOf(path);
  std::string temp;
  FileDescriptor file = CreateFreshFile(folder, ".tmp-", temp, mode);
  if (!file) return false;
  bool ok = WriteAll(file, content) && SyncFile(file);
  ok = file.Close() && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    SetLastErrorFromErrno();
    ok = false;
  }
  if (!ok) {
    DiscardFile(temp);
    return false;
  }
  return SyncFolder(folder);
}

bool RemoveFileDurably(const std::string& path) {
  if (FileEntryState(path) == EntryState::kMissing) return true;
  if (!RemoveFileEntry(path)) return false;
  return SyncFolder(FolderOf(path));
}

bool OverwriteStartDurably(const std::string& path, std::string_view bytes) {
  FileDescriptor file = OpenFile(path, {.access = OpenOptions::Access::kWrite, .noFollow = true, .regularOnly = true});
  if (!file) return false;
  const bool ok = WriteAll(file, bytes) && SyncFile(file);
  return file.Close() && ok;
}

bool PrepareWritableFolder(const std::string& folder, const std::string& probePrefix) {
  if (folder.empty()) {
    SetLastError(ENOENT);
    return false;
  }
  if (!RealFileSystem().CreateFolderPath(folder)) return false;
  std::string probe;
  FileDescriptor file = CreateFreshFile(folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder,
                                        probePrefix.c_str(), probe);
  if (!file) return false;
  // Real data, flushed: an empty file passes in a full file system that cannot take one block.
  const bool ok = WriteAll(file, std::string(4096, 'x')) && SyncFile(file);
  const bool closed = file.Close();
  {
    KeepLastError keep;
    DiscardFile(probe);
  }
  return ok && closed;
}

bool CanListFolder(const std::string& folder) { return DirectorySearch(folder).IsOpen(); }

std::optional<std::string> MakePrivateFolder(const std::string& parent, const std::string& prefix) {
  std::string path = parent + prefix + "XXXXXX";
  if (!::mkdtemp(path.data())) {  // created with mode 0700, under a name nobody could plant
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  return path + "/";
}

bool RemovePrivateFolder(const std::string& folder) {
  std::vector<std::string> names;
  {
    DirectorySearch search(folder);
    if (!search.IsOpen()) return FileEntryState(folder) == EntryState::kMissing;
    while (const std::optional<std::string> name = search.NextFile()) names.push_back(*name);
  }
  const std::string base = folder.back() == '/' ? folder : folder + "/";
  for (const std::string& name : names) RemoveFileEntry(base + name);
  if (::rmdir(folder.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

int RemoveLeftovers(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  {
    // Folders too: a private folder is one.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return 0;
    while (const struct dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
  }
  const std::string base = folder.back() == '/' ? folder : folder + "/";
  int removed = 0;
  for (const std::string& name : names) {
    const std::optional<FileStatus> status = StatusOfPath(base + name, Links::kNoFollow);
    if (!status) continue;
    const bool gone = status->IsDirectory() ? RemovePrivateFolder(base + name + "/") : RemoveFileEntry(base + name);
    if (gone) ++removed;
  }
  return removed;
}

FolderLock::~FolderLock() { Release(); }

void FolderLock::Release() { file_.Reset(); }

FolderLock::Result FolderLock::Acquire(const std::string& lockFile) {
  if (file_) return Result::kLocked;
  // Created when missing, never through a link; the lock is refused at once while another holds it.
  file_ = OpenFile(lockFile, {.access = OpenOptions::Access::kReadWrite, .noFollow = true, .create = true,
                              .lock = true, .mode = 0600});
  if (file_) return Result::kLocked;
  return LastErrorCode() == EWOULDBLOCK ? Result::kHeldByAnother : Result::kFailed;
}

FolderLock::Result FolderLock::AcquireFolder(const std::string& folder) {
  if (file_) return Result::kLocked;
  file_ = OpenFile(folder, {.directory = true, .lock = true});
  if (file_) return Result::kLocked;
  return LastErrorCode() == EWOULDBLOCK ? Result::kHeldByAnother : Result::kFailed;
}

std::optional<std::string> ResolvedPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) {
    SetLastErrorFromErrno();
    return std::nullopt;
  }
  std::string result = resolved.get();
  if (!path.empty() && path.back() == '/' && result.back() != '/') result += '/';
  return result;
}

}  // namespace droprelay::platform
