// The small string routines of the relay and the submission.
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// The text with no occurrence of `pattern` left (case-sensitive, byte-wise). An empty pattern
// leaves the text as it is. When the replacement contains the pattern, every occurrence present
// in the input is replaced once, left to right, so the call always ends.
std::string StringReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

}  // namespace droprelay
