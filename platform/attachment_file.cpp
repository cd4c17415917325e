#include "platform/attachment_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/syserror.h"

namespace droprelay::platform {

bool IsRegularFileEntry(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (S_ISREG(info.st_mode)) return true;
  SetLastErrorText(S_ISLNK(info.st_mode) ? "Is a symbolic link, not a stored message" : "Not a regular file");
  return false;
}

bool SaveAttachmentFile(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  int error = 0;
  while (!content.empty() && error == 0) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written >= 0) {
      content.remove_prefix(static_cast<std::size_t>(written));
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return true;
  ::unlink(path.c_str());
  SetLastError(error);
  return false;
}

}  // namespace droprelay::platform
