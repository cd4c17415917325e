#include "app/log_mirror.h"

#include <cstdio>
#include <exception>

#include "platform/syslog_socket.h"
#include "text/log_text.h"

namespace droprelay {
namespace {

int SyslogSeverity(LogSeverity severity) {
  switch (severity) {
    case LogSeverity::kError:
      return platform::kSyslogErr;
    case LogSeverity::kWarning:
      return platform::kSyslogWarning;
    case LogSeverity::kInfo:
      break;
  }
  return platform::kSyslogInfo;
}

class JournalStreamMirror final : public LogMirror {
 public:
  void Write(LogSeverity severity, const std::string& utf8Line) override {
    platform::WriteJournalStreamLine(SyslogSeverity(severity), SafeLogText(utf8Line));
  }
};

class SyslogMirror final : public LogMirror {
 public:
  explicit SyslogMirror(std::string socketPath) : socket_(std::move(socketPath), "droprelay") {}
  void Write(LogSeverity severity, const std::string& utf8Line) override {
    try {
      socket_.Send(SyslogSeverity(severity), SafeLogText(utf8Line));
    } catch (const std::exception&) {
    }
  }

 private:
  platform::SyslogSocket socket_;
};

}  // namespace

std::unique_ptr<LogMirror> MakeLogMirror(const std::string& setting) {
  if (setting.empty()) {
    if (platform::StderrIsJournalStream()) return std::make_unique<JournalStreamMirror>();
    return nullptr;
  }
  if (setting == "0") return nullptr;
  if (setting == "1") return std::make_unique<SyslogMirror>("/dev/log");
  if (setting.front() == '/') return std::make_unique<SyslogMirror>(setting);
  std::fputs(ErrorLine("[system] syslog=" + setting + " is neither 0, 1 nor a socket path; no syslog copy").c_str(),
             stderr);
  return nullptr;
}

}  // namespace droprelay
