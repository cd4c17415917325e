// Code-page conversion: everything the relay handles ends up as Windows-1251.
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// UTF-8 to Windows-1251. Every character Windows-1251 has becomes its byte, an invisible format
// character (zero-width space, byte-order mark, direction mark and the other default-ignorable
// code points) is dropped, any other valid UTF-8 character becomes "?", and a byte that does not start a valid UTF-8 sequence is kept as it is.
// Text with more such stray bytes than UTF-8 sequences is Windows-1251 or KOI8-R text and comes
// back unchanged as a whole. Never longer than the input.
std::string Utf8ToCp1251(std::string_view text);

// KOI8-R to Windows-1251, byte for byte (the length never changes); characters that
// Windows-1251 lacks (box drawing) become "?".
std::string Koi8ToCp1251(std::string_view text);

// True when `text` is well-formed UTF-8 throughout (ASCII included).
bool IsValidUtf8(std::string_view text);

// Windows-1251 to UTF-8, for everything the relay shows a person or writes to the log file.
std::string Cp1251ToUtf8(std::string_view text);

}  // namespace droprelay
