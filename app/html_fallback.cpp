#include "app/html_fallback.h"

#include <ctime>
#include <optional>

#include "app/message_text.h"
#include "html/html_text.h"
#include "platform/sleeper.h"
#include "text/ascii.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

bool NamesUtf8(std::string_view charset) {
  const std::string lower = AsciiLowerCase(charset);
  return lower == "utf-8" || lower == "utf8";
}

}  // namespace

bool HtmlDeclaresUtf8(std::string_view partCharset, std::string_view htmlText) {
  if (!partCharset.empty()) return NamesUtf8(partCharset);
  // <meta charset="utf-8"> or <meta http-equiv="Content-Type" content="text/html; charset=utf-8">:
  // a browser reading the page from a file would honour either.
  const std::string head = AsciiLowerCase(htmlText.substr(0, 4096));
  for (std::size_t at = head.find("<meta"); at != std::string::npos; at = head.find("<meta", at + 5)) {
    const std::size_t end = head.find('>', at);
    const std::string_view tag = std::string_view(head).substr(at, end == std::string::npos ? std::string::npos : end - at);
    const std::size_t charset = tag.find("charset=");
    if (charset == std::string_view::npos) continue;
    std::string_view value = tag.substr(charset + 8);
    while (!value.empty() && (value.front() == '"' || value.front() == '\'' || value.front() == ' ')) value.remove_prefix(1);
    return value.substr(0, 5) == "utf-8" || value.substr(0, 4) == "utf8";
  }
  return false;
}

HtmlFallbackResult HtmlFallback(const HtmlFallbackInput& input) {
  HtmlFallbackResult result;
  // The decoded subject goes through the UTF-8 conversion too (it leaves Windows-1251 and KOI8-R
  // bytes alone); the blanks at fixed places are not removed on this path.
  result.subject = SubjectToCp1251(TrimControls(input.decodedSubject), input.subjectIsKoi8);

  // The engine gets Unicode, as the browser control did: the page's bytes are Windows-1251 unless
  // the part says UTF-8.
  std::optional<std::string> text;
  try {
    if (input.engineWaitMs > 0) platform::Sleep(input.engineWaitMs);  // the empty document settles
    // The budget bounds the conversion, not the waits: no message can hold the relay for long. It
    // is counted in processor time, so that a busy machine does not cut a large page short (and
    // the same message gives the same text under any load).
    const std::function<std::uint64_t()> clock = input.clockMs ? input.clockMs : [] {
      return static_cast<std::uint64_t>(std::clock()) * 1000 / CLOCKS_PER_SEC;
    };
    const std::uint64_t start = clock();
    html::HtmlBudget budget;
    if (input.timeBudgetMs > 0)
      budget.expired = [&] { return clock() - start >= input.timeBudgetMs; };
    const std::string page = input.htmlIsUtf8 ? std::string(input.htmlText) : Cp1251ToUtf8(input.htmlText);
    if (std::optional<html::HtmlText> converted = html::HtmlInnerText(page, budget)) {
      text = std::move(converted->text);
      result.cutShort = converted->cut_short;
    }
    if (input.engineWaitMs > 0) platform::Sleep(input.engineWaitMs);  // the written document settles
  } catch (const std::exception&) {
    text.reset();
    result.cutShort = false;
  }
  if (result.cutShort && input.log)
    input.log(texts::HtmlTimeBudgetSpent() + std::to_string(input.timeBudgetMs));
  // No page element, or the engine failed: the HTML source is the best text there is.
  if (!text) {
    result.body.assign(input.htmlText);
    return result;
  }
  result.body = Utf8ToCp1251(*text);

  if (input.declaresKoi8) {
    if (!input.subjectIsKoi8) result.subject = Koi8ToCp1251(result.subject);  // not twice
    result.body = Koi8ToCp1251(result.body);
  }
  return result;
}

}  // namespace droprelay
