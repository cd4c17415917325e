#include "platform/whole_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/syserror.h"

namespace droprelay::platform {

bool ReadWholeFile(const std::string& fileName, std::string& content) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    data.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  content = std::move(data);
  return true;
}

bool WriteWholeFile(const std::string& fileName, std::string_view content, unsigned createMode) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(createMode));
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t put = ::write(fd, data, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      ::close(fd);
      return false;
    }
    data += put;
    left -= static_cast<std::size_t>(put);
  }
  if (::close(fd) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace droprelay::platform
