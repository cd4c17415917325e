// Base64 and quoted-printable, the fixed-width hex helper and the in-place CR LF line walker.
// The decoders never fail: malformed input is decoded as far as the rules go, because a relay
// must pass on whatever it received rather than drop it.
#include "mail/codecs.h"
#include "mail/quoted_printable_simd.h"

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "mail/base64_simd.h"

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

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

namespace {

// Decodes `text` into `out`, which has room for 3 bytes per 4 characters of `text`; answers the end
// of what was written. Line breaks are outside the alphabet like any other character, so a group
// may run across them: the text decodes as one stream.
// `state` carries an unfinished group from one call to the next, so a text fed in pieces decodes
// to the same bytes as at once.
char* DecodeBase64Groups(std::string_view text, char* out, Base64State& state, Base64Damage* damage = nullptr) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  unsigned* const v = state.v;
  int have = state.have;
  while (p < end) {
    if (have == 0) {
      // Whole groups of four alphabet characters, the usual case, decode in bulk.
      p = DecodeBase64Run(p, end, out);
      if (p >= end) break;
    }
    const std::uint8_t value = kBase64Values[*p++];
    if (value == kSkip) {
      if (damage != nullptr && p[-1] != '\r' && p[-1] != '\n' && p[-1] != ' ' && p[-1] != '\t') {
        ++damage->strayCharacters;
      }
      continue;
    }
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
  state.have = have;
  if (damage != nullptr) damage->leftoverCharacters = static_cast<std::size_t>(have);
  return out;
}

}  // namespace

std::size_t Base64DecodeBuffer(std::string_view text, std::string& dest) {
  const std::size_t before = dest.size();
  dest.resize(before + text.size() / 4 * 3);
  char* const start = dest.data() + before;
  Base64State state;
  dest.resize(before + static_cast<std::size_t>(DecodeBase64Groups(text, start, state) - start));
  return dest.size() - before;
}

std::size_t Base64DecodeStream(std::string_view text, ByteBuffer& dest, Base64Damage* damage) {
  char* const start = dest.AppendSpace(text.size() / 4 * 3);
  Base64State state;
  const auto n = static_cast<std::size_t>(DecodeBase64Groups(text, start, state, damage) - start);
  dest.Commit(n);
  return n;
}

char* Base64Decoder::Decode(std::string_view text, char* out) {
  Base64Damage piece;
  char* const end = DecodeBase64Groups(text, out, state_, &piece);
  damage_.strayCharacters += piece.strayCharacters;
  damage_.leftoverCharacters = piece.leftoverCharacters;
  return end;
}

std::uint64_t Base64LinesSize(std::uint64_t bytes) {
  const std::uint64_t chars = (bytes + 2) / 3 * 4;
  return chars + (chars + 75) / 76 * 2;
}

char* EncodeBase64Lines(std::string_view in, char* p) {
  constexpr std::size_t kLineBytes = 57;  // 76 characters
  const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(in[i])); };
  for (std::size_t line = 0; line < in.size(); line += kLineBytes) {
    const std::size_t end = std::min(in.size(), line + kLineBytes);
    std::size_t i = line;
    for (; i + 3 <= end; i += 3) {
      const unsigned triple = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
      *p++ = Base64Table[triple >> 18];
      *p++ = Base64Table[triple >> 12 & 63];
      *p++ = Base64Table[triple >> 6 & 63];
      *p++ = Base64Table[triple & 63];
    }
    if (end - i == 2) {
      const unsigned pair = byte(i) << 16 | byte(i + 1) << 8;
      *p++ = Base64Table[pair >> 18];
      *p++ = Base64Table[pair >> 12 & 63];
      *p++ = Base64Table[pair >> 6 & 63];
      *p++ = '=';
    } else if (end - i == 1) {
      const unsigned single = byte(i) << 16;
      *p++ = Base64Table[single >> 18];
      *p++ = Base64Table[single >> 12 & 63];
      *p++ = '=';
      *p++ = '=';
    }
    *p++ = '\r';
    *p++ = '\n';
  }
  return p;
}

std::size_t Base64EncodeStream(TMemoryStream& dest, TMemoryStream& source) {
  const std::string_view in = source.View();
  ByteBuffer out;
  char* const start = out.AppendSpace(static_cast<std::size_t>(Base64LinesSize(in.size())));
  out.Commit(static_cast<std::size_t>(EncodeBase64Lines(in, start) - start));
  dest.Assign(std::move(out));
  source.SetPosition(in.size());
  return dest.Size();
}

namespace {

// Hexadecimal digit values, either case (RFC 2045 6.7 asks decoders to accept lower-case escapes,
// which some mailers write); 0xFF for every other byte.
constexpr std::array<std::uint8_t, 256> MakeHexValues() {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = 0xFF;
  for (int c = '0'; c <= '9'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
  return values;
}
constexpr std::array<std::uint8_t, 256> kHexValue = MakeHexValues();

// The byte an escape's two digits stand for, by both digits at once (first + 256 * second); 0x100
// when either is no digit. One look-up per escape where text in a non-Latin script has one per byte.
struct HexPairs {
  std::array<std::uint16_t, 65536> value{};
};
HexPairs MakeHexPairs() {
  HexPairs pairs;
  for (std::size_t i = 0; i < 65536; ++i) {
    const unsigned hi = kHexValue[i & 0xFF];
    const unsigned lo = kHexValue[i >> 8];
    pairs.value[i] = static_cast<std::uint16_t>(hi < 16 && lo < 16 ? hi << 4 | lo : 0x100);
  }
  return pairs;
}
// Built at start-up: 65,536 entries are more than some compilers evaluate at compile time.
const HexPairs kHexPairs = MakeHexPairs();

unsigned EscapedByte(const char* digits) {
  return kHexPairs.value[static_cast<unsigned char>(digits[0]) | static_cast<unsigned>(static_cast<unsigned char>(digits[1])) << 8];
}

// Slack the fast paths may write past the output's end (whole 16- or 4-byte stores); the callers
// reserve it.
constexpr std::size_t kSlack = 16;

// Quoted-printable decoding of in[0..n) into out, which holds n + kSlack bytes; answers the end
// of the output. Runs without "=" are copied sixteen bytes at a time.
char* DecodeQuotedPrintableRaw(const char* in, std::size_t n, char* out) {
  const char* p = in;
  const char* const end = in + n;
  for (;;) {
    // Plain bytes and whole escapes 64 at a time where the processor can, up to whatever else
    // begins with "=" (a soft line break, an "=" of its own) or the last few bytes.
    p = DecodeQuotedPrintableBlocks(p, end, out);
    // The run up to the next "=".
#ifdef __SSE2__
    const __m128i equals = _mm_set1_epi8('=');
    for (;;) {
      if (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, equals)));
        if (mask == 0) {
          p += 16;
          out += 16;
          continue;
        }
        const unsigned run = static_cast<unsigned>(__builtin_ctz(mask));
        p += run;
        out += run;
        break;
      }
      const void* eq = std::memchr(p, '=', static_cast<std::size_t>(end - p));
      const char* stop = eq == nullptr ? end : static_cast<const char*>(eq);
      std::memcpy(out, p, static_cast<std::size_t>(stop - p));
      out += stop - p;
      p = stop;
      break;
    }
#else
    {
      const void* eq = std::memchr(p, '=', static_cast<std::size_t>(end - p));
      const char* stop = eq == nullptr ? end : static_cast<const char*>(eq);
      std::memcpy(out, p, static_cast<std::size_t>(stop - p));
      out += stop - p;
      p = stop;
    }
#endif
    if (p == end) return out;
    // p is at "=".
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (left == 1) return out;  // a trailing "=" is dropped
    const char a = p[1];
    if (left >= 3) {
      const unsigned hi = kHexValue[static_cast<unsigned char>(a)];
      const unsigned lo = kHexValue[static_cast<unsigned char>(p[2])];
      if (hi < 16 && lo < 16) {
        *out++ = static_cast<char>(hi << 4 | lo);
        p += 3;  // a decoded "=" is never read again
        // Text in a non-Latin script is escapes back to back: take them here, without going
        // through the run search for each.
        while (end - p >= 3 && p[0] == '=') {
          const unsigned byte = EscapedByte(p + 1);
          if (byte > 0xFF) break;
          *out++ = static_cast<char>(byte);
          p += 3;
        }
        continue;
      }
    }
    // A soft line break: "=" and a line break (CR LF, LF CR, or a lone CR or LF), possibly with
    // blanks between them that a transport added (RFC 2045 6.7), or "=" and blanks at the end.
    const char* q = p + 1;
    while (q < end && (*q == ' ' || *q == '\t')) ++q;
    if (q == end) return out;
    if (*q == '\r' || *q == '\n') {
      const bool pair = end - q >= 2 && ((q[0] == '\r' && q[1] == '\n') || (q[0] == '\n' && q[1] == '\r'));
      p = q + (pair ? 2 : 1);
      continue;
    }
    // Any other "=" is a character of its own.
    *out++ = '=';
    p += 1;
  }
}

// "=" and two upper-case hexadecimal digits for every byte, as one 4-byte store (the fourth byte
// is overwritten by what follows).
constexpr std::array<std::uint32_t, 256> MakeEscapes() {
  std::array<std::uint32_t, 256> escapes{};
  for (std::size_t c = 0; c < 256; ++c) {
    escapes[c] = static_cast<std::uint32_t>('=') | static_cast<std::uint32_t>(kHexDigits[c >> 4]) << 8 |
                 static_cast<std::uint32_t>(kHexDigits[c & 15]) << 16;
  }
  return escapes;
}
constexpr std::array<std::uint32_t, 256> kEscapes = MakeEscapes();

// Which bytes are escaped, per mode (RFC 2045 6.7, RFC 2047 4.2): 0x80 and above, "=", DEL and
// the control bytes; in body mode TAB stays, and CR and LF are looked at where they stand (a CR LF
// pair is a line break); in header mode also the blank, the double quote, "?" and "_".
constexpr std::array<bool, 256> MakeEscaped(bool headerMode) {
  std::array<bool, 256> escaped{};
  for (std::size_t c = 0; c < 256; ++c) {
    escaped[c] = c >= 0x7F || c == '=' || (c < 0x20 && c != '\t' && c != '\r' && c != '\n') ||
                 (headerMode && (c <= 0x20 || c == '"' || c == '?' || c == '_'));
  }
  return escaped;
}
constexpr std::array<bool, 256> kEscapedBody = MakeEscaped(false);
constexpr std::array<bool, 256> kEscapedHeader = MakeEscaped(true);

// The most EncodeQuotedPrintableRaw writes for n bytes: three per byte, and a soft line break
// (three bytes) for every 72 or more columns.
std::size_t EncodedBound(std::size_t n) { return 3 * n + (3 * n) / 72 * 3 + 3 + kSlack; }

std::uint32_t Load32(const void* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Quoted-printable encoding of in[0..n) into out (EncodedBound(n) bytes); answers the output's end.
char* EncodeQuotedPrintableRaw(const char* in, std::size_t n, bool headerMode, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  const auto* const end = p + n;
  if (headerMode) {
    for (; p < end; ++p) {
      if (kEscapedHeader[*p]) {
        const std::uint32_t escape = kEscapes[*p];
        std::memcpy(out, &escape, 4);
        out += 3;
      } else {
        *out++ = static_cast<char>(*p);
      }
    }
    return out;
  }
  char* const outStart = out;
  int column = 0;
  const auto softBreak = [&] {
    out[0] = '=';
    out[1] = '\r';
    out[2] = '\n';
    out += 3;
    column = 0;
  };
  // A blank just written is escaped instead: readers strip blanks at a line's end as padding.
  const auto escapeTrailingBlank = [&] {
    if (out == outStart || (out[-1] != ' ' && out[-1] != '\t')) return;
    const std::uint32_t code = kEscapes[static_cast<unsigned char>(out[-1])];
    --out;
    std::memcpy(out, &code, 4);
    out += 3;
  };
  const auto escape = [&](unsigned char c) {
    const std::uint32_t code = kEscapes[c];
    std::memcpy(out, &code, 4);
    out += 3;
    column += 3;
    if (column >= 72) softBreak();
  };
  while (p < end) {
    const unsigned char c = *p;
    if (kEscapedBody[c]) {
      ++p;
      escape(c);
      continue;
    }
    if (c == '\r' || c == '\n') {
      if (c == '\n' || end - p < 2 || p[1] != '\n') {
        // A lone CR or LF is data, not a line break.
        ++p;
        escape(c);
        continue;
      }
      // A line break. A blank just before it would be taken for transport padding and stripped
      // by the reader, so it is escaped; a blank that ended on a soft line break is safe.
      escapeTrailingBlank();
      out[0] = '\r';
      out[1] = '\n';
      out += 2;
      p += 2;
      column = 1;  // the LF counts as the next line's first column, as it always has
      continue;
    }
    // Copyable bytes count one column each: take as many as fit before column 72 eight at a time
    // while none is special.
    int room = 72 - column;
    const unsigned char* const runStart = p;
    while (room >= 8 && end - p >= 8) {
      const std::uint64_t v = static_cast<std::uint64_t>(Load32(p)) | static_cast<std::uint64_t>(Load32(p + 4)) << 32;
      // A byte is special when it is 0x80 or above, below 0x20 (controls, TAB, CR, LF), "=" (0x3D)
      // or DEL (0x7F).
      constexpr std::uint64_t kOnes = 0x0101010101010101ull;
      constexpr std::uint64_t kHigh = 0x8080808080808080ull;
      const std::uint64_t eq = v ^ (kOnes * 0x3D);
      const std::uint64_t del = v ^ (kOnes * 0x7F);
      const std::uint64_t zeroEq = (eq - kOnes) & ~eq & kHigh;
      const std::uint64_t zeroDel = (del - kOnes) & ~del & kHigh;
      const std::uint64_t below20 = (v - kOnes * 0x20) & ~v & kHigh;
      if (((v & kHigh) | zeroEq | zeroDel | below20) != 0) break;
      std::memcpy(out, p, 8);
      out += 8;
      p += 8;
      room -= 8;
    }
    column = 72 - room;
    if (column >= 72) softBreak();
    if (p != runStart) continue;  // what follows the blocks is dispatched afresh
    *out++ = static_cast<char>(*p++);  // the byte that began the run, a copyable one
    if (++column >= 72) softBreak();
  }
  // A blank at the very end is escaped too: a reader may strip it as it would at a line's end.
  escapeTrailingBlank();
  return out;
}

}  // namespace

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out(text.size() + kSlack, '\0');
  out.resize(static_cast<std::size_t>(DecodeQuotedPrintableRaw(text.data(), text.size(), out.data()) - out.data()));
  return out;
}

void DecodeQuotedPrintable(std::string_view text, ByteBuffer& dest) {
  char* const start = dest.AppendSpace(text.size() + kSlack);
  dest.Commit(static_cast<std::size_t>(DecodeQuotedPrintableRaw(text.data(), text.size(), start) - start));
}

std::size_t QuotedPrintablePieceEnd(std::string_view text, std::size_t from, std::size_t wanted) {
  if (text.size() - from <= wanted) return text.size();
  const std::size_t lineEnd = text.find("\r\n", from + wanted);
  return lineEnd == std::string_view::npos ? text.size() : lineEnd + 2;
}

std::string EncodeQuotedPrintable(std::string_view text, bool headerMode) {
  std::string out(EncodedBound(text.size()), '\0');
  out.resize(static_cast<std::size_t>(
      EncodeQuotedPrintableRaw(text.data(), text.size(), headerMode, out.data()) - out.data()));
  return out;
}

void EncodeQuotedPrintable(std::string_view text, bool headerMode, ByteBuffer& dest) {
  char* const start = dest.AppendSpace(EncodedBound(text.size()));
  dest.Commit(static_cast<std::size_t>(EncodeQuotedPrintableRaw(text.data(), text.size(), headerMode, start) - start));
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
