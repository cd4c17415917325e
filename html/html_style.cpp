#include "html/html_style.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "html/css.h"
#include "html/css_text.h"

namespace droprelay::html {
namespace {

template <std::size_t N>
bool OneOf(std::string_view tag, const std::array<std::string_view, N>& tags) {
  return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

constexpr std::array<std::string_view, 16> kNeverDisplayed = {
    "head",  "script",   "style", "template", "title", "meta",   "link",  "base",
    "param", "datalist", "area",  "noembed",  "rp",    "source", "track", "noframes"};
constexpr std::array<std::string_view, 41> kBlocks = {
    "html",   "body",    "address", "article", "aside",   "blockquote", "center",
    "dir",    "div",     "dl",      "dd",      "dt",      "fieldset",   "figcaption",
    "figure", "footer",  "form",    "h1",      "h2",      "h3",         "h4",
    "h5",     "h6",      "header",  "hgroup",  "hr",      "legend",     "listing",
    "main",   "menu",    "nav",     "ol",      "p",       "plaintext",  "pre",
    "search", "section", "ul",      "xmp",     "details", "frameset"};

std::string TagName(const GumboNode* node) {
  const GumboElement& element = node->v.element;
  if (element.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(element.tag);
  GumboStringPiece piece = element.original_tag;
  gumbo_tag_from_original_text(&piece);
  return css_text::ToLower(std::string_view(piece.data, piece.length));
}

// The browser's own style sheet, for display.
Display DefaultDisplay(const ElementInfo& element) {
  const std::string& tag = element.tag;
  if (element.node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) return Display::kInline;
  if (AttributeOf(element, "hidden") != nullptr) return Display::kNone;
  if (OneOf(tag, kNeverDisplayed)) return Display::kNone;
  if (tag == "input") {
    const char* type = AttributeOf(element, "type");
    if (type != nullptr && css_text::EqualsIgnoringCase(type, "hidden")) return Display::kNone;
    return Display::kInlineBlock;
  }
  if (tag == "dialog") return AttributeOf(element, "open") ? Display::kBlock : Display::kNone;
  if (OneOf(tag, kBlocks) || tag == "option" || tag == "optgroup" || tag == "frame")
    return Display::kBlock;
  if (tag == "li" || tag == "summary") return Display::kListItem;
  if (tag == "table") return Display::kTable;
  if (tag == "caption") return Display::kTableCaption;
  if (tag == "colgroup") return Display::kTableColumnGroup;
  if (tag == "col") return Display::kTableColumn;
  if (tag == "thead") return Display::kTableHeaderGroup;
  if (tag == "tbody") return Display::kTableRowGroup;
  if (tag == "tfoot") return Display::kTableFooterGroup;
  if (tag == "tr") return Display::kTableRow;
  if (tag == "td" || tag == "th") return Display::kTableCell;
  if (tag == "button" || tag == "select" || tag == "textarea" || tag == "meter" ||
      tag == "progress" || tag == "marquee")
    return Display::kInlineBlock;
  return Display::kInline;
}

// The browser's own style sheet, for white-space; false when it leaves the value inherited.
bool DefaultWhiteSpace(const ElementInfo& element, WhiteSpace& value) {
  const std::string& tag = element.tag;
  if (tag == "pre" || tag == "listing" || tag == "xmp" || tag == "plaintext") {
    value = WhiteSpace::kPre;
  } else if (tag == "textarea") {
    value = WhiteSpace::kPreWrap;
  } else if (tag == "nobr" || ((tag == "td" || tag == "th") && AttributeOf(element, "nowrap"))) {
    value = WhiteSpace::kNoWrap;
  } else {
    return false;
  }
  return true;
}

bool AlignFloats(const ElementInfo& element) {
  static constexpr std::array<std::string_view, 6> kAligned = {"img",    "object", "embed",
                                                               "iframe", "table",  "input"};
  if (element.node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML ||
      !OneOf(element.tag, kAligned))
    return false;
  if (element.tag == "input") {
    const char* type = AttributeOf(element, "type");
    if (type == nullptr || !css_text::EqualsIgnoringCase(type, "image")) return false;
  }
  const char* align = AttributeOf(element, "align");
  if (align == nullptr) return false;
  std::string_view value = css_text::Trim(align);
  return css_text::EqualsIgnoringCase(value, "left") ||
         css_text::EqualsIgnoringCase(value, "right");
}

// Floats, absolutely positioned boxes, flex and grid items and the root are laid out as blocks.
Display Blockified(Display display) {
  switch (display) {
    case Display::kInlineTable:
      return Display::kTable;
    case Display::kInlineFlex:
      return Display::kFlex;
    case Display::kInlineGrid:
      return Display::kGrid;
    case Display::kInline:
    case Display::kInlineBlock:
    case Display::kTableRowGroup:
    case Display::kTableHeaderGroup:
    case Display::kTableFooterGroup:
    case Display::kTableRow:
    case Display::kTableCell:
    case Display::kTableColumn:
    case Display::kTableColumnGroup:
    case Display::kTableCaption:
      return Display::kBlock;
    default:
      return display;
  }
}

bool IsSvg(const ElementInfo& element) {
  return element.node->v.element.tag_namespace == GUMBO_NAMESPACE_SVG;
}

// SVG's conditional attributes, for a reader whose language is English (as the browser the engine
// is judged against): no extension is supported, and a language list matches when one of its
// entries is English.
bool SvgConditionsHold(const ElementInfo& element) {
  if (AttributeOf(element, "requiredExtensions") != nullptr) return false;
  const char* languages = AttributeOf(element, "systemLanguage");
  if (languages == nullptr) return true;
  std::string_view rest = languages;
  while (!rest.empty()) {
    std::size_t comma = rest.find(',');
    std::string_view tag = css_text::Trim(rest.substr(0, comma));
    std::string_view primary = tag.substr(0, tag.find('-'));
    if (css_text::EqualsIgnoringCase(primary, "en")) return true;
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return false;
}

// Whether an element inside an SVG image gets a box. Only the text content elements lay out text;
// a few containers keep their content's boxes even where nothing is painted (<defs>, <symbol>,
// masks, patterns, markers, and a <g> whatever its display, as browsers keep such content
// referable); descriptions, scripts, styles and animations never have one.
bool SvgChildHasBox(ElementInfo& element) {
  ElementInfo& parent = *element.parent;
  if (!parent.rendered || !SvgConditionsHold(element)) return false;
  if (parent.tag == "switch") {  // the first child whose conditions hold is the only one shown
    if (parent.svg_switch_taken) return false;
    parent.svg_switch_taken = true;
  }
  const std::string& tag = element.tag;
  if (parent.svg_text) {
    if (tag != "tspan" && tag != "textpath" && tag != "a") return false;
  } else {
    static constexpr std::array<std::string_view, 13> kContainers = {
        "svg",  "g",       "a",    "switch",   "defs", "symbol",        "marker",
        "mask", "pattern", "text", "clippath", "use",  "foreignobject"};
    if (!OneOf(tag, kContainers)) return false;
  }
  return element.style.display != Display::kNone || tag == "g";
}

struct IndexedSelector {
  const CssSelector* selector;
  const CssRule* rule;
  std::uint32_t order;
  NameFilter ancestors;  // names some ancestor must bear for the selector to match
};

std::string Prefixed(char prefix, std::string_view name) {
  std::string key;
  key.reserve(name.size() + 1);
  key.push_back(prefix);
  key.append(name);
  return key;
}

// The names of the compounds that must be ancestors of the subject: those reached from it by
// child and descendant combinators only.
NameFilter RequiredAncestors(const CssSelector& selector, bool quirks) {
  NameFilter filter{};
  for (std::size_t i = selector.compounds.size() - 1; i > 0; --i) {
    char combinator = selector.combinators[i - 1];
    if (combinator != ' ' && combinator != '>') break;
    const CssCompound& compound = selector.compounds[i - 1];
    if (!compound.ids.empty())
      AddToNameFilter(filter, Prefixed('#', compound.ids.front()), quirks);
    else if (!compound.classes.empty())
      AddToNameFilter(filter, Prefixed('.', compound.classes.front()), quirks);
    else if (!compound.tag.empty())
      AddToNameFilter(filter, compound.tag, false);
  }
  return filter;
}

bool MayMatch(const NameFilter& required, const NameFilter& present) {
  for (std::size_t i = 0; i < required.size(); ++i)
    if ((required[i] & ~present[i]) != 0) return false;
  return true;
}

// The declaration that currently wins one property of one element, with its cascade rank.
struct Winner {
  bool set = false;
  bool important = false;
  bool inline_style = false;
  std::uint32_t specificity = 0;
  std::uint32_t order = 0;
  std::uint32_t position = 0;
  int value = 0;

  // Takes the declaration unless the current one ranks higher; on a tie the later one wins.
  void Offer(const CssDeclaration& d, bool is_inline, std::uint32_t selector_specificity,
             std::uint32_t rule_order, std::uint32_t position_in_rule) {
    if (set && std::make_tuple(d.important, is_inline, selector_specificity, rule_order,
                               position_in_rule) <
                   std::make_tuple(important, inline_style, specificity, order, position))
      return;
    *this = Winner{true,       d.important,      is_inline, selector_specificity,
                   rule_order, position_in_rule, d.value};
  }
};

class StyleResolver {
 public:
  explicit StyleResolver(bool quirks) : quirks_(quirks) {}

  void AddRules(std::vector<CssRule> rules) {
    rules_ = std::move(rules);
    std::uint32_t order = 0;
    for (const CssRule& rule : rules_) {
      for (const CssSelector& selector : rule.selectors) {
        if (selector.pseudo_element) continue;
        const CssCompound& last = selector.compounds.back();
        IndexedSelector entry{&selector, &rule, order, RequiredAncestors(selector, quirks_)};
        if (!last.ids.empty())
          by_id_[Key(last.ids.front())].push_back(entry);
        else if (!last.classes.empty())
          by_class_[Key(last.classes.front())].push_back(entry);
        else if (!last.tag.empty())
          by_tag_[last.tag].push_back(entry);
        else
          universal_.push_back(entry);
      }
      ++order;
    }
  }

  void Compute(ElementInfo& element, BudgetMeter& meter) {
    std::array<Winner, kCssPropertyCount> winners;
    // SVG's presentation attributes rank below every style rule: offered first, a rule of the
    // lowest rank still replaces them.
    if (IsSvg(element)) {
      for (CssProperty property : {CssProperty::kDisplay, CssProperty::kVisibility}) {
        const char* name = property == CssProperty::kDisplay ? "display" : "visibility";
        const char* value = AttributeOf(element, name);
        if (value == nullptr || std::string_view(value).find_first_of(";!") != std::string_view::npos)
          continue;  // one value, nothing more
        for (const CssDeclaration& d : ParseDeclarations(std::string(name) + ":" + value))
          if (d.property == property) winners[static_cast<int>(property)].Offer(d, false, 0, 0, 0);
      }
    }
    // The rules whose rightmost compound names the element's id, a class of it or its tag, and
    // those that name none of them; each list is walked where it is, never copied.
    buckets_.clear();
    if (!meter.Step()) {
      if (!element.id.empty()) Collect(by_id_, Key(element.id));
      for (std::string_view name : element.classes) Collect(by_class_, Key(name));
      Collect(by_tag_, element.tag);
      buckets_.push_back(&universal_);
    }
    bool spent = false;
    for (const std::vector<IndexedSelector>* bucket : buckets_) {
      constexpr std::size_t kChunk = 64;  // rules counted at once, to keep the count cheap
      for (std::size_t i = 0; i < bucket->size(); ++i) {
        if (i % kChunk == 0 && (spent = meter.Step(std::min(kChunk, bucket->size() - i)))) break;
        const IndexedSelector& candidate = (*bucket)[i];
        if (!MayMatch(candidate.ancestors, element.ancestor_names)) continue;
        if (!SelectorMatches(*candidate.selector, element, quirks_, match_cache_)) continue;
        std::uint32_t position = 0;
        for (const CssDeclaration& d : candidate.rule->declarations)
          winners[static_cast<int>(d.property)].Offer(d, false, candidate.selector->specificity,
                                                      candidate.order, position++);
      }
      if (spent) break;
    }
    if (const char* style = AttributeOf(element, "style")) {
      std::uint32_t position = 0;
      for (const CssDeclaration& d : ParseDeclarations(style))
        winners[static_cast<int>(d.property)].Offer(d, true, 0, 0, position++);
    }
    Resolve(element, winners);
  }

 private:
  std::string Key(std::string_view name) const {
    return quirks_ ? css_text::ToLower(name) : std::string(name);
  }

  void Collect(const std::unordered_map<std::string, std::vector<IndexedSelector>>& map,
               const std::string& key) {
    auto found = map.find(key);
    if (found != map.end()) buckets_.push_back(&found->second);
  }

  void Resolve(ElementInfo& element, const std::array<Winner, kCssPropertyCount>& winners) {
    const ElementInfo* parent = element.parent;
    ComputedStyle inherited;  // the root inherits the initial values
    if (parent != nullptr) inherited = parent->style;
    ComputedStyle& style = element.style;

    Display ua_display = DefaultDisplay(element);
    const Winner& display = winners[static_cast<int>(CssProperty::kDisplay)];
    style.display = ua_display;
    if (display.set) {
      if (display.value >= 0)
        style.display = static_cast<Display>(display.value);
      else if (display.value == kCssInherit)
        style.display = parent ? parent->style.display : Display::kInline;
      else if (display.value != kCssRevert)
        style.display = Display::kInline;
    }

    style.visibility = inherited.visibility;
    const Winner& visibility = winners[static_cast<int>(CssProperty::kVisibility)];
    if (visibility.set) {
      if (visibility.value >= 0)
        style.visibility = static_cast<Visibility>(visibility.value);
      else if (visibility.value == kCssInitial)
        style.visibility = Visibility::kVisible;
    }

    style.white_space = inherited.white_space;
    WhiteSpace ua_white_space;
    bool has_ua_white_space = DefaultWhiteSpace(element, ua_white_space);
    if (has_ua_white_space) style.white_space = ua_white_space;
    const Winner& white_space = winners[static_cast<int>(CssProperty::kWhiteSpace)];
    if (white_space.set) {
      if (white_space.value >= 0)
        style.white_space = static_cast<WhiteSpace>(white_space.value);
      else if (white_space.value == kCssInitial)
        style.white_space = WhiteSpace::kNormal;
      else if (white_space.value != kCssRevert)
        style.white_space = inherited.white_space;
    }

    style.text_transform = inherited.text_transform;
    const Winner& transform = winners[static_cast<int>(CssProperty::kTextTransform)];
    if (transform.set) {
      if (transform.value >= 0)
        style.text_transform = static_cast<TextTransform>(transform.value);
      else if (transform.value == kCssInitial)
        style.text_transform = TextTransform::kNone;
    }

    // The align attribute of images, frames and tables floats them, unless a style says otherwise.
    const Winner& floating = winners[static_cast<int>(CssProperty::kFloat)];
    if (floating.set)
      style.floating = floating.value == 1 || (floating.value == kCssInherit && inherited.floating);
    else
      style.floating = AlignFloats(element);
    const Winner& position = winners[static_cast<int>(CssProperty::kPosition)];
    style.out_of_flow = position.set && (position.value == 1 ||
                                         (position.value == kCssInherit && inherited.out_of_flow));

    const Winner& content = winners[static_cast<int>(CssProperty::kContentVisibility)];
    style.content_hidden =
        content.set &&
        (content.value == 1 || (content.value == kCssInherit && inherited.content_hidden));

    if (IsSvg(element) && parent != nullptr && IsSvg(*parent)) {
      // Inside an SVG image: <text> is laid out as a block of its own, foreign content as a block.
      bool box = SvgChildHasBox(element);
      element.svg_text = box && (element.tag == "text" ||
                                 (parent->svg_text && element.tag != "text"));
      if (!box)
        style.display = Display::kNone;
      else if (element.tag == "text" || element.tag == "foreignobject")
        style.display = Display::kBlock;
      else
        style.display = Display::kInline;
      style.floating = style.out_of_flow = false;  // SVG lays out by coordinates, not by CSS flow
      element.rendered = style.display != Display::kNone;
      return;
    }

    bool flex_item =
        parent != nullptr &&
        (parent->style.display == Display::kFlex || parent->style.display == Display::kInlineFlex ||
         parent->style.display == Display::kGrid || parent->style.display == Display::kInlineGrid);
    if (style.display != Display::kNone &&
        (parent == nullptr || style.floating || style.out_of_flow || flex_item))
      style.display = Blockified(style.display);
    element.rendered = (parent == nullptr || parent->rendered) && style.display != Display::kNone;
  }

  bool quirks_;
  std::vector<CssRule> rules_;
  std::unordered_map<std::string, std::vector<IndexedSelector>> by_id_, by_class_, by_tag_;
  std::vector<IndexedSelector> universal_;
  std::vector<const std::vector<IndexedSelector>*> buckets_;
  SelectorMatchCache match_cache_;
};

std::string_view AttributeView(const GumboNode* node, const char* name) {
  const GumboAttribute* attribute = gumbo_get_attribute(&node->v.element.attributes, name);
  return attribute == nullptr ? std::string_view() : std::string_view(attribute->value);
}

void SplitClasses(std::string_view value, std::vector<std::string_view>& out) {
  std::size_t pos = 0;
  while (pos < value.size()) {
    while (pos < value.size() && css_text::IsSpace(value[pos])) ++pos;
    std::size_t end = pos;
    while (end < value.size() && !css_text::IsSpace(value[end])) ++end;
    if (end > pos) out.push_back(value.substr(pos, end - pos));
    pos = end;
  }
}

bool IsElement(const GumboNode* node) {
  return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

// Creates the ElementInfo of every element child of `parent` (positions among siblings included).
void AddChildren(const GumboNode* node, ElementInfo* parent, HtmlDom& dom) {
  const GumboVector& children = node->v.element.children;
  std::vector<ElementInfo*> created;
  std::unordered_map<std::string_view, std::uint32_t> per_tag;
  ElementInfo* previous = nullptr;
  // What the children's ancestors are named: the parent's own names added once, not per child
  // (a parent may bear a thousand classes over twenty thousand children).
  NameFilter ancestor_names{};
  if (parent != nullptr) {
    ancestor_names = parent->ancestor_names;
    AddToNameFilter(ancestor_names, parent->tag, false);
    if (!parent->id.empty()) AddToNameFilter(ancestor_names, Prefixed('#', parent->id), dom.quirks);
    for (std::string_view name : parent->classes)
      AddToNameFilter(ancestor_names, Prefixed('.', name), dom.quirks);
  }
  for (unsigned i = 0; i < children.length; ++i) {
    GumboNode* child = static_cast<GumboNode*>(children.data[i]);
    if (parent != nullptr && child->type != GUMBO_NODE_COMMENT) parent->empty = false;
    if (!IsElement(child)) continue;
    ElementInfo& info = dom.elements.emplace_back();
    info.node = child;
    info.parent = parent;
    info.previous_sibling = previous;
    info.tag = TagName(child);
    info.id = AttributeView(child, "id");
    SplitClasses(AttributeView(child, "class"), info.classes);
    info.child_position = static_cast<std::uint32_t>(created.size() + 1);
    info.ancestor_names = ancestor_names;
    dom.by_node.emplace(child, &info);
    created.push_back(&info);
    previous = &info;
  }
  for (ElementInfo* info : created) {
    info->child_count = static_cast<std::uint32_t>(created.size());
    info->type_position = ++per_tag[info->tag];
  }
  for (ElementInfo* info : created) info->type_count = per_tag[info->tag];
}

std::string TextOf(const GumboNode* node) {
  std::string text;
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    const GumboNode* child = static_cast<const GumboNode*>(children.data[i]);
    if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
        child->type == GUMBO_NODE_CDATA)
      text += child->v.text.text;
  }
  return text;
}

bool StyleSheetApplies(const GumboNode* node) {
  std::string_view type = AttributeView(node, "type");
  if (gumbo_get_attribute(&node->v.element.attributes, "type") != nullptr &&
      !css_text::EqualsIgnoringCase(css_text::Trim(type), "text/css") &&
      !css_text::Trim(type).empty())
    return false;
  if (gumbo_get_attribute(&node->v.element.attributes, "media") == nullptr) return true;
  return MediaQueryListMatches(AttributeView(node, "media"));
}

}  // namespace

void AddToNameFilter(NameFilter& filter, std::string_view name, bool quirks) {
  // FNV-1a; two bits per name out of 256.
  std::uint64_t hash = 1469598103934665603ULL;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(quirks ? css_text::Lower(c) : c);
    hash *= 1099511628211ULL;
  }
  for (int k = 0; k < 2; ++k) {
    unsigned bit = static_cast<unsigned>((hash >> (k * 8)) & 255);
    filter[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
}

bool IsReplacedElement(std::string_view tag) {
  // Without scripting a <canvas> is no image: it shows its fallback content as ordinary elements.
  static constexpr std::array<std::string_view, 12> kReplaced = {
      "img",   "input", "textarea", "iframe",   "video", "audio",
      "object", "embed", "meter",   "progress", "image", "svg"};
  return OneOf(tag, kReplaced);
}

bool ChildrenNeverRendered(std::string_view tag) {
  // An SVG image is a box on its line, but its <text> elements are text.
  return (IsReplacedElement(tag) && tag != "svg") || tag == "template" || tag == "math";
}

void BuildStyledDom(GumboOutput* output, HtmlDom& dom, BudgetMeter& meter) {
  const GumboDocument& document = output->document->v.document;
  dom.quirks = document.doc_type_quirks_mode == GUMBO_DOCTYPE_QUIRKS;
  AddChildren(output->document, nullptr, dom);

  // Pre-order walk without recursion: the tree may be deep.
  std::vector<CssRule> rules;
  std::vector<const GumboNode*> stack;
  for (auto it = dom.elements.rbegin(); it != dom.elements.rend(); ++it) stack.push_back(it->node);
  while (!stack.empty()) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    ElementInfo* info = dom.Find(node);
    if (info->tag == "style" && node->v.element.tag_namespace != GUMBO_NAMESPACE_MATHML &&
        StyleSheetApplies(node))
      ParseStyleSheet(TextOf(node), rules);
    if (node->type == GUMBO_NODE_TEMPLATE) continue;  // its content is not part of the document
    std::size_t first_new = dom.elements.size();
    AddChildren(node, info, dom);
    for (std::size_t i = dom.elements.size(); i > first_new; --i)
      stack.push_back(dom.elements[i - 1].node);
  }

  StyleResolver resolver(dom.quirks);
  resolver.AddRules(std::move(rules));
  // Parents were created before their children, so every parent's style is ready first.
  for (ElementInfo& element : dom.elements) resolver.Compute(element, meter);
}

}  // namespace droprelay::html
