#include "app/disposal.h"

#include <cstring>
#include <optional>
#include <vector>

#include "app/relay_queue.h"
#include "platform/file.h"
#include "platform/sleeper.h"
#include "platform/state_files.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

// File and folder names are the file system's bytes (UTF-8 on Linux); the log holds Windows-1251.
std::string ForLog(const std::string& name) { return Utf8ToCp1251(name); }

}  // namespace

bool DisposeOfFile(const DisposalPlace& place, const std::string& dropFolder, const std::string& fileName,
                   const std::string& storedName) {
  const std::string path = dropFolder + fileName;
  const std::string stored = storedName.empty() ? fileName : storedName;
  const std::string name = ForLog(stored);
  platform::FileSystem& files = place.fileSystem;
  int attempt = 0;
  while (attempt < kDisposalAttempts && files.FileExists(path)) {
    if (place.config.Delete_or_move()) {
      if (files.DeleteFile(path)) {
        place.log(texts::FilePrefix() + name + texts::DeletedOk(), LogSeverity::kInfo);
      } else {
        place.log(texts::FilePrefix() + name + texts::DeleteFailed() + platform::SystemErrorText() + ")",
                  LogSeverity::kWarning);
      }
    } else {
      if (place.archive.empty()) {
        // An empty archive setting names no folder; moving "into" it would drop the file into
        // whatever the working folder happens to be.
        place.log("No such file or directory", LogSeverity::kError);
        place.log(texts::DisposalError(), LogSeverity::kError);
        break;
      }
      // A folder that cannot be created makes the move fail, which reports the reason.
      files.CreateFolderPath(place.archive);
      if (files.MoveFileReplace(path, place.archive + stored)) {
        place.log(texts::FilePrefix() + name + texts::MovedOk() + ForLog(place.archive), LogSeverity::kInfo);
      } else {
        place.log(texts::FilePrefix() + name + texts::MoveFailed() + platform::SystemErrorText() + ")",
                  LogSeverity::kWarning);
      }
    }
    ++attempt;
    // Only a failed attempt is followed by a wait, and the last one by none.
    if (attempt < kDisposalAttempts && files.FileExists(path)) {
      platform::Sleep(static_cast<std::uint32_t>(place.config.disposal_wait_ms()));
    }
    // A stop request ends the attempts; the file and its acceptance note stay for the next run.
    if (platform::TerminationRequested()) break;
  }
  return !files.FileExists(path);
}

bool SyncDisposal(const DisposalPlace& place, const std::string& dropFolder) {
  std::vector<std::string> folders{dropFolder};
  if (!place.config.Delete_or_move()) folders.push_back(place.archive);
  bool synced = true;
  for (const std::string& folder : folders) {
    if (!folder.empty() && !platform::SyncFolder(folder)) {
      place.log(texts::SyncFailed() + ForLog(folder) + " (" + platform::SystemErrorText() + ")", LogSeverity::kError);
      synced = false;
    }
  }
  return synced;
}

void FinishUnnoted(const DisposalPlace& place, const RelayQueue& queue, const std::string& dropFolder,
                   const std::string& fileName) {
  if (DisposeOfFile(place, dropFolder, fileName)) {
    SyncDisposal(place, dropFolder);
    queue.ForgetNote(fileName);
    return;
  }
  const std::string marked = std::string(kAcceptedMark) + fileName;
  if (platform::RenameNoReplace(dropFolder + fileName, dropFolder + marked)) {
    place.log(texts::FilePrefix() + ForLog(fileName) + texts::MarkedAccepted() + ForLog(marked), LogSeverity::kError);
    platform::SyncFolder(dropFolder);
  }
}

void DisposeOfMarked(const DisposalPlace& place, const std::string& dropFolder) {
  std::vector<std::string> marked;
  {
    platform::DirectorySearch search(dropFolder);
    while (const std::optional<std::string> name = search.NextFile()) {
      if (name->rfind(kAcceptedMark, 0) == 0 && name->size() > std::strlen(kAcceptedMark)) marked.push_back(*name);
    }
  }
  for (const std::string& name : marked) {
    const std::string original = name.substr(std::strlen(kAcceptedMark));
    place.log(texts::FilePrefix() + ForLog(original) + texts::AlreadyAccepted(), LogSeverity::kInfo);
    if (DisposeOfFile(place, dropFolder, name, original)) SyncDisposal(place, dropFolder);
  }
}

}  // namespace droprelay
