// Fuzzes the code-page conversion, the repeated replacement and the header-safe encoders of the
// submission with arbitrary bytes, checking the promises each of them makes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "submit/address.h"
#include "mail/compose.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HeaderSafe(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      // Only as a folding line break: CR LF followed by a blank.
      if (i + 2 >= text.size() || text[i + 1] != '\n' || text[i + 2] != ' ') return false;
      i += 2;
    } else if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace droprelay;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string cp1251 = Utf8ToCp1251(input);
  Check(cp1251.size() <= input.size());
  Check(Koi8ToCp1251(input).size() == input.size());
  const std::string utf8 = Cp1251ToUtf8(input);
  Check(IsValidUtf8(utf8));
  if (input.find('\x98') == std::string_view::npos) Check(Utf8ToCp1251(utf8) == input);

  // First two bytes pick the lengths of pattern and replacement from the rest.
  if (size >= 2) {
    const std::string_view rest = input.substr(2);
    const std::size_t patternLength = std::min<std::size_t>(data[0] % 8, rest.size());
    const std::string_view pattern = rest.substr(0, patternLength);
    const std::size_t replacementLength = std::min<std::size_t>(data[1] % 8, rest.size() - patternLength);
    const std::string_view replacement = rest.substr(patternLength, replacementLength);
    const std::string_view text = rest.substr(patternLength + replacementLength);
    const std::string result = StringReplaceAll(text, pattern, replacement);
    if (pattern.empty()) Check(result == text);
    if (!pattern.empty() && replacement.size() < pattern.size()) {
      Check(result.find(pattern) == std::string::npos);
    }
  }

  Check(HeaderSafe(EncodeUnstructured(utf8, 900)));
  Check(HeaderSafe(EncodeUnstructured(input, 900)));
  Check(HeaderSafe(FileNameParameter("filename", input)));
  const std::string problem = submit::AddressProblem(input);
  Check(problem.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
  return 0;
}
