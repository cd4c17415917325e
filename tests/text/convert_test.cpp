#include "text/convert.h"

#include <gtest/gtest.h>

#include <string>

namespace droprelay {
namespace {

// Windows-1251 bytes written as hex so that the test file's own encoding cannot hide a fault.
std::string Bytes(std::initializer_list<unsigned> codes) {
  std::string s;
  for (unsigned c : codes) s += static_cast<char>(c);
  return s;
}

TEST(Utf8ToCp1251, ConvertsTextAndKeepsAscii) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"ascii", "Hello, world! 0-9 ~\t\r\n", "Hello, world! 0-9 ~\t\r\n"},
      {"nul kept", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"privet mir", "Привет, мир", Bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, ',', ' ', 0xEC, 0xE8, 0xF0})},
      {"yo both cases", "Ёё", Bytes({0xA8, 0xB8})},
      {"all capitals and small letters edges", "АЯаяпр", Bytes({0xC0, 0xDF, 0xE0, 0xFF, 0xEF, 0xF0})},
      // Three-byte characters must not swallow what follows them.
      {"em dash then x", "\xE2\x80\x94x", Bytes({0x97, 'x'})},
      {"en dash blank", "a \xE2\x80\x93 b", Bytes({'a', ' ', 0x96, ' ', 'b'})},
      {"quotes and numero", "«№1» „x“ ‘y’", Bytes({0xAB, 0xB9, '1', 0xBB, ' ', 0x84, 'x', 0x93, ' ', 0x91, 'y', 0x92})},
      {"ukrainian and belarusian", "ЎўЄєІіЇїҐґ", Bytes({0xA1, 0xA2, 0xAA, 0xBA, 0xB2, 0xB3, 0xAF, 0xBF, 0xA5, 0xB4})},
      {"euro nbsp ellipsis trade", "€\xC2\xA0…™", Bytes({0x88, 0xA0, 0x85, 0x99})},
      // Characters Windows-1251 lacks: one "?" each, whatever their length.
      {"missing characters", "é中😀x", "???x"},
      // Bytes that do not begin a well-formed sequence are kept.
      {"abc then lone lead byte", "abc\xD0", Bytes({'a', 'b', 'c', 0xD0})},
      {"windows-1251 text passes", Bytes({0xCC, 0xE8, 0xF0}), Bytes({0xCC, 0xE8, 0xF0})},
      {"koi8 text passes", Bytes({0xF0, 0xD2, 0xC9, 0xD7, 0xC5, 0xD4}), Bytes({0xF0, 0xD2, 0xC9, 0xD7, 0xC5, 0xD4})},
      {"lone continuation", "\x80\xBF", "\x80\xBF"},
      {"truncated three-byte", "\xE2\x80", "\xE2\x80"},
      {"overlong slash", "\xC0\xAF", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\xAF", "\xE0\x80\xAF"},
      {"surrogate", "\xED\xA0\x80", "\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},
      {"broken then valid", "\xD0\xD0\x9F", Bytes({0xD0, 0xCF})},
      // Windows-1251 text in which a capital and the sign after it happen to form a UTF-8 pair
      // ("Ч»" is D7 BB) stays whole: its stray bytes outnumber the accidental pairs.
      {"windows-1251 with accidental pair", Bytes({0xCE, 0xCE, 0xCE, ' ', 0xAB, 0xCB, 0xD3, 0xD7, 0xBB}),
       Bytes({0xCE, 0xCE, 0xCE, ' ', 0xAB, 0xCB, 0xD3, 0xD7, 0xBB})},
      {"windows-1251 dash after capital", Bytes({0xC8, 0xE2, 0xE0, 0xED, ' ', 0xD1, 0x97, ' ', 0xE4, 0xE0}),
       Bytes({0xC8, 0xE2, 0xE0, 0xED, ' ', 0xD1, 0x97, ' ', 0xE4, 0xE0})},
      // Invisible format characters go instead of becoming "?"; the soft hyphen has its byte.
      {"byte-order mark first", "\xEF\xBB\xBFПривет", Bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2})},
      {"zero-width space and joiners", "a\u200Bb\u200Cc\u200Dd\u2060e", "abcde"},
      {"direction marks and embeddings", "\u200E\u200Fx\u202Ay\u202E\u2066z\u2069", "xyz"},
      {"variation selector after a missing character", "\u263A\uFE0F!", "?!"},
      {"tag character and mongolian vowel separator", "a\U000E0041b\u180Ec", "abc"},
      {"soft hyphen kept", "па\u00ADра", Bytes({0xEF, 0xE0, 0xAD, 0xF0, 0xE0})},
      // UTF-8 text with one stray byte is still converted.
      {"utf-8 with a stray byte", "Привет\xFF", Bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, 0xFF})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToCp1251(c.input), c.expected) << c.name;
  }
}

TEST(Cp1251ToUtf8, EveryDefinedByteRoundTrips) {
  for (unsigned c = 0; c < 256; ++c) {
    if (c == 0x98) continue;
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << "byte " << c;
  }
  EXPECT_EQ(Cp1251ToUtf8(Bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, ' ', 0xA8, 0xB8, 0xB9})), "Привет Ёё№");
}

TEST(Cp1251ToUtf8, LongTextIsItsBytesConvertedOneByOne) {
  // Every byte value, many times over in a scrambled order: the whole text must come out as the
  // concatenation of the single bytes' forms (one, two or three bytes each).
  std::string text;
  std::string expected;
  for (unsigned i = 0; i < 5000; ++i) {
    const char c = static_cast<char>((i * 167 + 13) % 256);
    text += c;
    expected += Cp1251ToUtf8(std::string(1, c));
  }
  EXPECT_EQ(Cp1251ToUtf8(text), expected);
  EXPECT_EQ(Cp1251ToUtf8(std::string(3, '\x98')), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // the longest form
  EXPECT_EQ(Cp1251ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp1251ToUtf8, UnassignedByteBecomesReplacementCharacter) {
  EXPECT_EQ(Cp1251ToUtf8(Bytes({'a', 0x98, 'b'})), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Cp1251ToUtf8(""), "");
}

TEST(Koi8ToCp1251, ConvertsLettersByteForByte) {
  EXPECT_EQ(Koi8ToCp1251(""), "");
  EXPECT_EQ(Koi8ToCp1251("plain ASCII\r\n"), "plain ASCII\r\n");
  EXPECT_EQ(Koi8ToCp1251(Bytes({0xF0, 0xD2, 0xC9, 0xD7, 0xC5, 0xD4})), Bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2}));
  EXPECT_EQ(Koi8ToCp1251(Bytes({0xC1, 0xE1, 0xC0, 0xFF, 0xE0, 0xDF})), Bytes({0xE0, 0xC0, 0xFE, 0xDA, 0xDE, 0xFA}));
}

TEST(Koi8ToCp1251, MapsYoAndTheSignsWindows1251HasAndMarksTheRest) {
  struct Case {
    unsigned koi8;
    unsigned cp1251;
  };
  const Case cases[] = {
      {0xA3, 0xB8},  // ё
      {0xB3, 0xA8},  // Ё
      {0x9A, 0xA0},  // no-break space
      {0x9C, 0xB0},  // degree
      {0x9E, 0xB7},  // middle dot
      {0xBF, 0xA9},  // copyright
      {0x80, '?'},   // box drawing
      {0xA0, '?'},
      {0x95, '?'},  // bullet operator: not the bullet Windows-1251 has
      {0x9D, '?'},  // superscript two
      {0x9F, '?'},  // division sign
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Koi8ToCp1251(Bytes({c.koi8})), Bytes({c.cp1251})) << std::hex << c.koi8;
  }
  // The length never changes, whatever the bytes.
  std::string all;
  for (unsigned c = 0; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(Koi8ToCp1251(all).size(), 256u);
  EXPECT_EQ(Koi8ToCp1251(all).substr(0, 128), all.substr(0, 128));
}

}  // namespace
}  // namespace droprelay
