// The CSS pieces of the HTML engine on their own: media queries at the 1280 x 800 screen, the
// declarations kept from a block, selector validity and specificity, and style sheets with
// at-rules and the errors mail CSS is full of.
#include "html/css.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "../common/temp_folder.h"

using droprelay::testing::WriteFile;

namespace droprelay::html {
namespace {

TEST(MediaQueries, EvaluatedForTheFixedScreen) {
  struct {
    const char* query;
    bool matches;
  } cases[] = {
      {"", true},
      {"all", true},
      {"screen", true},
      {"print", false},
      {"only screen and (max-width: 600px)", false},
      {"only screen and (max-width:1280px)", true},
      {"screen and (min-width: 768px)", true},
      {"(min-width: 1281px)", false},
      {"(max-device-width: 480px)", false},
      {"(min-width: 40em)", true},      // 640px
      {"(max-width: 79.99em)", false},  // 1279.84px
      {"(orientation: landscape)", true},
      {"(orientation: portrait)", false},
      {"(prefers-color-scheme: dark)", false},
      {"(prefers-color-scheme: light)", true},
      {"(-webkit-min-device-pixel-ratio: 2)", false},
      {"(-webkit-max-device-pixel-ratio: 2)", true},
      {"(max-device-pixel-ratio: 2)", false},  // known with the -webkit- prefix only
      {"(-o-max-device-pixel-ratio: 2/1)", false},
      {"(max--moz-device-pixel-ratio: 2)", false},
      {"(-webkit-transform-3d)", true},
      {"(max-resolution: 2dppx)", true},
      {"(min-resolution: 192dpi)", false},
      {"(min-resolution: 1dppx)", true},
      {"(min-aspect-ratio: 16/10)", true},
      {"(width <= 600px)", false},
      {"(600px < width <= 1280px)", true},
      {"(400px <= width) and (height > 700px)", true},
      {"not screen and (max-width: 600px)", true},
      {"not all", false},
      {"not (max-width: 600px)", true},
      {"(max-width: 600px) or (min-width: 1000px)", true},
      {"print, screen and (min-width: 1px)", true},
      {"(max-width: 600px), print", false},
      {"(unknown-feature: 1)", false},
      {"screen and (max-width: 600px", false},
      {"SCREEN AND (MIN-WIDTH: 100PX)", true},
      {"(color)", true},
      {"(monochrome)", false},
      {"(hover: hover) and (pointer: fine)", true},
  };
  for (const auto& c : cases) EXPECT_EQ(html::MediaQueryListMatches(c.query), c.matches) << c.query;
}

// Sets a numeric locale with a decimal comma for as long as it lives: Russian where it is
// installed, else one of our own that defines only the comma, made with localedef into a scratch
// folder (LOCPATH).
class DecimalComma {
 public:
  DecimalComma() {
    previous_ = std::setlocale(LC_NUMERIC, nullptr);
    for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "ru_RU"})
      if (std::setlocale(LC_NUMERIC, name) != nullptr) return;
    WriteFile(folder_ / "comma.src",
              "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\n"
              "END LC_NUMERIC\n");
    // -c: the other categories are missing on purpose.
    const std::string command = "localedef -c -i '" + (folder_ / "comma.src") + "' '" +
                                (folder_ / "comma") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) > 1 * 256) return;  // 1: written, with warnings
    const char* old_path = std::getenv("LOCPATH");
    if (old_path != nullptr) old_locpath_ = old_path;
    had_locpath_ = old_path != nullptr;
    ::setenv("LOCPATH", folder_.path().c_str(), 1);
    std::setlocale(LC_NUMERIC, "comma");
  }
  ~DecimalComma() {
    std::setlocale(LC_NUMERIC, previous_.c_str());
    if (had_locpath_)
      ::setenv("LOCPATH", old_locpath_.c_str(), 1);
    else
      ::unsetenv("LOCPATH");
  }
  bool Active() const { return std::string(std::localeconv()->decimal_point) == ","; }

 private:
  droprelay::testing::TempFolder folder_;
  std::string previous_;
  std::string old_locpath_;
  bool had_locpath_ = false;
};

// A program that set a numeric locale with a decimal comma (the window program's toolkit does)
// reads numbers in style sheets as every other program does.
TEST(MediaQueries, NumbersDoNotDependOnTheLocale) {
  DecimalComma comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma could be set (localedef)";
  ASSERT_EQ(std::strtod("37.5", nullptr), 37.0);  // the fault this guards against is live here
  const struct {
    const char* query;
    bool matches;
  } cases[] = {
      // Read by the locale, "37.5" would be 37 followed by the unknown unit ".5": no match.
      {"(min-aspect-ratio: 37.5/23.5)", true},  // 1.596 <= 1.6
      {"(max-aspect-ratio: 37.5/23.5)", false},
      {"(max-width: 80.5em)", true},            // 1288px
      {"(min-width: 80.5em)", false},
      {"(min-resolution: 1.5dppx)", false},
      {"(max-width: +1280.5px)", true},
      {"(min-width: 1.28e3px)", true},
      {"(min-width: 79.99em)", true},
  };
  for (const auto& c : cases) EXPECT_EQ(html::MediaQueryListMatches(c.query), c.matches) << c.query;
}

TEST(Declarations, KeepsKnownPropertiesWithValidValues) {
  std::vector<html::CssDeclaration> d = html::ParseDeclarations(
      " color: red; DISPLAY : None ! Important; visibility:hidden;display:flexbox;"
      "white-space: pre-line; /* display:none */ text-transform:uppercase; float:left;"
      "position:absolute; display:inherit; font:'a;b' x; display:inline-block");
  ASSERT_EQ(d.size(), 8u);
  EXPECT_EQ(d[0].property, CssProperty::kDisplay);
  EXPECT_EQ(d[0].value, static_cast<int>(Display::kNone));
  EXPECT_TRUE(d[0].important);
  EXPECT_EQ(d[1].property, CssProperty::kVisibility);
  EXPECT_FALSE(d[1].important);
  EXPECT_EQ(d[2].value, static_cast<int>(WhiteSpace::kPreLine));  // "flexbox" was dropped
  EXPECT_EQ(d[3].value, static_cast<int>(TextTransform::kUppercase));
  EXPECT_EQ(d[4].property, CssProperty::kFloat);
  EXPECT_EQ(d[4].value, 1);
  EXPECT_EQ(d[5].property, CssProperty::kPosition);
  EXPECT_EQ(d[6].value, html::kCssInherit);
  EXPECT_EQ(d[7].value, static_cast<int>(Display::kInlineBlock));  // the string kept ';' inside
}

TEST(Declarations, DropsHacksAndBrokenValues) {
  for (const char* block :
       {"display:none\\9", "*display:none", "_display:none", "display:", "display none",
        "display: none important", "display: var(--d)", "display: none none"}) {
    EXPECT_TRUE(html::ParseDeclarations(block).empty()) << block;
  }
}

std::uint32_t Specificity(const char* selector) {
  html::CssSelectorList list;
  EXPECT_TRUE(html::ParseSelectorList(selector, list)) << selector;
  return list.selectors.empty() ? 0 : list.selectors[0].specificity;
}

constexpr std::uint32_t S(std::uint32_t ids, std::uint32_t classes, std::uint32_t types) {
  return ids << 20 | classes << 10 | types;
}

TEST(Selectors, Specificity) {
  EXPECT_EQ(Specificity("*"), S(0, 0, 0));
  EXPECT_EQ(Specificity("td"), S(0, 0, 1));
  EXPECT_EQ(Specificity("table td.x"), S(0, 1, 2));
  EXPECT_EQ(Specificity("#a .b > c[d]:first-child"), S(1, 3, 1));
  EXPECT_EQ(Specificity("p::before"), S(0, 0, 2));
  EXPECT_EQ(Specificity("a:not(#x, .y)"), S(1, 0, 1));
  EXPECT_EQ(Specificity(":is(.a, div)"), S(0, 1, 0));
  EXPECT_EQ(Specificity(":where(#a) b"), S(0, 0, 1));
  EXPECT_EQ(Specificity("li:nth-child(2n+1)"), S(0, 1, 1));
}

TEST(Selectors, ValidityDecidesTheWholeList) {
  const char* valid[] = {"a, b",
                         "a>b",
                         "a + b ~ c",
                         "[x='a b' i]",
                         "[x|=en]",
                         "li:nth-child(odd)",
                         "li:nth-last-of-type(-n+3)",
                         ".a:hover",
                         "p:first-letter",
                         "::-webkit-scrollbar",
                         ":is(.a, :bogus)",
                         "u + #body a",
                         "div[style*=\"margin: 16px 0\"]",
                         ".\\31 0"};
  const char* invalid[] = {"",
                           "a,",
                           ",a",
                           "a >",
                           "a:bogus",
                           "a::bogus",
                           "::-moz-selection",
                           "a:not(:bogus)",
                           "a::before b",
                           "ns|a",
                           "[=x]",
                           "[x~]",
                           "a:nth-child(x)",
                           "a:has(b)",
                           "#",
                           "."};
  for (const char* text : valid) {
    html::CssSelectorList list;
    EXPECT_TRUE(html::ParseSelectorList(text, list)) << text;
  }
  for (const char* text : invalid) {
    html::CssSelectorList list;
    EXPECT_FALSE(html::ParseSelectorList(text, list)) << text;
    EXPECT_TRUE(list.selectors.empty()) << text;
  }
}

std::vector<std::string> RuleSelectors(const char* css) {
  std::vector<html::CssRule> rules;
  html::ParseStyleSheet(css, rules);
  std::vector<std::string> out;
  for (const CssRule& rule : rules) {
    std::string names;
    for (const CssSelector& s : rule.selectors) names += s.compounds.back().classes.front() + " ";
    out.push_back(names);
  }
  return out;
}

TEST(StyleSheets, AtRulesAndErrors) {
  EXPECT_EQ(RuleSelectors("<!-- .a{display:none} -->"), std::vector<std::string>{"a "});
  EXPECT_EQ(RuleSelectors("@charset 'utf-8'; @import url(x.css); .a{display:none}"),
            std::vector<std::string>{"a "});
  EXPECT_EQ(
      RuleSelectors("@media (max-width:600px){.a{display:none}} @media screen{.b{display:none}}"),
      std::vector<std::string>{"b "});
  EXPECT_EQ(
      RuleSelectors("@media screen{@media (min-width:1px){.a{display:none}} .b{display:none}}"),
      (std::vector<std::string>{"a ", "b "}));
  EXPECT_EQ(
      RuleSelectors(
          "@font-face{font-family:x;src:url(a)} @keyframes k{from{display:none}} .a{display:none}"),
      std::vector<std::string>{"a "});
  EXPECT_EQ(RuleSelectors("@supports (display:grid){.a{display:none}} @supports not "
                          "(display:grid){.b{display:none}}"),
            std::vector<std::string>{"a "});
  // A stray brace spoils the selector after it; the rules around survive.
  EXPECT_EQ(RuleSelectors(".a{display:none}} .b{display:none} .c{display:none}"),
            (std::vector<std::string>{"a ", "c "}));
  // Rules without a declaration this engine uses are not kept at all.
  EXPECT_EQ(RuleSelectors(".a{color:red} .b, .c{visibility:hidden}"),
            std::vector<std::string>{"b c "});
  EXPECT_EQ(RuleSelectors(".a{display:none /* } */} .b{content:'}';display:none}"),
            (std::vector<std::string>{"a ", "b "}));
  EXPECT_TRUE(RuleSelectors(".a{display:none").size() == 1);  // unclosed block runs to the end
}

}  // namespace
}  // namespace droprelay::html
