// The activity log: the lines shown in the window's log box, bounded in length and copied in full
// to the log file after every message.
//
// Text is held in Windows-1251, the relay's own code page; the log file and the view receive UTF-8.
// The box wraps long lines at its width, and the bound counts displayed lines. So that the count
// does not depend on a display (the program usually runs without one), wrapping is computed here
// with a fixed width of kWrapWidth characters: the 590-pixel box less its frame and vertical scroll
// bar leaves about 565 pixels, and the box's 8-point sans-serif font averages 6 pixels a character.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/log_mirror.h"

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

// The machine's local date and time now.
LocalDateTime CurrentLocalDateTime();

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

  // Replaces the box's lines with the log file's (UTF-8, converted back to Windows-1251). Any
  // failure (no file yet, unreadable) is ignored and leaves the box as it was.
  void LoadFromFile();

  // Adds one message (Windows-1251): CR and LF removed; 1 or 2 characters add an empty line, 3 or
  // more a timestamped line; then trims to the bound, scrolls, and saves the whole log. Never throws.
  // A timestamped line also goes to the mirror, if one is set, with the severity given or, without
  // one, the severity its text says (SeverityOfLogLine).
  void mainlog(std::string_view message);
  void mainlog(std::string_view message, LogSeverity severity);

  // The copy for the journal or syslog; null for none. Not owned.
  void SetMirror(LogMirror* mirror) { mirror_ = mirror; }

  // The mode a new log file is created with (before the umask): the log holds recipients,
  // subjects and the start of every body, so others may not read it.
  static constexpr unsigned kFileMode = 0640;

  // The real lines of the box, oldest first (Windows-1251).
  const std::deque<std::string>& Lines() const { return lines_; }

  // The number of displayed lines (wrapped at kWrapWidth).
  int DisplayedLineCount() const;

  // The whole log in UTF-8 with CR LF after every line, as the file receives it.
  std::string FileText() const;

  const std::string& LogFile() const { return logFile_; }

 private:
  void RemoveFirstDisplayedLine();
  void Show();
  bool EndUpdateQuietly();
  void Save();
  void Add(std::string_view message, const LogSeverity* severity);

  std::string logFile_;
  std::function<int()> maxLines_;
  LogView* view_;
  DateTimeSource now_;
  std::deque<std::string> lines_;
  LogMirror* mirror_ = nullptr;
  bool saveFailureReported_ = false;
};

}  // namespace droprelay
