// The case changes of CSS text-transform (full mappings where a letter becomes several, as ß
// becomes SS).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::html {

// Appends the upper-case (title-case when `title`) or lower-case form of `code_point`.
void AppendUpper(std::string& out, char32_t code_point, bool title);
void AppendLower(std::string& out, char32_t code_point);

// Letters and digits, which make up words for text-transform: capitalize.
bool IsWordCharacter(char32_t code_point);

}  // namespace droprelay::html
