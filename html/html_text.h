// The relay's HTML rendering engine: turns an HTML mail body into the text a reader sees.
//
// The document is parsed as a browser with scripting off parses it (HTML5; the relay never runs a
// message's scripts, so <noscript> content shows and <canvas> shows its fallback content), styled
// with the CSS that decides which text exists (display, visibility, white-space, text-transform;
// inline styles, <style> rules, @media at a 1280 x 800 screen) and flattened by the innerText
// rules, as a browser would answer document.documentElement.innerText. The text of inline SVG is
// that of its <text> elements, each a line of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace droprelay::html {

// A bound on the time of one conversion. `expired` is asked about every kHtmlBudgetStep steps of
// the work (a step: one element styled, one style rule tried on an element, one node laid out);
// once
// it answers true the conversion ends with what it has. Styling that runs out leaves the elements
// not yet styled with the browser's default style and their style attributes (style sheets are no
// longer applied), and the text is collected as usual; collecting that runs out keeps the text so
// far. Parsing is not interrupted (it is linear in the input).
struct HtmlBudget {
  std::function<bool()> expired;
};
inline constexpr std::uint32_t kHtmlBudgetStep = 256;

struct HtmlText {
  std::string text;
  bool cut_short = false;  // the budget ran out
};

// Answers the innerText of the document's first <html> element, in UTF-8, lines joined with CR LF.
// Invisible format characters (U+200B, U+200C, U+200D, U+2060, U+FEFF) are dropped; the soft hyphen
// (U+00AD) and control characters stay as the browser gives them. `html` is UTF-8 text; bytes that are not UTF-8 become U+FFFD, as in a browser.
// No value when the document has no element to take the text from (the caller then keeps the HTML
// source). Never throws for any input; time and memory stay linear in the size of the input.
std::optional<std::string> HtmlInnerText(std::string_view html);

// The same under a budget: says whether the text was cut short by it.
std::optional<HtmlText> HtmlInnerText(std::string_view html, const HtmlBudget& budget);

}  // namespace droprelay::html
