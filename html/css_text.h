// Small text helpers shared by the CSS parsers: ASCII case folding, white space, and scanning over
// strings and bracketed groups so that a ';' or ',' inside them is not taken for a separator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::html::css_text {

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string ToLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

inline std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

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
