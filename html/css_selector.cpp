// Selectors: parsing a selector list with its specificity, and matching one selector against an
// element, right to left. Selectors the engine cannot read make their rule invalid, as in a
// browser; dynamic states (hover, focus, visited) never match in a document nobody touches.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "html/css.h"
#include "html/css_text.h"

namespace droprelay::html {
namespace {

using css_text::EqualsIgnoringCase;
using css_text::IsSpace;
using css_text::Lower;

constexpr int kMaxPseudoNesting = 8;
constexpr std::size_t kMaxCompounds = 64;
// Compound tests for one selector and element. What matching remembers keeps the total about
// linear; the bound stops a pathological selector (deeply nested :not() and :is()) early.
constexpr int kMatchBudget = 1 << 20;

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

class SelectorParser {
 public:
  SelectorParser(std::string_view text, int nesting) : text_(text), nesting_(nesting) {}

  bool ParseList(CssSelectorList& out) {
    std::size_t pos = 0;
    while (pos <= text_.size()) {
      std::size_t comma = css_text::FindTopLevel(text_, pos, ",");
      SelectorParser one(text_.substr(pos, comma - pos), nesting_);
      CssSelector selector;
      if (!one.ParseComplex(selector)) return false;
      out.selectors.push_back(std::move(selector));
      pos = comma + 1;
    }
    return !out.selectors.empty();
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
  }

  // An identifier with escapes resolved (hex escapes of ASCII only; others keep the character).
  bool Ident(std::string& out) {
    out.clear();
    // A digit may open an identifier only when escaped ("\\31 0" is the class "10").
    if (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') return false;
    while (!AtEnd()) {
      char c = text_[pos_];
      if (c == '\\' && pos_ + 1 < text_.size()) {
        std::size_t hex_end = pos_ + 1;
        while (hex_end < text_.size() && hex_end - pos_ <= 6 &&
               std::isxdigit(static_cast<unsigned char>(text_[hex_end])))
          ++hex_end;
        if (hex_end > pos_ + 1) {
          long code = 0;
          std::from_chars(text_.data() + pos_ + 1, text_.data() + hex_end, code, 16);
          out.push_back(code > 0 && code < 0x80 ? static_cast<char>(code) : '?');
          pos_ = hex_end;
          if (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
        } else {
          out.push_back(text_[pos_ + 1]);
          pos_ += 2;
        }
        continue;
      }
      if (!IsIdentChar(c)) break;
      out.push_back(c);
      ++pos_;
    }
    return !out.empty();
  }

  bool ParseComplex(CssSelector& selector) {
    SkipSpace();
    std::uint32_t ids = 0, classes = 0, types = 0;
    while (true) {
      CssCompound compound;
      if (!ParseCompound(compound, selector, ids, classes, types)) return false;
      selector.compounds.push_back(std::move(compound));
      if (selector.compounds.size() > kMaxCompounds) return false;
      bool spaced = !AtEnd() && IsSpace(Peek());
      SkipSpace();
      if (AtEnd()) break;
      char combinator = ' ';
      if (Peek() == '>' || Peek() == '+' || Peek() == '~') {
        combinator = Peek();
        ++pos_;
        SkipSpace();
      } else if (!spaced) {
        return false;
      }
      if (selector.pseudo_element) return false;  // nothing may follow a pseudo-element
      selector.combinators.push_back(combinator);
    }
    selector.specificity = std::min<std::uint32_t>(ids, 1023) << 20 |
                           std::min<std::uint32_t>(classes, 1023) << 10 |
                           std::min<std::uint32_t>(types, 1023);
    return true;
  }

  bool ParseCompound(CssCompound& compound, CssSelector& selector, std::uint32_t& ids,
                     std::uint32_t& classes, std::uint32_t& types) {
    std::string name;
    bool any = false;
    if (Peek() == '*') {
      ++pos_;
      any = true;
    } else if (IsIdentChar(Peek()) || Peek() == '\\') {
      if (!Ident(name)) return false;
      compound.tag = css_text::ToLower(name);
      ++types;
      any = true;
    }
    if (Peek() == '|') return false;  // namespaces do not occur in mail
    while (!AtEnd()) {
      char c = Peek();
      if (c == '#') {
        ++pos_;
        if (!Ident(name) && name.empty()) return false;
        compound.ids.push_back(name);
        ++ids;
      } else if (c == '.') {
        ++pos_;
        if (!Ident(name)) return false;
        compound.classes.push_back(name);
        ++classes;
      } else if (c == '[') {
        CssAttributeTest test;
        if (!ParseAttribute(test)) return false;
        compound.attributes.push_back(std::move(test));
        ++classes;
      } else if (c == ':') {
        if (!ParsePseudo(compound, selector, ids, classes, types)) return false;
      } else {
        break;
      }
      any = true;
    }
    return any;
  }

  bool ParseAttribute(CssAttributeTest& test) {
    std::size_t close = css_text::FindTopLevel(text_, pos_ + 1, "]");
    if (close >= text_.size()) return false;
    std::string_view inner = css_text::Trim(text_.substr(pos_ + 1, close - pos_ - 1));
    pos_ = close + 1;
    std::size_t op_at = inner.find_first_of("=~|^$*");
    std::string_view name = css_text::Trim(inner.substr(0, op_at));
    if (name.empty()) return false;
    for (char c : name)
      if (!IsIdentChar(c)) return false;
    test.name = css_text::ToLower(name);
    if (op_at == std::string_view::npos) return true;
    test.op = inner[op_at];
    std::size_t value_at = op_at + 1;
    if (test.op != '=') {
      if (value_at >= inner.size() || inner[value_at] != '=') return false;
      ++value_at;
    }
    std::string_view rest = css_text::Trim(inner.substr(value_at));
    if (rest.empty()) return false;
    if (rest.front() == '"' || rest.front() == '\'') {
      std::size_t end = css_text::SkipString(rest, 0);
      std::string_view quoted = rest.substr(1, end >= 2 ? end - 2 : 0);
      for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) ++i;
        test.value.push_back(quoted[i]);
      }
      rest = css_text::Trim(rest.substr(end));
    } else {
      std::size_t end = 0;
      while (end < rest.size() && !IsSpace(rest[end])) ++end;
      test.value = std::string(rest.substr(0, end));
      rest = css_text::Trim(rest.substr(end));
    }
    if (rest == "i" || rest == "I")
      test.ignore_case = true;
    else if (!rest.empty() && rest != "s" && rest != "S")
      return false;
    return true;
  }

  bool ParseNth(std::string_view argument, int& a, int& b) {
    std::string arg;
    for (char c : argument)
      if (!IsSpace(c)) arg.push_back(Lower(c));
    if (arg == "odd") {
      a = 2;
      b = 1;
      return true;
    }
    if (arg == "even") {
      a = 2;
      b = 0;
      return true;
    }
    std::size_t n = arg.find('n');
    if (n == std::string::npos) {
      a = 0;
      return WholeInteger(arg, b);
    }
    std::string coefficient = arg.substr(0, n);
    if (coefficient.empty() || coefficient == "+")
      a = 1;
    else if (coefficient == "-")
      a = -1;
    else if (!WholeInteger(coefficient, a))
      return false;
    std::string offset = arg.substr(n + 1);
    if (offset.empty()) {
      b = 0;
      return true;
    }
    if (offset[0] != '+' && offset[0] != '-') return false;
    return offset.size() > 1 && WholeInteger(offset, b);
  }

  // An optionally signed decimal integer that is all of `text` and fits an int.
  static bool WholeInteger(std::string_view text, int& value) {
    if (!text.empty() && text.front() == '+') {
      text.remove_prefix(1);
      if (!text.empty() && text.front() == '-') return false;
    }
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
  }

  bool ParsePseudo(CssCompound& compound, CssSelector& selector, std::uint32_t& ids,
                   std::uint32_t& classes, std::uint32_t& types) {
    ++pos_;
    bool element = false;
    if (Peek() == ':') {
      element = true;
      ++pos_;
    }
    std::string name;
    if (!Ident(name)) return false;
    name = css_text::ToLower(name);
    std::string_view argument;
    bool has_argument = false;
    if (Peek() == '(') {
      std::size_t close = css_text::FindTopLevel(text_, pos_ + 1, ")");
      if (close >= text_.size()) return false;
      argument = text_.substr(pos_ + 1, close - pos_ - 1);
      has_argument = true;
      pos_ = close + 1;
    }
    static constexpr std::string_view kLegacyElements[] = {"before", "after", "first-line",
                                                           "first-letter"};
    if (element || std::find(std::begin(kLegacyElements), std::end(kLegacyElements), name) !=
                       std::end(kLegacyElements)) {
      static constexpr std::string_view kElements[] = {
          "before",      "after",  "first-line", "first-letter",         "selection",
          "placeholder", "marker", "backdrop",   "file-selector-button", "cue",
          "slotted",     "part",   "highlight"};
      bool known =
          std::find(std::begin(kElements), std::end(kElements), name) != std::end(kElements) ||
          name.rfind("-webkit-", 0) == 0;
      if (!known) return false;
      selector.pseudo_element = true;
      ++types;
      return true;
    }
    CssPseudoTest test{CssPseudo::kNever, 0, 0, nullptr};
    if (has_argument) {
      if (name == "not" || name == "is" || name == "where" || name == "matches" ||
          name == "-webkit-any") {
        if (nesting_ >= kMaxPseudoNesting) return false;
        auto list = std::make_shared<CssSelectorList>();
        SelectorParser inner(argument, nesting_ + 1);
        bool ok = inner.ParseList(*list);
        if (!ok) {
          // :is() and :where() forgive invalid selectors; :not() does not.
          if (name == "not") return false;
          list->selectors.clear();
        }
        for (const CssSelector& s : list->selectors)
          if (s.pseudo_element) return false;
        if (name != "where") {
          std::uint32_t highest = 0;
          for (const CssSelector& s : list->selectors) highest = std::max(highest, s.specificity);
          ids += highest >> 20;
          classes += (highest >> 10) & 1023;
          types += highest & 1023;
        }
        test.kind = name == "not" ? CssPseudo::kNot : CssPseudo::kIs;
        test.argument = std::move(list);
        compound.pseudos.push_back(std::move(test));
        return true;
      }
      ++classes;
      if (name == "nth-child" || name == "nth-last-child" || name == "nth-of-type" ||
          name == "nth-last-of-type") {
        if (!ParseNth(argument, test.a, test.b)) return false;
        test.kind = name == "nth-child"        ? CssPseudo::kNthChild
                    : name == "nth-last-child" ? CssPseudo::kNthLastChild
                    : name == "nth-of-type"    ? CssPseudo::kNthOfType
                                               : CssPseudo::kNthLastOfType;
      } else if (name == "lang" || name == "dir" || name == "host" || name == "host-context") {
        test.kind = CssPseudo::kNever;
      } else {
        return false;
      }
      compound.pseudos.push_back(std::move(test));
      return true;
    }
    static const std::pair<std::string_view, CssPseudo> kSimple[] = {
        {"root", CssPseudo::kRoot},
        {"empty", CssPseudo::kEmpty},
        {"link", CssPseudo::kLink},
        {"any-link", CssPseudo::kLink},
        {"-webkit-any-link", CssPseudo::kLink},
        {"first-child", CssPseudo::kFirstChild},
        {"last-child", CssPseudo::kLastChild},
        {"only-child", CssPseudo::kOnlyChild},
        {"first-of-type", CssPseudo::kFirstOfType},
        {"last-of-type", CssPseudo::kLastOfType},
        {"only-of-type", CssPseudo::kOnlyOfType},
        {"checked", CssPseudo::kChecked},
        {"disabled", CssPseudo::kDisabled},
        {"enabled", CssPseudo::kEnabled},
        {"defined", CssPseudo::kIs},
        {"read-only", CssPseudo::kIs},
        {"visited", CssPseudo::kNever},
        {"hover", CssPseudo::kNever},
        {"active", CssPseudo::kNever},
        {"focus", CssPseudo::kNever},
        {"focus-within", CssPseudo::kNever},
        {"focus-visible", CssPseudo::kNever},
        {"target", CssPseudo::kNever},
        {"read-write", CssPseudo::kNever},
        {"placeholder-shown", CssPseudo::kNever},
        {"autofill", CssPseudo::kNever},
        {"-webkit-autofill", CssPseudo::kNever},
        {"default", CssPseudo::kNever},
        {"indeterminate", CssPseudo::kNever},
        {"valid", CssPseudo::kNever},
        {"invalid", CssPseudo::kNever},
        {"required", CssPseudo::kNever},
        {"optional", CssPseudo::kNever},
        {"fullscreen", CssPseudo::kNever},
        {"scope", CssPseudo::kRoot}};
    for (const auto& [known, kind] : kSimple) {
      if (known == name) {
        // :defined and :read-only hold for every element of a mail; kIs with no argument
        // stands for "always" below.
        test.kind = kind;
        compound.pseudos.push_back(std::move(test));
        ++classes;
        return true;
      }
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int nesting_;
};

bool Nth(int a, int b, std::uint32_t position) {
  long index = static_cast<long>(position) - b;
  if (a == 0) return index == 0;
  return index % a == 0 && index / a >= 0;
}

bool IsFormControl(const std::string& tag) {
  return tag == "button" || tag == "input" || tag == "select" || tag == "textarea" ||
         tag == "optgroup" || tag == "option" || tag == "fieldset";
}

// Attributes whose values HTML compares without regard to case.
bool CaseInsensitiveAttribute(const std::string& name) {
  static constexpr std::string_view kNames[] = {
      "type",   "align",   "valign",   "lang",     "dir",   "rel",   "method", "scope",
      "nowrap", "checked", "disabled", "selected", "clear", "frame", "rules",  "shape"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

class Matcher {
 public:
  Matcher(bool quirks, SelectorMatchCache& cache) : quirks_(quirks), cache_(cache) {}

  bool Complex(const CssSelector& selector, std::size_t index, const ElementInfo& element) {
    if (--budget_ < 0) return false;
    if (!Compound(selector.compounds[index], element)) return false;
    if (index == 0) return true;
    switch (selector.combinators[index - 1]) {
      case '>':
        return element.parent != nullptr && Complex(selector, index - 1, *element.parent);
      case '+':
        return element.previous_sibling != nullptr &&
               Complex(selector, index - 1, *element.previous_sibling);
      case '~':
        return AnyEarlierSibling(selector, index - 1, element);
      default:
        return AnyAncestor(selector, index - 1, element.parent);
    }
  }

  bool OutOfBudget() const { return budget_ < 0; }

 private:
  // Whether a sibling before `element` matches compounds 0..index. The children of one parent are
  // tried in order, once each per selector part, and the first that matched is kept: a later
  // sibling's question is answered from that or by trying only the children not yet tried.
  bool AnyEarlierSibling(const CssSelector& selector, std::size_t index,
                         const ElementInfo& element) {
    // A node of an unordered_map stays where it is when others are added during the recursion.
    SelectorMatchCache::SiblingRun& run =
        cache_.siblings[{&selector, element.parent, static_cast<std::uint32_t>(index)}];
    std::uint32_t position = element.child_position;
    if (run.first_match != 0) return run.first_match < position;
    if (run.tried + 1 >= position) return false;
    std::vector<const ElementInfo*> untried;
    for (const ElementInfo* e = element.previous_sibling; e != nullptr && e->child_position > run.tried;
         e = e->previous_sibling)
      untried.push_back(e);
    for (auto it = untried.rbegin(); it != untried.rend(); ++it) {
      bool matches = Complex(selector, index, **it);
      if (OutOfBudget()) return false;  // an unfinished answer is not remembered
      run.tried = (*it)->child_position;
      if (matches) {
        run.first_match = run.tried;
        return true;
      }
    }
    return false;
  }

  // Whether `first` or one of its ancestors matches compounds 0..index. Every element walked is
  // remembered with the answer, so the walk of the next element stops where this one began.
  bool AnyAncestor(const CssSelector& selector, std::size_t index, const ElementInfo* first) {
    std::vector<const ElementInfo*> walked;
    bool found = false;
    for (const ElementInfo* e = first; e != nullptr; e = e->parent) {
      auto known = cache_.ancestors.find({&selector, e, static_cast<std::uint32_t>(index)});
      if (known != cache_.ancestors.end()) {
        found = known->second;
        break;
      }
      walked.push_back(e);
      if (Complex(selector, index, *e)) {
        found = true;
        break;
      }
      if (OutOfBudget()) return false;
    }
    for (const ElementInfo* e : walked)
      cache_.ancestors[{&selector, e, static_cast<std::uint32_t>(index)}] = found;
    return found;
  }

  bool SameName(std::string_view a, std::string_view b) const {
    return quirks_ ? EqualsIgnoringCase(a, b) : a == b;
  }

  bool Attribute(const CssAttributeTest& test, const ElementInfo& element) const {
    const char* raw = AttributeOf(element, test.name.c_str());
    if (raw == nullptr) return false;
    if (test.op == 0) return true;
    std::string_view value(raw);
    std::string folded_value, folded_test;
    std::string_view wanted = test.value;
    if (test.ignore_case || CaseInsensitiveAttribute(test.name)) {
      folded_value = css_text::ToLower(value);
      folded_test = css_text::ToLower(wanted);
      value = folded_value;
      wanted = folded_test;
    }
    switch (test.op) {
      case '=':
        return value == wanted;
      case '^':
        return !wanted.empty() && value.substr(0, wanted.size()) == wanted;
      case '$':
        return !wanted.empty() && value.size() >= wanted.size() &&
               value.substr(value.size() - wanted.size()) == wanted;
      case '*':
        return !wanted.empty() && value.find(wanted) != std::string_view::npos;
      case '|':
        return value == wanted ||
               (value.size() > wanted.size() && value.substr(0, wanted.size()) == wanted &&
                value[wanted.size()] == '-');
      case '~': {
        if (wanted.empty() || wanted.find_first_of(" \t\n\r\f") != std::string_view::npos)
          return false;
        std::size_t pos = 0;
        while (pos < value.size()) {
          while (pos < value.size() && IsSpace(value[pos])) ++pos;
          std::size_t end = pos;
          while (end < value.size() && !IsSpace(value[end])) ++end;
          if (value.substr(pos, end - pos) == wanted) return true;
          pos = end;
        }
        return false;
      }
    }
    return false;
  }

  bool Pseudo(const CssPseudoTest& test, const ElementInfo& element) {
    switch (test.kind) {
      case CssPseudo::kNever:
        return false;
      case CssPseudo::kRoot:
        return element.parent == nullptr;
      case CssPseudo::kEmpty:
        return element.empty;
      case CssPseudo::kLink:
        return (element.tag == "a" || element.tag == "area") &&
               AttributeOf(element, "href") != nullptr;
      case CssPseudo::kFirstChild:
        return element.child_position == 1;
      case CssPseudo::kLastChild:
        return element.child_position == element.child_count;
      case CssPseudo::kOnlyChild:
        return element.child_count == 1;
      case CssPseudo::kFirstOfType:
        return element.type_position == 1;
      case CssPseudo::kLastOfType:
        return element.type_position == element.type_count;
      case CssPseudo::kOnlyOfType:
        return element.type_count == 1;
      case CssPseudo::kNthChild:
        return Nth(test.a, test.b, element.child_position);
      case CssPseudo::kNthLastChild:
        return Nth(test.a, test.b, element.child_count - element.child_position + 1);
      case CssPseudo::kNthOfType:
        return Nth(test.a, test.b, element.type_position);
      case CssPseudo::kNthLastOfType:
        return Nth(test.a, test.b, element.type_count - element.type_position + 1);
      case CssPseudo::kChecked:
        return (element.tag == "input" && AttributeOf(element, "checked") != nullptr) ||
               (element.tag == "option" && AttributeOf(element, "selected") != nullptr);
      case CssPseudo::kDisabled:
        return IsFormControl(element.tag) && AttributeOf(element, "disabled") != nullptr;
      case CssPseudo::kEnabled:
        return IsFormControl(element.tag) && AttributeOf(element, "disabled") == nullptr;
      case CssPseudo::kNot:
      case CssPseudo::kIs: {
        if (!test.argument) return true;  // :defined, :read-only
        bool any = false;
        for (const CssSelector& inner : test.argument->selectors) {
          if (Complex(inner, inner.compounds.size() - 1, element)) {
            any = true;
            break;
          }
        }
        return test.kind == CssPseudo::kNot ? !any : any;
      }
    }
    return false;
  }

  bool Compound(const CssCompound& compound, const ElementInfo& element) {
    if (!compound.tag.empty() && compound.tag != element.tag) return false;
    for (const std::string& id : compound.ids)
      if (!SameName(id, element.id)) return false;
    for (const std::string& wanted : compound.classes) {
      bool found = false;
      for (std::string_view have : element.classes) {
        if (SameName(wanted, have)) {
          found = true;
          break;
        }
      }
      if (!found) return false;
    }
    for (const CssAttributeTest& test : compound.attributes)
      if (!Attribute(test, element)) return false;
    for (const CssPseudoTest& test : compound.pseudos)
      if (!Pseudo(test, element)) return false;
    return true;
  }

  bool quirks_;
  SelectorMatchCache& cache_;
  int budget_ = kMatchBudget;
};

}  // namespace

bool ParseSelectorList(std::string_view text, CssSelectorList& out) {
  out.selectors.clear();
  SelectorParser parser(text, 0);
  if (parser.ParseList(out)) return true;
  out.selectors.clear();
  return false;
}

bool SelectorMatches(const CssSelector& selector, const ElementInfo& element, bool quirks,
                     SelectorMatchCache& cache) {
  if (selector.pseudo_element || selector.compounds.empty()) return false;
  // Forgetting costs only time; it keeps a hostile document's memory bounded (about 64 bytes an
  // entry).
  constexpr std::size_t kMaxRemembered = std::size_t{1} << 20;
  if (cache.siblings.size() > kMaxRemembered) cache.siblings.clear();
  if (cache.ancestors.size() > kMaxRemembered) cache.ancestors.clear();
  Matcher matcher(quirks, cache);
  return matcher.Complex(selector, selector.compounds.size() - 1, element);
}

}  // namespace droprelay::html
