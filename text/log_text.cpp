#include "text/log_text.h"

#include "text/utf8.h"

namespace droprelay {

std::string SafeLogText(std::string_view utf8) {
  std::string safe;
  safe.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const unsigned char byte = static_cast<unsigned char>(utf8[pos]);
    if (byte < 0x80) {
      safe.push_back((byte < 0x20 && byte != '\t') || byte == 0x7F ? kLogTextReplacement : static_cast<char>(byte));
      ++pos;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = DecodeUtf8Sequence(utf8, pos, cp);
    if (length == 0 || cp <= 0x9F) {
      // Not well-formed (one byte goes at a time), or a C1 control.
      safe.push_back(kLogTextReplacement);
      pos += length == 0 ? 1 : length;
      continue;
    }
    safe.append(utf8.substr(pos, length));
    pos += length;
  }
  return safe;
}

std::string ErrorLine(std::string_view utf8) { return "droprelay: " + SafeLogText(utf8) + "\n"; }

}  // namespace droprelay
