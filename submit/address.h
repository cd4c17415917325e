// The one check every address passes before it reaches a header line or the SMTP dialogue.
#pragma once

#include <string>
#include <string_view>

namespace droprelay::submit {

// Empty when `address` is a plain mailbox (local part "@" domain, printable ASCII without
// blanks, angle brackets or controls); otherwise why not, with the address shown escaped.
std::string AddressProblem(std::string_view address);

// `text` with CR, LF, other control characters and bytes above 0x7E shown as \r, \n, \xNN: safe
// to put into an error text or a log line.
std::string EscapeForText(std::string_view text);

}  // namespace droprelay::submit
