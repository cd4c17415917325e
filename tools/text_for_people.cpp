// Character-set conversion for display, through the C library's iconv (glibc knows every
// charset a mail can declare).
#include "text_for_people.h"

#include <iconv.h>

#include <cerrno>
#include <string>

#include "mail/codecs.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace droprelay::tools {

namespace {

bool IsValidUtf8Text(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8Sequence(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// iconv from `charset` to UTF-8; false when the charset is unknown or the bytes are not valid in it.
bool Convert(std::string_view bytes, const std::string& charset, std::string& out) {
  const iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  char* to = out.data();
  std::size_t toLeft = out.size();
  const std::size_t result = iconv(cd, &in, &inLeft, &to, &toLeft);
  iconv_close(cd);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - toLeft);
  return true;
}

}  // namespace

std::string Printable(std::string_view bytes, bool keepLayout) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    char32_t cp = 0;
    std::size_t len = 0;
    if (c == '\\') {
      out += "\\\\";
      ++i;
    } else if ((c >= 0x20 && c < 0x7F) || (keepLayout && (c == '\t' || c == '\n'))) {
      out += static_cast<char>(c);
      ++i;
    } else if (c >= 0x80 && (len = DecodeUtf8Sequence(bytes, i, cp)) > 0 && !(cp >= 0x80 && cp < 0xA0)) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    }
  }
  return out;
}

std::string CharsetToUtf8(std::string_view bytes, std::string_view charset, bool keepLayout) {
  const std::string name = AsciiLowerCase(charset);
  if (name.empty() || name == "us-ascii" || name == "utf-8" || name == "utf8") return Printable(bytes, keepLayout);
  std::string out;
  if (Convert(bytes, name, out)) return Printable(out, keepLayout);
  // Not valid in the declared charset (or an unknown one): show what UTF-8 there is.
  return Printable(bytes, keepLayout);
}

std::string HeaderTextToUtf8(std::string_view value, std::string_view fallbackCharset) {
  std::string out;
  std::size_t pos = 0;
  bool lastWasWord = false;
  // Adjacent words of one charset are converted together: a character may be split between them.
  std::string wordBytes;
  std::string wordCharset;
  auto flushWords = [&] {
    if (!wordBytes.empty()) out += CharsetToUtf8(wordBytes, wordCharset);
    wordBytes.clear();
  };
  auto plain = [&](std::string_view text) {
    if (text.empty()) return;
    flushWords();
    out += IsValidUtf8Text(text) ? Printable(text) : CharsetToUtf8(text, fallbackCharset);
  };
  while (pos < value.size()) {
    const std::size_t start = value.find("=?", pos);
    if (start == std::string_view::npos) {
      plain(value.substr(pos));
      break;
    }
    const std::size_t q1 = value.find('?', start + 2);
    const std::size_t q2 = q1 == std::string_view::npos ? q1 : value.find('?', q1 + 1);
    const std::size_t endWord = q2 == std::string_view::npos ? q2 : value.find("?=", q2 + 1);
    if (endWord == std::string_view::npos || q2 != q1 + 2) {
      // Not an encoded word after all: its "=?" is text.
      plain(value.substr(pos, start + 2 - pos));
      pos = start + 2;
      lastWasWord = false;
      continue;
    }
    const std::string_view between = value.substr(pos, start - pos);
    // Blanks between two encoded words are not text (RFC 2047 6.2).
    if (!(lastWasWord && between.find_first_not_of(" \t") == std::string_view::npos)) plain(between);
    std::string charset(value.substr(start + 2, q1 - start - 2));
    if (const std::size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);
    const char kind = value[q1 + 1];
    const std::string_view encoded = value.substr(q2 + 1, endWord - q2 - 1);
    std::string bytes;
    if (kind == 'B' || kind == 'b') {
      Base64DecodeBuffer(encoded, bytes);
    } else {
      std::string text(encoded);
      for (char& c : text) {
        if (c == '_') c = ' ';
      }
      bytes = DecodeQuotedPrintable(text);
    }
    if (AsciiLowerCase(charset) != AsciiLowerCase(wordCharset)) flushWords();
    wordCharset = charset;
    wordBytes += bytes;
    lastWasWord = true;
    pos = endWord + 2;
  }
  flushWords();
  return out;
}

std::string ExtendedValueCharset(std::string_view value) {
  const std::size_t quote = value.find('\'');
  return quote == std::string_view::npos ? std::string() : std::string(value.substr(0, quote));
}

}  // namespace droprelay::tools
