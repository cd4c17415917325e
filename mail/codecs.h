// Text codecs of the mail library: base64, quoted-printable, uuencode, and a line iterator.
// All strings are bytes; nothing here interprets a character set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/memory_stream.h"

namespace droprelay {

inline constexpr std::string_view Base64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decodes `text`, appending the bytes to `dest` (which therefore can never be overrun).
// Characters outside the alphabet and "=" are skipped. Answers the number of bytes appended.
std::size_t Base64DecodeBuffer(std::string_view text, std::string& dest);

// Base64DecodeBuffer of a whole body, appending to a byte buffer: line breaks are skipped like
// every other character outside the alphabet, so a group may run across them. Answers the number
// of bytes appended.
// `damage`, when given, counts what was not well-formed: characters outside the alphabet other
// than line breaks, blanks and tabs, and the characters of an incomplete last group.
struct Base64Damage {
  std::size_t strayCharacters = 0;
  std::size_t leftoverCharacters = 0;
};
std::size_t Base64DecodeStream(std::string_view text, ByteBuffer& dest, Base64Damage* damage = nullptr);

// The characters of a group not finished yet.
struct Base64State {
  unsigned v[4] = {};
  int have = 0;
};

// Base64DecodeStream in pieces: a text fed piece by piece decodes to the same bytes and the same
// damage as the whole text at once, without ever holding all of it decoded.
class Base64Decoder {
 public:
  // Decodes the next piece into `out`, which has room for text.size() / 4 * 3 + 3 bytes; answers
  // the end of what was written.
  char* Decode(std::string_view text, char* out);
  // The damage so far; `leftoverCharacters` counts the unfinished group, which is damage only if
  // no more text follows.
  const Base64Damage& Damage() const { return damage_; }

 private:
  Base64State state_;
  Base64Damage damage_;
};

// Encodes the whole of `source` into `dest` as lines of 76 characters, each ending in CR LF.
// Answers the size of `dest`.
std::size_t Base64EncodeStream(TMemoryStream& dest, TMemoryStream& source);

// The size of `bytes` bytes in those lines, and the encoding itself, written at `out` (which has
// room for Base64LinesSize) and answering its end. 57 bytes make one full line, so pieces of a
// multiple of 57 bytes encoded one after another give the same lines as the whole at once.
std::uint64_t Base64LinesSize(std::uint64_t bytes);
char* EncodeBase64Lines(std::string_view bytes, char* out);

std::string DecodeQuotedPrintable(std::string_view text);
std::string EncodeQuotedPrintable(std::string_view text, bool headerMode);
// The same, appending to a byte buffer: for whole bodies, written once without a second copy.
void DecodeQuotedPrintable(std::string_view text, ByteBuffer& dest);
// Where a piece of quoted-printable `text` that starts at `from` may end so that the pieces decode
// one by one to what the whole text gives: after the first line break at least `wanted` bytes on
// (no escape or soft line break spans one), or the end of the text.
std::size_t QuotedPrintablePieceEnd(std::string_view text, std::size_t from, std::size_t wanted);
void EncodeQuotedPrintable(std::string_view text, bool headerMode, ByteBuffer& dest);

// The 6-bit value of a uuencode character; throws EMailError("UUCODE message format error").
int UUDecodeChar(char c);

// Decodes one uuencoded line (without its line break) into `dest` (all 45 bytes written, zero
// beyond the decoded characters; an empty line leaves it alone); answers the line's byte count.
// A count above 45 is answered with what the at most 60 data characters carry, never above 45.
using UULineBuffer = std::array<std::uint8_t, 45>;
int UUDecodeLine(std::string_view line, UULineBuffer& dest);

// Decodes the data lines of a uuencoded block (CR LF separated, no "begin"/"end" lines) into
// `dest` (cleared first); a line ends at a NUL byte. Always true; on a format error the stream
// keeps the lines decoded before.
bool UUDecodeToStream(std::string_view text, TMemoryStream& dest);

// How far the data lines of a uuencoded block decoded.
struct UUBlockDamage {
  bool damaged = false;      // a line did not decode; it and what follows it were not read
  std::size_t offset = 0;    // where that line starts in the text
  std::size_t lines = 0;     // the lines decoded before it (empty lines not counted)
  std::string problem;       // why it did not decode
};

// Decodes the data lines of a uuencoded block (CR LF separated, without its begin and end lines)
// into `dest` (cleared first), each line on its own, up to the first line that does not decode:
// one with a character outside the alphabet, or, when the block may be `cut` (it has no end line,
// so the text may stop in the middle of a line), a last line that holds fewer characters than its
// count announces. A line ends at a NUL byte. Never throws.
UUBlockDamage UUDecodeBlock(std::string_view text, bool cut, TMemoryStream& dest);

std::string PadLeftStr(std::string_view text, int width, std::string_view fill);

// Walks the CR LF lines of `buffer` in place. First call: start = -1, endFlag = false. Each call
// sets `line` to the next line (a view into `buffer`, without its CR LF) or sets endFlag. Pass
// `line` back unchanged: its length leads to the next line. Lone CR or LF do not end a line.
void NextBufferLine(std::string_view buffer, std::ptrdiff_t& start, bool& endFlag, std::string_view& line);

}  // namespace droprelay
