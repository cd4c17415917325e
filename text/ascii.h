// ASCII case folding, case-insensitive comparison and trimming: the one copy of each for every
// layer. Bytes from 0x80 on are never changed or matched loosely, whatever the locale: header
// names, charset names, keys and extensions are ASCII, and the text around them may be any code
// page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string AsciiLowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

inline std::string AsciiUpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

inline bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

inline bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualNoCase(text.substr(0, prefix.size()), prefix);
}

// `text` without the bytes of `set` at either end.
constexpr std::string_view TrimBytes(std::string_view text, std::string_view set) {
  const std::size_t first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(set) - first + 1);
}

// `text` without blanks and control characters (codes up to 32) at either end, as Delphi's Trim.
constexpr std::string_view TrimControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

// The byte sets the callers trim.
inline constexpr std::string_view kSpace = " ";
inline constexpr std::string_view kCWhiteSpace = " \t\n\v\f\r";  // isspace in the C locale

}  // namespace droprelay
