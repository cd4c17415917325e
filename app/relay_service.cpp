// The relay service: start-up and the cycle. What happens to a file is decided by DecideFate
// (file_fate.h); this file finds the files, relays them and carries the decisions out.
#include "app/relay_service.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "app/config_check.h"
#include "app/exposed_secrets.h"
#include "app/quarantine.h"
#include "app/queue_commands.h"
#include "platform/file.h"
#include "platform/sleeper.h"
#include "platform/syslog_socket.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"
#include "submit/profiles.h"
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

// More waiting files than this are told in one summary line instead of one line each.
constexpr std::size_t kWaitingListedSingly = 10;

std::string TempFolderOf(const RelayConfig& config) {
  // The folder is used as a plain prefix of attachment paths; a missing final "/" would put the
  // attachment beside the folder instead of into it. An empty value names no folder: attachments
  // would land in whatever the working folder is.
  const std::string folder = WithTrailingDelimiter(config.temppath());
  return folder.empty() ? config.Defaults().temp : folder;
}

}  // namespace

RunFolders RunFoldersOf(const RelayConfig& config) {
  RunFolders folders;
  // A folder without its final "/" would otherwise be searched as a name prefix in its parent.
  folders.drop = WithTrailingDelimiter(config.Smtp_DropMail_path());
  folders.state = StateFolder(config, folders.drop);
  folders.failed = FailedFolder(config, folders.drop);
  folders.archive = WithTrailingDelimiter(config.moveto_path());
  folders.temp = TempFolderOf(config);
  return folders;
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
  config_ = std::make_unique<RelayConfig>(*ConfigFile_, folderDefaults_);

  log_.Clear();
  log_.LoadFromFile();
  // A file that is there but cannot be read stops the start: its defaults would be guesses. A
  // missing one is an error only when the command line named it.
  const bool present = platform::FileEntryState(files_.configFile) != platform::EntryState::kMissing;
  if (!ConfigFile_->Load() || (configRequired_ && !present)) {
    const std::string error = present ? platform::SystemErrorText() : std::string("No such file or directory");
    mainlog(" ");
    mainlog(texts::WorkStarted(), LogSeverity::kInfo);
    StartUpFailure(kExitConfig, texts::ConfigUnreadable() + ForLog(files_.configFile) + " (" + error + ")",
                   "cannot read the configuration file " + files_.configFile + ": " + error);
    return;
  }
  // From here on the settings are never lost: a later read that fails keeps them (NoteConfigReadFailure).
  ConfigFile_->KeepLastGood();
  // Before anything else is done: no folder, lock or database is touched while a password lies open.
  if (const std::string exposed = ExposedSecretProblem(*config_); !exposed.empty()) {
    StartUpFailure(kExitConfig, texts::SecretExposed() + Utf8ToCp1251(exposed), "refusing to start: " + exposed);
    return;
  }
  mainlog(" ");
  mainlog(texts::WorkStarted(), LogSeverity::kInfo);
  // What the configuration file cannot mean as written, and sending switched off, said at every start.
  for (const StartNotice& notice : StartUpNotices(*config_)) {
    log_.mainlog(notice.logLine, LogSeverity::kWarning);
    *errors_ << ErrorLine(notice.errorLine) << std::flush;
  }

  if (config_->showmainform()) host_.SetShowMainForm(true);

  // Every folder is read once: an edit during a long run takes effect at the next run, so one run
  // never works on one folder under another folder's lock and journal.
  folders_ = RunFoldersOf(*config_);
  TempFolder_ = folders_.temp;
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
  const std::string& dropFolder = folders_.drop;
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

  const auto busy = [this](const std::string& folder) {
    mainlog(texts::AnotherRunActive() + ForLog(folder), LogSeverity::kWarning);
    report_.lockedOut = true;
    EndRun(kExitTempFail);
    return false;
  };
  // One run per drop folder, whatever name leads to it: a second one would send the same files
  // a second time. The lock is on the folder itself.
  switch (dropLock_.AcquireFolder(dropFolder)) {
    case platform::FolderLock::Result::kLocked:
      break;
    case platform::FolderLock::Result::kHeldByAnother:
      return busy(dropFolder);
    case platform::FolderLock::Result::kFailed:
      return unusable(dropFolder, platform::SystemErrorText());
  }
  queue_ = std::make_unique<RelayQueue>(folders_.state);
  if (!queue_->Prepare()) return unusable(queue_->Folder(), platform::SystemErrorText());
  // And one run per state folder, which state_path may name for several drop folders.
  switch (runLock_.Acquire(queue_->LockFile())) {
    case platform::FolderLock::Result::kLocked:
      break;
    case platform::FolderLock::Result::kHeldByAnother:
      return busy(queue_->Folder());
    case platform::FolderLock::Result::kFailed:
      return unusable(queue_->LockFile(), platform::SystemErrorText());
  }

  // This relay's own private folders and probes, named after its state folder: two relays sharing
  // temppath or the archive never remove each other's.
  std::uint32_t hash = 2166136261u;
  for (const char c : queue_->Folder()) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  privatePrefix_ = std::string("droprelay-") + hex + "-";
  const std::string probe = OwnProbePrefix();

  if (!platform::CanCreateIn(dropFolder)) return unusable(dropFolder, platform::SystemErrorText());
  if (!platform::PrepareWritableFolder(TempFolder_, probe)) return unusable(TempFolder_, platform::SystemErrorText());
  if (!config_->Delete_or_move()) {
    if (folders_.archive.empty()) return unusable(folders_.archive, "No such file or directory");
    if (!platform::PrepareWritableFolder(folders_.archive, probe)) {
      return unusable(folders_.archive, platform::SystemErrorText());
    }
  }
  if (!platform::PrepareWritableFolder(folders_.failed, probe)) return unusable(folders_.failed, platform::SystemErrorText());

  // What the relay accepts as a drop file of its own.
  dropRules_.maxSize = static_cast<std::uint64_t>(config_->max_message_size());
  if (::geteuid() == 0) {
    // Run as root, only files of the drop folder's owner or group are the relay's to send.
    if (const auto folder = platform::StatusOfPath(dropFolder, platform::Links::kFollow)) {
      dropRules_.owners = std::make_pair(folder->owner, folder->group);
    }
  }
  RemoveLeftovers();
  queue_->ForgetVanished(dropFolder);
  DisposeOfMarked(Place(), dropFolder);
  return true;
}

void RelayService::RemoveLeftovers() {
  // Under the run lock: no other run of this relay can be using them.
  int removed = platform::RemoveLeftovers(TempFolder_, privatePrefix_);
  removed += platform::RemoveLeftovers(folders_.failed, ".tmp-");
  // A run killed while it proved a folder writable leaves its probe there: in the state folder,
  // which is this relay's alone, under the common prefix, elsewhere under its own.
  for (const std::string& folder : {folders_.state, queue_->Folder() + "sent/", queue_->DeferralFolder()}) {
    removed += platform::RemoveLeftovers(folder, platform::kProbePrefix);
  }
  for (const std::string& folder : {folders_.temp, folders_.archive, folders_.failed}) {
    if (!folder.empty()) removed += platform::RemoveLeftovers(folder, OwnProbePrefix());
  }
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
  dropLock_.Release();
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
  }
  ReportQueueState();
  host_.SetWorkTimerEnabled(true);
}

std::int64_t RelayService::Now() const { return SecondsOf(clock_()); }

int RelayService::MaxQueueDays() const {
  const int days = config_->max_queue_days();
  return days < 0 ? kDefaultMaxQueueDays : days;
}

std::string RelayService::OwnProbePrefix() const { return "." + privatePrefix_ + "probe-"; }

DisposalPlace RelayService::Place() {
  return DisposalPlace{*config_, folders_.archive, *fileSystem_,
                       [this](const std::string& line, LogSeverity severity) { mainlog(line, severity); }};
}

void RelayService::NoteConfigReadFailure() {
  const std::optional<std::string>& failure = ConfigFile_->ReadFailure();
  if (!failure) {
    configFailureTold_ = false;
    return;
  }
  if (configFailureTold_) return;
  configFailureTold_ = true;
  mainlog(texts::ConfigKeptLastGood() + ForLog(files_.configFile) + " (" + ForLog(*failure) + ")", LogSeverity::kError);
  *errors_ << ErrorLine("cannot read the configuration file " + files_.configFile + " (" + *failure +
                        "); the settings read before stay in effect")
           << std::flush;
}

void RelayService::NoteChangedFolders() {
  if (foldersChangeLogged_ || RunFoldersOf(*config_) == folders_) return;
  foldersChangeLogged_ = true;
  mainlog(texts::FoldersChangedNextRun() + ForLog(folders_.drop), LogSeverity::kWarning);
}

void RelayService::RunCycle() {
  if (!config_ || ended_ || !queue_) return;
  // A stop request ends the run between steps; the event loop closes the window.
  if (platform::TerminationRequested()) return;
  NoteConfigReadFailure();
  NoteChangedFolders();
  const std::string& dropFolder = folders_.drop;
  // After a wait for files still being written, the scan that follows is the same scan.
  if (!scanLogged_) mainlog(texts::ScanningFolder() + ForLog(dropFolder), LogSeverity::kInfo);
  scanLogged_ = false;

  const std::int64_t nowSeconds = Now();
  // A backlog is listed once per pass, not once per file: the walk goes on from where the last
  // cycle took a file, and the folder is listed again (so new arrivals join in name order) every
  // so many files or seconds, and before a run may end.
  const bool relist = listing_.empty() || cursor_ >= listing_.size() || takenSinceListing_ >= kRelistEveryFiles ||
                      nowSeconds - listedAt_ >= kRelistEverySeconds;
  if (!relist && Walk(cursor_, false)) return;
  if (!ListDropFolder()) return;
  Walk(0, true);
}

bool RelayService::ListDropFolder() {
  const std::string& dropFolder = folders_.drop;
  platform::DirectorySearch search(dropFolder);
  if (!search.IsOpen()) {
    const std::string error = platform::SystemErrorText();
    mainlog(texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")", LogSeverity::kError);
    *errors_ << ErrorLine("cannot read the drop folder " + dropFolder + ": " + error) << std::flush;
    EndRun(kExitNoInput);
    return false;
  }
  // Taken in name order, as the drop folder of a Windows mail service lists them: the order files
  // go out does not depend on how the file system happens to list them.
  std::vector<std::string> names;
  while (const std::optional<std::string> fileName = search.NextFile()) {
    // Hidden names are temporary files of writers (and of this relay), never messages.
    if (!fileName->empty() && fileName->front() != '.') names.push_back(*fileName);
  }
  if (search.Failed()) {
    // Half a listing would end the run as if nothing waited.
    const std::string error = platform::SystemErrorText();
    mainlog(texts::DropFolderUnreadable() + ForLog(dropFolder) + " (" + error + ")", LogSeverity::kError);
    *errors_ << ErrorLine("cannot list the drop folder " + dropFolder + ": " + error) << std::flush;
    EndRun(kExitIoError);
    return false;
  }
  std::sort(names.begin(), names.end());
  listing_ = std::move(names);
  cursor_ = 0;
  takenSinceListing_ = 0;
  listedAt_ = Now();
  return true;
}

bool RelayService::Walk(std::size_t start, bool complete) {
  const std::string& dropFolder = folders_.drop;
  const auto now = clock_();
  const std::int64_t nowSeconds = SecondsOf(now);
  const auto settleTime = std::chrono::seconds(kSettleSeconds);
  std::optional<std::chrono::system_clock::time_point> firstSettled;  // files still being written
  const auto settlesAt = [&](std::chrono::system_clock::time_point due) {
    firstSettled = firstSettled ? std::min(*firstSettled, due) : due;
  };
  const auto took = [&](std::size_t index) {
    cursor_ = index + 1;
    ++takenSinceListing_;
    return true;
  };
  if (complete) waiting_.clear();
  for (std::size_t index = start; index < listing_.size(); ++index) {
    const std::string& fileName = listing_[index];
    // Looked at without opening the file: the one read of the message comes later, under its lock.
    const std::optional<platform::FileFacts> facts = platform::EntryFacts(dropFolder + fileName);
    if (!facts) continue;  // gone meanwhile
    // Deferred in this run: not taken again before it is due, whatever its writer does meanwhile.
    if (const auto known = deferredInRun_.find(fileName); known != deferredInRun_.end() && known->second.due > nowSeconds) {
      waiting_[fileName] = known->second;
      continue;
    }
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(facts->mtimeNs)));
    // Still being written: modified within the settle time before now, or held by its writer. A
    // time further ahead than that comes from a clock that stepped: the file counts as settled.
    const bool recent = facts->regular && now - modified < settleTime && modified - now <= settleTime;
    if (facts->regular && modified - now > settleTime && futureTold_.insert(fileName).second) {
      mainlog(texts::FilePrefix() + ForLog(fileName) + texts::ModifiedAhead(), LogSeverity::kWarning);
    }
    const auto held = heldUntil_.find(fileName);
    const bool holding = held != heldUntil_.end() && held->second > now;
    if (recent || holding) {
      // However it is still being written, a file holds the run for the settle limit at most.
      const std::int64_t since = settlingSince_.emplace(fileName, nowSeconds).first->second;
      if (nowSeconds - since < kSettleLimitSeconds) {
        settlesAt(recent ? modified + settleTime : held->second);
        continue;
      }
      FateInput input = InputFor(fileName, *facts);
      input.outcome = Outcome::kFileLocked;
      input.heldSince = since;
      settlingSince_.erase(fileName);
      heldUntil_.erase(fileName);
      Carry(fileName, input, DecideFate(input), std::string());
      return took(index);
    }
    if (TakeUp(fileName, *facts)) return took(index);
  }
  // Only a walk over a complete, fresh listing may conclude that nothing is left to take.
  if (!complete) return false;
  cursor_ = listing_.size();
  if (firstSettled) {
    // Only files still being written are left: wait until the first of them is due instead of
    // scanning the folder again and again, and let the next cycle take it.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*firstSettled - now);
    platform::Sleep(static_cast<std::uint32_t>(std::clamp<std::int64_t>(wait.count(), 1, 1000 * kSettleSeconds)));
    scanLogged_ = true;
    return true;
  }

  bool onlyAccepted = !waiting_.empty();
  std::size_t notAccepted = 0;
  std::int64_t next = 0;
  for (const auto& [name, file] : waiting_) {
    // A message the server took whose file stays is an error at every run, told one by one.
    if (file.accepted) {
      mainlog(texts::FilePrefix() + ForLog(name) + texts::AcceptedNotDisposed() + FormatLogMoment(file.due),
              LogSeverity::kError);
      continue;
    }
    onlyAccepted = false;
    next = notAccepted == 0 ? file.due : std::min(next, file.due);
    ++notAccepted;
  }
  if (notAccepted > kWaitingListedSingly) {
    mainlog(texts::WaitingSummary() + std::to_string(notAccepted) + texts::NextAttemptAt() + FormatLogMoment(next),
            LogSeverity::kInfo);
  } else {
    for (const auto& [name, file] : waiting_) {
      if (file.accepted) continue;
      mainlog(texts::FilePrefix() + ForLog(name) + texts::WaitingUntil() + FormatLogMoment(file.due), LogSeverity::kInfo);
    }
  }
  mainlog(texts::NoNewFiles(), LogSeverity::kInfo);
  // Nothing left: no configuration fault stands in the way of a message any more.
  if (waiting_.empty()) queue_->ForgetConfigFault();
  EndRun(waiting_.empty() ? kExitOk : onlyAccepted ? kExitCantCreate : kExitTempFail);
  return true;
}

FateInput RelayService::InputFor(const std::string& fileName, const platform::FileFacts& facts) const {
  FateInput input;
  input.facts = facts;
  input.journal = queue_->ReadNote(fileName);
  input.deferral = queue_->FindDeferral(fileName, facts);
  input.stopRequested = platform::TerminationRequested();
  input.now = Now();
  input.maxQueueDays = MaxQueueDays();
  return input;
}

bool RelayService::TakeUp(const std::string& fileName, const platform::FileFacts& facts) {
  const FateInput input = InputFor(fileName, facts);
  const Fate fate = DecideFate(input);
  switch (fate.action) {
    case FateAction::kWait:
      waiting_[fileName] = Waiting{fate.deferral.nextDue, fate.deferral.lastOutcome == Outcome::kNotDisposed};
      return false;
    case FateAction::kAttempt:
      Attempt(fileName, facts, input, fate);
      return true;
    case FateAction::kDispose:
      // Accepted before, but the run ended before the file was disposed of: never sent twice.
      mainlog(texts::FilePrefix() + ForLog(fileName) + texts::AlreadyAccepted(), LogSeverity::kInfo);
      break;
    case FateAction::kQuarantine:
      if (fate.outcome == Outcome::kNotRegular) mainlog(texts::FoundFile() + ForLog(fileName), LogSeverity::kInfo);
      break;
    default:
      break;
  }
  Carry(fileName, input, fate, std::string());
  return true;
}

void RelayService::Attempt(const std::string& fileName, const platform::FileFacts& facts, const FateInput& before,
                           const Fate& fate) {
  if (!ApplyNote(fileName, fate)) {
    JournalFailure();
    return;
  }
  JournalNote note = fate.note;
  const std::function<bool(const platform::FileFacts&)> beforeSending = [&](const platform::FileFacts& read) {
    // From here the data may go out: noted with the facts of the file as actually read.
    JournalNote sending = note;
    sending.state = JournalNote::State::kSending;
    sending.facts = read;
    if (!queue_->WriteNote(fileName, sending)) return false;
    note = sending;
    return true;
  };
  const std::function<void(const RelayOutcome&)> afterSending = [&](const RelayOutcome& result) {
    // Right after the server's answer, before anything is cleaned up.
    if (result.outcome == Outcome::kDelivered && queue_->MarkAccepted(fileName)) {
      note.state = JournalNote::State::kAccepted;
    }
  };
  RelayOutcome outcome;
  try {
    const RelayContext context{*config_, logFunction_, TempFolder_, SubstitutionTable_, &severityLog_,
                               &dropRules_, &beforeSending, &afterSending, &privatePrefix_};
    outcome = relay_(context, folders_.drop, fileName);
  } catch (const std::exception& error) {
    // The relay step guards itself; anything escaping it keeps the file for a later attempt.
    mainlog(texts::OutcomeReason(Outcome::kInternalError) + ": " + ForLog(error.what()), LogSeverity::kError);
    outcome = RelayOutcome(Outcome::kInternalError);
  }

  FateInput after = before;
  after.facts = outcome.read.value_or(facts);
  note.facts = after.facts;
  after.journal = JournalLookup{JournalLookup::Kind::kFound, note};
  after.outcome = outcome.outcome;
  after.stopRequested = platform::TerminationRequested();
  after.now = Now();
  if (outcome.outcome == Outcome::kFileLocked) after.heldSince = settlingSince_.emplace(fileName, after.now).first->second;
  const Fate next = DecideFate(after);
  if (next.action != FateAction::kRetrySoon) {
    settlingSince_.erase(fileName);
    heldUntil_.erase(fileName);
  }
  Carry(fileName, after, next, outcome.reply, outcome.systemError);
}

bool RelayService::ApplyNote(const std::string& fileName, const Fate& fate) {
  switch (fate.noteChange) {
    case NoteChange::kKeep:
      return true;
    case NoteChange::kWrite:
      return queue_->WriteNote(fileName, fate.note);
    case NoteChange::kRemove:
      return queue_->ForgetNote(fileName);
    case NoteChange::kSetAside:
      return queue_->SetNoteAside(fileName);
  }
  return false;
}

void RelayService::Carry(const std::string& fileName, const FateInput& input, const Fate& fate,
                         const std::string& reply, const std::string& systemError) {
  switch (fate.action) {
    case FateAction::kDispose:
      if (!ApplyNote(fileName, fate)) {
        // Accepted, but the note could not say so: disposed of, or marked in the drop folder itself.
        FinishUnnoted(Place(), *queue_, folders_.drop, fileName);
        JournalFailure();
        return;
      }
      if (input.outcome) {
        if (config_->send_mail()) report_.NoteRelayed();
        if (*input.outcome == Outcome::kDelivered) queue_->ForgetConfigFault();
      }
      Dispose(fileName, input);
      return;
    case FateAction::kDefer:
      if (!ApplyNote(fileName, fate)) {
        JournalFailure();
        return;
      }
      Defer(fileName, fate, reply, systemError);
      if (fate.endsRun) EndRun(fate.exitStatus);
      return;
    case FateAction::kQuarantine:
      Quarantine(fileName, input, fate, reply, systemError);
      return;
    case FateAction::kRetrySoon:
      // Its writer still holds it: taken again a little later, like a file modified just now.
      if (!ApplyNote(fileName, fate)) JournalFailure();
      heldUntil_[fileName] = clock_() + std::chrono::seconds(kSettleSeconds);
      return;
    case FateAction::kKeep:
      if (!ApplyNote(fileName, fate)) JournalFailure();
      return;
    case FateAction::kStopRun:
      ApplyNote(fileName, fate);
      if (fate.exitStatus == kExitCantCreate) {
        JournalFailure();
      } else {
        StopForConfiguration(fate.outcome, reply);
      }
      return;
    case FateAction::kAttempt:
    case FateAction::kWait:
      return;  // taken care of by the cycle
  }
}

void RelayService::Dispose(const std::string& fileName, const FateInput& input) {
  const DisposalPlace place = Place();
  if (DisposeOfFile(place, folders_.drop, fileName)) {
    // The disposal is on disk before the note goes: after a power loss the file cannot come back
    // without its note.
    if (SyncDisposal(place, folders_.drop)) {
      queue_->ForgetNote(fileName);
      queue_->ForgetDeferral(fileName);
    }
    return;
  }
  if (!fileSystem_->FileExists(folders_.drop + fileName) || platform::TerminationRequested()) return;
  // Kept with its acceptance noted: it waits, and later attempts dispose of it without sending it.
  FateInput kept = input;
  kept.journal.kind = JournalLookup::Kind::kFound;
  kept.journal.note.state = JournalNote::State::kAccepted;
  kept.journal.note.facts = input.facts;
  kept.outcome = Outcome::kNotDisposed;
  kept.now = Now();
  Carry(fileName, kept, DecideFate(kept), std::string());
}

std::string RelayService::ReasonOf(const Fate& fate, const std::string& systemError) const {
  // The system's own words go with the reason, in the log, the queue and the reason file alike.
  if (fate.outcome != Outcome::kExpired) {
    return texts::OutcomeReason(fate.outcome) + (systemError.empty() ? std::string() : " (" + ForLog(systemError) + ")");
  }
  // The reason of the last attempt goes with it.
  std::string reason = texts::ReasonExpired() + std::to_string(MaxQueueDays());
  const std::string& last = fate.deferral.lastReason;
  if (!last.empty()) reason += " (" + last + ")";
  return reason;
}

void RelayService::Defer(const std::string& fileName, const Fate& fate, const std::string& reply,
                         const std::string& systemError) {
  Deferral deferral = fate.deferral;
  deferral.lastReason = ReasonOf(fate, systemError);
  const bool accepted = fate.outcome == Outcome::kNotDisposed;
  deferredInRun_[fileName] = Waiting{deferral.nextDue, accepted};
  report_.NoteDeferred(fileName, deferral.lastReason);
  std::string line = texts::FilePrefix() + ForLog(fileName) + texts::DeferredUntil() + FormatLogMoment(deferral.nextDue) +
                     texts::AttemptNumber() + std::to_string(deferral.attempts) + "): " + deferral.lastReason;
  if (!reply.empty() && DispositionOf(fate.outcome) == Disposition::kPause) line += " (" + reply + ")";
  mainlog(line, accepted ? LogSeverity::kError : SeverityOf(fate.outcome));
  if (!queue_->SaveDeferral(fileName, deferral)) {
    mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")",
            LogSeverity::kError);
  }
}

void RelayService::Quarantine(const std::string& fileName, const FateInput& input, const Fate& fate,
                              const std::string& reply, const std::string& systemError) {
  Fate decided = fate;
  // An attempt that just failed gives the expiry its reason.
  if (decided.outcome == Outcome::kExpired && input.outcome) {
    Fate last;
    last.outcome = *input.outcome;
    decided.deferral.lastReason = ReasonOf(last, systemError);
  }
  const std::string reason = ReasonOf(decided, systemError);
  const QuarantineRecord record{Now(), fate.outcome, reason, reply, fate.delivered};
  const SetAsideResult result = SetAside(folders_.drop + fileName, folders_.failed, fileName, record, *fileSystem_);
  if (!result.moved) {
    mainlog(texts::FilePrefix() + ForLog(fileName) + texts::QuarantineFailed() + result.error + ") " + reason,
            LogSeverity::kError);
    // Not taken again in this run; the next run tries again.
    deferredInRun_[fileName] = Waiting{Now() + RetryWaitSeconds(1), false};
    return;
  }
  mainlog(texts::FilePrefix() + ForLog(fileName) + texts::Quarantined() + ForLog(folders_.failed) + ": " + reason,
          LogSeverity::kError);
  if (!result.reasonWritten) {
    mainlog(texts::ReasonFileWriteFailed() + ForLog(result.target) + kReasonSuffix + " (" + result.reasonError + ")",
            LogSeverity::kError);
  }
  ApplyNote(fileName, fate);
  queue_->ForgetDeferral(fileName);
  deferredInRun_.erase(fileName);
  report_.NoteQuarantined(fileName, reason);
}

void RelayService::StopForConfiguration(Outcome outcome, const std::string& reply) {
  std::string profile = config_->MAPIProfile();
  if (profile.empty()) profile = submit::DefaultMailProfile();
  std::string errorLine;
  std::string logLine = texts::ConfigurationStop() + texts::OutcomeReason(outcome);
  if (outcome == Outcome::kNoMailProfile) {
    errorLine = ConfigurationProblem(*config_);
  } else {
    const std::string profileText = IsValidUtf8(profile) ? profile : Cp1251ToUtf8(profile);
    errorLine = "mail profile \"" + profileText + "\": the server refused the " +
                (outcome == Outcome::kSenderRefused ? "sender" : "account") + ": " + reply +
                "; the messages stay in the drop folder until the configuration is fixed";
    logLine += texts::ProfileQuoted() + ForLog(profile) + "\": " + ForLog(reply);
  }
  // Kept for --check until a message goes out again or nothing waits any more.
  queue_->NoteConfigFault(errorLine);
  StartUpFailure(kExitConfig, logLine, errorLine);
}

void RelayService::JournalFailure() {
  mainlog(texts::StateWriteFailed() + ForLog(queue_->Folder()) + " (" + platform::SystemErrorText() + ")",
          LogSeverity::kError);
  *errors_ << ErrorLine("cannot write to the state folder " + queue_->Folder()) << std::flush;
  // Without its journal the relay could send a message twice: it takes no further file.
  EndRun(kExitCantCreate);
}

// Counted from the folders, not from this run's memory: files deferred or set aside by earlier
// runs count too, as --queue lists them.
void RelayService::ReportQueueState() {
  if (!config_ || !queue_) return;
  try {
    const QueueSnapshot snapshot = ReadQueueSnapshot(QueueFolders{folders_.drop, folders_.state, folders_.failed});
    host_.ReportQueueState(static_cast<int>(snapshot.waiting.size()), static_cast<int>(snapshot.quarantined.size()));
  } catch (const std::exception& error) {
    // Only the icon's counts are missing; the relay goes on.
    mainlog(ForLog(error.what()), LogSeverity::kWarning);
  }
}

}  // namespace droprelay
