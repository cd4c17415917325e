#include "app/activity_log.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "platform/file.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/lines.h"

namespace droprelay {

LocalDateTime CurrentLocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,        local.tm_min,     local.tm_sec};
}

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
  Show();
}

void ActivityLog::LoadFromFile() {
  try {
    std::string content;
    if (!platform::ReadWholeFile(logFile_, content)) return;
    const std::string text = Utf8ToCp1251(content);
    std::deque<std::string> lines;
    for (std::string_view rest = text; !rest.empty();) lines.emplace_back(NextLine(rest));
    lines_ = std::move(lines);
    Show();
  } catch (...) {
    // A log that cannot be loaded starts empty; it is no reason to stop.
  }
}

int ActivityLog::DisplayedLineCount() const {
  std::size_t count = 0;
  for (const std::string& line : lines_) count += WrapLine(line, kWrapWidth).size();
  return static_cast<int>(count);
}

void ActivityLog::RemoveFirstDisplayedLine() {
  if (lines_.empty()) return;
  const auto segments = WrapLine(lines_.front(), kWrapWidth);
  if (segments.size() <= 1) {
    lines_.erase(lines_.begin());
  } else {
    // Only the upper part of a wrapped line goes; the rest becomes the first line.
    lines_.front().erase(0, segments.front().second);
  }
}

std::string ActivityLog::FileText() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += Cp1251ToUtf8(line);
    text += "\r\n";
  }
  return text;
}

void ActivityLog::Show() {
  if (!view_) return;
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text += '\n';
    text += Cp1251ToUtf8(lines_[i]);
  }
  view_->SetText(text);
}

bool ActivityLog::EndUpdateQuietly() {
  try {
    if (view_) view_->EndUpdate();
    return true;
  } catch (...) {
    return false;
  }
}

void ActivityLog::mainlog(std::string_view message) { Add(message, nullptr); }

void ActivityLog::mainlog(std::string_view message, LogSeverity severity) { Add(message, &severity); }

void ActivityLog::Add(std::string_view message, const LogSeverity* severity) {
  std::string cleaned;
  cleaned.reserve(message.size());
  for (char c : message) {
    if (c != '\r' && c != '\n') cleaned.push_back(c);
  }

  // From the update on, nothing may reach the caller; an update that never began is not ended.
  bool updating = false;
  try {
    if (view_) view_->BeginUpdate();
    updating = true;
    if (cleaned.size() >= 3) {
      lines_.push_back(FormatLogTimestamp(now_()) + " " + cleaned);
    } else if (!cleaned.empty()) {
      lines_.emplace_back();
    }

    // A negative bound would never be met once the log is empty: it is taken as "no bound".
    // Removing the first displayed line lowers the count by exactly one (the rest of a wrapped
    // line wraps as before), so the count is kept rather than recomputed for every removal.
    int count = DisplayedLineCount();
    for (int bound = maxLines_(); bound >= 0 && bound < count; bound = maxLines_()) {
      RemoveFirstDisplayedLine();
      --count;
    }

    if (view_) {
      Show();
      view_->ScrollLinesDown(count + 1);
    }
  } catch (...) {
    if (updating) EndUpdateQuietly();
    return;
  }
  if (!EndUpdateQuietly()) return;
  if (mirror_ && cleaned.size() >= 3) {
    try {
      mirror_->Write(severity ? *severity : SeverityOfLogLine(cleaned), Cp1251ToUtf8(cleaned));
    } catch (...) {
    }
  }
  Save();
}

void ActivityLog::Save() {
  try {
    // The box stays ahead of the file until the next save succeeds. A relay whose log cannot be
    // written (a folder the service user may not write) says so once, where an administrator
    // looks: standard error (the journal under systemd, cron's mail) and the mirror.
    if (platform::WriteWholeFile(logFile_, FileText(), kFileMode)) {
      saveFailureReported_ = false;
      return;
    }
    if (saveFailureReported_) return;
    saveFailureReported_ = true;
    const std::string complaint = "cannot write the log file " + logFile_ + ": " + platform::SystemErrorText();
    std::fprintf(stderr, "droprelay: %s\n", complaint.c_str());
    if (mirror_) mirror_->Write(LogSeverity::kError, complaint);
  } catch (...) {
  }
}

}  // namespace droprelay
