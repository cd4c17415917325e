// Base64, quoted-printable, uuencode, PadLeftStr and NextBufferLine.
#include "mail/codecs.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mail/mail_error.h"

namespace droprelay {
namespace {

std::string Base64Decode(std::string_view text) {
  std::string out;
  const std::size_t n = Base64DecodeBuffer(text, out);
  EXPECT_EQ(n, out.size());
  return out;
}

std::string RandomBytes(std::mt19937& rng, std::size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(byte(rng));
  return s;
}

// Like the body decoder: each CR LF line on its own.
std::string Base64DecodeLines(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    Base64DecodeBuffer(text.substr(pos, end - pos), out);
    pos = end + 2;
  }
  return out;
}

struct DecodeCase {
  std::string in;
  std::string out;
};

TEST(Base64DecodeBuffer, DecodesGroupsAndPadding) {
  const std::vector<DecodeCase> cases = {
      {"QUJD", "ABC"},
      {"QUI=", "AB"},
      {"QQ==", "A"},
      {"QQ==QUI=", "AAB"},  // groups after a padded group still decode
      {"QU", ""},           // a partial group is dropped
      {"QU\r\nJD", "ABC"},  // line breaks take no place in a group
      {"Q U J D", "ABC"},
      {"Q!U*J\x80" "D", "ABC"},  // anything outside the alphabet is skipped
      {"", ""},
      {"////", "\xFF\xFF\xFF"},
      {"AAAA", std::string(3, '\0')},
      // Odd pad placements follow the three checks in their order.
      {"====", std::string(1, '\x04')},
      {"=A==", std::string(1, '\0')},
      {"QQ=A", "A"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Decode(c.in), c.out) << "input: " << c.in;
  }
}

TEST(Base64DecodeBuffer, AppendsToWhatTheDestinationHolds) {
  std::string dest = "xy";
  EXPECT_EQ(Base64DecodeBuffer("QUJD", dest), 3u);
  EXPECT_EQ(dest, "xyABC");
}

TEST(Base64DecodeBuffer, DecodesALineOfAnyLength) {
  // Far longer than the 176 characters a fixed per-line buffer would take.
  std::mt19937 rng(7);
  const std::string data = RandomBytes(rng, 30000);
  TMemoryStream source, encoded;
  source.Write(data);
  Base64EncodeStream(encoded, source);
  std::string oneLine;
  for (const char c : encoded.View()) {
    if (c != '\r' && c != '\n') oneLine.push_back(c);
  }
  EXPECT_EQ(Base64Decode(oneLine), data);
}

// The decoding rules read as plainly as possible, to hold the fast decoder against.
std::string ReferenceBase64Decode(std::string_view text) {
  std::string out;
  std::vector<unsigned> values;
  for (const char ch : text) {
    const std::size_t index = Base64Table.find(ch);
    if (index != std::string_view::npos) {
      values.push_back(static_cast<unsigned>(index));
    } else if (ch == '=') {
      values.push_back(64);
    } else {
      continue;
    }
    if (values.size() < 4) continue;
    unsigned a = values[0], b = values[1], c = values[2], d = values[3];
    values.clear();
    int count = 3;
    if (a == 64) count = 0;
    if (c == 64) c = d = 0, count = 1;
    if (d == 64) d = 0, count = 2;
    const char bytes[3] = {static_cast<char>((a * 4 + b / 16) % 256), static_cast<char>((b * 16 + c / 4) % 256),
                           static_cast<char>((c * 64 + d) % 256)};
    out.append(bytes, static_cast<std::size_t>(count));
  }
  return out;
}

TEST(Base64DecodeBuffer, AgreesWithThePlainReadingOnMixedInput) {
  std::mt19937 rng(31337);
  // Mostly alphabet characters with pads and junk sprinkled in, so whole groups, broken groups
  // and padded groups alternate; lengths well past the decoder's internal buffer.
  const std::string junk = "=\r\n *\x80";
  std::uniform_int_distribution<int> roll(0, 99);
  std::uniform_int_distribution<std::size_t> letter(0, 63), other(0, junk.size() - 1), length(0, 9000);
  for (int round = 0; round < 300; ++round) {
    std::string text(length(rng), 'A');
    const int junkPercent = round % 3 == 0 ? 0 : round % 3 == 1 ? 2 : 30;
    for (char& c : text) c = roll(rng) < junkPercent ? junk[other(rng)] : Base64Table[letter(rng)];
    ASSERT_EQ(Base64Decode(text), ReferenceBase64Decode(text)) << "round " << round;
  }
}

TEST(Base64EncodeStream, WritesLinesOf76Characters) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> lineLengths;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {1, {4}},
      {2, {4}},
      {3, {4}},
      {57, {76}},
      {58, {76, 4}},
      {114, {76, 76}},
      {2280, std::vector<std::size_t>(40, 76)},
      {2281, [] {
         std::vector<std::size_t> v(40, 76);
         v.push_back(4);
         return v;
       }()},
  };
  for (const auto& c : cases) {
    TMemoryStream source, dest;
    source.Write(std::string(c.size, 'a'));
    dest.Write("old content");
    const std::size_t size = Base64EncodeStream(dest, source);
    EXPECT_EQ(size, dest.Size());
    EXPECT_EQ(source.Position(), c.size);
    std::vector<std::size_t> lengths;
    std::string_view text = dest.View();
    while (!text.empty()) {
      const std::size_t crlf = text.find("\r\n");
      ASSERT_NE(crlf, std::string_view::npos) << "every line ends in CR LF, size " << c.size;
      lengths.push_back(crlf);
      text.remove_prefix(crlf + 2);
    }
    EXPECT_EQ(lengths, c.lineLengths) << "size " << c.size;
  }
}

TEST(Base64EncodeStream, PadsTheFinalGroup) {
  auto encode = [](std::string_view data) {
    TMemoryStream source, dest;
    source.Write(data);
    Base64EncodeStream(dest, source);
    return std::string(dest.View());
  };
  EXPECT_EQ(encode("ABC"), "QUJD\r\n");
  EXPECT_EQ(encode("AB"), "QUI=\r\n");
  EXPECT_EQ(encode("A"), "QQ==\r\n");
  EXPECT_EQ(encode(std::string(58, 'a')).substr(78), "YQ==\r\n");
  // The source position does not matter: encoding starts at 0.
  TMemoryStream source, dest;
  source.Write("ABC");
  source.SetPosition(2);
  Base64EncodeStream(dest, source);
  EXPECT_EQ(dest.View(), "QUJD\r\n");
}

TEST(Base64RoundTrip, RandomBytesLineByLine) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> size(0, 5000);
  for (int round = 0; round < 200; ++round) {
    const std::string data = RandomBytes(rng, round < 10 ? static_cast<std::size_t>(round) : size(rng));
    TMemoryStream source, encoded;
    source.Write(data);
    Base64EncodeStream(encoded, source);
    ASSERT_EQ(Base64DecodeLines(encoded.View()), data) << "round " << round;
  }
}

TEST(DecodeQuotedPrintable, EscapesSoftBreaksAndStrayEquals) {
  const std::vector<DecodeCase> cases = {
      {"a=3Db", "a=b"},
      {"a=3db", "a=b"},  // lower-case digits are an escape too (RFC 2045 6.7)
      {"ab=\r\ncd", "abcd"},
      {"ab=\n\rcd", "abcd"},
      {"ab=\ncd", "abcd"},  // lone LF after "="
      {"ab=\rcd", "abcd"},  // lone CR after "="
      {"ab=\r\rcd", "ab\rcd"},
      {"ab=", "ab"},        // a trailing "=" goes
      {"ab=A", "ab=A"},     // "=" second to last stays with its follower
      {"ab=\n", "ab"},      // ... unless that is a line break: a soft one
      {"ab==", "ab="},      // ... or a last "=", which goes
      {"=3D41", "=41"},     // a decoded "=" is not read again
      {"a = b", "a = b"},
      {"=E9t=E9", "\xE9t\xE9"},
      {"x=G1y", "x=G1y"},
      {"==41", "=A"},
      {"line  \r\nnext", "line  \r\nnext"},  // blanks and line breaks stay
      {std::string("a\0=00b", 6), std::string("a\0\0b", 4)},
      {"", ""},
      {"=", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeQuotedPrintable(c.in), c.out) << "input: " << c.in;
  }
}

TEST(EncodeQuotedPrintable, BodyMode) {
  EXPECT_EQ(EncodeQuotedPrintable(std::string(100, 'a'), false),
            std::string(72, 'a') + "=\r\n" + std::string(28, 'a'));
  EXPECT_EQ(EncodeQuotedPrintable("\xE9", false), "=E9");
  EXPECT_EQ(EncodeQuotedPrintable("a=b", false), "a=3Db");
  EXPECT_EQ(EncodeQuotedPrintable("a b\t\"_c\r\n", false), "a b\t\"_c\r\n");
  EXPECT_EQ(EncodeQuotedPrintable(std::string(1, '\x0A'), true), "=0A");
  // CR resets the column: the LF after it is the next line's first character.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(71, 'a') + "\r\n" + std::string(71, 'b'), false),
            std::string(71, 'a') + "\r\n" + std::string(71, 'b') + "=\r\n");
  // An escape that crosses column 72 breaks after it.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(70, 'a') + "\xFF" + "b", false),
            std::string(70, 'a') + "=FF=\r\nb");
  EXPECT_EQ(EncodeQuotedPrintable(std::string(72, 'a'), false), std::string(72, 'a') + "=\r\n");
  EXPECT_EQ(EncodeQuotedPrintable("", false), "");
}

TEST(EncodeQuotedPrintable, EscapesWhatTheRfcDoesNotLetStandLiterally) {
  // RFC 2045 6.7: control bytes and DEL are escaped; a CR LF pair is a line break, a lone CR or LF
  // is data; a blank or tab before a line break or at the end would be stripped by a reader.
  const std::vector<DecodeCase> cases = {
      {std::string(1, '\0'), "=00"},
      {"a\x01" "b\x1F", "a=01b=1F"},
      {"\x7F", "=7F"},
      {"a\tb c", "a\tb c"},
      {"a\rb", "a=0Db"},
      {"a\nb", "a=0Ab"},
      {"a\n\r\nb", "a=0A\r\nb"},
      {"a \r\nb\t\r\n", "a=20\r\nb=09\r\n"},
      {"end ", "end=20"},
      {" \r\n", "=20\r\n"},
      {"\r\n \r\n", "\r\n=20\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeQuotedPrintable(c.in, false), c.out) << "input: " << c.in;
    EXPECT_EQ(DecodeQuotedPrintable(c.out), c.in) << "round trip: " << c.in;
  }
  EXPECT_EQ(EncodeQuotedPrintable("a?b\x7F", true), "a=3Fb=7F");
}

TEST(EncodeQuotedPrintable, HeaderModeEscapesBlanksQuotesAndUnderscores) {
  EXPECT_EQ(EncodeQuotedPrintable("a b_c", true), "a=20b=5Fc");
  EXPECT_EQ(EncodeQuotedPrintable("\"q\"\t\r\n", true), "=22q=22=09=0D=0A");
  // Never breaks lines.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(200, 'z'), true), std::string(200, 'z'));
}

TEST(QuotedPrintableRoundTrip, RandomBytesBothModes) {
  std::mt19937 rng(4711);
  std::uniform_int_distribution<std::size_t> size(0, 3000);
  // Mostly text-like bytes with line breaks and "=" so that every rule is reached.
  const std::string alphabet = std::string("ab =\r\n\t_\"") + "\x80\xFF\x01";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int round = 0; round < 300; ++round) {
    std::string data = RandomBytes(rng, size(rng));
    if (round % 2 == 0) {
      for (char& c : data) c = alphabet[pick(rng)];
    }
    for (const bool header : {false, true}) {
      const std::string encoded = EncodeQuotedPrintable(data, header);
      ASSERT_EQ(DecodeQuotedPrintable(encoded), data) << "round " << round << " header " << header;
      if (!header) {
        // Soft breaks keep lines short: under 72, then an escape and "=".
        std::size_t column = 0;
        for (const char c : encoded) {
          column = (c == '\n' || c == '\r') ? 0 : column + 1;
          ASSERT_LE(column, 75u);
        }
      }
    }
  }
}

TEST(UUDecodeChar, AlphabetBlankAndRefusal) {
  EXPECT_EQ(UUDecodeChar('`'), 0);
  EXPECT_EQ(UUDecodeChar(' '), 0);
  EXPECT_EQ(UUDecodeChar('!'), 1);
  EXPECT_EQ(UUDecodeChar('M'), 45);
  EXPECT_EQ(UUDecodeChar('_'), 63);
  for (const char bad : {'a', 'z', '\r', '\n', '\0', '\x7F', '\x80', '~'}) {
    try {
      UUDecodeChar(bad);
      ADD_FAILURE() << "accepted " << static_cast<int>(bad);
    } catch (const EMailError& e) {
      EXPECT_STREQ(e.what(), "UUCODE message format error");
    }
  }
}

TEST(UUDecodeLine, DecodesCountAndBytes) {
  UULineBuffer buf{};
  EXPECT_EQ(UUDecodeLine("#0V%T", buf), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), 3), "Cat");
  EXPECT_EQ(buf[3], 0);  // the rest of the 45 bytes is zero

  // An empty line leaves the buffer alone.
  buf.fill(0xAA);
  EXPECT_EQ(UUDecodeLine("", buf), 0);
  EXPECT_EQ(buf[0], 0xAA);

  // "`" is the zero-length line that ends a block.
  EXPECT_EQ(UUDecodeLine("`", buf), 0);
}

TEST(UUDecodeLine, FullLineReadsSixtyCharactersWhateverFollows) {
  // 45 bytes "ABC..." encoded by hand: every triple "ABC" is "04)#".
  const std::string full = "M" + [] {
    std::string s;
    for (int i = 0; i < 15; ++i) s += "04)#";
    return s;
  }();
  UULineBuffer buf{};
  EXPECT_EQ(UUDecodeLine(full + "\r\ntrailing junk", buf), 45);
  for (std::size_t i = 0; i < 45; ++i) EXPECT_EQ(buf[i], "ABC"[i % 3]) << i;
  // A shorter line keeps its line break as data, which is not in the alphabet.
  EXPECT_THROW(UUDecodeLine("#0V%T\r", buf), EMailError);
}

TEST(UUDecodeLine, CountAboveFortyFiveAnswersOnlyWhatTheCharactersCarry) {
  UULineBuffer buf{};
  // "_" claims 63 bytes; four characters carry three.
  EXPECT_EQ(UUDecodeLine("_0V%T", buf), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), 3), "Cat");
  // A long line with a large count never yields more than 45 bytes.
  EXPECT_EQ(UUDecodeLine("_" + std::string(200, '!'), buf), 45);
  EXPECT_EQ(UUDecodeLine("N", buf), 0);
  // The count character alone says how many bytes; characters past 60 are not read at all.
  EXPECT_EQ(UUDecodeLine("N" + std::string(60, '!') + "abc", buf), 45);
}

TEST(UUDecodeToStream, DecodesDataLinesAndNeverExceedsALine) {
  TMemoryStream out;
  out.Write("stale");
  EXPECT_TRUE(UUDecodeToStream("#0V%T\r\n#0V%T\r\n`\r\n", out));
  EXPECT_EQ(out.View(), "CatCat");

  // A count above "M" with a short line writes only what the line carried.
  EXPECT_TRUE(UUDecodeToStream("_0V%T\r\n", out));
  EXPECT_EQ(out.View(), "Cat");

  // The last line may lack its CR LF; empty lines are skipped.
  EXPECT_TRUE(UUDecodeToStream("\r\n#0V%T", out));
  EXPECT_EQ(out.View(), "Cat");

  // A NUL ends the line it stands in.
  EXPECT_TRUE(UUDecodeToStream(std::string("#0V%T\0zz\r\n", 10), out));
  EXPECT_EQ(out.View(), "Cat");
}

TEST(UUDecodeToStream, BadLineRaisesAndKeepsWhatCameBefore) {
  TMemoryStream out;
  try {
    UUDecodeToStream("#0V%T\r\nbest regards\r\n#0V%T\r\n", out);
    FAIL() << "no error";
  } catch (const EMailError& e) {
    EXPECT_STREQ(e.what(), "UUCODE message format error");
  }
  EXPECT_EQ(out.View(), "Cat");
}

TEST(PadLeftStr, FillsCutsAndDropsLeadingBlanks) {
  EXPECT_EQ(PadLeftStr(" A", 2, "0"), "0A");
  EXPECT_EQ(PadLeftStr("12345", 2, "0"), "45");
  EXPECT_EQ(PadLeftStr("   ", 3, "0"), "000");
  EXPECT_EQ(PadLeftStr("ab", 2, "0"), "ab");
  EXPECT_EQ(PadLeftStr("a", 4, "xy"), "xyxya");
  EXPECT_EQ(PadLeftStr("abc", 0, "0"), "");
  EXPECT_EQ(PadLeftStr("a", 3, ""), "a");  // never loops on an empty fill
}

std::vector<std::string> AllLines(std::string_view buffer) {
  std::vector<std::string> lines;
  std::ptrdiff_t start = -1;
  bool end = false;
  std::string_view line;
  for (int guard = 0; guard < 1000; ++guard) {
    NextBufferLine(buffer, start, end, line);
    if (end) return lines;
    lines.emplace_back(line);
  }
  ADD_FAILURE() << "no end";
  return lines;
}

TEST(NextBufferLine, WalksCrLfLines) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(AllLines("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(AllLines("a\r\n"), (Lines{"a"}));
  EXPECT_EQ(AllLines("\r\n\r\n"), (Lines{"", ""}));
  EXPECT_EQ(AllLines(""), Lines{});
  EXPECT_EQ(AllLines("a\rb\nc\n\r\r\nd"), (Lines{"a\rb\nc\n\r", "d"}));  // lone CR / LF stay
  EXPECT_EQ(AllLines("x\r"), (Lines{"x\r"}));
  // A CR LF beyond the given length does not count.
  const std::string text = "ab\r\ncd";
  EXPECT_EQ(AllLines(std::string_view(text).substr(0, 3)), (Lines{"ab\r"}));
}

TEST(NextBufferLine, LinesAreViewsIntoTheBuffer) {
  const std::string text = "one\r\ntwo";
  std::ptrdiff_t start = -1;
  bool end = false;
  std::string_view line;
  NextBufferLine(text, start, end, line);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(line.data(), text.data());
  NextBufferLine(text, start, end, line);
  EXPECT_EQ(start, 5);
  EXPECT_EQ(line.data(), text.data() + 5);
  EXPECT_FALSE(end);
  NextBufferLine(text, start, end, line);
  EXPECT_TRUE(end);
  EXPECT_TRUE(line.empty());
}

}  // namespace
}  // namespace droprelay
