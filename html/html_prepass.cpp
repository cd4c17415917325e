#include "html/html_prepass.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/ascii.h"

namespace droprelay::html {
namespace {

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHtmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

template <std::size_t N>
bool OneOf(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

constexpr std::array<std::string_view, 19> kVoid = {
    "area", "base",  "basefont", "bgsound", "br",   "col",   "embed",  "frame", "hr", "image",
    "img",  "input", "keygen",   "link",    "meta", "param", "source", "track", "wbr"};
// Their content is text up to their own end tag: they never hold elements. (With scripting off,
// as the relay parses, <noscript> holds markup like any other element.)
constexpr std::array<std::string_view, 8> kRawText = {
    "script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes"};
// Start tags that close an open <p>.
constexpr std::array<std::string_view, 33> kClosesP = {
    "address", "article",  "aside",      "blockquote", "center", "details", "dialog", "dir",  "div",
    "dl",      "fieldset", "figcaption", "figure",     "footer", "form",    "h1",     "h2",   "h3",
    "h4",      "h5",       "h6",         "header",     "hgroup", "hr",      "main",   "menu", "nav",
    "ol",      "p",        "pre",        "section",    "table",  "ul"};

// Which open elements a start tag closes implicitly, as far as it matters for the depth.
bool ClosedBy(std::string_view open, std::string_view start) {
  if (open == "p") return OneOf(start, kClosesP) || start == "li" || start == "dd" || start == "dt";
  if (open == "li") return start == "li";
  if (open == "dt" || open == "dd") return start == "dt" || start == "dd";
  if (open == "option") return start == "option" || start == "optgroup";
  if (open == "td" || open == "th")
    return start == "td" || start == "th" || start == "tr" || start == "tbody" ||
           start == "thead" || start == "tfoot";
  if (open == "tr")
    return start == "tr" || start == "tbody" || start == "thead" || start == "tfoot";
  if (open == "tbody" || open == "thead" || open == "tfoot")
    return start == "tbody" || start == "thead" || start == "tfoot";
  return false;
}

// Case-insensitive search for "</name" from `from`; npos when absent.
std::size_t FindEndTag(std::string_view html, std::size_t from, std::string_view name) {
  while (from < html.size()) {
    const void* hit = std::memchr(html.data() + from, '<', html.size() - from);
    if (hit == nullptr) return std::string_view::npos;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - html.data());
    if (at + 2 + name.size() <= html.size() && html[at + 1] == '/') {
      bool same = true;
      for (std::size_t k = 0; k < name.size() && same; ++k)
        same = AsciiLower(html[at + 2 + k]) == name[k];
      if (same) return at;
    }
    from = at + 1;
  }
  return std::string_view::npos;
}

// Position just past the '>' that ends a tag whose name ended at `pos`, honouring quoted attribute
// values; html.size() when the tag never ends.
std::size_t SkipTagRest(std::string_view html, std::size_t pos) {
  bool after_equals = false;
  while (pos < html.size()) {
    char c = html[pos];
    if (c == '>') return pos + 1;
    if (after_equals && (c == '"' || c == '\'')) {
      std::size_t close = html.find(c, pos + 1);
      if (close == std::string_view::npos) return html.size();
      pos = close + 1;
      after_equals = false;
      continue;
    }
    if (c == '=') {
      after_equals = true;
    } else if (!IsHtmlSpace(c)) {
      after_equals = false;
    }
    ++pos;
  }
  return html.size();
}

struct OpenElement {
  std::string name;
  bool dropped;
};

// The open elements, with the positions of each name kept apart so that an end tag finds its
// element in constant time however deep the stack is.
class OpenElements {
 public:
  std::size_t size() const { return stack_.size(); }
  bool empty() const { return stack_.empty(); }
  const OpenElement& back() const { return stack_.back(); }
  const OpenElement& at(std::size_t index) const { return stack_[index]; }

  void Push(std::string name, bool dropped) {
    positions_[name].push_back(stack_.size());
    stack_.push_back(OpenElement{std::move(name), dropped});
  }
  void Pop() {
    positions_[stack_.back().name].pop_back();
    stack_.pop_back();
  }
  // Index of the topmost open element called `name`; npos when none is open.
  std::size_t Find(const std::string& name) const {
    auto found = positions_.find(name);
    if (found == positions_.end() || found->second.empty()) return std::string::npos;
    return found->second.back();
  }
  void PopTo(std::size_t index) {
    while (stack_.size() > index) Pop();
  }

 private:
  std::vector<OpenElement> stack_;
  std::unordered_map<std::string, std::vector<std::size_t>> positions_;
};

// Control characters the parser would turn into U+FFFD (C0 but TAB, LF, FF, CR and NUL; DEL),
// which a browser keeps.
bool IsKeptControl(char c) {
  auto byte = static_cast<unsigned char>(c);
  return (byte >= 0x01 && byte <= 0x08) || byte == 0x0B || (byte >= 0x0E && byte <= 0x1F) ||
         byte == 0x7F;
}

// A change of the byte range [first, last): removed, or one control character written so that the
// parser keeps it.
struct Edit {
  enum Kind : unsigned char { kRemove, kReference, kCarrier };
  Edit(std::size_t from, std::size_t to, Kind what, unsigned char control)
      : first(from), length(static_cast<std::uint32_t>(to - from)), kind(what), byte(control) {}
  std::size_t first;
  std::uint32_t length;  // a tag, or one or two bytes: well below 4 GiB
  Kind kind;
  unsigned char byte;  // the control character, or the second byte of a C1 control's UTF-8
};

// The UTF-8 of kC1Carrier without its last byte, which is 0x80 + the control's offset.
constexpr std::string_view kCarrierLead = "\xF4\x8F\xBE";

// Writes the control characters of the text [from, to) as character references, which the parser
// takes as they are, and the C1 controls as their carriers when `c1`.
void KeepControls(std::string_view html, std::size_t from, std::size_t to, bool c1,
                  std::vector<Edit>& edits) {
  for (std::size_t i = from; i < to; ++i) {
    if (IsKeptControl(html[i])) {
      edits.emplace_back(i, i + 1, Edit::kReference, static_cast<unsigned char>(html[i]));
    } else if (c1 && html[i] == '\xC2' && i + 1 < to &&
               static_cast<unsigned char>(html[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(html[i + 1]) <= 0x9F) {
      edits.emplace_back(i, i + 2, Edit::kCarrier, static_cast<unsigned char>(html[i + 1]));
      ++i;
    }
  }
}

}  // namespace

bool CarriesC1Controls(std::string_view html) {
  return html.find(kCarrierLead) == std::string_view::npos;
}

std::string PrepareHtml(std::string_view html, std::size_t max_depth) {
  const bool c1 = CarriesC1Controls(html);
  OpenElements open;
  std::vector<Edit> edits;  // in order, not overlapping
  std::size_t pos = 0;
  while (pos < html.size()) {
    const void* hit = std::memchr(html.data() + pos, '<', html.size() - pos);
    if (hit == nullptr) {
      KeepControls(html, pos, html.size(), c1, edits);
      break;
    }
    std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(hit) - html.data());
    KeepControls(html, pos, lt, c1, edits);
    if (lt + 1 >= html.size()) break;
    char next = html[lt + 1];
    if (next == '!') {
      if (html.compare(lt, 4, "<!--") == 0) {
        std::size_t end = html.find("-->", lt + 2);
        if (end == std::string_view::npos) break;  // the comment runs to the end
        pos = end + 3;
      } else {
        std::size_t end = html.find('>', lt + 2);
        if (end == std::string_view::npos) break;
        pos = end + 1;
      }
      continue;
    }
    if (next == '?') {
      std::size_t end = html.find('>', lt + 2);
      if (end == std::string_view::npos) break;
      pos = end + 1;
      continue;
    }
    bool end_tag = next == '/';
    std::size_t name_at = lt + (end_tag ? 2 : 1);
    if (name_at >= html.size() || !IsAsciiAlpha(html[name_at])) {
      pos = lt + 1;
      continue;
    }
    std::size_t name_end = name_at;
    std::string name;
    while (name_end < html.size() && !IsHtmlSpace(html[name_end]) && html[name_end] != '/' &&
           html[name_end] != '>') {
      name.push_back(AsciiLower(html[name_end]));
      ++name_end;
    }
    std::size_t tag_end = SkipTagRest(html, name_end);
    pos = tag_end;
    if (end_tag) {
      std::size_t index = open.Find(name);
      if (index != std::string::npos) {
        if (open.at(index).dropped) edits.emplace_back(lt, tag_end, Edit::kRemove, 0);
        open.PopTo(index);
      }
      continue;
    }
    // "/>" closes elements of SVG and MathML at once; on an HTML element the parser ignores it,
    // and taking it at its word there only makes the estimate shallower.
    bool self_closing = tag_end >= 2 && html[tag_end - 1] == '>' && html[tag_end - 2] == '/';
    if (OneOf(name, kVoid) || self_closing) continue;
    if (name == "plaintext") break;  // everything after it is text
    if (OneOf(name, kRawText)) {
      std::size_t close = FindEndTag(html, pos, name);
      if (close == std::string_view::npos) break;
      pos = close;  // the end tag itself is read as an ordinary (unmatched) end tag
      continue;
    }
    while (!open.empty() && ClosedBy(open.back().name, name)) open.Pop();
    bool drop = open.size() >= max_depth;
    if (drop) edits.emplace_back(lt, tag_end, Edit::kRemove, 0);
    open.Push(std::move(name), drop);
  }
  if (edits.empty()) return std::string(html);
  std::string kept;
  kept.reserve(html.size() + edits.size() * 4);
  std::size_t from = 0;
  for (const Edit& edit : edits) {
    kept.append(html.substr(from, edit.first - from));
    if (edit.kind == Edit::kReference) {
      kept += "&#" + std::to_string(edit.byte) + ";";
    } else if (edit.kind == Edit::kCarrier) {
      kept.append(kCarrierLead);
      kept.push_back(static_cast<char>(edit.byte));
    }
    from = edit.first + edit.length;
  }
  kept.append(html.substr(from));
  return kept;
}

}  // namespace droprelay::html
