// A light pass over the HTML before the parser sees it, for two things the parser does not do as
// a browser does:
// - Keep the tree shallow. The parser's cost per tag grows with the depth of the open elements,
//   and its tree is freed recursively, so a body of a few megabytes of unclosed tags could take
//   minutes or overflow the stack. Browsers cap the tree depth for the same reason; we drop the
//   tags that would open elements beyond the cap (their text stays).
// - Keep control characters in text. The parser replaces a literal control character (a vertical
//   tab, an escape) with U+FFFD; a browser keeps it, and so does the parser for a character
//   reference, so those in text are written as references.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay::html {

// Deepest nesting of elements kept; the same order as a browser's own cap.
inline constexpr std::size_t kMaxHtmlNesting = 512;

// Literal C1 controls (U+0080 to U+009F) of text are carried through the parser, which would turn
// them into U+FFFD (their references mean windows-1252 characters instead), as the private-use
// code points kC1Carrier + (control - 0x80), and turned back when the text is finished. Not done
// for a document that holds such code points itself (CarriesC1Controls is false).
inline constexpr char32_t kC1Carrier = 0x10FF80;
bool CarriesC1Controls(std::string_view html);

// Answers `html` with every start tag beyond `max_depth` open elements, and its matching end tag,
// removed, and the control characters of its text (outside tags, comments and raw-text elements)
// as character references (C0 and DEL) or carriers (C1). The depth is estimated with a light tokenizer that knows void elements,
// raw-text elements, comments and the common implied end tags; a document without such control
// characters that stays below the cap comes back byte for byte. Linear in the input.
std::string PrepareHtml(std::string_view html, std::size_t max_depth = kMaxHtmlNesting);

}  // namespace droprelay::html
