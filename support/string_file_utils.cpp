// The small string and file routines shared by the relay cycle and the submission.
#include <algorithm>
#include <cstdint>

#include "platform/file_entry.h"
#include "platform/sleeper.h"
#include "support/pbs.h"

namespace droprelay {
namespace {

constexpr int kDeleteAttempts = 100;
constexpr std::uint32_t kDeleteWaitMs = 1000;

// Each occurrence present in `text` replaced once, left to right; used where repeating the
// replacement would never settle.
std::string ReplaceEachOnce(std::string_view text, std::string_view pattern, std::string_view replacement) {
  std::string result;
  result.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t pos = text.find(pattern); pos != std::string_view::npos; pos = text.find(pattern, from)) {
    result.append(text.substr(from, pos - from));
    result.append(replacement);
    from = pos + pattern.size();
  }
  result.append(text.substr(from));
  return result;
}

// A file in the sense of DeleteFileRetry: something that is not a directory stands there, or we
// cannot tell (then it must not be reported gone).
bool FileStillThere(const std::string& fileName) {
  const platform::EntryState state = platform::FileEntryState(fileName);
  return state == platform::EntryState::kFile || state == platform::EntryState::kUnknown;
}

}  // namespace

std::string StringReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  // A replacement holding the pattern would recreate an occurrence on every round for ever.
  if (replacement.find(pattern) != std::string_view::npos) return ReplaceEachOnce(text, pattern, replacement);

  // Insert the replacement at the first occurrence, then delete the pattern at the first
  // occurrence found from the start again (which may straddle the inserted text). Invariant: no
  // occurrence starts before `from`, so each search may begin there instead of at the start.
  const std::size_t tail = pattern.size() - 1;
  const bool shrinks = replacement.size() < pattern.size();
  // Shrinking pairs end by themselves. A pair that keeps or grows the length may rewrite for ever
  // (under the rescan rule even "ab" -> "ba" cycles) or without bound, so it gets a budget of work
  // and size and then falls back to one plain pass over the input.
  const std::size_t maxWork = std::max<std::size_t>(std::size_t{1} << 28, 64 * text.size());
  const std::size_t maxSize = 16 * text.size() + 4096;
  std::string result(text);
  std::size_t work = 0;
  std::size_t pos = result.find(pattern);
  while (pos != std::string::npos) {
    if (!shrinks && ((work += result.size() + 1) > maxWork || result.size() > maxSize)) {
      return ReplaceEachOnce(text, pattern, replacement);
    }
    result.insert(pos, replacement);
    const std::size_t found = result.find(pattern, pos > tail ? pos - tail : 0);  // at the latest after the insert
    result.erase(found, pattern.size());
    const std::size_t from = found > tail ? found - tail : 0;
    pos = result.find(pattern, from);
  }
  return result;
}

std::string ChooseStr(bool flag, std::string_view first, std::string_view second) {
  return std::string(flag ? first : second);
}

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
      platform::Sleep(kDeleteWaitMs);
      platform::RemoveFileEntry(fileName);  // its answer is judged by the next existence test
      ++attempts;
    }
    // A file that went only at the last attempt still answers false: the caller was held for the
    // full time either way, and callers may rely on that answer.
    return !FileStillThere(fileName) && attempts < kDeleteAttempts;
  } catch (...) {
    return false;
  }
}

}  // namespace droprelay
