// The relay's HTML rendering engine: turns an HTML mail body into the text a reader sees.
//
// The document is parsed as a browser with scripting off parses it (HTML5; the relay never runs a
// message's scripts, so <noscript> content shows and <canvas> shows its fallback content), styled
// with the CSS that decides which text exists (display, visibility, white-space, text-transform;
// inline styles, <style> rules, @media at a 1280 x 800 screen) and flattened by the innerText
// rules, as a browser would answer document.documentElement.innerText. The text of inline SVG is
// that of its <text> elements, each a line of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace droprelay::html {

// Answers the innerText of the document's first <html> element, in UTF-8, lines joined with CR LF.
// Invisible format characters (U+200B, U+200C, U+200D, U+2060, U+FEFF) are dropped; the soft hyphen
// (U+00AD) and control characters stay as the browser gives them. `html` is UTF-8 text; bytes that are not UTF-8 become U+FFFD, as in a browser.
// No value when the document has no element to take the text from (the caller then keeps the HTML
// source). Never throws for any input; time and memory stay linear in the size of the input.
std::optional<std::string> HtmlInnerText(std::string_view html);

}  // namespace droprelay::html
