// The one copy of each small routine every layer uses: ASCII case, trimming, lines, UTF-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/ascii.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace droprelay {
namespace {

TEST(AsciiCase, FoldsOnlyAsciiLettersWhateverTheLocale) {
  // Windows-1251 capitals (0xC0..0xDF) and UTF-8 bytes must come through untouched.
  const std::string mixed = "Content-TYPE: \xC0\xDF \xD0\x90 [@`{]";
  EXPECT_EQ(AsciiLowerCase(mixed), "content-type: \xC0\xDF \xD0\x90 [@`{]");
  EXPECT_EQ(AsciiUpperCase(mixed), "CONTENT-TYPE: \xC0\xDF \xD0\x90 [@`{]");
  EXPECT_TRUE(AsciiEqualNoCase("UTF-8", "utf-8"));
  EXPECT_FALSE(AsciiEqualNoCase("\xC0", "\xE0")) << "Cyrillic А/а are not folded";
  EXPECT_FALSE(AsciiEqualNoCase("utf-8", "utf-8 "));
  EXPECT_TRUE(AsciiStartsWithNoCase("Content-Disposition: x", "content-"));
  EXPECT_FALSE(AsciiStartsWithNoCase("Conten", "content-"));
}

TEST(Trimming, EachByteSetAsItsCallersNeedIt) {
  EXPECT_EQ(TrimBytes("  a b  ", kSpace), "a b");
  EXPECT_EQ(TrimBytes("\t a \t", kSpace), "\t a \t") << "spaces only";
  EXPECT_EQ(TrimBytes("   ", kSpace), "");
  EXPECT_EQ(TrimBytes("", kSpace), "");
  EXPECT_EQ(TrimBytes("\v\f key \r\n", kCWhiteSpace), "key");
  EXPECT_EQ(TrimControls("\r\n\t a b \x01"), "a b");
  EXPECT_EQ(TrimControls(std::string("\0x\0", 3)), "x") << "NUL is a control character";
  EXPECT_EQ(TrimControls("\x7F" "a"), "\x7F" "a") << "DEL is not below 33";
}

std::vector<std::string> LfLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) lines.emplace_back(NextLine(text));
  return lines;
}

TEST(Lines, LfTextsDropTheCrBeforeTheBreak) {
  EXPECT_EQ(LfLines("a\nb\r\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(LfLines("a\n"), (std::vector<std::string>{"a"})) << "nothing after the last LF is no line";
  EXPECT_EQ(LfLines("x\ry\r"), (std::vector<std::string>{"x\ry"})) << "a lone CR inside a line stays";
  EXPECT_TRUE(LfLines("").empty());
}

TEST(Lines, CrLfLinesEndAtCrLfOnly) {
  CrLfLines lines("a\rb\nc\r\nlast");
  ASSERT_TRUE(lines.Next());
  EXPECT_EQ(lines.Line(), "a\rb\nc");
  EXPECT_EQ(lines.LineWithBreak(), "a\rb\nc\r\n");
  EXPECT_TRUE(lines.HasBreak());
  ASSERT_TRUE(lines.Next());
  EXPECT_EQ(lines.Line(), "last");
  EXPECT_EQ(lines.LineStart(), 7u);
  EXPECT_FALSE(lines.HasBreak());
  EXPECT_FALSE(lines.Next());
}

TEST(Lines, EveryBreakBecomesCrLf) {
  std::string out = ">";
  EXPECT_TRUE(AppendCrLfLines("a\rb\nc\r\nd\n\re", out));
  EXPECT_EQ(out, ">a\r\nb\r\nc\r\nd\r\n\r\ne");
  std::string closed;
  EXPECT_FALSE(AppendCrLfLines("x\r", closed));
  EXPECT_EQ(closed, "x\r\n");
}

TEST(Utf8, DecoderRefusesWhatIsNotWellFormedOneByteAtATime) {
  const std::string text = "a\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80"  // a Ж € 😀
                           "\xC0\xAF"                                // overlong "/"
                           "\xED\xA0\x80"                            // a surrogate
                           "\xF4\x90\x80\x80"                        // above U+10FFFF
                           "\xE2\x82";                               // cut off by the end
  std::vector<char32_t> got;
  for (std::size_t pos = 0; pos < text.size();) got.push_back(NextCodePoint(text, pos));
  std::vector<char32_t> expected = {U'a', 0x416, 0x20AC, 0x1F600};
  expected.insert(expected.end(), 2 + 3 + 4 + 2, 0xFFFD);  // one for each refused byte
  EXPECT_EQ(got, expected);
  char32_t cp = 0;
  EXPECT_EQ(DecodeUtf8Sequence("A", 0, cp), 0u) << "ASCII is no multi-byte sequence";
}

TEST(Utf8, EncoderRoundTripsEveryPlane) {
  for (const char32_t cp : {char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF}, char32_t{0x800}, char32_t{0xFFFF},
                            char32_t{0x10000}, char32_t{0x10FFFF}}) {
    std::string encoded;
    AppendUtf8(encoded, cp);
    std::size_t pos = 0;
    EXPECT_EQ(NextCodePoint(encoded, pos), cp);
    EXPECT_EQ(pos, encoded.size());
  }
}

}  // namespace
}  // namespace droprelay
