#include "app/relay_service.h"


#include <cerrno>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include "app/config_check.h"
#include "platform/sleeper.h"
#include "platform/syslog_socket.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"
#include "platform/file.h"
#include "submit/submission.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

// File and folder names are the file system's bytes (UTF-8 on Linux); the log holds Windows-1251.
std::string ForLog(const std::string& name) { return Utf8ToCp1251(name); }

// A moment for the log, in the log's own date and time form.
std::string FormatMoment(std::int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local {};
  ::localtime_r(&when, &local);
  return FormatLogTimestamp(LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                          local.tm_min, local.tm_sec});
}

constexpr std::int64_t kSecondsPerDay = 86400;

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
      logFunction_([this](const std::string& message) { mainlog(message); }),
      clock_([] { return std::chrono::system_clock::now(); }),
      errors_(&std::cerr) {}

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
  // What the configuration file cannot mean as written, and sending switched off, said at every start.
  for (const StartNotice& notice : StartUpNotices(*config_)) {
    log_.mainlog(notice.logLine, LogSeverity::kWarning);
    *errors_ << "droprelay: " << notice.errorLine << std::endl;
  }

  if (config_->showmainform()) host_.SetShowMainForm(true);

  // The folder is used as a plain prefix of attachment paths; a missing final "/" would put the
  // attachment beside the folder instead of into it.
  TempFolder_ = WithTrailingDelimiter(config_->temppath());
  // An empty value names no folder: attachments would land in whatever the working folder is.
  if (TempFolder_.empty()) TempFolder_ = kDefaultTempPath;
  SubstitutionTable_ = LoadSubstitutionTable(*ConfigFile_);

  if (!StartUpChecks()) return;
  if (config_->correct_scheduled_time() && correction_) correction_(config_->ConnectionString(), logFunction_);
}

void RelayService::EndRun(int status) {
  ended_ = true;
  exitStatus_ = status;
  host_.CloseMainForm();
}

void RelayService::StartUpFailure(int status, const std::string& logLine, const std::string& errorLine) {
  mainlog(logLine);
  *errors_ << "droprelay: " << errorLine << std::endl;
  EndRun(status);
}

// Everything a run needs is checked before any file is taken, so a wrong setting stops the run
// loudly instead of sending messages without their attachments, or sending them again and again.
bool RelayService::StartUpChecks() {
  if (configRequired_) {
    std::string content;
    if (!platform::ReadWholeFile(files_.configFile, content)) {
      const std::string error = platform::SystemErrorText();
      StartUpFailure(kExitConfig, texts::ConfigUnreadable() + ForLog(files_.configFile) + " (" + error + ")",
                     "cannot read the configuration file " + files_.configFile + ": " + error);
      return false;
    }
  }

  const std::string dropFolder = WithTrailingDelimiter(config_->Smtp_DropMail_path());
  if (dropFolder.empty() || !platform::CanListFolder(dropFolder)) {
    const std::string error = platform::SystemErrorText();
    StartUpFailure(kExitNoInput, texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")",
                   "cannot read the drop folder " + dropFolder + ": " + error);
    return false;
  }

  const auto unusable = [this](const std::string& folder) {
    const std::string error = platform::SystemErrorText();
    StartUpFailure(kExitCantCreate, texts::FolderUnusable() + ForLog(folder) + " (" + error + ")",
                   "cannot write to the folder " + folder + ": " + error);
    return false;
  };

  queue_ = std::make_unique<RelayQueue>(StateFolder(*config_, dropFolder));
  if (!queue_->Prepare()) return unusable(queue_->Folder());
  // One run per drop folder: a second one would send the same files a second time.
  switch (runLock_.Acquire(queue_->LockFile())) {
    case platform::FolderLock::Result::kLocked:
      break;
    case platform::FolderLock::Result::kHeldByAnother:
      // The busy folder: the drop folder, whose state folder is its own unless state_path names
      // one that several drop folders share.
      mainlog(texts::AnotherRunActive() + ForLog(config_->state_path().empty() ? dropFolder : queue_->Folder()));
      report_.lockedOut = true;
      EndRun(kExitTempFail);
      return false;
    case platform::FolderLock::Result::kFailed:
      return unusable(queue_->LockFile());
  }

  if (!platform::CanCreateIn(dropFolder)) return unusable(dropFolder);
  if (!platform::PrepareWritableFolder(TempFolder_)) return unusable(TempFolder_);
  if (!config_->Delete_or_move()) {
    const std::string archive = WithTrailingDelimiter(config_->moveto_path());
    if (archive.empty()) platform::SetLastError(ENOENT);
    if (archive.empty() || !platform::PrepareWritableFolder(archive)) return unusable(archive);
  }
  const std::string failed = FailedFolder(*config_, dropFolder);
  if (!platform::PrepareWritableFolder(failed)) return unusable(failed);

  queue_->ForgetVanished(dropFolder);
  return true;
}

void RelayService::FormDestroy() {
  if (destroyed_ || !config_) return;
  destroyed_ = true;
  if (platform::TerminationRequested()) mainlog(texts::StopRequested());
  // The run is over: the mail session kept open between its messages is closed (QUIT).
  EndMapiSession();
  // Told before the last log line, so that line ends the run on standard error too.
  FinishRunReport(report_, *config_, exitStatus_, Now(), *errors_, platform::StderrIsJournalStream());
  mainlog(texts::WorkFinished());
  runLock_.Release();
  config_.reset();
  ConfigFile_.reset();
}

void RelayService::WorkTimerTimer() {
  if (ended_) return;
  host_.SetWorkTimerEnabled(false);
  try {
    RunCycle();
  } catch (...) {
    // Every step guards itself; what could still arrive here (memory exhausted) must not end the
    // program with the drop file half handled, so the next cycle simply tries again.
  }
  ReportQueueState();
  host_.SetWorkTimerEnabled(true);
}

std::int64_t RelayService::Now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_().time_since_epoch()).count();
}

void RelayService::RunCycle() {
  if (!config_ || ended_ || !queue_) return;
  // A stop request ends the run between steps; the event loop closes the window.
  if (platform::TerminationRequested()) return;
  // A folder without its final "/" would otherwise be searched as a name prefix in its parent.
  const std::string dropFolder = WithTrailingDelimiter(config_->Smtp_DropMail_path());
  mainlog(texts::ScanningFolder() + ForLog(dropFolder));

  platform::DirectorySearch search(dropFolder);
  if (!search.IsOpen()) {
    const std::string error = platform::SystemErrorText();
    mainlog(texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")");
    *errors_ << "droprelay: cannot read the drop folder " << dropFolder << ": " << error << std::endl;
    EndRun(kExitNoInput);
    return;
  }

  const auto now = clock_();
  const std::int64_t nowSeconds = Now();
  std::vector<std::string> settling;  // files still being written keep the run going
  std::map<std::string, std::int64_t> waiting;
  while (const std::optional<std::string> fileName = search.NextFile()) {
    // Hidden names are temporary files of writers (and of this relay), never messages.
    if (fileName->empty() || fileName->front() == '.') continue;
    // Looked at without opening the file: the one read of the message comes later, under its lock.
    const std::optional<platform::FileFacts> facts = platform::EntryFacts(dropFolder + *fileName);
    if (!facts) continue;  // gone meanwhile
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(facts->mtimeNs)));
    if (facts->regular && now - modified < kSettleTime) {
      settling.push_back(*fileName);
      continue;
    }
    if (const auto known = deferredInRun_.find(*fileName); known != deferredInRun_.end() && known->second > nowSeconds) {
      waiting[*fileName] = known->second;
      continue;
    }
    const std::optional<Deferral> deferral = queue_->FindDeferral(*fileName, *facts);
    if (deferral && deferral->nextDue > nowSeconds) {
      waiting[*fileName] = deferral->nextDue;
      continue;
    }
    HandleFile(dropFolder, *fileName, *facts, deferral);
    return;
  }
  if (!settling.empty()) return;  // looked at again at the next cycle

  for (const auto& [name, due] : waiting) {
    mainlog(texts::FilePrefix() + ForLog(name) + texts::WaitingUntil() + FormatMoment(due));
  }
  mainlog(texts::NoNewFiles());
  EndRun(waiting.empty() ? kExitOk : kExitTempFail);
}

void RelayService::HandleFile(const std::string& dropFolder, const std::string& fileName,
                              const platform::FileFacts& facts, const std::optional<Deferral>& deferral) {
  const std::string path = dropFolder + fileName;
  if (!facts.regular) {
    mainlog(texts::FoundFile() + ForLog(fileName));
    Quarantine(dropFolder, fileName, texts::ReasonNotRegular());
    return;
  }
  // Accepted before, but the run ended before the file was disposed of: never send it twice.
  if (queue_->WasAccepted(fileName, facts)) {
    mainlog(texts::FilePrefix() + ForLog(fileName) + texts::AlreadyAccepted());
  } else {
    RelayOutcome outcome;
    try {
      const RelayContext context{*config_, logFunction_, TempFolder_, SubstitutionTable_};
      outcome = relay_(context, dropFolder, fileName);
    } catch (...) {
      // The relay step guards itself; anything escaping it keeps the file for a later attempt.
      outcome = RelayOutcome(RelayOutcome::Kind::kTemporary, texts::ReasonSendFailed());
    }
    // A submission cut short by a stop request is no failure: the file stays as it is for the next run.
    if (outcome.kind == RelayOutcome::Kind::kTemporary && platform::TerminationRequested()) return;
    if (outcome.kind == RelayOutcome::Kind::kPermanent) {
      Quarantine(dropFolder, fileName, outcome.reason);
      return;
    }
    if (outcome.kind == RelayOutcome::Kind::kConfiguration) {
      // Not the message's fault and not mended by waiting: the file stays as it is, without a
      // waiting time, and the run ends as a configuration error.
      StartUpFailure(kExitConfig, texts::ConfigurationStop() + outcome.reason, ConfigurationProblem(*config_));
      return;
    }
    if (outcome.kind == RelayOutcome::Kind::kTemporary && outcome.reason == texts::ReasonLocked()) {
      // Its writer still holds it: taken again at the next cycle, like a file modified just now,
      // but a writer that never lets go must not keep the run going for ever.
      const std::int64_t now = Now();
      const std::int64_t since = lockedSince_.emplace(fileName, now).first->second;
      if (now - since < kSettleLimit.count()) return;
      lockedSince_.erase(fileName);
    }
    if (outcome.kind == RelayOutcome::Kind::kTemporary) {
      Defer(fileName, facts, deferral, outcome.reason);
      return;
    }
    // The acceptance is on disk before the file is touched, so a crash from here on cannot make
    // the message go out twice.
    if (config_->send_mail()) report_.NoteRelayed();
    if (!queue_->RecordAccepted(fileName, facts)) {
      mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")");
    }
  }
  if (DisposeOfFile(dropFolder, fileName)) {
    queue_->ForgetAccepted(fileName);
    queue_->ForgetDeferral(fileName);
  } else if (fileSystem_->FileExists(path) && !platform::TerminationRequested()) {
    // Kept with its acceptance noted: later attempts dispose of it without sending it again.
    Defer(fileName, facts, deferral, texts::ReasonNotDisposed());
  }
}

void RelayService::Defer(const std::string& fileName, const platform::FileFacts& facts,
                         const std::optional<Deferral>& previous, const std::string& reason) {
  const std::int64_t now = Now();
  Deferral deferral = previous.value_or(Deferral{facts, now, 0, 0, Outcome::kSendFailed, {}});
  deferral.facts = facts;
  deferral.lastReason = reason;
  ++deferral.attempts;
  int days = config_->max_queue_days();
  if (days < 0) days = kDefaultMaxQueueDays;
  if (now - deferral.firstFailure >= static_cast<std::int64_t>(days) * kSecondsPerDay) {
    Quarantine(WithTrailingDelimiter(config_->Smtp_DropMail_path()), fileName,
               texts::ReasonExpired() + std::to_string(days) + " (" + reason + ")");
    return;
  }
  deferral.nextDue = now + RetryWaitSeconds(deferral.attempts);
  deferredInRun_[fileName] = deferral.nextDue;
  report_.NoteDeferred(fileName, reason);
  mainlog(texts::FilePrefix() + ForLog(fileName) + texts::DeferredUntil() + FormatMoment(deferral.nextDue) +
          texts::AttemptNumber() + std::to_string(deferral.attempts) + "): " + reason);
  if (!queue_->SaveDeferral(fileName, deferral)) {
    mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")");
  }
}

void RelayService::Quarantine(const std::string& dropFolder, const std::string& fileName, const std::string& reason) {
  const std::string path = dropFolder + fileName;
  const std::string failed = FailedFolder(*config_, dropFolder);
  bool moved = platform::PrepareWritableFolder(failed);
  if (moved) {
    // An earlier file of the same name stays: it is another message waiting for a person.
    std::string target = failed + fileName;
    for (int n = 1; fileSystem_->FileExists(target); ++n) target = failed + fileName + "." + std::to_string(n);
    moved = platform::RenameNoReplace(path, target);
    // Another file system: copied, flushed and renamed into place, then the source removed.
    if (!moved && !fileSystem_->FileExists(target)) moved = fileSystem_->MoveFileReplace(path, target);
  }
  if (moved) {
    mainlog(texts::FilePrefix() + ForLog(fileName) + texts::Quarantined() + ForLog(failed) + ": " + reason);
    queue_->ForgetDeferral(fileName);
    queue_->ForgetAccepted(fileName);
    deferredInRun_.erase(fileName);
    report_.NoteQuarantined(fileName, reason);
    return;
  }
  mainlog(texts::FilePrefix() + ForLog(fileName) + texts::QuarantineFailed() + platform::SystemErrorText() + ") " +
          reason);
  // Not taken again in this run; the next run tries again.
  deferredInRun_[fileName] = Now() + RetryWaitSeconds(1);
}

bool RelayService::DisposeOfFile(const std::string& dropFolder, const std::string& fileName) {
  const std::string path = dropFolder + fileName;
  try {
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
      // A stop request ends the attempts; the file and its acceptance note stay for the next run.
      if (platform::TerminationRequested()) break;
    }
  } catch (...) {
    mainlog(platform::SystemErrorText());
    mainlog(texts::DisposalError());
  }
  return !fileSystem_->FileExists(path);
}

// Counted from the folders, not from this run's memory: files deferred or set aside by earlier
// runs count too. A quarantined message's .reason note is not a message of its own.
void RelayService::ReportQueueState() {
  if (!config_ || !queue_) return;
  const auto count = [](const std::string& folder, bool skipNotes) {
    int n = 0;
    platform::DirectorySearch search(folder);
    while (const std::optional<std::string> name = search.NextFile()) {
      if (name->empty() || name->front() == '.') continue;
      if (skipNotes && name->size() > 7 && name->compare(name->size() - 7, 7, ".reason") == 0) continue;
      ++n;
    }
    return n;
  };
  try {
    const std::string dropFolder = WithTrailingDelimiter(config_->Smtp_DropMail_path());
    host_.ReportQueueState(count(queue_->Folder() + "queue/", false), count(FailedFolder(*config_, dropFolder), true));
  } catch (...) {
  }
}

}  // namespace droprelay
