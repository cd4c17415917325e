#include "app/queue_commands.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "app/activity_log.h"
#include "app/exit_status.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/state_files.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/json_text.h"

namespace droprelay {
namespace {

// File names are the file system's bytes; a person and a JSON reader get UTF-8.
std::string NameText(const std::string& name) { return IsValidUtf8(name) ? name : Cp1251ToUtf8(name); }

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> VisibleNames(const std::string& folder) {
  std::vector<std::string> names;
  platform::DirectorySearch search(folder);
  while (const std::optional<std::string> name = search.NextFile()) {
    // Hidden names are temporary files of a writer, never messages or finished reason files.
    if (!name->empty() && name->front() != '.') names.push_back(*name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// A folder that is not there holds nothing; one that is there but cannot be listed would make an
// empty queue out of a full one.
std::optional<std::string> UnreadableFolder(const QueueFolders& folders) {
  for (const std::string& folder : {RelayQueue(folders.state).DeferralFolder(), folders.failed}) {
    // Asked without the final "/": a file in the folder's place is there, not missing.
    const std::string entry = folder.substr(0, folder.size() - 1);
    if (platform::FileEntryState(entry) != platform::EntryState::kMissing && !platform::CanListFolder(folder)) {
      return folder;
    }
  }
  return std::nullopt;
}

}  // namespace

QueueFolders FoldersOf(const RelayConfig& config) {
  QueueFolders folders;
  folders.drop = WithTrailingDelimiter(config.Smtp_DropMail_path());
  folders.state = StateFolder(config, folders.drop);
  folders.failed = FailedFolder(config, folders.drop);
  return folders;
}

bool AcceptedNotDisposed(const WaitingFile& file) { return file.deferral.lastOutcome == Outcome::kNotDisposed; }

QueueSnapshot ReadQueueSnapshot(const QueueFolders& folders) {
  QueueSnapshot snapshot;
  const RelayQueue queue(folders.state);
  for (QueuedFile& record : queue.ListDeferrals()) {
    // A record whose file was replaced or removed meanwhile belongs to no waiting message.
    const std::optional<platform::FileFacts> facts = platform::EntryFacts(folders.drop + record.name);
    if (!facts || facts->device != record.deferral.facts.device || facts->inode != record.deferral.facts.inode ||
        facts->size != record.deferral.facts.size || facts->mtimeNs != record.deferral.facts.mtimeNs) {
      continue;
    }
    snapshot.waiting.push_back({std::move(record.name), facts->size, std::move(record.deferral)});
  }

  const std::vector<std::string> names = VisibleNames(folders.failed);
  for (const std::string& name : names) {
    if (IsReasonFile(folders.failed, name, names)) continue;
    QuarantinedFile file;
    file.name = name;
    const std::optional<platform::FileStatus> status = platform::StatusOfPath(folders.failed + name, platform::Links::kNoFollow);
    if (!status) continue;  // gone meanwhile
    file.size = status->size;
    std::string content;
    if (platform::ReadWholeFile(folders.failed + name + kReasonSuffix, content)) ParseReasonFile(content, file);
    // Without a reason file the move into the quarantine is the last change of the entry.
    if (!file.time) file.time = status->ChangeTimeNs() / 1000000000;
    snapshot.quarantined.push_back(std::move(file));
  }
  snapshot.configFault = queue.ConfigFault();
  return snapshot;
}

void PrintQueue(const QueueSnapshot& snapshot, const QueueFolders& folders, std::ostream& out) {
  if (snapshot.configFault) out << "The last run stopped: " << *snapshot.configFault << "\n";
  if (snapshot.waiting.empty() && snapshot.quarantined.empty()) {
    out << "No file waiting in " << NameText(folders.drop) << " and none quarantined in "
        << NameText(folders.failed) << "\n";
    return;
  }
  out << "Waiting in " << NameText(folders.drop) << ": " << Plural(snapshot.waiting.size(), "file", "files") << "\n";
  for (const WaitingFile& file : snapshot.waiting) {
    const Deferral& d = file.deferral;
    out << "  " << NameText(file.name) << "  " << Plural(file.size, "byte", "bytes") << "\n";
    if (AcceptedNotDisposed(file)) out << "    accepted, not disposed of: never sent again, only deleted or moved\n";
    out << "    first failure " << FormatLogMoment(d.firstFailure) << ", " << Plural(static_cast<std::size_t>(d.attempts), "attempt", "attempts")
        << ", next attempt " << FormatLogMoment(d.nextDue) << "\n"
        << "    last reason: " << OutcomeToken(d.lastOutcome);
    if (!d.lastReason.empty()) out << " (" << Cp1251ToUtf8(d.lastReason) << ")";
    out << "\n";
  }
  out << "Quarantined in " << NameText(folders.failed) << ": "
      << Plural(snapshot.quarantined.size(), "file", "files") << "\n";
  for (const QuarantinedFile& file : snapshot.quarantined) {
    out << "  " << NameText(file.name) << "  " << Plural(file.size, "byte", "bytes");
    if (file.time) out << "  since " << FormatLogMoment(*file.time);
    out << "\n";
    if (file.outcome.empty() && file.reason.empty()) {
      out << "    reason: unknown (no reason file)\n";
    } else {
      out << "    reason: " << (file.outcome.empty() ? "unknown" : file.outcome);
      if (!file.reason.empty()) out << " (" << file.reason << ")";
      out << "\n";
    }
    if (!file.reply.empty()) out << "    server reply: " << file.reply << "\n";
    if (DeliveredOf(file) != Delivered::kNo) {
      out << "    may have been delivered already: --release needs --force\n";
    }
  }
}

void PrintQueueJson(const QueueSnapshot& snapshot, std::ostream& out) {
  out << "{\"waiting\":[";
  for (std::size_t i = 0; i < snapshot.waiting.size(); ++i) {
    const WaitingFile& file = snapshot.waiting[i];
    const Deferral& d = file.deferral;
    out << (i ? "," : "") << "{\"name\":" << JsonString(NameText(file.name)) << ",\"size\":" << file.size
        << ",\"first_failure\":" << d.firstFailure << ",\"attempts\":" << d.attempts
        << ",\"next_attempt\":" << d.nextDue << ",\"last_outcome\":" << JsonString(std::string(OutcomeToken(d.lastOutcome)))
        << ",\"last_reason\":" << JsonOrNull(Cp1251ToUtf8(d.lastReason))
        << ",\"accepted\":" << (AcceptedNotDisposed(file) ? "true" : "false") << "}";
  }
  out << "],\"quarantined\":[";
  for (std::size_t i = 0; i < snapshot.quarantined.size(); ++i) {
    const QuarantinedFile& file = snapshot.quarantined[i];
    out << (i ? "," : "") << "{\"name\":" << JsonString(NameText(file.name)) << ",\"size\":" << file.size
        << ",\"time\":" << (file.time ? std::to_string(*file.time) : std::string("null"))
        << ",\"outcome\":" << JsonOrNull(file.outcome) << ",\"reason\":" << JsonOrNull(file.reason)
        << ",\"reply\":" << JsonOrNull(file.reply)
        << ",\"delivered\":" << JsonString(DeliveredToken(DeliveredOf(file))) << "}";
  }
  out << "],\"config_fault\":" << JsonOrNull(snapshot.configFault.value_or(std::string())) << "}\n";
}

CheckResult EvaluateQueue(const QueueSnapshot& snapshot, std::int64_t now, int warnAgeMinutes, int critAgeMinutes) {
  std::int64_t oldest = 0;
  for (const WaitingFile& file : snapshot.waiting) oldest = std::max(oldest, now - file.deferral.firstFailure);
  const std::int64_t warnSeconds = static_cast<std::int64_t>(warnAgeMinutes) * 60;
  const std::int64_t critSeconds = static_cast<std::int64_t>(critAgeMinutes) * 60;
  const bool waiting = !snapshot.waiting.empty();

  const std::size_t accepted = static_cast<std::size_t>(
      std::count_if(snapshot.waiting.begin(), snapshot.waiting.end(), AcceptedNotDisposed));

  CheckResult result;
  result.status = kCheckOk;
  if (!snapshot.quarantined.empty() || (waiting && oldest >= warnSeconds)) result.status = kCheckWarning;
  if ((waiting && oldest >= critSeconds) || accepted > 0 || snapshot.configFault) result.status = kCheckCritical;

  static const char* const kLabels[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  result.line = std::string("DROPRELAY ") + kLabels[result.status] + " - ";
  // What needs a person first: the run cannot send at all.
  if (snapshot.configFault) result.line += "configuration fault: " + *snapshot.configFault + "; ";
  result.line += std::to_string(snapshot.waiting.size()) + " waiting";
  if (waiting) result.line += " (oldest " + std::to_string(oldest / 60) + " min)";
  if (accepted > 0) result.line += ", " + std::to_string(accepted) + " accepted but not disposed of";
  result.line += ", " + std::to_string(snapshot.quarantined.size()) + " quarantined | waiting=" +
                 std::to_string(snapshot.waiting.size()) + " quarantined=" +
                 std::to_string(snapshot.quarantined.size()) + " oldest_age=" + std::to_string(oldest) + "s;" +
                 std::to_string(warnSeconds) + ";" + std::to_string(critSeconds) + ";0";
  return result;
}

bool FlushQueue(const QueueFolders& folders, std::int64_t now, int& flushed) {
  flushed = 0;
  const RelayQueue queue(folders.state);
  bool ok = true;
  for (WaitingFile& file : ReadQueueSnapshot(folders).waiting) {
    if (file.deferral.nextDue <= now) {
      ++flushed;  // due already
      continue;
    }
    // The attempts stay counted, so a failure after the flush still waits its growing time.
    file.deferral.nextDue = now;
    if (queue.SaveDeferral(file.name, file.deferral)) {
      ++flushed;
    } else {
      ok = false;
    }
  }
  return ok;
}

ReleaseResult ReleaseQuarantined(const QueueFolders& folders, const std::string& name, bool force) {
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos) return ReleaseResult::kBadName;
  const std::string from = folders.failed + name;
  // A reason file is no message: it goes with the one it describes.
  if (EndsWith(name, kReasonSuffix) && IsReasonFile(folders.failed, name, VisibleNames(folders.failed))) {
    return ReleaseResult::kBadName;
  }
  if (!platform::StatusOfPath(from, platform::Links::kNoFollow)) return ReleaseResult::kNotFound;
  if (platform::StatusOfPath(folders.drop + name, platform::Links::kNoFollow)) return ReleaseResult::kNameTaken;
  if (!force) {
    QuarantinedFile file;
    std::string content;
    if (platform::ReadWholeFile(from + kReasonSuffix, content)) ParseReasonFile(content, file);
    if (DeliveredOf(file) != Delivered::kNo) return ReleaseResult::kMayBeDelivered;
  }
  if (!platform::RenameNoReplace(from, folders.drop + name)) {
    return errno == EEXIST ? ReleaseResult::kNameTaken : ReleaseResult::kFailed;
  }
  platform::RemoveFileEntry(from + kReasonSuffix);
  return ReleaseResult::kReleased;
}

namespace {

// Flush and release change what a run works on: they hold the run lock, as a run does. A run at
// work is not waited for (it may go on for an hour): the command says so and ends with 75, like a
// second run would.
// The drop folder's own lock and the state folder's, as a run takes them.
struct RunLocks {
  platform::FolderLock drop;
  platform::FolderLock state;
};

bool TakeRunLock(const QueueFolders& folders, RunLocks& locks, std::ostream& err, int& status) {
  const RelayQueue queue(folders.state);
  const auto busy = [&] {
    err << "droprelay: a run is at work on " << NameText(folders.drop)
        << "; nothing was changed, try again when it has ended\n";
    status = kExitTempFail;
    return false;
  };
  const auto failed = [&](const std::string& what) {
    err << "droprelay: cannot take the lock " << NameText(what) << ": " << platform::SystemErrorText() << "\n";
    status = kExitCantCreate;
    return false;
  };
  switch (locks.drop.AcquireFolder(folders.drop)) {
    case platform::FolderLock::Result::kLocked: break;
    case platform::FolderLock::Result::kHeldByAnother: return busy();
    case platform::FolderLock::Result::kFailed: return failed(folders.drop);
  }
  if (!queue.Prepare()) {
    err << "droprelay: cannot write to the state folder " << NameText(folders.state) << ": "
        << platform::SystemErrorText() << "\n";
    status = kExitCantCreate;
    return false;
  }
  switch (locks.state.Acquire(queue.LockFile())) {
    case platform::FolderLock::Result::kLocked: return true;
    case platform::FolderLock::Result::kHeldByAnother: return busy();
    case platform::FolderLock::Result::kFailed: return failed(queue.LockFile());
  }
  return failed(queue.LockFile());
}

int Release(const QueueRequest& request, const QueueFolders& folders, std::ostream& out, std::ostream& err) {
  std::vector<std::string> names = request.names;
  if (request.all) {
    const std::vector<std::string> all = VisibleNames(folders.failed);
    for (const std::string& name : all) {
      if (!IsReasonFile(folders.failed, name, all)) names.push_back(name);
    }
  }
  int status = kExitOk;
  int released = 0;
  for (const std::string& name : names) {
    const std::string shown = NameText(name);
    switch (ReleaseQuarantined(folders, name, request.force)) {
      case ReleaseResult::kReleased:
        out << "released " << shown << " into " << NameText(folders.drop) << "\n";
        ++released;
        continue;
      case ReleaseResult::kNotFound:
        err << "droprelay: " << shown << " is not in the quarantine folder " << NameText(folders.failed) << "\n";
        break;
      case ReleaseResult::kMayBeDelivered:
        err << "droprelay: " << shown << " not released: it may have been delivered already (see its reason "
            << "file); sent again it could arrive twice: add --force to release it anyway\n";
        break;
      case ReleaseResult::kNameTaken:
        err << "droprelay: " << shown << " not released: the drop folder has a file of that name\n";
        break;
      case ReleaseResult::kBadName:
        err << "droprelay: " << shown << " is not the name of a quarantined file\n";
        break;
      case ReleaseResult::kFailed:
        err << "droprelay: " << shown << " not released: " << platform::SystemErrorText() << "\n";
        break;
    }
    status = 1;
  }
  if (request.all && names.empty()) out << "nothing is quarantined in " << NameText(folders.failed) << "\n";
  return status;
}

}  // namespace

int RunQueueCommand(const QueueRequest& request, const RelayConfig& config, bool configReadable, std::int64_t now,
                    std::ostream& out, std::ostream& err) {
  const bool check = request.kind == QueueRequest::Kind::kCheck;
  if (!configReadable) {
    if (check) {
      out << "DROPRELAY UNKNOWN - cannot read the configuration " << config.File().FileName() << "\n";
      return kCheckUnknown;
    }
    err << "droprelay: cannot read the configuration file " << config.File().FileName() << "\n";
    return kExitConfig;
  }
  const QueueFolders folders = FoldersOf(config);
  if (folders.drop.empty() || !platform::CanListFolder(folders.drop)) {
    const std::string error = platform::SystemErrorText();
    if (check) {
      out << "DROPRELAY UNKNOWN - cannot read the drop folder " << NameText(folders.drop) << ": " << error << "\n";
      return kCheckUnknown;
    }
    err << "droprelay: cannot read the drop folder " << NameText(folders.drop) << ": " << error << "\n";
    return kExitNoInput;
  }
  if (const std::optional<std::string> folder = UnreadableFolder(folders)) {
    const std::string error = platform::SystemErrorText();
    if (check) {
      out << "DROPRELAY UNKNOWN - cannot read the folder " << NameText(*folder) << ": " << error << "\n";
      return kCheckUnknown;
    }
    err << "droprelay: cannot read the folder " << NameText(*folder) << ": " << error << "\n";
    return kExitNoInput;
  }

  switch (request.kind) {
    case QueueRequest::Kind::kList: {
      const QueueSnapshot snapshot = ReadQueueSnapshot(folders);
      if (request.json) {
        PrintQueueJson(snapshot, out);
      } else {
        PrintQueue(snapshot, folders, out);
      }
      return kExitOk;
    }
    case QueueRequest::Kind::kCheck: {
      const CheckResult result =
          EvaluateQueue(ReadQueueSnapshot(folders), now, request.warnAgeMinutes, request.critAgeMinutes);
      out << result.line << "\n";
      return result.status;
    }
    case QueueRequest::Kind::kFlush: {
      RunLocks lock;
      int status = kExitOk;
      if (!TakeRunLock(folders, lock, err, status)) return status;
      int flushed = 0;
      if (!FlushQueue(folders, now, flushed)) {
        err << "droprelay: cannot write to the state folder " << NameText(folders.state) << ": "
            << platform::SystemErrorText() << "\n";
        status = kExitCantCreate;
      }
      out << Plural(static_cast<std::size_t>(flushed), "waiting file is", "waiting files are")
          << " due now; the next run takes them\n";
      return status;
    }
    case QueueRequest::Kind::kRelease: {
      RunLocks lock;
      int status = kExitOk;
      if (!TakeRunLock(folders, lock, err, status)) return status;
      return Release(request, folders, out, err);
    }
  }
  return kExitOk;
}

}  // namespace droprelay
