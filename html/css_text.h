// Small text helpers shared by the CSS parsers: ASCII case folding, white space, and scanning over
// strings and bracketed groups so that a ';' or ',' inside them is not taken for a separator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text/ascii.h"

namespace droprelay::html::css_text {

// CSS white space (no vertical tab).
inline constexpr std::string_view kSpaces = " \t\n\r\f";
inline bool IsSpace(char c) { return kSpaces.find(c) != std::string_view::npos; }

// The CSS parsers' names for the shared ASCII routines.
inline char Lower(char c) { return AsciiLower(c); }
inline std::string ToLower(std::string_view text) { return AsciiLowerCase(text); }
inline std::string_view Trim(std::string_view text) { return TrimBytes(text, kSpaces); }
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return AsciiEqualNoCase(a, b); }

// Position just past a string that opens at `pos` (a quote), honouring backslash escapes.
inline std::size_t SkipString(std::string_view text, std::size_t pos) {
  char quote = text[pos];
  for (++pos; pos < text.size(); ++pos) {
    if (text[pos] == '\\') {
      ++pos;
    } else if (text[pos] == quote || text[pos] == '\n') {
      return pos + 1;
    }
  }
  return text.size();
}

// Position of the first `stop` character at nesting level zero (outside strings, (), [] and {}),
// from `pos`; text.size() when there is none.
inline std::size_t FindTopLevel(std::string_view text, std::size_t pos, std::string_view stops) {
  int depth = 0;
  while (pos < text.size()) {
    char c = text[pos];
    if (depth == 0 && stops.find(c) != std::string_view::npos) return pos;
    if (c == '"' || c == '\'') {
      pos = SkipString(text, pos);
      continue;
    }
    if (c == '\\') {
      pos += 2;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') ++depth;
    if ((c == ')' || c == ']' || c == '}') && depth > 0) --depth;
    ++pos;
  }
  return text.size();
}

}  // namespace droprelay::html::css_text
