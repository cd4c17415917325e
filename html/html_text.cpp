// innerText of a parsed and styled document: the rendered text collection steps of the HTML
// Standard, walked over the tree without recursion, with CSS white-space processing done the way a
// line box would (collapsible spaces merged, removed at line starts and ends; lines never wrapped).
#include "html/html_text.h"

#include <gumbo.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "html/html_dom.h"
#include "html/html_prepass.h"
#include "html/html_style.h"
#include "html/text_case.h"
#include "text/utf8.h"

namespace droprelay::html {
namespace {

struct GumboDeleter {
  void operator()(GumboOutput* output) const {
    gumbo_destroy_output(&kGumboDefaultOptions, output);
  }
};

bool IsBlockLevel(Display d) {
  return d == Display::kBlock || d == Display::kListItem || d == Display::kTable ||
         d == Display::kFlex || d == Display::kGrid || d == Display::kFlowRoot ||
         d == Display::kTableCaption;
}

// Boxes that end the line before them and start a fresh one inside.
bool BreaksLines(Display d) {
  return IsBlockLevel(d) || d == Display::kTableRow || d == Display::kTableCell ||
         d == Display::kTableRowGroup || d == Display::kTableHeaderGroup ||
         d == Display::kTableFooterGroup;
}

// Inline-level boxes with their own inside: content on the outer line, a fresh line within.
bool IsAtomicInline(const ElementInfo& e) {
  Display d = e.style.display;
  return d == Display::kInlineBlock || d == Display::kInlineTable || d == Display::kInlineFlex ||
         d == Display::kInlineGrid || (d == Display::kInline && IsReplacedElement(e.tag));
}

bool IsElementNode(const GumboNode* node) {
  return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

// The last child element of `parent` with a rendered box of display `wanted` (looking through row
// groups when `through_groups`), nullptr when none.
const ElementInfo* LastChildBox(const HtmlDom& dom, const GumboNode* parent, Display wanted,
                                bool through_groups) {
  const GumboVector& children = parent->v.element.children;
  for (unsigned i = children.length; i > 0; --i) {
    const GumboNode* child = static_cast<const GumboNode*>(children.data[i - 1]);
    if (!IsElementNode(child)) continue;
    const ElementInfo* info = dom.Find(child);
    if (!info->rendered) continue;
    if (info->style.display == wanted) return info;
    Display d = info->style.display;
    if (through_groups && (d == Display::kTableRowGroup || d == Display::kTableHeaderGroup ||
                           d == Display::kTableFooterGroup)) {
      if (const ElementInfo* found = LastChildBox(dom, child, wanted, false)) return found;
    }
  }
  return nullptr;
}

// Whether another box of display `same` follows `node` in the run of such siblings: cells and
// rows outside a proper row or table share an anonymous one with the like boxes right after them.
// Gives up (answering no) after a bounded number of siblings.
bool FollowedInRun(const HtmlDom& dom, const GumboNode* node, Display same) {
  constexpr unsigned kReach = 256;
  const GumboNode* parent = node->parent;
  if (parent == nullptr ||
      (parent->type != GUMBO_NODE_ELEMENT && parent->type != GUMBO_NODE_TEMPLATE))
    return false;
  const GumboVector& siblings = parent->v.element.children;
  for (unsigned i = static_cast<unsigned>(node->index_within_parent) + 1;
       i < siblings.length && i - node->index_within_parent <= kReach; ++i) {
    const GumboNode* sibling = static_cast<const GumboNode*>(siblings.data[i]);
    if (IsElementNode(sibling)) {
      const ElementInfo* info = dom.Find(sibling);
      if (info->rendered) return info->style.display == same;
    } else if (sibling->type == GUMBO_NODE_TEXT || sibling->type == GUMBO_NODE_CDATA) {
      return false;  // text ends the run (white space alone has a node type of its own)
    }
  }
  return false;
}

// Where text goes on the current line.
struct LineState {
  bool at_line_start = true;
  bool pending_space = false;  // a collapsible space waits for more content on the line
  bool pending_space_visible = false;
  bool after_space = false;  // a space was laid out last: more white space collapses into it
  // Where the pending space goes in the output when it came before a float that was written since;
  // npos when it goes at the end.
  std::size_t space_position = std::string::npos;
  char32_t previous = 0;  // the last character laid out, for capitalize
  char32_t before_previous = 0;
};

class InnerTextWriter {
 public:
  std::string Take() { return std::move(out_); }

  void RequireBreaks(int count) { pending_breaks_ = std::max(pending_breaks_, count); }

  void EndLine() {
    line_.pending_space = false;
    line_.after_space = false;
    line_.space_position = std::string::npos;
    line_.at_line_start = true;
    line_.previous = line_.before_previous = 0;
  }

  // An atomic inline starts: the outer line keeps a space before it; inside, a new line begins.
  LineState EnterAtomic() {
    FlushSpace();
    LineState outer = line_;
    line_ = LineState{};
    return outer;
  }
  // A float or an absolutely positioned box: out of the line's flow, so the line goes on around it.
  // A space before it is laid out before it if the line goes on after it (white space after it
  // collapses into that space), and dropped if the line ends there. Inside, a new line begins.
  LineState EnterOutOfFlow() {
    LineState outer = line_;
    if (outer.pending_space && outer.space_position == std::string::npos)
      outer.space_position = out_.size();
    line_ = LineState{};
    return outer;
  }
  void LeaveOutOfFlow(LineState outer) { line_ = outer; }

  void LeaveAtomic(LineState outer) {
    line_ = outer;
    line_.at_line_start = false;
    line_.after_space = false;
    line_.previous = line_.before_previous = U'\uFFFC';
  }

  // A string item of its own (TAB after a cell, LF after a row or for <br>).
  void Item(std::string_view text) {
    EndLine();
    Write(text);
  }

  void Text(std::string_view text, const ComputedStyle& style, bool visible) {
    WhiteSpace ws = style.white_space;
    bool keep_spaces =
        ws == WhiteSpace::kPre || ws == WhiteSpace::kPreWrap || ws == WhiteSpace::kBreakSpaces;
    bool keep_newlines = keep_spaces || ws == WhiteSpace::kPreLine;
    std::size_t pos = 0;
    while (pos < text.size()) {
      char32_t c = NextCodePoint(text, pos);
      if (c == '\n' && keep_newlines) {
        line_.pending_space = false;
        if (visible) Write("\n");
        line_.at_line_start = true;
        line_.after_space = false;
        line_.previous = line_.before_previous = 0;
        continue;
      }
      // CSS white space. A CR (only a character reference makes one; the parser turns line ends
      // into LF) counts as a space and stays itself where spaces are kept. A form feed and the
      // other control characters are text, as a browser shows them.
      bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
      if (space && !keep_spaces) {
        if (!line_.at_line_start && !line_.pending_space && !line_.after_space) {
          line_.pending_space = true;
          line_.pending_space_visible = visible;
        }
        continue;
      }
      FlushSpace();
      line_.at_line_start = false;
      line_.after_space = false;
      if (visible) Character(c, style.text_transform);
      line_.before_previous = line_.previous;
      line_.previous = c;
    }
  }

 private:
  void FlushSpace() {
    if (line_.pending_space && line_.pending_space_visible) {
      if (line_.space_position != std::string::npos && line_.space_position <= out_.size())
        out_.insert(line_.space_position, 1, ' ');
      else
        Write(" ");
    }
    line_.space_position = std::string::npos;
    if (line_.pending_space) {
      line_.before_previous = line_.previous;
      line_.previous = ' ';
      line_.after_space = true;
    }
    line_.pending_space = false;
  }

  void Character(char32_t c, TextTransform transform) {
    std::string piece;
    switch (transform) {
      case TextTransform::kUppercase:
        AppendUpper(piece, c, false);
        break;
      case TextTransform::kLowercase:
        AppendLower(piece, c);
        break;
      case TextTransform::kCapitalize:
        if (StartsWord(c))
          AppendUpper(piece, c, true);
        else
          AppendUtf8(piece, c);
        break;
      case TextTransform::kNone:
        AppendUtf8(piece, c);
        break;
    }
    Write(piece);
  }

  // A letter starts a word unless a letter or digit precedes it, directly or across an apostrophe
  // inside the word ("don't"); browsers treat every other mark as a word boundary ("E.G.").
  bool StartsWord(char32_t c) const {
    if (!IsWordCharacter(c)) return false;
    if (IsWordCharacter(line_.previous)) return false;
    bool apostrophe = line_.previous == '\'' || line_.previous == U'\u2019';
    return !(apostrophe && IsWordCharacter(line_.before_previous));
  }

  void Write(std::string_view text) {
    if (text.empty()) return;
    if (has_text_) out_.append(static_cast<std::size_t>(pending_breaks_), '\n');
    pending_breaks_ = 0;
    out_.append(text);
    has_text_ = true;
  }

  std::string out_;
  int pending_breaks_ = 0;
  bool has_text_ = false;
  LineState line_;
};

// One element being walked: which child comes next and what to do when it is left.
struct Frame {
  const GumboNode* node = nullptr;
  const ElementInfo* info = nullptr;
  unsigned next_child = 0;
  bool visible = false;
  bool atomic = false;
  bool out_of_flow = false;
  LineState outer;                        // the line around an atomic inline
  const ElementInfo* last_box = nullptr;  // last rendered cell of a row, or row of a table
};

// Which children of an element are laid out at all.
bool ChildShown(const HtmlDom& dom, const Frame& frame, const GumboNode* child) {
  const std::string& tag = frame.info->tag;
  bool html = frame.node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
  if (!html) return true;
  if (tag == "details" &&
      gumbo_get_attribute(&frame.node->v.element.attributes, "open") == nullptr) {
    // Closed: only the first <summary> child shows.
    const GumboVector& children = frame.node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i) {
      const GumboNode* c = static_cast<const GumboNode*>(children.data[i]);
      if (IsElementNode(c) && dom.Find(c)->tag == "summary") return c == child;
    }
    return false;
  }
  if (tag == "select" || tag == "optgroup") {
    if (!IsElementNode(child)) return false;
    const std::string& child_tag = dom.Find(child)->tag;
    return child_tag == "option" || child_tag == "optgroup";
  }
  return true;
}

class InnerText {
 public:
  // Each node laid out is a step of `meter` (none: no bound); once its budget has run out, the
  // text so far is the answer.
  InnerText(const HtmlDom& dom, BudgetMeter* meter) : dom_(dom), meter_(meter) {}

  bool CutShort() const { return cut_short_; }

  std::string Run(const GumboNode* root) {
    Enter(root);
    while (!stack_.empty()) {
      if (meter_ != nullptr && meter_->Step()) {
        cut_short_ = true;
        break;
      }
      Frame& frame = stack_.back();
      const GumboVector& children = frame.node->v.element.children;
      if (frame.next_child >= children.length || ChildrenNeverRendered(frame.info->tag) ||
          frame.info->style.content_hidden) {
        Leave();
        continue;
      }
      const GumboNode* child = static_cast<const GumboNode*>(children.data[frame.next_child++]);
      if (!ChildShown(dom_, frame, child)) continue;
      if (IsElementNode(child)) {
        if (dom_.Find(child)->rendered) Enter(child);
      } else if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
                 child->type == GUMBO_NODE_CDATA) {
        // In an SVG image only the text content elements lay out their text.
        if (frame.node->v.element.tag_namespace == GUMBO_NAMESPACE_SVG && !frame.info->svg_text)
          continue;
        const ComputedStyle& style = frame.info->style;
        writer_.Text(child->v.text.text, style, style.visibility == Visibility::kVisible);
      }
    }
    return writer_.Take();
  }

 private:
  void Enter(const GumboNode* node) {
    Frame frame;
    frame.node = node;
    frame.info = dom_.Find(node);
    const ComputedStyle& style = frame.info->style;
    frame.visible = style.visibility == Visibility::kVisible;
    Display d = style.display;
    if (d == Display::kTableRow)
      frame.last_box = LastChildBox(dom_, node, Display::kTableCell, false);
    if (d == Display::kTable || d == Display::kInlineTable)
      frame.last_box = LastChildBox(dom_, node, Display::kTableRow, true);
    if (frame.visible) {
      if (frame.info->tag == "p")
        writer_.RequireBreaks(2);
      else if (IsBlockLevel(d))
        writer_.RequireBreaks(1);
    }
    if (style.floating || style.out_of_flow) {
      frame.out_of_flow = true;
      frame.outer = writer_.EnterOutOfFlow();
    } else if (BreaksLines(d)) {
      writer_.EndLine();
    } else if (IsAtomicInline(*frame.info)) {
      frame.atomic = true;
      frame.outer = writer_.EnterAtomic();
    }
    if (frame.info->tag == "br" && d != Display::kNone) {
      if (frame.visible)
        writer_.Item("\n");
      else
        writer_.EndLine();
    }
    stack_.push_back(frame);
  }

  void Leave() {
    Frame frame = stack_.back();
    stack_.pop_back();
    Display d = frame.info->style.display;
    if (frame.visible && !stack_.empty()) {
      if (d == Display::kTableCell && !IsLastCell(frame)) writer_.Item("\t");
      if (d == Display::kTableRow && !IsLastRow(frame)) writer_.Item("\n");
    }
    if (frame.atomic) writer_.LeaveAtomic(frame.outer);
    if (frame.out_of_flow)
      writer_.LeaveOutOfFlow(frame.outer);
    else if (BreaksLines(d))
      writer_.EndLine();
    if (frame.visible) {
      if (frame.info->tag == "p")
        writer_.RequireBreaks(2);
      else if (IsBlockLevel(d))
        writer_.RequireBreaks(1);
    }
  }

  // Called with the cell's frame popped: stack_.back() is its parent.
  bool IsLastCell(const Frame& cell) const {
    const Frame& parent = stack_.back();
    if (parent.info->style.display == Display::kTableRow) return parent.last_box == cell.info;
    return !FollowedInRun(dom_, cell.node, Display::kTableCell);
  }

  // A row is the last of its table when the table (its parent, or the parent of its row group)
  // names it so; a row outside a table shares an anonymous one with what follows it.
  bool IsLastRow(const Frame& row) const {
    for (std::size_t up = 1; up <= 2 && up <= stack_.size(); ++up) {
      const Frame& ancestor = stack_[stack_.size() - up];
      Display d = ancestor.info->style.display;
      if (d == Display::kTable || d == Display::kInlineTable) return ancestor.last_box == row.info;
      if (d != Display::kTableRowGroup && d != Display::kTableHeaderGroup &&
          d != Display::kTableFooterGroup)
        break;
    }
    return !FollowedInRun(dom_, row.node, Display::kTableRow);
  }

  const HtmlDom& dom_;
  BudgetMeter* meter_;
  bool cut_short_ = false;
  std::vector<Frame> stack_;
  InnerTextWriter writer_;
};

// Text of every text node below `root`: what innerText answers for an element without a box.
std::string DescendantText(const GumboNode* root) {
  std::string text;
  std::vector<const GumboNode*> stack{root};
  while (!stack.empty()) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
        node->type == GUMBO_NODE_CDATA) {
      text += node->v.text.text;
    } else if (node->type == GUMBO_NODE_ELEMENT) {  // template content is not a descendant
      const GumboVector& children = node->v.element.children;
      for (unsigned i = children.length; i > 0; --i)
        stack.push_back(static_cast<const GumboNode*>(children.data[i - 1]));
    }
  }
  return text;
}

// CR LF line ends, and the format characters a reader never sees dropped. The soft hyphen stays,
// as in the browser's answer: Windows-1251 has it (0xAD). A CR stays where the text kept one.
std::string Finish(std::string_view text, bool c1_carried) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t start = pos;
    char32_t c = NextCodePoint(text, pos);
    switch (c) {
      case U'\u200B':
      case U'\u200C':
      case U'\u200D':
      case U'\u2060':
      case U'\uFEFF':
        break;
      case '\n':
        out += "\r\n";
        break;
      default:
        if (c1_carried && c >= kC1Carrier && c < kC1Carrier + 0x20) {
          AppendUtf8(out, c - kC1Carrier + 0x80);
          break;
        }
        out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

}  // namespace

std::optional<HtmlText> HtmlInnerText(std::string_view html, const HtmlBudget& budget) {
  std::string capped = PrepareHtml(html);
  GumboOptions options = kGumboDefaultOptions;
  options.max_errors = 0;  // each recorded error copies the open elements: quadratic otherwise
  std::unique_ptr<GumboOutput, GumboDeleter> output(
      gumbo_parse_with_options(&options, capped.data(), capped.size()));
  if (!output || output->root == nullptr || output->root->type != GUMBO_NODE_ELEMENT)
    return std::nullopt;
  HtmlDom dom;
  BudgetMeter meter(&budget);
  BuildStyledDom(output.get(), dom, meter);
  const GumboNode* root = output->root;
  const ElementInfo* info = dom.Find(root);
  if (info == nullptr) return std::nullopt;
  const bool c1_carried = CarriesC1Controls(html);
  HtmlText result;
  result.cut_short = meter.Spent();
  if (!info->rendered) {
    result.text = Finish(DescendantText(root), c1_carried);
    return result;
  }
  // Styling that ran out leaves the walk unbounded: it is linear in the tree, and its text is what
  // is left to give.
  InnerText walker(dom, meter.Spent() ? nullptr : &meter);
  result.text = Finish(walker.Run(root), c1_carried);
  result.cut_short = result.cut_short || walker.CutShort();
  return result;
}

std::optional<std::string> HtmlInnerText(std::string_view html) {
  std::optional<HtmlText> text = HtmlInnerText(html, HtmlBudget{});
  if (!text) return std::nullopt;
  return std::move(text->text);
}

}  // namespace droprelay::html
