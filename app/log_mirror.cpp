#include "app/log_mirror.h"

#include <cstdio>
#include <initializer_list>

#include "platform/syslog_socket.h"
#include "text/texts.h"

namespace droprelay {
namespace {

bool Contains(std::string_view text, const std::string& part) { return text.find(part) != std::string_view::npos; }

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
    platform::WriteJournalStreamLine(SyslogSeverity(severity), utf8Line);
  }
};

class SyslogMirror final : public LogMirror {
 public:
  explicit SyslogMirror(std::string socketPath) : socket_(std::move(socketPath), "droprelay") {}
  void Write(LogSeverity severity, const std::string& utf8Line) override {
    try {
      socket_.Send(SyslogSeverity(severity), utf8Line);
    } catch (...) {
    }
  }

 private:
  platform::SyslogSocket socket_;
};

}  // namespace

LogSeverity SeverityOfLogLine(std::string_view message) {
  for (const std::string* text : {&texts::DisposalError(), &texts::AttachmentError(), &texts::MessageError(),
                                  &texts::DatabaseError(), &texts::DeleteFailed(), &texts::MoveFailed(),
                                  &texts::NoRecipient(), &texts::FileNotFound(), &texts::SecretExposed(),
                                  &texts::ConfigUnreadable(), &texts::DropFolderUnreadable(), &texts::FolderUnusable(),
                                  &texts::Quarantined(), &texts::QuarantineFailed(), &texts::StateWriteFailed()}) {
    if (Contains(message, *text)) return LogSeverity::kError;
  }
  // Waiting for a later attempt, or for the run that holds the drop folder.
  for (const std::string* text : {&texts::DeferredUntil(), &texts::WaitingUntil(), &texts::AnotherRunActive()}) {
    if (Contains(message, *text)) return LogSeverity::kWarning;
  }
  if (const std::size_t sent = message.find(texts::SendFailed()); sent != std::string_view::npos) {
    // The server's reply code follows: 4xx means "try again later", anything else is final.
    const std::size_t code = sent + texts::SendFailed().size();
    return message.size() > code && message[code] == '4' ? LogSeverity::kWarning : LogSeverity::kError;
  }
  if (Contains(message, texts::LogonFailed())) return LogSeverity::kWarning;
  return LogSeverity::kInfo;
}

std::unique_ptr<LogMirror> MakeLogMirror(const std::string& setting) {
  if (setting.empty()) {
    if (platform::StderrIsJournalStream()) return std::make_unique<JournalStreamMirror>();
    return nullptr;
  }
  if (setting == "0") return nullptr;
  if (setting == "1") return std::make_unique<SyslogMirror>("/dev/log");
  if (setting.front() == '/') return std::make_unique<SyslogMirror>(setting);
  std::fprintf(stderr, "droprelay: [system] syslog=%s is neither 0, 1 nor a socket path; no syslog copy\n",
               setting.c_str());
  return nullptr;
}

}  // namespace droprelay
