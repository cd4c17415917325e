// Header line utilities: trimming, canonical form, main values and parameters, line lookup,
// line extraction, file-name cleaning and fresh boundaries.
#include "mail/header_utils.h"

#include <chrono>
#include <map>
#include <cstdio>

#include "mail/codecs.h"
#include "platform/random.h"
#include "text/ascii.h"

namespace droprelay {

namespace {

// Removes one pair of enclosing double quotes; a lone double quote becomes empty.
std::string Unquote(std::string s) {
  if (!s.empty() && s.front() == '"' && s.back() == '"') {
    return s.size() >= 2 ? s.substr(1, s.size() - 2) : std::string();
  }
  return s;
}

// Where the main value of a header line lies: from just after the first ":" outside double
// quotes up to the next ";" outside double quotes (or the end). Quotes toggle from the start of
// the line, field name included.
struct ValueSpan {
  bool found = false;
  std::size_t begin = 0;
  std::size_t end = 0;
};

ValueSpan FindMainValue(std::string_view line) {
  ValueSpan span;
  bool quoted = false;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ':' && !quoted) {
      span.found = true;
      span.begin = i + 1;
      ++i;
      break;
    }
  }
  if (!span.found) return span;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      break;
    }
  }
  span.end = i;
  return span;
}

// The line as the parameter functions walk it: trimmed, and always ending in ";" so that the
// last parameter is closed like every other.
std::string ParamWalkText(std::string_view line) {
  std::string s = TrimSpaces(line);
  if (s.empty() || s.back() != ';') s.push_back(';');
  return s;
}

// Walks the parameters of `s` (see ParamWalkText). For each "=" outside quotes inside the
// parameters it calls onName(nameBuffer, position of "="), which answers whether a match starts.
// While a match is on, onValueChar is called for every character up to the next ";" outside
// quotes; onValueEnd(position of that ";") ends it. onName may stop the walk by answering true
// through `stop`.
template <typename OnName, typename OnValueChar, typename OnValueEnd>
void WalkParams(std::string_view s, OnName onName, OnValueChar onValueChar, OnValueEnd onValueEnd) {
  bool quoted = false;
  bool inValue = false;   // after the first ":" outside quotes
  bool inParams = false;  // after a ";" that follows it
  bool matching = false;
  std::string name;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && c != '"') {
      if (c == ':' && !inValue) {
        inValue = true;
        continue;
      }
      if (c == ';' && inValue) {
        if (matching && !onValueEnd(i)) return;
        inParams = true;
        matching = false;
        name.clear();
        continue;
      }
      if (c == '=' && inParams) {
        matching = onName(name, i);
        name.clear();
        continue;
      }
    }
    if (!inParams) continue;
    if (matching) {
      onValueChar(c);
    } else {
      name.push_back(c);
    }
  }
}

bool SameParamName(std::string_view a, std::string_view wantedUpperTrimmed) {
  return AsciiUpperCase(TrimSpaces(a)) == wantedUpperTrimmed;
}

}  // namespace

std::string Quoted(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '"';
  out += value;
  out += '"';
  return out;
}

std::string StringListText(const TStringList& list) {
  std::size_t size = 0;
  for (const auto& line : list) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const auto& line : list) {
    text.append(line);
    text.append("\r\n");
  }
  return text;
}

std::string TrimLeftSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string TrimRightSpaces(std::string_view text) {
  const std::size_t last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string TrimSpaces(std::string_view text) { return std::string(TrimBytes(text, kSpace)); }

std::string NormalizeHeaderLine(std::string_view line) {
  std::string name;
  std::string value;
  std::string quotedText;
  bool inName = true;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (inName) {
      if ((c == 'd' || c == 'D') && name.size() >= 2 && name.compare(name.size() - 2, 2, "-I") == 0 &&
          i + 1 < line.size() && line[i + 1] == ':') {
        name.push_back('D');  // "Message-ID", "Content-ID"
      } else if (name.empty() || name.back() == '-') {
        name.push_back(AsciiUpper(c));
      } else {
        name.push_back(AsciiLower(c));
      }
      if (c == ':') {
        inName = false;
        value.clear();
      }
      continue;
    }
    if (c == '"') {
      if (!quoted) {
        quotedText.assign(1, '"');
      } else {
        value.append(quotedText);
        value.push_back('"');
      }
      quoted = !quoted;
    } else if (quoted) {
      quotedText.push_back(c);
    } else if (c == ' ') {
      while (!value.empty() && value.back() == ' ') value.pop_back();
      value.push_back(' ');
    } else {
      value.push_back(c);
    }
  }
  // An unclosed quoted text is dropped.
  return TrimSpaces(name) + " " + TrimSpaces(value);
}

std::string GetHeaderLineValue(std::string_view line) {
  const ValueSpan span = FindMainValue(line);
  if (!span.found) return std::string();
  return Unquote(TrimSpaces(line.substr(span.begin, span.end - span.begin)));
}

std::string SetHeaderLineValue(std::string_view line, std::string_view value) {
  const ValueSpan span = FindMainValue(line);
  if (!span.found) return std::string(line);
  std::string out(line.substr(0, span.begin));
  out.push_back(' ');
  out.append(TrimSpaces(value));
  out.append(line.substr(span.end));
  return out;
}

std::string GetHeaderLineParam(std::string_view line, std::string_view name) {
  const std::string s = ParamWalkText(line);
  const std::string wanted = AsciiUpperCase(TrimSpaces(name));
  std::string result;
  WalkParams(
      s, [&](const std::string& buffer, std::size_t) { return SameParamName(buffer, wanted); },
      [&](char c) { result.push_back(c); }, [](std::size_t) { return true; });
  return Unquote(TrimSpaces(result));
}

namespace {

// The value of an RFC 2231 piece that carries percent-encoding: "%" and two hexadecimal digits (of
// either case) become that byte; a "%" without them stays.
std::string PercentDecode(std::string_view value) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hex(value[i + 1]) >= 0 && hex(value[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2])));
      i += 2;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

// The first encoded piece starts with charset'language'; the bytes stay as they are (as with an
// encoded word, the charset is not applied), so only the prefix goes.
std::string_view WithoutCharset(std::string_view value) {
  const std::size_t first = value.find('\'');
  const std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  return second == std::string_view::npos ? value : value.substr(second + 1);
}

}  // namespace

std::string GetHeaderLineParamExtended(std::string_view line, std::string_view name) {
  // All parameters in one walk (values of a repeated name joined, as GetHeaderLineParam does), so
  // a header of many pieces costs one pass, not one per piece.
  std::map<std::string, std::string> values;
  std::string* current = nullptr;
  WalkParams(
      ParamWalkText(line),
      [&](const std::string& buffer, std::size_t) {
        current = &values[AsciiUpperCase(TrimSpaces(buffer))];
        return true;
      },
      [&](char c) { current->push_back(c); }, [](std::size_t) { return true; });
  const auto value = [&](const std::string& key) {
    const auto it = values.find(AsciiUpperCase(key));
    return it == values.end() ? std::string() : Unquote(TrimSpaces(it->second));
  };
  const std::string base = TrimSpaces(name) + "*";
  if (const std::string single = value(base); !single.empty()) return PercentDecode(WithoutCharset(single));
  // Numbered pieces from 0 on, each either encoded (name*N*) or plain (name*N), up to the first
  // missing number.
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string piece = base + std::to_string(i);
    if (const std::string encoded = value(piece + "*"); !encoded.empty()) {
      out += PercentDecode(i == 0 ? WithoutCharset(encoded) : std::string_view(encoded));
    } else if (const std::string plain = value(piece); !plain.empty()) {
      out += plain;
    } else {
      break;
    }
  }
  return out;
}

std::string EncodeHeaderParamExtended(std::string_view bytes) {
  // Unreserved characters as they are, every other byte percent-encoded; no charset is named
  // because the bytes are passed on as received.
  std::string out = "''";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '.' || c == '-' ||
        c == '_') {
      out.push_back(c);
    } else {
      static constexpr char digits[] = "0123456789ABCDEF";
      out.push_back('%');
      out.push_back(digits[u >> 4]);
      out.push_back(digits[u & 15]);
    }
  }
  return out;
}

std::string SetHeaderLineParam(std::string_view line, std::string_view name, std::string_view value) {
  const std::string s = ParamWalkText(line);
  const std::string wanted = AsciiUpperCase(TrimSpaces(name));
  bool found = false;
  bool done = false;
  std::size_t valueBegin = 0;
  std::size_t valueEnd = s.size();
  // Only the first matching parameter is the target; an "=" inside its value does not end it.
  WalkParams(
      s,
      [&](const std::string& buffer, std::size_t pos) {
        if (found) return true;  // inside the target's value: keep going to its ";"
        if (!SameParamName(buffer, wanted)) return false;
        found = true;
        valueBegin = pos + 1;
        return true;
      },
      [](char) {},
      [&](std::size_t pos) {
        valueEnd = pos;
        done = true;
        return false;
      });
  std::string result = s.substr(0, s.size() - 1);
  if (found) {
    // An unclosed quote runs the value to the end of the text.
    if (!done || valueEnd > result.size()) valueEnd = result.size();
    return result.substr(0, valueBegin) + TrimSpaces(value) + result.substr(valueEnd);
  }
  return TrimSpaces(result) + "; " + TrimSpaces(name) + "=" + TrimSpaces(value);
}

int FindHeaderLine(const TStringList* list, std::string_view prefix, int occurrence) {
  if (list == nullptr) return -1;
  int seen = 0;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string& line = (*list)[i];
    if (line.size() < prefix.size()) continue;
    bool match = true;
    for (std::size_t k = 0; k < prefix.size() && match; ++k) match = AsciiUpper(line[k]) == AsciiUpper(prefix[k]);
    if (!match) continue;
    if (seen == occurrence) return static_cast<int>(i);
    ++seen;
  }
  return -1;
}

void ExtractNextLine(std::string_view text, std::string& line, std::ptrdiff_t& index) {
  line.clear();
  const auto length = static_cast<std::ptrdiff_t>(text.size());
  if (index < 1 || index > length) {
    index = -1;
    return;
  }
  const std::size_t from = static_cast<std::size_t>(index - 1);
  const std::size_t crlf = text.find("\r\n", from);
  const std::size_t end = crlf == std::string_view::npos ? text.size() : crlf + 2;
  line.assign(text.substr(from, end - from));
  index = end >= text.size() ? -1 : static_cast<std::ptrdiff_t>(end) + 1;
}

std::string CleanFileName(std::string_view text) {
  std::string name = TrimSpaces(text);
  if (name.size() > 254) name.resize(254);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20) {
      c = '_';
      continue;
    }
    switch (c) {
      case ':': case '\\': case '/': case '*': case '?': case '"': case '<': case '>': case '|': case '\'':
        c = '_';
        break;
      default:
        break;
    }
  }
  return name;
}

std::string NewBoundary() {
  const std::uint32_t value = platform::RandomNumber();
  char hex[16];
  std::snprintf(hex, sizeof hex, "%8X", static_cast<unsigned>(value));
  return "boundary" + PadLeftStr(hex, 8, "0");
}

}  // namespace droprelay
