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

// Encodes the whole of `source` into `dest` as lines of 76 characters, each ending in CR LF.
// Answers the size of `dest`.
std::size_t Base64EncodeStream(TMemoryStream& dest, TMemoryStream& source);

std::string DecodeQuotedPrintable(std::string_view text);
std::string EncodeQuotedPrintable(std::string_view text, bool headerMode);
// The same, appending to a byte buffer: for whole bodies, written once without a second copy.
void DecodeQuotedPrintable(std::string_view text, ByteBuffer& dest);
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

std::string PadLeftStr(std::string_view text, int width, std::string_view fill);

// Walks the CR LF lines of `buffer` in place. First call: start = -1, endFlag = false. Each call
// sets `line` to the next line (a view into `buffer`, without its CR LF) or sets endFlag. Pass
// `line` back unchanged: its length leads to the next line. Lone CR or LF do not end a line.
void NextBufferLine(std::string_view buffer, std::ptrdiff_t& start, bool& endFlag, std::string_view& line);

}  // namespace droprelay
