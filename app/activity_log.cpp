#include "app/activity_log.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "platform/file.h"
#include "platform/sleeper.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/lines.h"
#include "text/log_text.h"

namespace droprelay {
namespace {

// A trim holds the log's lock for one read, one write and one rename; an append waits this many
// times this long for it, and then appends all the same (a line is worth more than its order).
constexpr int kLockWaits = 200;
constexpr std::uint32_t kLockWaitMs = 5;

// One line of the box as every sink receives it: UTF-8, with nothing a terminal would act on.
std::string OutgoingLine(std::string_view cp1251Line) { return SafeLogText(Cp1251ToUtf8(cp1251Line)); }

std::deque<std::string> LinesOfFileText(std::string_view utf8) {
  const std::string text = Utf8ToCp1251(utf8);
  std::deque<std::string> lines;
  for (std::string_view rest = text; !rest.empty();) lines.emplace_back(NextLine(rest));
  return lines;
}

int DisplayedLines(std::string_view line) { return static_cast<int>(WrapLine(line, ActivityLog::kWrapWidth).size()); }

int DisplayedLines(const std::deque<std::string>& lines) {
  int count = 0;
  for (const std::string& line : lines) count += DisplayedLines(line);
  return count;
}

// Removing the first displayed line lowers the count by exactly one: the rest of a wrapped line
// wraps as before.
void RemoveFirstDisplayedLine(std::deque<std::string>& lines) {
  if (lines.empty()) return;
  const auto segments = WrapLine(lines.front(), ActivityLog::kWrapWidth);
  if (segments.size() <= 1) {
    lines.pop_front();
  } else {
    // Only the upper part of a wrapped line goes; the rest becomes the first line.
    lines.front().erase(0, segments.front().second);
  }
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

LocalDateTime LocalDateTimeAt(std::int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&when, &local);
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::string FormatLogMoment(std::int64_t seconds) { return FormatLogTimestamp(LocalDateTimeAt(seconds)); }

std::string FormatLogTimestamp(const LocalDateTime& when) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %d:%02d:%02d", when.day, when.month, when.year, when.hour,
                when.minute, when.second);
  return text;
}

std::vector<std::pair<std::size_t, std::size_t>> WrapLine(std::string_view line, std::size_t width) {
  std::vector<std::pair<std::size_t, std::size_t>> segments;
  if (width == 0) width = 1;
  std::size_t start = 0;
  while (line.size() - start > width) {
    // A blank right after the last fitting character may still hang at the end of the line.
    std::size_t end = start + width;
    const std::size_t blank = line.substr(start, width + 1).find_last_of(' ');
    if (blank != std::string_view::npos) end = start + blank + 1;
    segments.emplace_back(start, end - start);
    start = end;
  }
  if (start < line.size() || segments.empty()) segments.emplace_back(start, line.size() - start);
  return segments;
}

ActivityLog::ActivityLog(std::string logFile, std::function<int()> maxLines, LogView* view, DateTimeSource now)
    : logFile_(std::move(logFile)), maxLines_(std::move(maxLines)), view_(view), now_(std::move(now)) {}

void ActivityLog::Clear() {
  lines_.clear();
  shown_.clear();
  Show();
}

void ActivityLog::LoadFromFile() {
  try {
    std::string content;
    if (!platform::ReadWholeFile(logFile_, content)) return;
    std::deque<std::string> lines = LinesOfFileText(content);
    std::deque<std::string> shown;
    for (const std::string& line : lines) shown.push_back(OutgoingLine(line));
    lines_ = std::move(lines);
    shown_ = std::move(shown);
    fileSize_ = content.size();
    fileLines_ = DisplayedLines(lines_);
    Show();
  } catch (const std::exception&) {
    // A log that cannot be loaded starts empty; it is no reason to stop.
  }
}

int ActivityLog::DisplayedLineCount() const { return DisplayedLines(lines_); }

void ActivityLog::Show() {
  if (!view_) return;
  std::size_t size = shown_.size();
  for (const std::string& line : shown_) size += line.size();
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < shown_.size(); ++i) {
    if (i > 0) text += '\n';
    text += shown_[i];
  }
  view_->SetText(text);
}

void ActivityLog::DropFirstDisplayedLine() {
  const std::size_t before = lines_.size();
  RemoveFirstDisplayedLine(lines_);
  if (lines_.size() < before) {
    shown_.pop_front();
  } else if (!lines_.empty()) {
    shown_.front() = OutgoingLine(lines_.front());
  }
}

bool ActivityLog::EndUpdateQuietly() {
  try {
    if (view_) view_->EndUpdate();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ActivityLog::mainlog(std::string_view message, LogSeverity severity) {
  std::string cleaned;
  cleaned.reserve(message.size());
  for (char c : message) {
    if (c != '\r' && c != '\n') cleaned.push_back(c);
  }

  // What the file receives: the line as added, before the box's trimming can take it away again.
  std::string added;
  int addedLines = 0;
  int bound = -1;
  // From the update on, nothing may reach the caller; an update that never began is not ended.
  bool updating = false;
  try {
    if (view_) view_->BeginUpdate();
    updating = true;
    if (cleaned.size() >= 3) {
      lines_.push_back(FormatLogTimestamp(now_()) + " " + cleaned);
      shown_.push_back(OutgoingLine(lines_.back()));
      added = shown_.back() + "\r\n";
      addedLines = DisplayedLines(lines_.back());
    } else if (!cleaned.empty()) {
      lines_.emplace_back();
      shown_.emplace_back();
      added = "\r\n";
      addedLines = 1;
    }

    // A negative bound would never be met once the log is empty: it is taken as "no bound".
    // The count is kept rather than recomputed for every removal.
    int count = DisplayedLineCount();
    for (bound = maxLines_(); bound >= 0 && bound < count; bound = maxLines_()) {
      DropFirstDisplayedLine();
      --count;
    }

    if (view_) {
      Show();
      view_->ScrollLinesDown(count + 1);
    }
  } catch (const std::exception&) {
    if (updating) EndUpdateQuietly();
    return;
  }
  if (!EndUpdateQuietly()) return;
  if (mirror_ && cleaned.size() >= 3) {
    try {
      mirror_->Write(severity, OutgoingLine(cleaned));
    } catch (const std::exception&) {
    }
  }
  try {
    AppendToFile(added, addedLines, bound);
  } catch (const std::exception&) {
  }
}

bool ActivityLog::LockLog(platform::LockKind kind) {
  if (!lockFile_) {
    // Read access is enough for a lock. Created with the log's owner and mode, so that a run as
    // root does not leave a lock file the service user cannot open.
    lockFile_ = platform::OpenFile(LockFileOf(logFile_), {.noFollow = true, .nonBlocking = true, .create = true,
                                                          .regularOnly = true, .mode = kFileMode});
    if (!lockFile_) return false;
    if (const auto log = platform::StatusOfPath(logFile_, platform::Links::kFollow); log && log->IsRegular()) {
      if (const auto lock = platform::StatusOf(lockFile_); lock && lock->owner != log->owner) {
        platform::TakeOwnerAndMode(lockFile_, *log);
      }
    }
  }
  if (kind == platform::LockKind::kExclusive) return platform::TryLockFile(lockFile_, kind);
  for (int attempt = 0;; ++attempt) {
    if (platform::TryLockFile(lockFile_, kind)) return true;
    if (attempt == kLockWaits) return false;
    platform::Sleep(kLockWaitMs);
  }
}

void ActivityLog::UnlockLog() {
  if (lockFile_) platform::UnlockFile(lockFile_);
}

void ActivityLog::AppendToFile(const std::string& bytes, int addedLines, int bound) {
  // Without the lock (no lock file can be made beside the log, or a trim that never ends) the
  // line is appended all the same.
  const bool locked = LockLog(platform::LockKind::kShared);
  // Non-blocking: a FIFO under the log's name must not hang the relay. The file is opened even
  // for no line, so that it exists from the first message on.
  platform::FileDescriptor file = platform::OpenFile(
      logFile_, {.access = platform::OpenOptions::Access::kWrite, .nonBlocking = true, .create = true,
                 .append = true, .mode = kFileMode});
  if (!file || !platform::WriteAll(file, bytes)) {
    const std::string error = platform::SystemErrorText();
    if (locked) UnlockLog();
    fileSize_.reset();
    Complain(saveFailureReported_, "cannot write the log file " + logFile_ + ": " + error);
    return;
  }
  saveFailureReported_ = false;
  const std::optional<platform::FileStatus> status = platform::StatusOf(file);
  file.Close();
  if (!status || !status->IsRegular()) {
    // A device such as /dev/null: nothing to count or trim.
    if (locked) UnlockLog();
    fileSize_.reset();
    return;
  }
  if (fileSize_ && status->inode == fileInode_ && status->size == *fileSize_ + bytes.size()) {
    fileLines_ += addedLines;
    fileSize_ = status->size;
  } else {
    fileInode_ = status->inode;
    std::string content;
    if (platform::ReadWholeFile(logFile_, content)) {
      fileSize_ = content.size();
      fileLines_ = DisplayedLines(LinesOfFileText(content));
    } else {
      fileSize_.reset();
    }
  }
  if (locked) UnlockLog();
  if (fileSize_ && bound >= 0 && fileLines_ > bound + FileAllowance(bound) && fileLines_ > retryTrimAbove_) {
    TrimFile(bound);
  }
}

void ActivityLog::TrimFile(int bound) {
  // While another run appends or trims, this one leaves the file as it is; its next line tries again.
  // Without a lock file at all the trim goes ahead: a file that only grows is the worse fault.
  const bool locked = LockLog(platform::LockKind::kExclusive);
  if (!locked && lockFile_) return;
  const std::string folder = FolderOf(logFile_);
  const std::string temporary = folder + "/." + logFile_.substr(logFile_.rfind('/') + 1) + ".new";
  bool trimmed = false;
  std::string content;
  const std::optional<platform::FileStatus> status = platform::StatusOfPath(logFile_, platform::Links::kFollow);
  if (status && platform::ReadWholeFile(logFile_, content)) {
    std::deque<std::string> lines = LinesOfFileText(content);
    for (int count = DisplayedLines(lines); count > bound; --count) RemoveFirstDisplayedLine(lines);
    std::string text;
    for (const std::string& line : lines) text += OutgoingLine(line) + "\r\n";
    // A file left by a trim that was killed is taken away first; the new one is made afresh.
    platform::DiscardFile(temporary);
    platform::FileDescriptor file = platform::OpenFile(
        temporary, {.access = platform::OpenOptions::Access::kWrite, .noFollow = true, .create = true,
                    .exclusive = true, .mode = kFileMode});
    // Flushed before the rename: after a power loss the name holds the old file or the whole new one.
    bool written = file && platform::WriteAll(file, text) && platform::TakeOwnerAndMode(file, *status) &&
                   platform::SyncFile(file);
    const std::optional<platform::FileStatus> made = written ? platform::StatusOf(file) : std::nullopt;
    written = written && made && file.Close();
    if (written && platform::RenameReplacing(temporary, logFile_)) {
      platform::SyncFolder(folder);
      fileInode_ = made->inode;
      fileSize_ = text.size();
      fileLines_ = DisplayedLines(lines);
      trimFailureReported_ = false;
      trimmed = true;
    }
  }
  if (!trimmed) {
    const std::string error = platform::SystemErrorText();
    platform::DiscardFile(temporary);
    // Not tried again for every line: the file would be read in full each time while it grows.
    retryTrimAbove_ = fileLines_ + FileAllowance(bound);
    Complain(trimFailureReported_, "cannot trim the log file " + logFile_ + ": " + error);
  }
  if (locked) UnlockLog();
}

void ActivityLog::Complain(bool& reported, const std::string& what) {
  // Said once until it works again, where an administrator looks: standard error (the journal
  // under systemd, cron's mail) and the mirror. The box keeps every line meanwhile.
  if (reported) return;
  reported = true;
  std::fputs(ErrorLine(what).c_str(), stderr);
  if (mirror_) mirror_->Write(LogSeverity::kError, SafeLogText(what));
}

}  // namespace droprelay
