// Code-page conversion into Windows-1251 (and back to UTF-8 for people and the submission).
#include "text/convert.h"

#include <array>
#include <cstdint>

#include "text/utf8.h"

namespace droprelay {
namespace {

constexpr char32_t kNone = 0xFFFD;

// Unicode code point of every Windows-1251 byte from 0x80 on. 0x98 is unassigned in the code
// page; it reads as U+FFFD so that a stray byte shows as what it is instead of as a control code.
constexpr std::array<char32_t, 128> kCp1251Upper = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    kNone,  0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0: А..
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0: а..
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// KOI8-R bytes 0x80..0xFF in Windows-1251; '?' where Windows-1251 has no such character (box
// drawing, math signs, superscript two, division sign).
constexpr std::array<std::uint8_t, 128> kKoi8Upper = {
    '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',   // 80
    '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  0xA0, '?',  0xB0, '?',  0xB7, '?',   // 90
    '?',  '?',  '?',  0xB8, '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',   // A0: ё
    '?',  '?',  '?',  0xA8, '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  '?',  0xA9,  // B0: Ё, ©
    0xFE, 0xE0, 0xE1, 0xF6, 0xE4, 0xE5, 0xF4, 0xE3, 0xF5, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE,  // C0: юабцдефгхийклмно
    0xEF, 0xFF, 0xF0, 0xF1, 0xF2, 0xF3, 0xE6, 0xE2, 0xFC, 0xFB, 0xE7, 0xF8, 0xFD, 0xF9, 0xF7, 0xFA,  // D0: пярстужвьызшэщчъ
    0xDE, 0xC0, 0xC1, 0xD6, 0xC4, 0xC5, 0xD4, 0xC3, 0xD5, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE,  // E0: capitals
    0xCF, 0xDF, 0xD0, 0xD1, 0xD2, 0xD3, 0xC6, 0xC2, 0xDC, 0xDB, 0xC7, 0xD8, 0xDD, 0xD9, 0xD7, 0xDA,  // F0
};

// The Windows-1251 byte of a code point, or '?' when the code page lacks it.
char Cp1251ByteOf(char32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(0xC0 + (cp - 0x0410));
  if (cp != kNone) {
    for (std::size_t i = 0; i < 0x40; ++i) {
      if (kCp1251Upper[i] == cp) return static_cast<char>(0x80 + i);
    }
  }
  return '?';
}

// Default-ignorable code points (Unicode's DerivedCoreProperties): invisible format characters
// such as zero-width spaces, joiners, direction marks, the byte-order mark and variation
// selectors. Windows-1251 has none of them but the soft hyphen, which keeps its byte.
bool IsDefaultIgnorable(char32_t cp) {
  return cp == 0x034F || cp == 0x061C || (cp >= 0x115F && cp <= 0x1160) || (cp >= 0x17B4 && cp <= 0x17B5) ||
         (cp >= 0x180B && cp <= 0x180F) || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x206F) || cp == 0x3164 || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF ||
         cp == 0xFFA0 || (cp >= 0xFFF0 && cp <= 0xFFF8) || (cp >= 0x1BCA0 && cp <= 0x1BCA3) ||
         (cp >= 0x1D173 && cp <= 0x1D17A) || (cp >= 0xE0000 && cp <= 0xE0FFF);
}

}  // namespace

namespace {

// Text in a legacy 8-bit code page is mostly bytes that cannot start a UTF-8 sequence; now and
// then two of its letters happen to form one (a Windows-1251 capital before «, », ё, № or a dash).
// Such text is recognised by having more stray bytes than well-formed multi-byte sequences, and is
// left alone as a whole, so those accidental pairs do not turn into "?".
bool LooksLikeLegacyText(std::string_view text) {
  std::size_t stray = 0;
  std::size_t sequences = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t cp = 0;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
    } else if (const std::size_t length = DecodeUtf8Sequence(text, pos, cp); length > 0) {
      ++sequences;
      pos += length;
    } else {
      ++stray;
      ++pos;
    }
  }
  return stray > sequences;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view text) {
  if (LooksLikeLegacyText(text)) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    char32_t cp = 0;
    const std::size_t length = c < 0x80 ? 0 : DecodeUtf8Sequence(text, pos, cp);
    if (length == 0) {
      // ASCII, or a stray byte in otherwise UTF-8 text: kept as it is.
      result += static_cast<char>(c);
      ++pos;
    } else {
      // Invisible characters are dropped rather than shown as "?".
      if (!IsDefaultIgnorable(cp)) result += Cp1251ByteOf(cp);
      pos += length;
    }
  }
  return result;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t cp = 0;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
    } else if (const std::size_t length = DecodeUtf8Sequence(text, pos, cp); length > 0) {
      pos += length;
    } else {
      return false;
    }
  }
  return true;
}

std::string Koi8ToCp1251(std::string_view text) {
  std::string result(text);
  for (char& ch : result) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80) ch = static_cast<char>(kKoi8Upper[c - 0x80]);
  }
  return result;
}

std::string Cp1251ToUtf8(std::string_view text) {
  // The activity log converts its whole text for every line it adds, so this is on the relay's
  // busiest path: one table look-up and one fixed-size copy per byte into a buffer sized at the
  // bound (three bytes per character), cut to size at the end.
  struct Form {
    char bytes[3];
    unsigned char size;
  };
  static const std::array<Form, 256> forms = [] {
    std::array<Form, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
      std::string utf8;
      AppendUtf8(utf8, c < 0x80 ? char32_t{c} : kCp1251Upper[c - 0x80]);
      for (std::size_t i = 0; i < utf8.size(); ++i) table[c].bytes[i] = utf8[i];
      table[c].size = static_cast<unsigned char>(utf8.size());
    }
    return table;
  }();
  std::string result(text.size() * 3, '\0');
  char* out = result.data();
  for (const char ch : text) {
    const Form& form = forms[static_cast<unsigned char>(ch)];
    out[0] = form.bytes[0];
    out[1] = form.bytes[1];
    out[2] = form.bytes[2];
    out += form.size;
  }
  result.resize(static_cast<std::size_t>(out - result.data()));
  return result;
}

}  // namespace droprelay
