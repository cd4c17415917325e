#include "submit/address.h"

namespace droprelay::submit {

std::string EscapeForText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string AddressProblem(std::string_view address) {
  const auto problem = [&](const char* why) {
    return "Invalid address \"" + EscapeForText(address) + "\": " + why;
  };
  if (address.empty()) return "Empty address";
  if (address.size() > 254) return problem("longer than 254 characters");
  for (const char ch : address) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') return problem("contains a line break");
    if (c == 0) return problem("contains a NUL byte");
    if (c < 0x20 || c == 0x7F) return problem("contains a control character");
    if (c == ' ') return problem("contains a blank");
    if (c == '<' || c == '>') return problem("contains an angle bracket");
    if (c > 0x7F) return problem("is not plain ASCII");
  }
  // Specials would need quoting to stand in a header; such addresses are not sent.
  if (address.find_first_of("(),:;\"\\") != std::string_view::npos) return problem("contains a special character");
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) return problem("has no \"@\"");
  if (address.find('@', at + 1) != std::string_view::npos) return problem("has more than one \"@\"");
  if (at == 0) return problem("has an empty local part");
  if (at + 1 == address.size()) return problem("has an empty domain");
  if (address.substr(0, at).find_first_of("[]") != std::string_view::npos) return problem("contains a special character");
  const std::string_view domain = address.substr(at + 1);
  const bool literal = domain.front() == '[' && domain.back() == ']';
  if (!literal && domain.find_first_of("[]") != std::string_view::npos) return problem("has an invalid domain");
  return {};
}

}  // namespace droprelay::submit
