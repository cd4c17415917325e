// Keeps the HTML parser's tree shallow. The parser's cost per tag grows with the depth of the open
// elements, and its tree is freed recursively, so a body of a few megabytes of unclosed tags could
// take minutes or overflow the stack. Browsers cap the tree depth for the same reason; we do it before
// parsing, by dropping the tags that would open elements beyond the cap (their text stays).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::platform {

// Deepest nesting of elements kept; the same order as a browser's own cap.
inline constexpr std::size_t kMaxHtmlNesting = 512;

// Answers `html` with every start tag beyond `max_depth` open elements, and its matching end tag,
// removed. The depth is estimated with a light tokenizer that knows void elements, raw-text
// elements, comments and the common implied end tags; a document that stays below the cap comes
// back byte for byte. Linear in the input.
std::string CapHtmlNesting(std::string_view html, std::size_t max_depth = kMaxHtmlNesting);

}  // namespace droprelay::platform
