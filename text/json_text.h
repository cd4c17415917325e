// Text as a JSON string literal, for the programs' --json output.
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// `text` (UTF-8) in double quotes with '"', '\' and the control characters escaped.
std::string JsonString(std::string_view text);

}  // namespace droprelay
