// The log's copy for the system log: each line also goes to the journal or to a syslog daemon, with
// a severity, so `journalctl -u droprelay` and the usual monitoring see what the relay does. The
// file log stays exactly as it is; the copy carries the message without the file's timestamp (the
// journal and syslog stamp lines themselves), in UTF-8.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace droprelay {

enum class LogSeverity { kInfo, kWarning, kError };

class LogMirror {
 public:
  virtual ~LogMirror() = default;
  // One line, UTF-8, with the severity its writer gives. Never throws; a line that cannot be passed
  // on is lost only here (the file log has it). The mirrors made by MakeLogMirror replace control
  // characters themselves (SafeLogText), whoever calls them.
  virtual void Write(LogSeverity severity, const std::string& utf8Line) = 0;
};

// The mirror for the `[system] syslog` setting: "0" none; "1" the syslog socket /dev/log; a value
// starting with "/" that syslog socket; empty (not set) the journal when systemd started the
// program with standard error on the journal (JOURNAL_STREAM), else none. Null for none; an
// unusable value gives none and a complaint on standard error.
std::unique_ptr<LogMirror> MakeLogMirror(const std::string& setting);

}  // namespace droprelay
