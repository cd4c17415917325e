// The quoted-printable codecs against the straightforward implementation they replaced, kept here
// as the reference: the output must stay exactly the same, byte for byte, on random text (dense
// in the characters the rules care about), on long texts and on the real messages' bodies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "mail/codecs.h"

namespace droprelay {
namespace {

int ReferenceUpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ReferenceDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, eq - i));
    if (eq + 1 == n) break;
    if (eq + 2 == n) {
      out.append(text.substr(eq));
      break;
    }
    const char a = text[eq + 1];
    const char b = text[eq + 2];
    const int hi = ReferenceUpperHexValue(a);
    const int lo = ReferenceUpperHexValue(b);
    if (hi >= 0 && lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i = eq + 3;
    } else if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r')) {
      i = eq + 3;
    } else if (a == '\r' || a == '\n') {
      i = eq + 2;
    } else {
      out.push_back('=');
      i = eq + 1;
    }
  }
  return out;
}

std::string ReferenceEncode(std::string_view text, bool headerMode) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  int column = 0;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool escape = c >= 0x80 || c == '=' || (headerMode && (c <= 0x20 || c == '"' || c == '_'));
    if (escape) {
      out.push_back('=');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
      column += 3;
    } else {
      out.push_back(ch);
      ++column;
    }
    if (c == '\r') column = 0;
    if (!headerMode && column >= 72) {
      out.append("=\r\n");
      column = 0;
    }
  }
  return out;
}

void ExpectSame(std::string_view text, const std::string& what) {
  ASSERT_EQ(DecodeQuotedPrintable(text), ReferenceDecode(text)) << what;
  ByteBuffer decoded;
  decoded.append("kept");
  DecodeQuotedPrintable(text, decoded);
  ASSERT_EQ(decoded.View(), "kept" + ReferenceDecode(text)) << what;
  for (const bool header : {false, true}) {
    const std::string expected = ReferenceEncode(text, header);
    ASSERT_EQ(EncodeQuotedPrintable(text, header), expected) << what << " header " << header;
    ByteBuffer encoded;
    EncodeQuotedPrintable(text, header, encoded);
    ASSERT_EQ(encoded.View(), expected) << what << " header " << header;
  }
}

TEST(QuotedPrintable, SameOutputAsTheReferenceOnRandomText) {
  std::mt19937 rng(20261207);
  // Alphabets that stress different paths: escapes and their near misses, line breaks of every
  // kind, long plain runs, Cyrillic UTF-8, all bytes.
  const std::string alphabets[] = {
      "=0123456789ABCDEFabcdef\r\n \t",
      "= \r\nxX",
      "abcdefghijklmnopqrstuvwxyz     ",
      "abcdefghij=\r\n",
      std::string("\xD0\xBF\xD1\x80\xD0\xB8 \r\n=", 12),
  };
  std::uniform_int_distribution<int> anyByte(0, 255);
  for (int round = 0; round < 4000; ++round) {
    const std::size_t length = round < 300 ? static_cast<std::size_t>(round % 40) : rng() % 700;
    std::string text(length, '\0');
    const int kind = round % 6;
    for (char& c : text) {
      c = kind == 5 ? static_cast<char>(anyByte(rng))
                    : alphabets[kind][rng() % alphabets[kind].size()];
    }
    ExpectSame(text, "round " + std::to_string(round));
  }
}

TEST(QuotedPrintable, SameOutputAsTheReferenceOnLongTextsAndEncodedBodies) {
  std::mt19937 rng(7);
  std::string text;
  while (text.size() < (3u << 20)) {
    const int kind = static_cast<int>(rng() % 4);
    if (kind == 0) text += "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ";
    if (kind == 1) text += std::string(rng() % 200, 'a');
    if (kind == 2) text += "\r\n";
    if (kind == 3) text += "x=y ";
  }
  ExpectSame(text, "long text");
  // An encoded body decodes back (what the relay does with every text body it re-encodes).
  ExpectSame(ReferenceEncode(text, false), "encoded long text");
  EXPECT_EQ(DecodeQuotedPrintable(EncodeQuotedPrintable(text, false)), text);
}

TEST(QuotedPrintable, SameOutputAsTheReferenceOnRealMessages) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(DROPRELAY_TEST_DATA) / "messages")) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ExpectSame(text, entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 20);
}

}  // namespace
}  // namespace droprelay
