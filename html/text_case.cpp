#include "html/text_case.h"

#include <locale.h>
#include <wctype.h>

#include "text/utf8.h"

namespace droprelay::html {
namespace {

// glibc's C.UTF-8 locale carries the Unicode case tables; it is built in, so it always exists.
locale_t UnicodeLocale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

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
