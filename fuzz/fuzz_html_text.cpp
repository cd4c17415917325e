// Arbitrary bytes into the HTML engine: it must answer without crashing or hanging, with valid
// UTF-8 and CR LF line ends only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "html/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view html(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> text = droprelay::html::HtmlInnerText(html);
  if (!text) return 0;
  for (std::size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] == '\n' && (i == 0 || (*text)[i - 1] != '\r')) std::abort();  // bare LF
  }
  return 0;
}
