// The small string routines of the relay and the submission (the file routines beside them live
// in platform/file_utils.h).
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// The text with no occurrence of `pattern` left (case-sensitive, byte-wise). An empty pattern
// leaves the text as it is. When the replacement contains the pattern, every occurrence present
// in the input is replaced once, left to right, so the call always ends.
std::string StringReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// `first` when `flag` is true, otherwise `second`.
std::string ChooseStr(bool flag, std::string_view first, std::string_view second);

}  // namespace droprelay
