// The whole-file read under a lock and the retrying delete.
#include "platform/file_utils.h"

#include <cstdint>

#include "platform/file.h"
#include "platform/sleeper.h"

namespace droprelay {
namespace {

constexpr int kDeleteAttempts = 100;
constexpr std::uint32_t kDeleteWaitMs = 1000;

// A file in the sense of DeleteFileRetry: something that is not a directory stands there, or we
// cannot tell (then it must not be reported gone).
bool FileStillThere(const std::string& fileName) {
  const platform::EntryState state = platform::FileEntryState(fileName);
  return state == platform::EntryState::kFile || state == platform::EntryState::kUnknown;
}

}  // namespace

std::string FileToString(const std::string& fileName) {
  std::string result;
  try {
    // A refused lock or a failed read answers what was read so far (nothing, for a refusal).
    platform::ReadFileExclusive(fileName, result);
  } catch (...) {
  }
  return result;
}

bool DeleteFileRetry(const std::string& fileName) {
  try {
    int attempts = 0;
    while (FileStillThere(fileName) && attempts < kDeleteAttempts) {
      platform::RemoveFileEntry(fileName);  // its answer is judged by the next existence test
      ++attempts;
      // The wait belongs between failed attempts only: a file that goes at once costs nothing.
      if (attempts < kDeleteAttempts && FileStillThere(fileName)) platform::Sleep(kDeleteWaitMs);
    }
    // A file that went only at the last attempt still answers false: the caller was held for the
    // full time either way, and callers may rely on that answer.
    return !FileStillThere(fileName) && attempts < kDeleteAttempts;
  } catch (...) {
    return false;
  }
}

}  // namespace droprelay
