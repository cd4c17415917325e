#include "platform/file_entry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

// Owns one descriptor; closing also releases the flock.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

EntryState FileEntryState(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    const int error = errno;
    SetLastError(error);
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) return EntryState::kMissing;
    return EntryState::kUnknown;
  }
  return S_ISDIR(st.st_mode) ? EntryState::kDirectory : EntryState::kFile;
}

bool IsExistingFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return !S_ISDIR(st.st_mode);
}

bool RemoveFileEntry(const std::string& path) {
  // unlink never follows a link and refuses a directory (EISDIR), which is what we want.
  if (::unlink(path.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool ReadFileExclusive(const std::string& path, std::string& out, std::size_t blockSize) {
  // O_NONBLOCK: a FIFO planted under the name must not hang the relay in open().
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    SetLastError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return false;
  }
  // The nearest thing to opening with no sharing: refused at once while another holder has it.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (blockSize == 0) blockSize = 65536;
  auto buffer = std::make_unique<char[]>(blockSize);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.get(), blockSize);
    if (n > 0) {
      out.append(buffer.get(), static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      SetLastErrorFromErrno();
      return false;
    }
  }
}

}  // namespace droprelay::platform
