// Walking the lines of a text and putting its line breaks into CR LF form: one copy of each rule.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace droprelay {

// The next line of `rest` for texts written with LF (a CR before the LF, or at the very end, is
// dropped), and `rest` moved past it. A final line without a break counts; nothing after the last
// LF is no line. Call while `rest` is not empty.
constexpr std::string_view NextLine(std::string_view& rest) {
  const std::size_t eol = rest.find('\n');
  std::string_view line = rest.substr(0, eol);
  rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Walks the lines of a text in MIME's form: a line ends at CR LF only (a lone CR or LF is an
// ordinary character); a rest after the last CR LF is a final line without line break.
class CrLfLines {
 public:
  explicit CrLfLines(std::string_view text) : text_(text) {}

  // Moves to the next line; false at the end of the text.
  bool Next() {
    lineStart_ = next_;
    if (next_ >= text_.size()) {
      line_ = {};
      return false;
    }
    const char* base = text_.data();
    std::size_t search = next_;
    for (;;) {
      const void* cr = std::memchr(base + search, '\r', text_.size() - search);
      if (cr == nullptr) {
        line_ = text_.substr(next_);
        hasBreak_ = false;
        next_ = text_.size();
        return true;
      }
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
      if (at + 1 < text_.size() && base[at + 1] == '\n') {
        line_ = text_.substr(next_, at - next_);
        hasBreak_ = true;
        next_ = at + 2;
        return true;
      }
      search = at + 1;
    }
  }

  // The current line without its CR LF.
  std::string_view Line() const { return line_; }
  // The current line with its CR LF, if it has one.
  std::string_view LineWithBreak() const { return text_.substr(lineStart_, next_ - lineStart_); }
  // Offset of the current line's first character (the text's length once the end is reached).
  std::size_t LineStart() const { return lineStart_; }
  // Offset of the line after the current one.
  std::size_t NextStart() const { return next_; }
  bool HasBreak() const { return hasBreak_; }

 private:
  std::string_view text_;
  std::size_t next_ = 0;
  std::size_t lineStart_ = 0;
  std::string_view line_;
  bool hasBreak_ = false;
};

// Appends `text` to `out` (a std::string or any buffer with append and push_back) with every
// CR LF, lone CR and lone LF written as CR LF. True when the last line has no break of its own.
template <typename Out>
bool AppendCrLfLines(std::string_view text, Out& out) {
  bool lineOpen = false;
  const char* const in = text.data();
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = in[i];
    if (c == '\r' || c == '\n') {
      out.append("\r\n", 2);
      if (c == '\r' && i + 1 < n && in[i + 1] == '\n') ++i;
      lineOpen = false;
    } else {
      out.push_back(c);
      lineOpen = true;
    }
  }
  return lineOpen;
}

}  // namespace droprelay
