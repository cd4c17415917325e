// Log lines for the system log: a datagram client for the syslog socket (/dev/log, or another
// socket a syslog daemon listens on), and the check whether standard error is the journal's stream.
#pragma once

#include <string>

namespace droprelay::platform {

// Syslog severities (RFC 5424), as syslog(3) numbers them.
inline constexpr int kSyslogErr = 3;
inline constexpr int kSyslogWarning = 4;
inline constexpr int kSyslogInfo = 6;
inline constexpr int kSyslogFacilityDaemon = 3;

class SyslogSocket {
 public:
  // `socketPath` is the daemon's datagram socket; `ident` the program name in every line.
  SyslogSocket(std::string socketPath, std::string ident);
  ~SyslogSocket();
  SyslogSocket(const SyslogSocket&) = delete;
  SyslogSocket& operator=(const SyslogSocket&) = delete;

  // Sends "<PRI>Mmm dd hh:mm:ss ident[pid]: message" (RFC 3164, as syslog(3) writes to /dev/log).
  // False (error recorded) when the socket is missing or refuses the line; the next call tries to
  // connect again, so a daemon restarted meanwhile is found. Never blocks: a line the socket has no
  // room for is dropped.
  bool Send(int severity, const std::string& message);

 private:
  bool Connect();

  std::string socketPath_;
  std::string ident_;
  int fd_ = -1;
};

// True when standard error is the stream systemd connected to the journal: JOURNAL_STREAM holds
// "device:inode" of that stream, and an inherited variable whose stream was redirected elsewhere
// does not match.
bool StderrIsJournalStream();

// Writes one line to standard error with the journal's priority prefix ("<3>text\n"), which
// journald reads as the line's priority.
void WriteJournalStreamLine(int severity, const std::string& message);

}  // namespace droprelay::platform
