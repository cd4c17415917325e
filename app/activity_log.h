// The activity log: the lines shown in the window's log box, bounded in length, and the log file
// they are appended to.
//
// Text is held in Windows-1251, the relay's own code page; the log file and the view receive UTF-8.
// The box wraps long lines at its width, and the bound counts displayed lines. So that the count
// does not depend on a display (the program usually runs without one), wrapping is computed here
// with a fixed width of kWrapWidth characters: the 590-pixel box less its frame and vertical scroll
// bar leaves about 565 pixels, and the box's 8-point sans-serif font averages 6 pixels a character.
//
// The file is only ever appended to, one whole line in one write, so a kill at any moment leaves
// every line written before it. It may run a tenth over the bound; then it is trimmed back to the
// bound by writing a new file beside it and renaming that over it, never by emptying it in place.
// A lock file beside the log (`<log>.lock`, never removed) is shared by appends and held alone by a
// trim, so the lines another run appends meanwhile are in the file the trim reads, not lost with
// the old one.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/log_mirror.h"
#include "platform/file.h"

namespace droprelay {

struct LocalDateTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
};

using DateTimeSource = std::function<LocalDateTime()>;

// The machine's local date and time at `seconds` since the epoch.
LocalDateTime LocalDateTimeAt(std::int64_t seconds);
// That moment in the log's own form (FormatLogTimestamp).
std::string FormatLogMoment(std::int64_t seconds);

// The short date, a blank and the long time of the Russian locale: "07.12.2026 9:05:03".
std::string FormatLogTimestamp(const LocalDateTime& when);

// Where the log is shown. Calls come in the order BeginUpdate, SetText, ScrollLinesDown, EndUpdate;
// EndUpdate comes even when something in between failed.
class LogView {
 public:
  virtual ~LogView() = default;
  virtual void BeginUpdate() {}
  // The whole log, UTF-8, lines separated by "\n".
  virtual void SetText(const std::string& utf8Text) = 0;
  // Scroll one line down `count` times (which lands on the last line).
  virtual void ScrollLinesDown(int count) = 0;
  virtual void EndUpdate() {}
};

// The displayed lines of one log line wrapped at `width` characters, as (start, length) pairs.
// A line breaks after the last blank that fits (the blank stays at the end of the upper line) or,
// when a word is longer than the width, inside the word. An empty line is one displayed line.
std::vector<std::pair<std::size_t, std::size_t>> WrapLine(std::string_view line, std::size_t width);

class ActivityLog {
 public:
  static constexpr std::size_t kWrapWidth = 94;

  // `maxLines` reads the bound (Max_log_length) afresh on every call; it may throw, which the log
  // swallows like any other failure. `view` may be null (no box).
  ActivityLog(std::string logFile, std::function<int()> maxLines, LogView* view, DateTimeSource now);

  void SetDateTimeSource(DateTimeSource now) { now_ = std::move(now); }

  // Empties the box (nothing is saved).
  void Clear();

  // Replaces the box's lines with the log file's (UTF-8, converted back to Windows-1251): all of
  // them, up to a tenth more than the bound. Any failure (no file yet, unreadable) is ignored and
  // leaves the box as it was.
  void LoadFromFile();

  // Adds one message (Windows-1251): CR and LF removed; 1 or 2 characters add an empty line, 3 or
  // more a timestamped line; then trims the box to the bound, scrolls, and appends the line to the
  // file (trimming the file when it has grown a tenth past the bound). Never throws. A timestamped
  // line also goes to the mirror, if one is set, with the severity the caller gives: the text of a
  // line never decides it.
  void mainlog(std::string_view message, LogSeverity severity = LogSeverity::kInfo);

  // The copy for the journal or syslog; null for none. Not owned.
  void SetMirror(LogMirror* mirror) { mirror_ = mirror; }

  // The mode a new log file is created with (before the umask): the log holds recipients,
  // subjects and the start of every body, so others may not read it.
  static constexpr unsigned kFileMode = 0640;

  // The real lines of the box, oldest first (Windows-1251).
  const std::deque<std::string>& Lines() const { return lines_; }

  // The number of displayed lines (wrapped at kWrapWidth).
  int DisplayedLineCount() const;

  // How far the file may run past the bound before it is trimmed back: a tenth, so that a trim,
  // which rewrites the whole file, comes once every so many lines and not after every one.
  static int FileAllowance(int bound) { return bound / 10; }

  // The lock file beside `logFile`.
  static std::string LockFileOf(const std::string& logFile) { return logFile + ".lock"; }

  const std::string& LogFile() const { return logFile_; }

 private:
  void Show();
  void DropFirstDisplayedLine();
  bool EndUpdateQuietly();
  void AppendToFile(const std::string& bytes, int addedLines, int bound);
  void TrimFile(int bound);
  bool LockLog(platform::LockKind kind);
  void UnlockLog();
  void Complain(bool& reported, const std::string& what);

  std::string logFile_;
  std::function<int()> maxLines_;
  LogView* view_;
  DateTimeSource now_;
  std::deque<std::string> lines_;
  // Each of lines_ as the view receives it (UTF-8, made safe), kept in step with lines_: the whole
  // log goes to the view for every line added, and converting it all anew each time cost a fifth of
  // a relayed message's time.
  std::deque<std::string> shown_;
  LogMirror* mirror_ = nullptr;
  bool saveFailureReported_ = false;
  bool trimFailureReported_ = false;

  platform::FileDescriptor lockFile_;
  // The file's size and inode right after this log's last write or trim, and its displayed lines
  // then; unknown at first. A file that differs after the next append by more than that line was
  // written (or trimmed, or rotated) by someone else meanwhile, and its lines are counted again.
  std::optional<std::uint64_t> fileSize_;
  std::uint64_t fileInode_ = 0;
  int fileLines_ = 0;
  // After a trim failed (no new file can be made beside the log), the next try waits until the
  // file has grown past this many displayed lines.
  int retryTrimAbove_ = -1;
};

}  // namespace droprelay
