// The CSS the HTML engine understands: the properties that decide which text exists and how it is
// laid out in lines (display, visibility, white-space, text-transform, float, position,
// content-visibility), selectors with their specificity, and @media evaluated for a 1280 x 800
// screen.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "html/html_dom.h"

namespace droprelay::html {

enum class CssProperty : std::uint8_t {
  kDisplay,
  kVisibility,
  kWhiteSpace,
  kTextTransform,
  kFloat,
  kPosition,
  kContentVisibility
};
inline constexpr int kCssPropertyCount = 7;

// Values are the enumerators of html_dom.h as int (floating, out_of_flow and content_hidden as
// 0/1), or one of the CSS-wide keywords below.
inline constexpr int kCssInherit = -1;
inline constexpr int kCssInitial = -2;
inline constexpr int kCssUnset = -3;
inline constexpr int kCssRevert = -4;

struct CssDeclaration {
  CssProperty property;
  int value;
  bool important;
};

struct CssSelectorList;

struct CssAttributeTest {
  std::string name;  // lower case
  char op = 0;       // 0 present, '=' equal, '~' word, '|' dash prefix, '^', '$', '*'
  std::string value;
  bool ignore_case = false;
};

enum class CssPseudo : std::uint8_t {
  kNever,
  kRoot,
  kEmpty,
  kLink,
  kFirstChild,
  kLastChild,
  kOnlyChild,
  kFirstOfType,
  kLastOfType,
  kOnlyOfType,
  kNthChild,
  kNthLastChild,
  kNthOfType,
  kNthLastOfType,
  kNot,
  kIs,
  kChecked,
  kDisabled,
  kEnabled
};

struct CssPseudoTest {
  CssPseudo kind;
  int a = 0, b = 0;                           // an+b of the :nth-* forms
  std::shared_ptr<CssSelectorList> argument;  // of :not() and :is()/:where()
};

struct CssCompound {
  std::string tag;  // empty: any element
  std::vector<std::string> ids;
  std::vector<std::string> classes;
  std::vector<CssAttributeTest> attributes;
  std::vector<CssPseudoTest> pseudos;
};

struct CssSelector {
  // compounds[0] is the leftmost; combinators[i] joins compounds[i] and compounds[i + 1]:
  // ' ' descendant, '>' child, '+' next sibling, '~' later sibling.
  std::vector<CssCompound> compounds;
  std::vector<char> combinators;
  std::uint32_t specificity = 0;  // ids << 20 | classes << 10 | types, each part capped
  bool pseudo_element = false;    // selects ::before and the like, never an element itself
};

struct CssSelectorList {
  std::vector<CssSelector> selectors;
};

struct CssRule {
  std::vector<CssSelector> selectors;
  std::vector<CssDeclaration> declarations;
};

// Parses one selector list; false (and nothing usable) when any selector of it is invalid, as the
// whole rule is then dropped.
bool ParseSelectorList(std::string_view text, CssSelectorList& out);

// Remembers, across the elements of one document, what the parts of selectors left of a "~" or a
// descendant combinator answered, so that matching stays about linear in elements and selectors:
// - for "a ~ b", per selector part and parent, how far its children were tried from the first on
//   and which child matched first (later siblings only ever ask about a longer run of the same
//   children, so each child is tried at most once per selector part);
// - for "a b", per selector part and element, whether the element or one of its ancestors
//   matches.
// Valid for one document and its selectors.
class SelectorMatchCache {
 public:
  struct Key {
    const CssSelector* selector;
    const ElementInfo* element;  // the parent of the siblings, or the first ancestor tried
    std::uint32_t index;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      std::size_t h = std::hash<const void*>()(key.selector);
      h = h * 31 + std::hash<const void*>()(key.element);
      return h * 31 + key.index;
    }
  };
  struct SiblingRun {
    std::uint32_t tried = 0;        // children 1..tried have been tried
    std::uint32_t first_match = 0;  // position of the first that matched; 0 when none did
  };
  std::unordered_map<Key, SiblingRun, KeyHash> siblings;
  std::unordered_map<Key, bool, KeyHash> ancestors;
};

// Whether `element` matches `selector`; gives up (no match) after a bounded amount of work.
bool SelectorMatches(const CssSelector& selector, const ElementInfo& element, bool quirks,
                     SelectorMatchCache& cache);

// Parses the declarations of a style attribute or a rule's block, keeping those the engine uses
// with a valid value, in order.
std::vector<CssDeclaration> ParseDeclarations(std::string_view block);

// Appends the style rules of a style sheet that apply at the fixed screen (@media evaluated).
void ParseStyleSheet(std::string_view css, std::vector<CssRule>& rules);

// Whether a media query list (of @media or a media attribute) matches a 1280 x 800 screen.
bool MediaQueryListMatches(std::string_view queries);

}  // namespace droprelay::html
