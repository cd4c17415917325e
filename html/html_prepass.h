// A light pass over the HTML before the parser sees it, for two things the parser does not do:
// - Keep the tree shallow. The parser's cost per tag grows with the depth of the open elements, and
//   its tree is freed recursively, so a body of a few megabytes of unclosed tags could take minutes
//   or overflow the stack. Browsers cap the tree depth for the same reason; we drop the tags that
//   would open elements beyond the cap (their text stays).
// - Parse <noscript> as a browser with scripting on does: its content is raw text that never shows.
//   The parser reads it as markup instead, and in <head> that markup spills into the body, so the
//   content is removed (the element stays, for selectors that count siblings).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::html {

// Deepest nesting of elements kept; the same order as a browser's own cap.
inline constexpr std::size_t kMaxHtmlNesting = 512;

// Answers `html` with every start tag beyond `max_depth` open elements, and its matching end tag,
// removed, and with the content of every <noscript> removed. The depth is estimated with a light
// tokenizer that knows void elements, raw-text elements, comments and the common implied end tags;
// a document without <noscript> that stays below the cap comes back byte for byte. Linear in the
// input.
std::string PrepareHtml(std::string_view html, std::size_t max_depth = kMaxHtmlNesting);

}  // namespace droprelay::html
