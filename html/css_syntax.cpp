// Style sheets and declaration blocks: the rules that apply at the fixed screen, and the
// declarations of the properties the engine uses. Anything else (unknown properties, invalid
// values, other at-rules) is skipped the way a browser skips it.
#include <array>
#include <utility>

#include "html/css.h"
#include "html/css_text.h"

namespace droprelay::html {
namespace {

using css_text::FindTopLevel;
using css_text::IsSpace;
using css_text::Trim;

// Nested @media and @supports blocks deeper than this are skipped rather than recursed into.
constexpr int kMaxAtRuleNesting = 8;

struct Keyword {
  std::string_view name;
  int value;
};

template <std::size_t N>
bool LookUp(const std::array<Keyword, N>& table, std::string_view name, int& value) {
  for (const Keyword& keyword : table) {
    if (keyword.name == name) {
      value = keyword.value;
      return true;
    }
  }
  return false;
}

constexpr int D(Display d) { return static_cast<int>(d); }

constexpr std::array<Keyword, 35> kDisplayKeywords = {{
    {"none", D(Display::kNone)},
    {"inline", D(Display::kInline)},
    {"block", D(Display::kBlock)},
    {"inline-block", D(Display::kInlineBlock)},
    {"list-item", D(Display::kListItem)},
    {"table", D(Display::kTable)},
    {"inline-table", D(Display::kInlineTable)},
    {"table-row-group", D(Display::kTableRowGroup)},
    {"table-header-group", D(Display::kTableHeaderGroup)},
    {"table-footer-group", D(Display::kTableFooterGroup)},
    {"table-row", D(Display::kTableRow)},
    {"table-cell", D(Display::kTableCell)},
    {"table-column", D(Display::kTableColumn)},
    {"table-column-group", D(Display::kTableColumnGroup)},
    {"table-caption", D(Display::kTableCaption)},
    {"flex", D(Display::kFlex)},
    {"inline-flex", D(Display::kInlineFlex)},
    {"grid", D(Display::kGrid)},
    {"inline-grid", D(Display::kInlineGrid)},
    {"contents", D(Display::kContents)},
    {"flow-root", D(Display::kFlowRoot)},
    {"-webkit-box", D(Display::kFlex)},
    {"-webkit-inline-box", D(Display::kInlineFlex)},
    {"-webkit-flex", D(Display::kFlex)},
    {"-webkit-inline-flex", D(Display::kInlineFlex)},
    // Ruby boxes lay their text out inline, which is all that matters here.
    {"ruby", D(Display::kInline)},
    {"ruby-text", D(Display::kInline)},
    {"block flow", D(Display::kBlock)},
    {"inline flow", D(Display::kInline)},
    {"inline flow-root", D(Display::kInlineBlock)},
    {"block flex", D(Display::kFlex)},
    {"inline flex", D(Display::kInlineFlex)},
    {"block grid", D(Display::kGrid)},
    {"inline grid", D(Display::kInlineGrid)},
    {"block table", D(Display::kTable)},
}};
constexpr std::array<Keyword, 3> kVisibilityKeywords = {{
    {"visible", static_cast<int>(Visibility::kVisible)},
    {"hidden", static_cast<int>(Visibility::kHidden)},
    {"collapse", static_cast<int>(Visibility::kCollapse)},
}};
constexpr std::array<Keyword, 6> kWhiteSpaceKeywords = {{
    {"normal", static_cast<int>(WhiteSpace::kNormal)},
    {"nowrap", static_cast<int>(WhiteSpace::kNoWrap)},
    {"pre", static_cast<int>(WhiteSpace::kPre)},
    {"pre-wrap", static_cast<int>(WhiteSpace::kPreWrap)},
    {"pre-line", static_cast<int>(WhiteSpace::kPreLine)},
    {"break-spaces", static_cast<int>(WhiteSpace::kBreakSpaces)},
}};
constexpr std::array<Keyword, 6> kTextTransformKeywords = {{
    {"none", static_cast<int>(TextTransform::kNone)},
    {"uppercase", static_cast<int>(TextTransform::kUppercase)},
    {"lowercase", static_cast<int>(TextTransform::kLowercase)},
    {"capitalize", static_cast<int>(TextTransform::kCapitalize)},
    // Valid, but they change no letter we would write differently.
    {"full-width", static_cast<int>(TextTransform::kNone)},
    {"full-size-kana", static_cast<int>(TextTransform::kNone)},
}};
constexpr std::array<Keyword, 5> kFloatKeywords = {
    {{"none", 0}, {"left", 1}, {"right", 1}, {"inline-start", 1}, {"inline-end", 1}}};
constexpr std::array<Keyword, 5> kPositionKeywords = {
    {{"static", 0}, {"relative", 0}, {"sticky", 0}, {"absolute", 1}, {"fixed", 1}}};
constexpr std::array<Keyword, 3> kContentVisibilityKeywords = {
    {{"visible", 0}, {"auto", 0}, {"hidden", 1}}};
constexpr std::array<Keyword, 5> kWideKeywords = {{{"inherit", kCssInherit},
                                                   {"initial", kCssInitial},
                                                   {"unset", kCssUnset},
                                                   {"revert", kCssRevert},
                                                   {"revert-layer", kCssRevert}}};

// Lower case with runs of white space made one blank, so that keyword pairs compare exactly.
std::string NormaliseValue(std::string_view value) {
  std::string out;
  bool space = false;
  for (char c : Trim(value)) {
    if (IsSpace(c)) {
      space = true;
      continue;
    }
    if (space && !out.empty()) out.push_back(' ');
    space = false;
    out.push_back(css_text::Lower(c));
  }
  return out;
}

bool ParseValue(CssProperty property, std::string_view value, int& out) {
  if (LookUp(kWideKeywords, value, out)) return true;
  switch (property) {
    case CssProperty::kDisplay:
      return LookUp(kDisplayKeywords, value, out);
    case CssProperty::kVisibility:
      return LookUp(kVisibilityKeywords, value, out);
    case CssProperty::kWhiteSpace:
      return LookUp(kWhiteSpaceKeywords, value, out);
    case CssProperty::kTextTransform:
      return LookUp(kTextTransformKeywords, value, out);
    case CssProperty::kFloat:
      return LookUp(kFloatKeywords, value, out);
    case CssProperty::kPosition:
      if (value == "-webkit-sticky") value = "sticky";
      return LookUp(kPositionKeywords, value, out);
    case CssProperty::kContentVisibility:
      return LookUp(kContentVisibilityKeywords, value, out);
  }
  return false;
}

bool PropertyNamed(std::string_view name, CssProperty& property) {
  static constexpr std::array<std::pair<std::string_view, CssProperty>, 7> kNames = {
      {{"display", CssProperty::kDisplay},
       {"visibility", CssProperty::kVisibility},
       {"white-space", CssProperty::kWhiteSpace},
       {"text-transform", CssProperty::kTextTransform},
       {"float", CssProperty::kFloat},
       {"position", CssProperty::kPosition},
       {"content-visibility", CssProperty::kContentVisibility}}};
  for (const auto& [known, which] : kNames) {
    if (known == name) {
      property = which;
      return true;
    }
  }
  return false;
}

// Removes /* comments */ outside strings; an unclosed comment runs to the end.
std::string StripComments(std::string_view css) {
  std::string out;
  out.reserve(css.size());
  std::size_t pos = 0;
  while (pos < css.size()) {
    char c = css[pos];
    if (c == '"' || c == '\'') {
      std::size_t end = css_text::SkipString(css, pos);
      out.append(css.substr(pos, end - pos));
      pos = end;
    } else if (c == '/' && pos + 1 < css.size() && css[pos + 1] == '*') {
      std::size_t end = css.find("*/", pos + 2);
      if (end == std::string_view::npos) break;
      pos = end + 2;
    } else {
      out.push_back(c);
      ++pos;
    }
  }
  return out;
}

// @supports: conditions on properties this engine ignores are taken as supported, as they are in
// the browser; only a negated condition is taken as false.
bool SupportsMatches(std::string_view prelude) {
  std::string lower = NormaliseValue(prelude);
  return lower.rfind("not", 0) != 0;
}

void ParseRules(std::string_view css, std::vector<CssRule>& rules, int nesting) {
  std::size_t pos = 0;
  while (pos < css.size()) {
    while (pos < css.size() && IsSpace(css[pos])) ++pos;
    if (css.compare(pos, 4, "<!--") == 0) {
      pos += 4;
      continue;
    }
    if (css.compare(pos, 3, "-->") == 0) {
      pos += 3;
      continue;
    }
    if (pos >= css.size()) break;
    if (css[pos] == '@') {
      std::size_t name_end = pos + 1;
      while (name_end < css.size() && !IsSpace(css[name_end]) && css[name_end] != '{' &&
             css[name_end] != ';' && css[name_end] != '(')
        ++name_end;
      std::string name = css_text::ToLower(css.substr(pos + 1, name_end - pos - 1));
      std::size_t stop = FindTopLevel(css, name_end, "{;");
      if (stop >= css.size()) break;
      if (css[stop] == ';') {  // @import, @charset, @namespace, @layer a, b;
        pos = stop + 1;
        continue;
      }
      std::size_t close = FindTopLevel(css, stop + 1, "}");
      std::string_view prelude = css.substr(name_end, stop - name_end);
      std::string_view body = css.substr(stop + 1, close - stop - 1);
      if (nesting < kMaxAtRuleNesting) {
        if ((name == "media" && MediaQueryListMatches(prelude)) ||
            (name == "supports" && SupportsMatches(prelude)) || name == "layer")
          ParseRules(body, rules, nesting + 1);
      }
      pos = close + 1;
      continue;
    }
    std::size_t open = FindTopLevel(css, pos, "{");
    if (open >= css.size()) break;
    std::size_t close = FindTopLevel(css, open + 1, "}");
    CssSelectorList list;
    if (ParseSelectorList(css.substr(pos, open - pos), list)) {
      CssRule rule;
      rule.declarations = ParseDeclarations(css.substr(open + 1, close - open - 1));
      if (!rule.declarations.empty()) {
        rule.selectors = std::move(list.selectors);
        rules.push_back(std::move(rule));
      }
    }
    pos = close + 1;
  }
}

}  // namespace

std::vector<CssDeclaration> ParseDeclarations(std::string_view block) {
  std::string text;
  if (block.find("/*") != std::string_view::npos) {
    text = StripComments(block);
    block = text;
  }
  std::vector<CssDeclaration> declarations;
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = FindTopLevel(block, pos, ";");
    std::string_view item = block.substr(pos, end - pos);
    pos = end + 1;
    std::size_t colon = item.find(':');
    if (colon == std::string_view::npos) continue;
    CssProperty property;
    if (!PropertyNamed(css_text::ToLower(Trim(item.substr(0, colon))), property)) continue;
    std::string value = NormaliseValue(item.substr(colon + 1));
    bool important = false;
    std::size_t bang = value.rfind('!');
    if (bang != std::string::npos &&
        Trim(std::string_view(value).substr(bang + 1)) == "important") {
      important = true;
      value = std::string(Trim(std::string_view(value).substr(0, bang)));
    }
    int parsed;
    if (ParseValue(property, value, parsed)) declarations.push_back({property, parsed, important});
  }
  return declarations;
}

void ParseStyleSheet(std::string_view css, std::vector<CssRule>& rules) {
  ParseRules(StripComments(css), rules, 0);
}

}  // namespace droprelay::html
