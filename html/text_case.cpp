#include "html/text_case.h"

#include <locale.h>
#include <wctype.h>

namespace droprelay::html {
namespace {

// glibc's C.UTF-8 locale carries the Unicode case tables; it is built in, so it always exists.
locale_t UnicodeLocale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

char32_t NextCodePoint(std::string_view text, std::size_t& pos) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = lead >= 0xF0 && lead < 0xF5   ? 4
               : lead >= 0xE0                ? 3
               : lead >= 0xC2 && lead < 0xE0 ? 2
                                             : 0;
  if (length == 0 || lead >= 0xF5 || pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  char32_t code = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    code = (code << 6) | (next & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += length;
  return code;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUpper(std::string& out, char32_t c, bool title) {
  // Letters whose upper case is more than one letter.
  switch (c) {
    case U'\u00DF':
      out += title ? "\u00DF" : "SS";
      return;  // browsers keep ß when capitalizing
    case U'\uFB00':
      out += title ? "Ff" : "FF";
      return;
    case U'\uFB01':
      out += title ? "Fi" : "FI";
      return;
    case U'\uFB02':
      out += title ? "Fl" : "FL";
      return;
    case U'\uFB03':
      out += title ? "Ffi" : "FFI";
      return;
    case U'\uFB04':
      out += title ? "Ffl" : "FFL";
      return;
    case U'\uFB05':
    case U'\uFB06':
      out += title ? "St" : "ST";
      return;
    default:
      break;
  }
  locale_t locale = UnicodeLocale();
  AppendUtf8(out, locale == static_cast<locale_t>(nullptr)
                      ? c
                      : static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale)));
}

void AppendLower(std::string& out, char32_t c) {
  locale_t locale = UnicodeLocale();
  AppendUtf8(out, locale == static_cast<locale_t>(nullptr)
                      ? c
                      : static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale)));
}

bool IsWordCharacter(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  locale_t locale = UnicodeLocale();
  if (locale == static_cast<locale_t>(nullptr)) return false;
  return iswalnum_l(static_cast<wint_t>(c), locale) != 0;
}

}  // namespace droprelay::html
