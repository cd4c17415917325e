// The parsed document as the HTML engine sees it: every element of the parser's tree with what the
// selectors ask of it (tag name, id, classes, position among its siblings) and its computed style.
#pragma once

#include <gumbo.h>

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "html/html_text.h"

namespace droprelay::html {

// Counts the steps of one conversion and asks its budget each time kHtmlBudgetStep more have
// been counted. Cheap enough to count every rule tried on every element.
class BudgetMeter {
 public:
  explicit BudgetMeter(const HtmlBudget* budget)
      : budget_(budget),
        next_check_(budget != nullptr && budget->expired ? kHtmlBudgetStep : UINT64_MAX) {}

  // Counts `count` steps; true once the budget has run out.
  bool Step(std::uint64_t count = 1) {
    steps_ += count;
    if (steps_ < next_check_) return spent_;
    next_check_ = steps_ + kHtmlBudgetStep;
    if (!spent_) spent_ = budget_->expired();
    return spent_;
  }
  bool Spent() const { return spent_; }

 private:
  const HtmlBudget* budget_;
  std::uint64_t steps_ = 0;
  std::uint64_t next_check_;
  bool spent_ = false;
};

enum class Display : std::uint8_t {
  kNone,
  kInline,
  kBlock,
  kInlineBlock,
  kListItem,
  kTable,
  kInlineTable,
  kTableRowGroup,
  kTableHeaderGroup,
  kTableFooterGroup,
  kTableRow,
  kTableCell,
  kTableColumn,
  kTableColumnGroup,
  kTableCaption,
  kFlex,
  kInlineFlex,
  kGrid,
  kInlineGrid,
  kContents,
  kFlowRoot
};
enum class Visibility : std::uint8_t { kVisible, kHidden, kCollapse };
enum class WhiteSpace : std::uint8_t { kNormal, kNoWrap, kPre, kPreWrap, kPreLine, kBreakSpaces };
enum class TextTransform : std::uint8_t { kNone, kUppercase, kLowercase, kCapitalize };

struct ComputedStyle {
  Display display = Display::kInline;
  Visibility visibility = Visibility::kVisible;
  WhiteSpace white_space = WhiteSpace::kNormal;
  TextTransform text_transform = TextTransform::kNone;
  bool floating = false;        // float other than none
  bool out_of_flow = false;     // position absolute or fixed
  bool content_hidden = false;  // content-visibility: hidden, the box stays but not its content
};

// A Bloom filter of names (tags, ids, classes): lets a selector that needs an ancestor named so
// be skipped without walking the ancestors when none can match.
using NameFilter = std::array<std::uint64_t, 4>;

struct ElementInfo {
  const GumboNode* node = nullptr;
  ElementInfo* parent = nullptr;            // nullptr for the root element
  ElementInfo* previous_sibling = nullptr;  // previous element sibling
  std::string tag;                          // lower-case local name
  std::string_view id;
  std::vector<std::string_view> classes;
  std::uint32_t child_position = 1;  // 1-based among the parent's element children
  std::uint32_t child_count = 1;
  std::uint32_t type_position = 1;  // the same among siblings of the same tag
  std::uint32_t type_count = 1;
  bool empty = true;            // no element and no text children (for :empty)
  NameFilter ancestor_names{};  // tags, ids and classes of all ancestors
  ComputedStyle style;
  bool rendered = true;  // has a box: neither it nor an ancestor is display:none
  bool svg_text = false;       // an SVG element whose text children are laid out (<text> and in it)
  bool svg_switch_taken = false;  // an SVG <switch> whose one rendered child has been chosen
};

// Attribute value of an element, nullptr when absent. Names are lower case.
inline const char* AttributeOf(const ElementInfo& element, const char* name) {
  const GumboAttribute* attribute = gumbo_get_attribute(&element.node->v.element.attributes, name);
  return attribute == nullptr ? nullptr : attribute->value;
}

struct HtmlDom {
  // Parents come before their children; pointers stay valid while the dom lives.
  std::deque<ElementInfo> elements;
  std::unordered_map<const GumboNode*, ElementInfo*> by_node;
  bool quirks = false;  // no or an old doctype: classes and ids match without regard to case

  ElementInfo* Find(const GumboNode* node) const {
    auto found = by_node.find(node);
    return found == by_node.end() ? nullptr : found->second;
  }
};

}  // namespace droprelay::html
