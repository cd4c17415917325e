#include "platform/syslog_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/syserror.h"

namespace droprelay::platform {

SyslogSocket::SyslogSocket(std::string socketPath, std::string ident)
    : socketPath_(std::move(socketPath)), ident_(std::move(ident)) {}

SyslogSocket::~SyslogSocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool SyslogSocket::Connect() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof address.sun_path) {
    SetLastError(ENAMETOOLONG);
    return false;
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetLastErrorFromErrno();
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool SyslogSocket::Send(int severity, const std::string& message) {
  if (fd_ < 0 && !Connect()) return false;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  // RFC 3164 wants English month names, whatever the locale.
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon], local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec);
  const std::string line = "<" + std::to_string(kSyslogFacilityDaemon * 8 + severity) + ">" + stamp + " " + ident_ +
                           "[" + std::to_string(::getpid()) + "]: " + message;
  // Never waits: a syslog daemon that stops reading must not stall the relay (and with it every
  // stop signal). The file log keeps every line; a line the full socket cannot take is dropped.
  if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
  SetLastErrorFromErrno();
  if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
  // A daemon that restarted has a new socket under the same name: connect afresh next time.
  ::close(fd_);
  fd_ = -1;
  return false;
}

bool StderrIsJournalStream() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (!value || !*value) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(value, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

void WriteJournalStreamLine(int severity, const std::string& message) {
  const std::string line = "<" + std::to_string(severity) + ">" + message + "\n";
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t put = ::write(STDERR_FILENO, data, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // a closed stream loses the line; the file log still has it
    data += put;
    left -= static_cast<std::size_t>(put);
  }
}

}  // namespace droprelay::platform
