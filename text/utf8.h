// The one UTF-8 decoder and encoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay {

// Length of the well-formed multi-byte UTF-8 sequence at `pos` (2 to 4) and its code point in
// `cp`, or 0 when the byte there does not begin one (an ASCII byte included). Overlong forms,
// surrogates, values above U+10FFFF and sequences cut off by the end of the text are not
// well-formed.
std::size_t DecodeUtf8Sequence(std::string_view text, std::size_t pos, char32_t& cp);

// Decodes the code point at `pos` and advances `pos`; a byte that begins no well-formed sequence
// gives U+FFFD and is passed over on its own.
char32_t NextCodePoint(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of `cp` (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace droprelay
