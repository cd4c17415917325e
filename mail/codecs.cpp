// Base64 and quoted-printable, the fixed-width hex helper and the in-place CR LF line walker.
// The decoders never fail: malformed input is decoded as far as the rules go, because a relay
// must pass on whatever it received rather than drop it.
#include "mail/codecs.h"

#include <cstring>

namespace droprelay {

namespace {

constexpr std::uint8_t kSkip = 0xFF;  // not part of the alphabet: ignored, takes no place in a group
constexpr std::uint8_t kPad = 64;     // "="

constexpr std::array<std::uint8_t, 256> MakeBase64Values() {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = kSkip;
  for (std::size_t i = 0; i < Base64Table.size(); ++i) {
    values[static_cast<unsigned char>(Base64Table[i])] = static_cast<std::uint8_t>(i);
  }
  values[static_cast<unsigned char>('=')] = kPad;
  return values;
}
constexpr std::array<std::uint8_t, 256> kBase64Values = MakeBase64Values();

// Upper-case hexadecimal digit value, or -1: lower-case digits are deliberately not escapes.
int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

namespace {

// Decodes `text` into `out`, which has room for 3 bytes per 4 characters of `text`; answers the end
// of what was written. Line breaks are outside the alphabet like any other character, so a group
// may run across them: the text decodes as one stream.
char* DecodeBase64Groups(std::string_view text, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  unsigned v[4];
  int have = 0;
  while (p < end) {
    if (have == 0) {
      // Whole groups of four alphabet characters, the usual case, decode directly. Skip (0xFF)
      // and pad (64) values both have bit 6 or 7 set and leave this loop.
      while (end - p >= 4) {
        const unsigned a = kBase64Values[p[0]], b = kBase64Values[p[1]];
        const unsigned c = kBase64Values[p[2]], d = kBase64Values[p[3]];
        if ((a | b | c | d) & 0xC0) break;
        out[0] = static_cast<char>(a << 2 | b >> 4);
        out[1] = static_cast<char>((b << 4 | c >> 2) & 0xFF);
        out[2] = static_cast<char>((c << 6 | d) & 0xFF);
        out += 3;
        p += 4;
      }
      if (p >= end) break;
    }
    const std::uint8_t value = kBase64Values[*p++];
    if (value == kSkip) continue;
    v[have++] = value;
    if (have < 4) continue;
    have = 0;
    unsigned a = v[0], b = v[1], c = v[2], d = v[3];
    int count = 3;
    // The order of these checks decides what odd pad placements yield; keep it.
    if (a == kPad) count = 0;
    if (c == kPad) {
      c = 0;
      d = 0;
      count = 1;
    }
    if (d == kPad) {
      d = 0;
      count = 2;
    }
    const char bytes[3] = {static_cast<char>((a * 4 + b / 16) % 256), static_cast<char>((b * 16 + c / 4) % 256),
                           static_cast<char>((c * 64 + d) % 256)};
    for (int i = 0; i < count; ++i) *out++ = bytes[i];
  }
  return out;
}

}  // namespace

std::size_t Base64DecodeBuffer(std::string_view text, std::string& dest) {
  const std::size_t before = dest.size();
  dest.resize(before + text.size() / 4 * 3);
  char* const start = dest.data() + before;
  dest.resize(before + static_cast<std::size_t>(DecodeBase64Groups(text, start) - start));
  return dest.size() - before;
}

std::size_t Base64DecodeStream(std::string_view text, ByteBuffer& dest) {
  char* const start = dest.AppendSpace(text.size() / 4 * 3);
  const auto n = static_cast<std::size_t>(DecodeBase64Groups(text, start) - start);
  dest.Commit(n);
  return n;
}

std::size_t Base64EncodeStream(TMemoryStream& dest, TMemoryStream& source) {
  dest.Clear();
  source.SetPosition(0);
  const std::string_view in = source.View();
  const std::size_t n = in.size();
  if (n == 0) return 0;

  constexpr std::size_t kLineChars = 76;
  const std::size_t chars = (n + 2) / 3 * 4;
  const std::size_t lines = (chars + kLineChars - 1) / kLineChars;
  ByteBuffer out;
  char* p = out.AppendSpace(chars + lines * 2);
  char* const start = p;
  std::size_t column = 0;
  auto put = [&](unsigned sextet) {
    *p++ = Base64Table[sextet & 63];
    if (++column == kLineChars) {
      *p++ = '\r';
      *p++ = '\n';
      column = 0;
    }
  };
  auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(in[i])); };

  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned triple = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    put(triple >> 18);
    put(triple >> 12);
    put(triple >> 6);
    put(triple);
  }
  if (n - i == 2) {
    const unsigned pair = byte(i) << 16 | byte(i + 1) << 8;
    put(pair >> 18);
    put(pair >> 12);
    put(pair >> 6);
    *p++ = '=';
    ++column;
  } else if (n - i == 1) {
    const unsigned single = byte(i) << 16;
    put(single >> 18);
    put(single >> 12);
    *p++ = '=';
    *p++ = '=';
    column += 2;
  }
  // The pad characters never complete a line of 76 (76 is a multiple of 4), so the last line is
  // ended here unless it already was.
  if (column != 0) {
    *p++ = '\r';
    *p++ = '\n';
  }
  out.Commit(static_cast<std::size_t>(p - start));
  dest.Assign(std::move(out));
  source.SetPosition(n);
  return dest.Size();
}

std::string DecodeQuotedPrintable(std::string_view text) {
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
    if (eq + 1 == n) break;  // a trailing "=" is dropped
    if (eq + 2 == n) {       // "=" and one more character end the text: both stay
      out.append(text.substr(eq));
      break;
    }
    const char a = text[eq + 1];
    const char b = text[eq + 2];
    const int hi = UpperHexValue(a);
    const int lo = UpperHexValue(b);
    if (hi >= 0 && lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i = eq + 3;
    } else if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r')) {
      i = eq + 3;  // soft line break
    } else if (a == '\r' || a == '\n') {
      i = eq + 2;  // soft line break with a lone CR or LF
    } else {
      out.push_back('=');
      i = eq + 1;
    }
  }
  return out;
}

std::string EncodeQuotedPrintable(std::string_view text, bool headerMode) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 8);
  int column = 0;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool escape =
        c >= 0x80 || c == '=' || (headerMode && (c <= 0x20 || c == '"' || c == '_'));
    if (escape) {
      out.push_back('=');
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 15]);
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

std::string PadLeftStr(std::string_view text, int width, std::string_view fill) {
  const std::size_t first = text.find_first_not_of(' ');
  std::string s(first == std::string_view::npos ? std::string_view() : text.substr(first));
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (s.size() > w) return s.substr(s.size() - w);
  if (fill.empty()) return s;  // an empty fill could never reach the width
  std::string prefix;
  while (prefix.size() + s.size() < w) prefix.append(fill);
  return prefix + s;
}

void NextBufferLine(std::string_view buffer, std::ptrdiff_t& start, bool& endFlag, std::string_view& line) {
  const auto length = static_cast<std::ptrdiff_t>(buffer.size());
  // `line` still holds the previous line: its length (plus the CR LF) leads to the next one.
  start = start >= 0 ? start + static_cast<std::ptrdiff_t>(line.size()) + 2 : 0;
  line = std::string_view();
  if (start >= length) {
    endFlag = true;
    return;
  }
  const char* base = buffer.data();
  std::ptrdiff_t from = start;
  while (from < length) {
    const void* cr = std::memchr(base + from, '\r', static_cast<std::size_t>(length - from));
    if (cr == nullptr) break;
    const std::ptrdiff_t pos = static_cast<const char*>(cr) - base;
    if (pos + 1 < length && base[pos + 1] == '\n') {
      line = buffer.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(pos - start));
      return;
    }
    from = pos + 1;
  }
  line = buffer.substr(static_cast<std::size_t>(start));  // the last line has no CR LF
}

}  // namespace droprelay
