// Builds the engine's view of a parsed document and computes each element's style: the browser's
// default style for HTML elements, then the document's <style> sheets and style attributes in
// cascade order (importance, inline, specificity, order), then inheritance.
#pragma once

#include <gumbo.h>

#include <string_view>

#include "html/html_dom.h"

namespace droprelay::html {

// Elements shown as a box of their own whose content is not the document's text (images, form
// fields, frames, media): they count as content on their line but add no text.
bool IsReplacedElement(std::string_view tag);

// Elements whose children a browser never renders as the document's text.
bool ChildrenNeverRendered(std::string_view tag);

// Adds the name ("#id", ".class" or a tag) to a filter; `quirks` folds ids and classes to lower
// case.
void AddToNameFilter(NameFilter& filter, std::string_view name, bool quirks);

// Collects the elements under `output->document` in document order and computes their styles,
// each element and each style rule tried on it a step of `meter`. Once the meter's budget has run
// out, the elements left get the browser's default style and their style attributes only.
void BuildStyledDom(GumboOutput* output, HtmlDom& dom, BudgetMeter& meter);

}  // namespace droprelay::html
