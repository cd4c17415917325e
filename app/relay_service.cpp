#include "app/relay_service.h"

#include <cerrno>
#include <stdexcept>

#include "platform/sleeper.h"
#include "platform/syserror.h"
#include "submit/submission.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

// File and folder names are the file system's bytes (UTF-8 on Linux); the log holds Windows-1251.
std::string ForLog(const std::string& name) { return Utf8ToCp1251(name); }

}  // namespace

RelayService::RelayService(platform::ProgramFiles files, RelayHost& host, LogView* view)
    : files_(std::move(files)),
      host_(host),
      fileSystem_(&platform::RealFileSystem()),
      relay_(RelayMessageFile),
      correction_([](const std::string& connectionString, const LogFunction& log) {
        CorrectScheduledTime(connectionString, CurrentLocalClockTime(), log);
      }),
      log_(files_.logFile, [this] { return MaxLogLength(); }, view, CurrentLocalDateTime),
      logFunction_([this](const std::string& message) { mainlog(message); }) {}

RelayService::~RelayService() = default;

void RelayService::SetDateTimeSource(DateTimeSource now) { log_.SetDateTimeSource(std::move(now)); }

int RelayService::MaxLogLength() const {
  // Without the configuration (before start-up or after shutdown) the log cannot be bounded; the
  // log treats this like any other failure of its own.
  if (!config_) throw std::logic_error("configuration not open");
  return config_->Max_log_length();
}

void RelayService::mainlog(const std::string& message) { log_.mainlog(message); }

void RelayService::FormCreate() {
  ConfigFile_ = std::make_unique<platform::IniFile>(files_.configFile);
  config_ = std::make_unique<RelayConfig>(*ConfigFile_);

  log_.Clear();
  log_.LoadFromFile();
  mainlog(" ");
  mainlog(texts::WorkStarted());

  if (config_->showmainform()) host_.SetShowMainForm(true);

  // The folder is used as a plain prefix of attachment paths; a missing final "/" would put the
  // attachment beside the folder instead of into it.
  TempFolder_ = WithTrailingDelimiter(config_->temppath());
  // An empty value names no folder: attachments would land in whatever the working folder is.
  if (TempFolder_.empty()) TempFolder_ = kDefaultTempPath;
  SubstitutionTable_ = LoadSubstitutionTable(*ConfigFile_);

  if (config_->correct_scheduled_time() && correction_) correction_(config_->ConnectionString(), logFunction_);
}

void RelayService::FormDestroy() {
  if (destroyed_ || !config_) return;
  destroyed_ = true;
  // The run is over: the mail session kept open between its messages is closed (QUIT).
  EndMapiSession();
  mainlog(texts::WorkFinished());
  config_.reset();
  ConfigFile_.reset();
}

void RelayService::WorkTimerTimer() {
  host_.SetWorkTimerEnabled(false);
  try {
    RunCycle();
  } catch (...) {
    // Every step guards itself; what could still arrive here (memory exhausted) must not end the
    // program with the drop file half handled, so the next cycle simply tries again.
  }
  host_.SetWorkTimerEnabled(true);
}

void RelayService::RunCycle() {
  if (!config_) return;
  // A folder without its final "/" would otherwise be searched as a name prefix in its parent.
  const std::string dropFolder = WithTrailingDelimiter(config_->Smtp_DropMail_path());
  mainlog(texts::ScanningFolder() + ForLog(dropFolder));

  platform::DirectorySearch search(dropFolder);
  const std::optional<std::string> fileName = search.NextFile();
  if (!fileName) {
    mainlog(texts::NoNewFiles());
    host_.CloseMainForm();
    return;
  }

  bool outcome = false;
  try {
    const RelayContext context{*config_, logFunction_, TempFolder_, SubstitutionTable_};
    outcome = relay_(context, dropFolder, *fileName);
  } catch (...) {
    // The relay step guards itself; anything escaping it keeps the file for a later cycle.
    outcome = false;
  }
  if (outcome) DisposeOfFile(dropFolder, *fileName);
}

void RelayService::DisposeOfFile(const std::string& dropFolder, const std::string& fileName) {
  try {
    const std::string path = dropFolder + fileName;
    const std::string name = ForLog(fileName);
    int attempt = 0;
    while (attempt < kDisposalAttempts && fileSystem_->FileExists(path)) {
      const std::string archive = WithTrailingDelimiter(config_->moveto_path());
      const bool deleteFile = config_->Delete_or_move();
      if (deleteFile) {
        if (fileSystem_->DeleteFile(path)) {
          mainlog(texts::FilePrefix() + name + texts::DeletedOk());
        } else {
          mainlog(texts::FilePrefix() + name + texts::DeleteFailed() + platform::SystemErrorText() + ")");
        }
      } else {
        if (archive.empty()) {
          // An empty archive setting names no folder; moving "into" it would drop the file into
          // whatever the working folder happens to be.
          platform::SetLastError(ENOENT);
          throw std::runtime_error("no archive folder");
        }
        // A folder that cannot be created makes the move fail, which reports the reason.
        fileSystem_->CreateFolderPath(archive);
        if (fileSystem_->MoveFileReplace(path, archive + fileName)) {
          mainlog(texts::FilePrefix() + name + texts::MovedOk() + ForLog(archive));
        } else {
          mainlog(texts::FilePrefix() + name + texts::MoveFailed() + platform::SystemErrorText() + ")");
        }
      }
      ++attempt;
      // Only a failed attempt is followed by a wait, and the last one by none.
      if (attempt < kDisposalAttempts && fileSystem_->FileExists(path)) platform::Sleep(kDisposalWaitMs);
    }
  } catch (...) {
    mainlog(platform::SystemErrorText());
    mainlog(texts::DisposalError());
  }
}

}  // namespace droprelay
