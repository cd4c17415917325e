#include "app/relay_service.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <iostream>
#include <stdexcept>

#include "app/config_check.h"
#include "app/queue_commands.h"
#include "platform/sleeper.h"
#include "platform/syslog_socket.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"
#include "platform/file.h"
#include "submit/submission.h"
#include "text/convert.h"
#include "text/log_text.h"
#include "text/texts.h"

namespace droprelay {
namespace {

// File and folder names are the file system's bytes (UTF-8 on Linux); the log holds Windows-1251.
std::string ForLog(const std::string& name) { return Utf8ToCp1251(name); }

std::int64_t SecondsOf(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}


constexpr std::int64_t kSecondsPerDay = 86400;
// More waiting files than this are told in one summary line instead of one line each.
constexpr std::size_t kWaitingListedSingly = 10;

// A value for one line of a reason file: UTF-8, with control characters (C0 but TAB, DEL, C1)
// replaced, so a reply or a name can neither break the line nor carry escape sequences along.
std::string ForReasonFile(std::string text) {
  if (!IsValidUtf8(text)) text = Cp1251ToUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F || c1) {
      out += '?';
      if (c1) ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string QuarantineReasonText(const QuarantineRecord& record) {
  std::string text = "time=" + std::to_string(record.time) + "\n";
  text += "local_time=" + FormatLogMoment(record.time) + "\n";
  text += "outcome=" + std::string(OutcomeToken(record.outcome)) + "\n";
  text += "reason=" + ForReasonFile(record.reason) + "\n";
  if (!record.reply.empty()) text += "reply=" + ForReasonFile(record.reply) + "\n";
  return text;
}

RelayService::RelayService(platform::ProgramFiles files, RelayHost& host, LogView* view)
    : files_(std::move(files)),
      host_(host),
      fileSystem_(&platform::RealFileSystem()),
      relay_(RelayMessageFile),
      correction_([this](const std::string& connectionString, const LogFunction& log) {
        const LocalDateTime now = LocalDateTimeAt(Now());
        // A database that cannot be reached is an error for the journal, not information.
        CorrectScheduledTime(connectionString, LocalClockTime{now.hour, now.minute}, log,
                             [this](const std::string& line) { mainlog(line, LogSeverity::kError); });
      }),
      // The log's timestamps come from the relay's one clock unless a test sets them apart.
      log_(files_.logFile, [this] { return MaxLogLength(); }, view, [this] { return LocalDateTimeAt(Now()); }),
      logFunction_([this](const std::string& message) { mainlog(message); }),
      severityLog_([this](const std::string& message, LogSeverity severity) { mainlog(message, severity); }),
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
void RelayService::mainlog(const std::string& message, LogSeverity severity) { log_.mainlog(message, severity); }

void RelayService::FormCreate() {
  ConfigFile_ = std::make_unique<platform::IniFile>(files_.configFile);
  config_ = std::make_unique<RelayConfig>(*ConfigFile_);

  log_.Clear();
  log_.LoadFromFile();
  mainlog(" ");
  mainlog(texts::WorkStarted(), LogSeverity::kInfo);
  // What the configuration file cannot mean as written, and sending switched off, said at every start.
  for (const StartNotice& notice : StartUpNotices(*config_)) {
    log_.mainlog(notice.logLine, LogSeverity::kWarning);
    *errors_ << ErrorLine(notice.errorLine) << std::flush;
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
  mainlog(logLine, LogSeverity::kError);
  *errors_ << ErrorLine(errorLine) << std::flush;
  EndRun(status);
}

// Everything a run needs is checked before any file is taken, so a wrong setting stops the run
// loudly instead of sending messages without their attachments, or sending them again and again.
// Each failing check's error text is taken from the check itself, at once.
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
    const std::string error = dropFolder.empty() ? std::string("No such file or directory") : platform::SystemErrorText();
    StartUpFailure(kExitNoInput, texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")",
                   "cannot read the drop folder " + dropFolder + ": " + error);
    return false;
  }

  const auto unusable = [this](const std::string& folder, const std::string& error) {
    StartUpFailure(kExitCantCreate, texts::FolderUnusable() + ForLog(folder) + " (" + error + ")",
                   "cannot write to the folder " + folder + ": " + error);
    return false;
  };

  queue_ = std::make_unique<RelayQueue>(StateFolder(*config_, dropFolder));
  if (!queue_->Prepare()) return unusable(queue_->Folder(), platform::SystemErrorText());
  // One run per drop folder: a second one would send the same files a second time.
  switch (runLock_.Acquire(queue_->LockFile())) {
    case platform::FolderLock::Result::kLocked:
      break;
    case platform::FolderLock::Result::kHeldByAnother:
      // The busy folder: the drop folder, whose state folder is its own unless state_path names
      // one that several drop folders share.
      mainlog(texts::AnotherRunActive() + ForLog(config_->state_path().empty() ? dropFolder : queue_->Folder()),
              LogSeverity::kWarning);
      report_.lockedOut = true;
      EndRun(kExitTempFail);
      return false;
    case platform::FolderLock::Result::kFailed:
      return unusable(queue_->LockFile(), platform::SystemErrorText());
  }

  if (!platform::CanCreateIn(dropFolder)) return unusable(dropFolder, platform::SystemErrorText());
  if (!platform::PrepareWritableFolder(TempFolder_)) return unusable(TempFolder_, platform::SystemErrorText());
  if (!config_->Delete_or_move()) {
    const std::string archive = WithTrailingDelimiter(config_->moveto_path());
    if (archive.empty()) return unusable(archive, "No such file or directory");
    if (!platform::PrepareWritableFolder(archive)) return unusable(archive, platform::SystemErrorText());
  }
  const std::string failed = FailedFolder(*config_, dropFolder);
  if (!platform::PrepareWritableFolder(failed)) return unusable(failed, platform::SystemErrorText());

  // What the relay accepts as a drop file of its own.
  dropRules_.maxSize = static_cast<std::uint64_t>(config_->max_message_size());
  if (::geteuid() == 0) {
    // Run as root, only files of the drop folder's owner or group are the relay's to send.
    if (const auto folder = platform::StatusOfPath(dropFolder, platform::Links::kFollow)) {
      dropRules_.owners = std::make_pair(folder->owner, folder->group);
    }
  }
  // This relay's own private folders, named after its state folder: two relays sharing
  // temppath never remove each other's.
  std::uint32_t hash = 2166136261u;
  for (const char c : queue_->Folder()) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  privatePrefix_ = std::string("droprelay-") + hex + "-";

  RemoveLeftovers(dropFolder);
  queue_->ForgetVanished(dropFolder);
  DisposeOfMarked(dropFolder);
  return true;
}

void RelayService::RemoveLeftovers(const std::string& dropFolder) {
  // Under the run lock: no other run of this relay can be using them.
  int removed = platform::RemoveLeftovers(TempFolder_, privatePrefix_);
  removed += platform::RemoveLeftovers(FailedFolder(*config_, dropFolder), ".tmp-");
  queue_->RemoveLeftovers();
  if (removed > 0) mainlog(texts::LeftoversRemoved() + std::to_string(removed), LogSeverity::kInfo);
}

void RelayService::FormDestroy() {
  if (destroyed_ || !config_) return;
  destroyed_ = true;
  if (platform::TerminationRequested()) mainlog(texts::StopRequested(), LogSeverity::kWarning);
  // The run is over: the mail session kept open between its messages is closed (QUIT).
  EndMapiSession();
  // Told before the last log line, so that line ends the run on standard error too.
  FinishRunReport(report_, *config_, exitStatus_, Now(), *errors_, platform::StderrIsJournalStream());
  mainlog(texts::WorkFinished(), LogSeverity::kInfo);
  runLock_.Release();
  config_.reset();
  ConfigFile_.reset();
}

void RelayService::WorkTimerTimer() {
  if (ended_) return;
  host_.SetWorkTimerEnabled(false);
  // The outermost frame of a cycle: nothing may end the program with the drop file half handled,
  // so whatever arrives here is logged and the next cycle simply tries again.
  try {
    RunCycle();
  } catch (const std::exception& error) {
    mainlog(texts::OutcomeReason(Outcome::kInternalError) + ": " + ForLog(error.what()), LogSeverity::kError);
  } catch (...) {
    mainlog(texts::OutcomeReason(Outcome::kInternalError), LogSeverity::kError);
  }
  ReportQueueState();
  host_.SetWorkTimerEnabled(true);
}

std::int64_t RelayService::Now() const { return SecondsOf(clock_()); }

void RelayService::RunCycle() {
  if (!config_ || ended_ || !queue_) return;
  // A stop request ends the run between steps; the event loop closes the window.
  if (platform::TerminationRequested()) return;
  // A folder without its final "/" would otherwise be searched as a name prefix in its parent.
  const std::string dropFolder = WithTrailingDelimiter(config_->Smtp_DropMail_path());
  // After a wait for files still being written, the scan that follows is the same scan.
  if (!scanLogged_) mainlog(texts::ScanningFolder() + ForLog(dropFolder), LogSeverity::kInfo);
  scanLogged_ = false;

  platform::DirectorySearch search(dropFolder);
  if (!search.IsOpen()) {
    const std::string error = platform::SystemErrorText();
    mainlog(texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")", LogSeverity::kError);
    *errors_ << ErrorLine("cannot read the drop folder " + dropFolder + ": " + error) << std::flush;
    EndRun(kExitNoInput);
    return;
  }
  // Taken in name order, as the drop folder of a Windows mail service lists them: the order files
  // go out does not depend on how the file system happens to list them.
  std::vector<std::string> names;
  while (const std::optional<std::string> fileName = search.NextFile()) {
    // Hidden names are temporary files of writers (and of this relay), never messages.
    if (!fileName->empty() && fileName->front() != '.') names.push_back(*fileName);
  }
  std::sort(names.begin(), names.end());

  const auto now = clock_();
  const std::int64_t nowSeconds = SecondsOf(now);
  std::optional<std::chrono::system_clock::time_point> firstSettled;  // files still being written
  const auto settlesAt = [&](std::chrono::system_clock::time_point due) {
    firstSettled = firstSettled ? std::min(*firstSettled, due) : due;
  };
  std::map<std::string, std::int64_t> waiting;
  for (const std::string& fileName : names) {
    // Looked at without opening the file: the one read of the message comes later, under its lock.
    const std::optional<platform::FileFacts> facts = platform::EntryFacts(dropFolder + fileName);
    if (!facts) continue;  // gone meanwhile
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(facts->mtimeNs)));
    if (facts->regular && now - modified < kSettleTime) {
      settlesAt(modified + kSettleTime);
      continue;
    }
    if (const auto held = heldUntil_.find(fileName); held != heldUntil_.end() && held->second > now) {
      settlesAt(held->second);
      continue;
    }
    if (const auto known = deferredInRun_.find(fileName); known != deferredInRun_.end() && known->second > nowSeconds) {
      waiting[fileName] = known->second;
      continue;
    }
    std::optional<Deferral> deferral = queue_->FindDeferral(fileName, *facts);
    if (deferral) {
      // Looked at, not only after another failure: a file parked far ahead (a clock that jumped,
      // a hand-edited record) still ages out, and never waits longer than the longest wait.
      if (Expired(*deferral) && !queue_->WasAccepted(fileName, *facts)) {
        HandleExpired(dropFolder, fileName, *deferral);
        return;
      }
      deferral->nextDue = std::min(deferral->nextDue, nowSeconds + RetryWaitSeconds(1000));
      if (deferral->nextDue > nowSeconds) {
        waiting[fileName] = deferral->nextDue;
        continue;
      }
    }
    HandleFile(dropFolder, fileName, *facts, deferral);
    return;
  }
  if (firstSettled) {
    // Only files still being written are left: wait until the first of them is due instead of
    // scanning the folder again and again, and let the next cycle take it.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*firstSettled - now);
    platform::Sleep(static_cast<std::uint32_t>(std::clamp<std::int64_t>(wait.count(), 1, 1000 * kSettleTime.count())));
    scanLogged_ = true;
    return;
  }

  if (waiting.size() > kWaitingListedSingly) {
    std::int64_t next = waiting.begin()->second;
    for (const auto& [name, due] : waiting) next = std::min(next, due);
    mainlog(texts::WaitingSummary() + std::to_string(waiting.size()) + texts::NextAttemptAt() + FormatLogMoment(next),
            LogSeverity::kInfo);
  } else {
    for (const auto& [name, due] : waiting) {
      mainlog(texts::FilePrefix() + ForLog(name) + texts::WaitingUntil() + FormatLogMoment(due), LogSeverity::kInfo);
    }
  }
  mainlog(texts::NoNewFiles(), LogSeverity::kInfo);
  EndRun(waiting.empty() ? kExitOk : kExitTempFail);
}

void RelayService::HandleFile(const std::string& dropFolder, const std::string& fileName,
                              const platform::FileFacts& facts, const std::optional<Deferral>& deferral) {
  const std::string path = dropFolder + fileName;
  if (!facts.regular) {
    mainlog(texts::FoundFile() + ForLog(fileName), LogSeverity::kInfo);
    Quarantine(dropFolder, fileName, RelayOutcome(Outcome::kNotRegular), texts::ReasonNotRegular());
    return;
  }
  const JournalLookup found = queue_->ReadNote(fileName);
  if (found.kind == JournalLookup::Kind::kNotAFile || found.kind == JournalLookup::Kind::kUnreadable) {
    // No proof either way: never archived as sent, never sent again without a person looking.
    if (found.kind == JournalLookup::Kind::kNotAFile) queue_->SetNoteAside(fileName);
    Quarantine(dropFolder, fileName, RelayOutcome(Outcome::kJournalUnreadable),
               texts::OutcomeReason(Outcome::kJournalUnreadable));
    return;
  }
  JournalNote note;
  note.facts = facts;
  const bool same = found.kind == JournalLookup::Kind::kFound && found.note.facts == facts;
  if (same) {
    note.killed = found.note.killed;
    note.uncertain = found.note.uncertain;
    switch (found.note.state) {
      case JournalNote::State::kAccepted:
        // Accepted before, but the run ended before the file was disposed of: never sent twice.
        mainlog(texts::FilePrefix() + ForLog(fileName) + texts::AlreadyAccepted(), LogSeverity::kInfo);
        FinishAccepted(dropFolder, fileName, facts, deferral);
        return;
      case JournalNote::State::kWorking:
        ++note.killed;  // the relay died while working on it
        break;
      case JournalNote::State::kSending:
        ++note.uncertain;  // the relay died while the data may have been on its way
        break;
      case JournalNote::State::kUncertain:
      case JournalNote::State::kIdle:
        break;
    }
    if (note.killed >= 2) {
      Quarantine(dropFolder, fileName, RelayOutcome(Outcome::kKilledTwice), texts::OutcomeReason(Outcome::kKilledTwice));
      return;
    }
    if (note.uncertain >= 2) {
      Quarantine(dropFolder, fileName, RelayOutcome(Outcome::kMaybeDelivered),
                 texts::OutcomeReason(Outcome::kMaybeDelivered));
      return;
    }
  }
  // Noted before the file is even parsed: a file that kills the relay is known at the next run.
  if (!queue_->WriteNote(fileName, note)) {
    JournalFailure();
    return;
  }

  bool accepted = false;
  bool journalFailed = false;
  const std::function<bool(const platform::FileFacts&)> beforeSending = [&](const platform::FileFacts& read) {
    // From here the data may go out: noted with the facts of the file as actually read.
    JournalNote sending = note;
    sending.state = JournalNote::State::kSending;
    sending.facts = read;
    if (!queue_->WriteNote(fileName, sending)) {
      journalFailed = true;
      return false;
    }
    note = sending;
    return true;
  };
  const std::function<void(const RelayOutcome&)> afterSending = [&](const RelayOutcome& result) {
    if (result.outcome != Outcome::kDelivered) return;
    accepted = queue_->MarkAccepted(fileName);
    if (accepted) note.state = JournalNote::State::kAccepted;
  };
  RelayOutcome outcome;
  try {
    const RelayContext context{*config_, logFunction_, TempFolder_, SubstitutionTable_, &severityLog_,
                               &dropRules_, &beforeSending, &afterSending, &privatePrefix_};
    outcome = relay_(context, dropFolder, fileName);
  } catch (const std::exception& error) {
    // The relay step guards itself; anything escaping it keeps the file for a later attempt.
    mainlog(texts::OutcomeReason(Outcome::kInternalError) + ": " + ForLog(error.what()), LogSeverity::kError);
    outcome = RelayOutcome(Outcome::kInternalError);
  }
  const platform::FileFacts read = outcome.read.value_or(facts);
  if (DispositionOf(outcome.outcome) == Disposition::kStop) {
    // Not the message's fault and not mended by waiting: the file stays as it is, without a
    // waiting time, and the run ends as a configuration error.
    queue_->ForgetNote(fileName);
    StartUpFailure(kExitConfig, texts::ConfigurationStop() + texts::OutcomeReason(outcome.outcome),
                   ConfigurationProblem(*config_));
    return;
  }
  // A submission cut short by a stop request is no failure: the file stays as it is for the next run.
  if (DispositionOf(outcome.outcome) == Disposition::kDefer && outcome.outcome != Outcome::kUncertain &&
      platform::TerminationRequested()) {
    if (note.killed == 0 && note.uncertain == 0) {
      queue_->ForgetNote(fileName);
    } else {
      note.state = JournalNote::State::kIdle;
      queue_->WriteNote(fileName, note);
    }
    return;
  }

  if (outcome.outcome == Outcome::kUncertain) {
    ++note.uncertain;
    if (note.uncertain >= 2) {
      RelayOutcome twice = outcome;  // the server's last words, if any, stay with it
      twice.outcome = Outcome::kMaybeDelivered;
      Quarantine(dropFolder, fileName, twice, texts::OutcomeReason(Outcome::kMaybeDelivered));
      return;
    }
    note.state = JournalNote::State::kUncertain;
    if (!queue_->WriteNote(fileName, note)) journalFailed = true;
  } else if (DispositionOf(outcome.outcome) == Disposition::kDefer) {
    // Nothing went out, or the server said so: the note only keeps counts worth keeping.
    note.state = JournalNote::State::kIdle;
    const bool kept = note.killed == 0 && note.uncertain == 0 ? queue_->ForgetNote(fileName)
                                                               : queue_->WriteNote(fileName, note);
    if (!kept) journalFailed = true;
  }
  if (journalFailed || outcome.outcome == Outcome::kJournalUnwritable) {
    if (outcome.outcome == Outcome::kDelivered && !accepted) {
      // Accepted, but the note could not say so: disposed of, or marked in the drop folder itself.
      FinishUnnoted(dropFolder, fileName);
    }
    JournalFailure();
    return;
  }

  if (outcome.outcome == Outcome::kFileLocked) {
    // Its writer still holds it: taken again a little later, like a file modified just now, but
    // a writer that never lets go must not keep the run going for ever.
    const std::int64_t now = Now();
    const std::int64_t since = lockedSince_.emplace(fileName, now).first->second;
    if (now - since < kSettleLimit.count()) {
      heldUntil_[fileName] = clock_() + kSettleTime;
      return;
    }
    lockedSince_.erase(fileName);
    heldUntil_.erase(fileName);
  }
  switch (DispositionOf(outcome.outcome)) {
    case Disposition::kQuarantine:
      Quarantine(dropFolder, fileName, outcome, texts::OutcomeReason(outcome.outcome));
      return;
    case Disposition::kDefer:
    case Disposition::kPause:
      Defer(fileName, facts, deferral, outcome.outcome, texts::OutcomeReason(outcome.outcome), outcome.reply);
      return;
    case Disposition::kStop:  // ended the run above
      return;
    case Disposition::kDispose:
      break;
  }
  // The acceptance is on disk before the file is touched, so a crash from here on cannot make
  // the message go out twice.
  if (config_->send_mail()) report_.NoteRelayed();
  if (!accepted && !queue_->RecordAccepted(fileName, read)) {
    FinishUnnoted(dropFolder, fileName);
    JournalFailure();
    return;
  }
  FinishAccepted(dropFolder, fileName, facts, deferral);
}

void RelayService::FinishAccepted(const std::string& dropFolder, const std::string& fileName,
                                  const platform::FileFacts& facts, const std::optional<Deferral>& deferral) {
  const std::string path = dropFolder + fileName;
  if (DisposeOfFile(dropFolder, fileName)) {
    // The disposal is on disk before the note goes: after a power loss the file cannot come back
    // without its note.
    if (SyncDisposal(dropFolder)) {
      queue_->ForgetAccepted(fileName);
      queue_->ForgetDeferral(fileName);
    }
  } else if (fileSystem_->FileExists(path) && !platform::TerminationRequested()) {
    // Kept with its acceptance noted: later attempts dispose of it without sending it again.
    Defer(fileName, facts, deferral, Outcome::kNotDisposed, texts::ReasonNotDisposed(), std::string());
  }
}

bool RelayService::SyncDisposal(const std::string& dropFolder) {
  std::vector<std::string> folders{dropFolder};
  if (!config_->Delete_or_move()) folders.push_back(WithTrailingDelimiter(config_->moveto_path()));
  bool synced = true;
  for (const std::string& folder : folders) {
    if (!folder.empty() && !platform::SyncFolder(folder)) {
      mainlog(texts::SyncFailed() + ForLog(folder) + " (" + platform::SystemErrorText() + ")", LogSeverity::kError);
      synced = false;
    }
  }
  return synced;
}

void RelayService::FinishUnnoted(const std::string& dropFolder, const std::string& fileName) {
  if (DisposeOfFile(dropFolder, fileName)) {
    SyncDisposal(dropFolder);
    queue_->ForgetNote(fileName);
    return;
  }
  // Neither noted nor disposed of: a rename inside the drop folder needs no free space, and a
  // hidden name is never taken as a message; a later run disposes of it without sending it.
  const std::string marked = std::string(kAcceptedMark) + fileName;
  if (platform::RenameNoReplace(dropFolder + fileName, dropFolder + marked)) {
    mainlog(texts::FilePrefix() + ForLog(fileName) + texts::MarkedAccepted() + ForLog(marked), LogSeverity::kError);
    platform::SyncFolder(dropFolder);
  }
}

void RelayService::DisposeOfMarked(const std::string& dropFolder) {
  std::vector<std::string> marked;
  {
    platform::DirectorySearch search(dropFolder);
    while (const std::optional<std::string> name = search.NextFile()) {
      if (name->rfind(kAcceptedMark, 0) == 0 && name->size() > std::strlen(kAcceptedMark)) marked.push_back(*name);
    }
  }
  for (const std::string& name : marked) {
    const std::string original = name.substr(std::strlen(kAcceptedMark));
    mainlog(texts::FilePrefix() + ForLog(original) + texts::AlreadyAccepted(), LogSeverity::kInfo);
    if (DisposeOfFile(dropFolder, name, original)) SyncDisposal(dropFolder);
  }
}

void RelayService::JournalFailure() {
  mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")",
          LogSeverity::kError);
  *errors_ << ErrorLine("cannot write to the state folder " + queue_->Folder()) << std::flush;
  // Without its journal the relay could send a message twice: it takes no further file.
  EndRun(kExitCantCreate);
}

int RelayService::MaxQueueDays() const {
  const int days = config_->max_queue_days();
  return days < 0 ? kDefaultMaxQueueDays : days;
}

bool RelayService::Expired(const Deferral& deferral) const {
  return Now() - deferral.firstFailure >= static_cast<std::int64_t>(MaxQueueDays()) * kSecondsPerDay;
}

void RelayService::HandleExpired(const std::string& dropFolder, const std::string& fileName,
                                 const Deferral& deferral) {
  // The reason of the last attempt goes with it, as when the age runs out after a failure.
  std::string reason = texts::ReasonExpired() + std::to_string(MaxQueueDays());
  if (!deferral.lastReason.empty()) reason += " (" + deferral.lastReason + ")";
  Quarantine(dropFolder, fileName, RelayOutcome(Outcome::kExpired), reason);
}

void RelayService::Defer(const std::string& fileName, const platform::FileFacts& facts,
                         const std::optional<Deferral>& previous, Outcome outcome, const std::string& reason,
                         const std::string& reply) {
  const std::int64_t now = Now();
  Deferral deferral = previous.value_or(Deferral{facts, now, 0, 0, Outcome::kSendFailed, {}});
  deferral.facts = facts;
  deferral.lastOutcome = outcome;
  deferral.lastReason = reason;
  ++deferral.attempts;
  const int days = MaxQueueDays();
  if (Expired(deferral)) {
    RelayOutcome expired(Outcome::kExpired, reply);
    Quarantine(WithTrailingDelimiter(config_->Smtp_DropMail_path()), fileName, expired,
               texts::ReasonExpired() + std::to_string(days) + " (" + reason + ")");
    return;
  }
  deferral.nextDue = now + RetryWaitSeconds(deferral.attempts);
  deferredInRun_[fileName] = deferral.nextDue;
  report_.NoteDeferred(fileName, reason);
  mainlog(texts::FilePrefix() + ForLog(fileName) + texts::DeferredUntil() + FormatLogMoment(deferral.nextDue) +
              texts::AttemptNumber() + std::to_string(deferral.attempts) + "): " + reason,
          SeverityOf(outcome));
  if (!queue_->SaveDeferral(fileName, deferral)) {
    mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")",
            LogSeverity::kError);
  }
}

void RelayService::Quarantine(const std::string& dropFolder, const std::string& fileName, const RelayOutcome& outcome,
                              const std::string& reason) {
  const std::string path = dropFolder + fileName;
  const std::string failed = FailedFolder(*config_, dropFolder);
  bool moved = platform::PrepareWritableFolder(failed);
  std::string error = moved ? std::string() : platform::SystemErrorText();
  std::string target = failed + fileName;
  if (moved) {
    // An earlier file of the same name stays: it is another message waiting for a person. A
    // reason file left behind by a release keeps its name taken too.
    for (int n = 1; fileSystem_->FileExists(target) || fileSystem_->FileExists(target + ".reason"); ++n) {
      target = failed + fileName + "." + std::to_string(n);
    }
    moved = platform::RenameNoReplace(path, target);
    // Another file system: copied, flushed and renamed into place, then the source removed.
    if (!moved) error = platform::SystemErrorText();
    if (!moved && !fileSystem_->FileExists(target)) moved = fileSystem_->MoveFileReplace(path, target);
    if (!moved) error = platform::SystemErrorText();
  }
  if (moved) {
    mainlog(texts::FilePrefix() + ForLog(fileName) + texts::Quarantined() + ForLog(failed) + ": " + reason,
            LogSeverity::kError);
    // The reason stays beside the file, where a person looking at the quarantine finds it; the
    // log's copy is pushed out by newer lines sooner or later.
    const QuarantineRecord record{Now(), outcome.outcome, reason, outcome.reply};
    if (!platform::WriteFileDurably(target + ".reason", QuarantineReasonText(record), 0640)) {
      mainlog(texts::ReasonFileWriteFailed() + ForLog(target) + ".reason (" + platform::SystemErrorText() + ")",
              LogSeverity::kError);
    }
    queue_->ForgetDeferral(fileName);
    queue_->ForgetAccepted(fileName);
    deferredInRun_.erase(fileName);
    report_.NoteQuarantined(fileName, reason);
    return;
  }
  mainlog(texts::FilePrefix() + ForLog(fileName) + texts::QuarantineFailed() + error + ") " +
              reason,
          LogSeverity::kError);
  // Not taken again in this run; the next run tries again.
  deferredInRun_[fileName] = Now() + RetryWaitSeconds(1);
}

bool RelayService::DisposeOfFile(const std::string& dropFolder, const std::string& fileName,
                                 const std::string& archiveName) {
  const std::string path = dropFolder + fileName;
  const std::string stored = archiveName.empty() ? fileName : archiveName;
  const std::string name = ForLog(stored);
  int attempt = 0;
  while (attempt < kDisposalAttempts && fileSystem_->FileExists(path)) {
    const std::string archive = WithTrailingDelimiter(config_->moveto_path());
    const bool deleteFile = config_->Delete_or_move();
    if (deleteFile) {
      if (fileSystem_->DeleteFile(path)) {
        mainlog(texts::FilePrefix() + name + texts::DeletedOk(), LogSeverity::kInfo);
      } else {
        mainlog(texts::FilePrefix() + name + texts::DeleteFailed() + platform::SystemErrorText() + ")",
                LogSeverity::kWarning);
      }
    } else {
      if (archive.empty()) {
        // An empty archive setting names no folder; moving "into" it would drop the file into
        // whatever the working folder happens to be.
        mainlog("No such file or directory", LogSeverity::kError);
        mainlog(texts::DisposalError(), LogSeverity::kError);
        break;
      }
      // A folder that cannot be created makes the move fail, which reports the reason.
      fileSystem_->CreateFolderPath(archive);
      if (fileSystem_->MoveFileReplace(path, archive + stored)) {
        mainlog(texts::FilePrefix() + name + texts::MovedOk() + ForLog(archive), LogSeverity::kInfo);
      } else {
        mainlog(texts::FilePrefix() + name + texts::MoveFailed() + platform::SystemErrorText() + ")",
                LogSeverity::kWarning);
      }
    }
    ++attempt;
    // Only a failed attempt is followed by a wait, and the last one by none.
    if (attempt < kDisposalAttempts && fileSystem_->FileExists(path)) platform::Sleep(kDisposalWaitMs);
    // A stop request ends the attempts; the file and its acceptance note stay for the next run.
    if (platform::TerminationRequested()) break;
  }
  return !fileSystem_->FileExists(path);
}

// Counted from the folders, not from this run's memory: files deferred or set aside by earlier
// runs count too, as --queue lists them.
void RelayService::ReportQueueState() {
  if (!config_ || !queue_) return;
  try {
    const QueueSnapshot snapshot = ReadQueueSnapshot(FoldersOf(*config_));
    host_.ReportQueueState(static_cast<int>(snapshot.waiting.size()), static_cast<int>(snapshot.quarantined.size()));
  } catch (const std::exception& error) {
    // Only the icon's counts are missing; the relay goes on.
    mainlog(ForLog(error.what()), LogSeverity::kWarning);
  }
}

}  // namespace droprelay
