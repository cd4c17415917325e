// Message text as mailinspect shows it: bytes in a declared character set turned into UTF-8, and
// whatever cannot be turned into text shown as \xNN, so the output is always valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace droprelay::tools {

// `bytes` in `charset` (a MIME charset name, any case) as UTF-8, made Printable. An empty or
// unknown charset, or bytes that are not valid in it, give Printable(bytes) instead.
std::string CharsetToUtf8(std::string_view bytes, std::string_view charset, bool keepLayout = false);

// Bytes shown as they are where they are printable ASCII or valid UTF-8; a backslash as "\\",
// everything else (controls, stray 8-bit bytes) as \xNN. Tabs and line breaks are kept when
// `keepLayout` is set (body text), else escaped too.
std::string Printable(std::string_view bytes, bool keepLayout = false);

// A header value with its RFC 2047 encoded words decoded, each in its own charset, as UTF-8.
// Text outside encoded words is shown as it is when it is UTF-8, else taken as `fallbackCharset`.
std::string HeaderTextToUtf8(std::string_view value, std::string_view fallbackCharset);

// The charset of an RFC 2231 extended value ("koi8-r'ru'%F3..."): the text before the first "'".
std::string ExtendedValueCharset(std::string_view value);

}  // namespace droprelay::tools
