// The small string routines: the rewriting substitution and the choice of two texts.
#include "text/string_utils.h"

#include <algorithm>
#include <cstdint>

namespace droprelay {
namespace {

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

// The text being rewritten, split at a gap: `left_` holds the rewritten front, `rest_` from
// `next_` on the untouched remainder of the input. Edits happen near the gap, so moving text
// across it is cheap and a long text is not shifted on every round.
class GapText {
 public:
  explicit GapText(std::string_view text) : rest_(text) {}

  std::size_t Size() const { return left_.size() + rest_.size() - next_; }

  // The first occurrence starting at or after `from`, which must not lie beyond the gap.
  std::size_t Find(std::string_view pattern, std::size_t from) const {
    // Occurrences that start before the gap: search the front's end with the pattern's length
    // of the remainder joined to it.
    if (from < left_.size()) {
      std::string window = left_.substr(from);
      window.append(rest_, next_, pattern.size() - 1);
      const std::size_t at = window.find(pattern);
      if (at != std::string::npos) return from + at;
    }
    const std::size_t at = rest_.find(pattern, next_);
    return at == std::string::npos ? at : left_.size() + (at - next_);
  }

  void Insert(std::size_t pos, std::string_view bytes) {
    if (pos < left_.size()) {
      left_.insert(pos, bytes);
    } else {
      MoveGapTo(pos);
      left_.append(bytes);
    }
  }

  void Erase(std::size_t pos, std::size_t count) {
    if (pos >= left_.size()) MoveGapTo(pos);
    const std::size_t fromLeft = std::min(count, left_.size() - pos);
    left_.erase(pos, fromLeft);
    next_ += count - fromLeft;
  }

  std::string Take() {
    left_.append(rest_, next_);
    return std::move(left_);
  }

 private:
  void MoveGapTo(std::size_t pos) {
    const std::size_t count = pos - left_.size();
    left_.append(rest_, next_, count);
    next_ += count;
  }

  std::string left_;
  std::string rest_;
  std::size_t next_ = 0;
};

}  // namespace

std::string StringReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  // A replacement holding the pattern would recreate an occurrence on every round for ever.
  if (replacement.find(pattern) != std::string_view::npos) return ReplaceEachOnce(text, pattern, replacement);

  // Each round inserts the replacement at the first occurrence, then deletes the pattern at the
  // first occurrence found from the start again (which may straddle the inserted text).
  // Invariant: no occurrence starts before `from`, so searches start there, and every edit lies
  // within a pattern's length of the gap, which keeps a round cheap on long texts.
  const std::size_t tail = pattern.size() - 1;
  const bool shrinks = replacement.size() < pattern.size();
  // Shrinking pairs end by themselves. A pair that keeps or grows the length may rewrite for ever
  // (under the rescan rule even "ab" -> "ba" cycles) or without bound, so it gets a budget of
  // rounds and size and then falls back to one plain pass over the input.
  const std::size_t maxRounds = 4096 + 64 * text.size();
  const std::size_t maxSize = 16 * text.size() + 4096;
  GapText result(text);
  std::size_t rounds = 0;
  for (std::size_t pos = result.Find(pattern, 0); pos != std::string::npos;) {
    if (!shrinks && (++rounds > maxRounds || result.Size() > maxSize)) {
      return ReplaceEachOnce(text, pattern, replacement);
    }
    result.Insert(pos, replacement);
    const std::size_t searchFrom = pos > tail ? pos - tail : 0;
    // Found at the latest where the occurrence was, right after the inserted text.
    const std::size_t found = result.Find(pattern, searchFrom);
    result.Erase(found, pattern.size());
    pos = result.Find(pattern, found > tail ? found - tail : 0);
  }
  return result.Take();
}

}  // namespace droprelay
