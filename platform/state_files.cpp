#include "platform/state_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
                                          .create = true, .exclusive = true,
                                          .mode = static_cast<mode_t>(mode)});
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
  SyncFolder(folder);
  return true;
}

bool RemoveFileDurably(const std::string& path) {
  if (FileEntryState(path) == EntryState::kMissing) return true;
  if (!RemoveFileEntry(path)) return false;
  SyncFolder(FolderOf(path));
  return true;
}

bool PrepareWritableFolder(const std::string& folder) {
  if (folder.empty()) {
    SetLastError(ENOENT);
    return false;
  }
  if (!RealFileSystem().CreateFolderPath(folder)) return false;
  std::string probe;
  FileDescriptor file = CreateFreshFile(folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder,
                                        ".probe-", probe);
  if (!file) return false;
  file.Close();
  DiscardFile(probe);
  return true;
}

bool CanListFolder(const std::string& folder) { return DirectorySearch(folder).IsOpen(); }

std::optional<std::string> MakePrivateFolder(const std::string& parent) {
  std::string path = parent + "droprelay-XXXXXX";
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

}  // namespace droprelay::platform
