// UTF-8 helpers of the HTML engine: reading and writing code points, and the case changes of
// CSS text-transform (full mappings where a letter becomes several, as ß becomes SS).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::html {

// Decodes the code point at `pos` and advances `pos`; invalid bytes give U+FFFD, one byte each.
char32_t NextCodePoint(std::string_view text, std::size_t& pos);

void AppendUtf8(std::string& out, char32_t code_point);

// Appends the upper-case (title-case when `title`) or lower-case form of `code_point`.
void AppendUpper(std::string& out, char32_t code_point, bool title);
void AppendLower(std::string& out, char32_t code_point);

// Letters and digits, which make up words for text-transform: capitalize.
bool IsWordCharacter(char32_t code_point);

}  // namespace droprelay::html
