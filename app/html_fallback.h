// Turning an HTML-only message into plain text: the fallback taken when a message has no usable
// plain-text body.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/relay_config.h"

namespace droprelay {

struct HtmlFallbackInput {
  std::string_view decodedSubject;  // the message's Subject: encoded words decoded, no conversion
  bool subjectIsKoi8 = false;       // its encoded words declare KOI8-R (SubjectWordsAreKoi8)
  std::string_view htmlText;        // the HTML lines, each followed by CR LF
  bool htmlIsUtf8 = false;          // the HTML part declares UTF-8 (see HtmlDeclaresUtf8)
  bool declaresKoi8 = false;        // the stored file declares KOI8-R somewhere (DeclaresKoi8)
  // Each of the two waits around loading the document (html_wait_ms). They stand in for the time
  // an asynchronously loading browser control needed; our engine converts synchronously, so 0
  // changes nothing but the time.
  std::uint32_t engineWaitMs = kDefaultHtmlWaitMs;
  // The longest the conversion itself may take (html_time_budget_ms; 0: no bound), measured on
  // `clockMs` (milliseconds; empty: the program's processor time). When it runs out the text so
  // far is used and `log` gets a warning.
  std::uint32_t timeBudgetMs = kDefaultHtmlTimeBudgetMs;
  std::function<std::uint64_t()> clockMs;
  std::function<void(const std::string&)> log;  // the budget warning (Windows-1251)
};

struct HtmlFallbackResult {
  std::string subject;   // Windows-1251
  std::string body;      // Windows-1251, lines ending in CR LF
  bool cutShort = false;  // the time budget ran out: the body is the text so far
};

// The subject (trimmed, converted from UTF-8 where it is UTF-8) and the visible text of the page.
// When the engine finds no element the body is the HTML source itself and the subject stays as it
// was at that point. The KOI8-R rule applies to both afterwards.
HtmlFallbackResult HtmlFallback(const HtmlFallbackInput& input);

// True when the HTML part's charset parameter, or failing that a <meta> declaration in the first
// 4 KiB of the page, names UTF-8.
bool HtmlDeclaresUtf8(std::string_view partCharset, std::string_view htmlText);

}  // namespace droprelay
