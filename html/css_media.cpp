// @media evaluated for the one screen the engine renders on: 1280 x 800 CSS pixels, one device
// pixel per CSS pixel, colour, landscape, light scheme, a mouse. Queries this code cannot read are
// false, as a browser treats a query it cannot parse as "not all".
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "html/css.h"
#include "html/css_text.h"

namespace droprelay::html {
namespace {

using css_text::IsSpace;
using css_text::Trim;

constexpr double kWidth = 1280;
constexpr double kHeight = 800;
constexpr int kMaxConditionNesting = 8;

// A number with an optional unit, converted to CSS pixels, dots per CSS pixel or a plain number.
bool ParseQuantity(std::string_view text, double& value) {
  text = Trim(text);
  if (text.empty()) return false;
  std::size_t slash = text.find('/');
  if (slash != std::string_view::npos) {  // a ratio, e.g. 16/9
    double numerator, denominator;
    if (!ParseQuantity(text.substr(0, slash), numerator) ||
        !ParseQuantity(text.substr(slash + 1), denominator) || denominator == 0)
      return false;
    value = numerator / denominator;
    return true;
  }
  // Locale-independent: a program that has set a numeric locale with a decimal comma (the window
  // program's toolkit does) must read "37.5" as the other programs do.
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') return false;
  }
  double parsed = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed,
                                      std::chars_format::general);
  if (error != std::errc()) return false;
  std::string_view unit = digits.substr(static_cast<std::size_t>(end - digits.data()));
  static const struct {
    std::string_view unit;
    double factor;
  } kUnits[] = {{"", 1},     {"px", 1},  {"em", 16},        {"rem", 16},        {"pt", 96.0 / 72},
                {"pc", 16},  {"in", 96}, {"cm", 96 / 2.54}, {"mm", 9.6 / 2.54}, {"q", 2.4 / 2.54},
                {"dppx", 1}, {"x", 1},   {"dpi", 1.0 / 96}, {"dpcm", 2.54 / 96}};
  for (const auto& known : kUnits) {
    if (known.unit == unit) {
      value = parsed * known.factor;
      return std::isfinite(value);
    }
  }
  return false;
}

// The screen's value of a numeric feature; false for features that are not numeric or unknown.
bool NumericFeature(std::string_view name, double& value) {
  if (name == "width" || name == "device-width")
    value = kWidth;
  else if (name == "height" || name == "device-height")
    value = kHeight;
  else if (name == "aspect-ratio" || name == "device-aspect-ratio")
    value = kWidth / kHeight;
  else if (name == "resolution" || name == "device-pixel-ratio")
    value = 1;
  else if (name == "color")
    value = 8;
  else if (name == "transform-3d")
    value = 1;
  else if (name == "color-index" || name == "monochrome" || name == "grid")
    value = 0;
  else
    return false;
  return true;
}

// The screen's value of a discrete feature; empty when unknown.
std::string_view DiscreteFeature(std::string_view name) {
  if (name == "orientation") return "landscape";
  if (name == "prefers-color-scheme") return "light";
  if (name == "prefers-reduced-motion" || name == "prefers-reduced-transparency" ||
      name == "prefers-contrast" || name == "prefers-reduced-data")
    return "no-preference";
  if (name == "hover" || name == "any-hover") return "hover";
  if (name == "pointer" || name == "any-pointer") return "fine";
  if (name == "scripting") return "none";  // the relay never runs a message's scripts
  if (name == "display-mode") return "browser";
  if (name == "update") return "fast";
  if (name == "scan") return "progressive";
  if (name == "forced-colors" || name == "inverted-colors") return "none";
  if (name == "color-gamut") return "srgb";
  if (name == "dynamic-range" || name == "video-dynamic-range") return "standard";
  if (name == "overflow-block") return "scroll";
  if (name == "overflow-inline") return "scroll";
  return {};
}

// Browsers know a few features only with the -webkit- prefix (device-pixel-ratio, transform-3d);
// other prefixes, and device-pixel-ratio without one, are unknown features. Answers the name to
// look up, or an empty one for an unknown feature.
std::string_view KnownFeatureName(std::string_view name) {
  constexpr std::string_view kWebkit = "-webkit-";
  bool webkit = name.substr(0, kWebkit.size()) == kWebkit;
  if (webkit) name.remove_prefix(kWebkit.size());
  std::string_view bare = name;
  if (bare.substr(0, 4) == "min-" || bare.substr(0, 4) == "max-") bare.remove_prefix(4);
  if ((bare == "device-pixel-ratio" || bare == "transform-3d") != webkit) return {};
  return name;
}

bool Compare(double left, std::string_view op, double right) {
  constexpr double kEpsilon = 1e-9;
  if (op == "<") return left < right - kEpsilon;
  if (op == "<=") return left <= right + kEpsilon;
  if (op == ">") return left > right + kEpsilon;
  if (op == ">=") return left >= right - kEpsilon;
  if (op == "=") return std::fabs(left - right) <= kEpsilon;
  return false;
}

// Range syntax: "width <= 600px", "600px >= width", "400px < width < 700px".
bool RangeFeature(std::string_view text, bool& result) {
  std::vector<std::string_view> parts;  // operand, op, operand[, op, operand]
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '<' && c != '>' && c != '=') continue;
    parts.push_back(Trim(text.substr(start, i - start)));
    std::size_t op_len = (i + 1 < text.size() && text[i + 1] == '=') ? 2 : 1;
    parts.push_back(text.substr(i, op_len));
    i += op_len - 1;
    start = i + 1;
  }
  if (parts.empty()) return false;
  parts.push_back(Trim(text.substr(start)));
  if (parts.size() != 3 && parts.size() != 5) return false;
  double feature;
  if (parts.size() == 3) {
    double value;
    if (NumericFeature(KnownFeatureName(parts[0]), feature) && ParseQuantity(parts[2], value)) {
      result = Compare(feature, parts[1], value);
      return true;
    }
    if (NumericFeature(KnownFeatureName(parts[2]), feature) && ParseQuantity(parts[0], value)) {
      result = Compare(value, parts[1], feature);
      return true;
    }
    return false;
  }
  double low, high;
  if (!NumericFeature(KnownFeatureName(parts[2]), feature) || !ParseQuantity(parts[0], low) ||
      !ParseQuantity(parts[4], high))
    return false;
  result = Compare(low, parts[1], feature) && Compare(feature, parts[3], high);
  return true;
}

bool FeatureMatches(std::string_view text, bool& result) {
  text = Trim(text);
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    if (text.find_first_of("<>=") != std::string_view::npos) return RangeFeature(text, result);
    std::string_view name = KnownFeatureName(text);
    double value;
    if (NumericFeature(name, value)) {
      result = value != 0;
      return true;
    }
    std::string_view discrete = DiscreteFeature(name);
    if (discrete.empty()) return false;
    result = discrete != "none" && discrete != "no-preference";
    return true;
  }
  std::string_view name = KnownFeatureName(Trim(text.substr(0, colon)));
  std::string_view value_text = Trim(text.substr(colon + 1));
  std::string_view op = "=";
  if (name.substr(0, 4) == "min-") {
    op = ">=";
    name.remove_prefix(4);
  } else if (name.substr(0, 4) == "max-") {
    op = "<=";
    name.remove_prefix(4);
  }
  double feature;
  if (NumericFeature(name, feature)) {
    double value;
    if (!ParseQuantity(value_text, value)) return false;
    result = Compare(feature, op, value);
    return true;
  }
  std::string_view discrete = DiscreteFeature(name);
  if (discrete.empty() || op != "=") return false;
  result = discrete == value_text;
  return true;
}

// Splits a condition into its words and parenthesised groups (without the parentheses).
bool Tokenise(std::string_view text, std::vector<std::string_view>& tokens,
              std::vector<bool>& groups) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (IsSpace(text[pos])) {
      ++pos;
      continue;
    }
    if (text[pos] == '(') {
      std::size_t close = css_text::FindTopLevel(text, pos + 1, ")");
      if (close >= text.size()) return false;
      tokens.push_back(text.substr(pos + 1, close - pos - 1));
      groups.push_back(true);
      pos = close + 1;
      continue;
    }
    std::size_t end = pos;
    while (end < text.size() && !IsSpace(text[end]) && text[end] != '(') ++end;
    tokens.push_back(text.substr(pos, end - pos));
    groups.push_back(false);
    pos = end;
  }
  return true;
}

bool ConditionMatches(std::string_view text, bool& result, int nesting);

bool GroupMatches(std::string_view inner, bool& result, int nesting) {
  std::string_view trimmed = Trim(inner);
  if (!trimmed.empty() &&
      (trimmed.front() == '(' || trimmed.substr(0, 4) == "not " || trimmed.substr(0, 4) == "not("))
    return ConditionMatches(trimmed, result, nesting + 1);
  return FeatureMatches(trimmed, result);
}

// A media condition: "not (f)", or groups joined all by "and" or all by "or".
bool ConditionMatches(std::string_view text, bool& result, int nesting) {
  if (nesting > kMaxConditionNesting) return false;
  std::vector<std::string_view> tokens;
  std::vector<bool> groups;
  if (!Tokenise(text, tokens, groups) || tokens.empty()) return false;
  if (tokens.size() == 2 && !groups[0] && tokens[0] == "not" && groups[1]) {
    bool inner;
    if (!GroupMatches(tokens[1], inner, nesting)) return false;
    result = !inner;
    return true;
  }
  if (tokens.size() % 2 == 0) return false;
  std::string_view joiner;
  bool all = true, any = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i % 2 == 1) {
      if (groups[i] || (tokens[i] != "and" && tokens[i] != "or")) return false;
      if (!joiner.empty() && joiner != tokens[i]) return false;
      joiner = tokens[i];
      continue;
    }
    bool value;
    if (!groups[i] || !GroupMatches(tokens[i], value, nesting)) return false;
    all = all && value;
    any = any || value;
  }
  result = joiner == "or" ? any : all;
  return true;
}

bool QueryMatches(std::string_view query) {
  std::vector<std::string_view> tokens;
  std::vector<bool> groups;
  if (!Tokenise(query, tokens, groups) || tokens.empty()) return false;
  if (groups[0] || tokens[0] == "not") {
    if (!groups[0] && tokens.size() > 1 && !groups[1]) {
      // "not screen and (...)": negates the whole query.
    } else {
      bool result;
      return ConditionMatches(query, result, 0) && result;
    }
  }
  std::size_t i = 0;
  bool negate = false;
  if (!groups[0] && (tokens[0] == "not" || tokens[0] == "only")) {
    negate = tokens[0] == "not";
    ++i;
  }
  if (i >= tokens.size() || groups[i]) return false;
  std::string_view type = tokens[i++];
  bool result = type == "all" || type == "screen";
  if (type != "all" && type != "screen" && type != "print" && type != "speech" && type != "tv" &&
      type != "handheld" && type != "projection" && type != "tty" && type != "braille" &&
      type != "embossed" && type != "aural")
    return false;  // not a media type: the query is invalid
  for (; i < tokens.size(); i += 2) {
    if (groups[i] || tokens[i] != "and" || i + 1 >= tokens.size() || !groups[i + 1]) return false;
    bool value;
    if (!GroupMatches(tokens[i + 1], value, 0)) return false;
    result = result && value;
  }
  return negate ? !result : result;
}

}  // namespace

bool MediaQueryListMatches(std::string_view queries) {
  std::string lower = css_text::ToLower(queries);
  std::string_view text = Trim(lower);
  if (text.empty()) return true;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = css_text::FindTopLevel(text, pos, ",");
    if (QueryMatches(Trim(text.substr(pos, comma - pos)))) return true;
    pos = comma + 1;
  }
  return false;
}

}  // namespace droprelay::html
