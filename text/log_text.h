// Text on its way out to a log: the log file, the window's log box, standard error, the journal or
// a syslog daemon. Whatever its source (a subject, a body, a file name, a server's reply, a system
// error), nothing in it may act on the terminal or viewer that shows it: an ESC sequence from a
// subject would run under `tail -f`, and a line break inside a file name could forge a line.
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// What stands for a character that is taken out: "?" is ASCII, so it survives Windows-1251 both
// ways and takes one column, and the log's bound (which counts characters) is not changed by it.
inline constexpr char kLogTextReplacement = '?';

// `utf8` with every C0 control except TAB (U+0000-U+001F, line breaks included), DEL (U+007F) and
// every C1 control (U+0080-U+009F) replaced by kLogTextReplacement, and so every byte that is not
// part of well-formed UTF-8: a lone byte 0x9B is CSI to an 8-bit terminal, and an overlong form
// could hide a control. Control characters are a Unicode notion; Windows-1251 text, whose bytes
// 0x80-0x9F are letters, is converted to UTF-8 before it comes here.
std::string SafeLogText(std::string_view utf8);

// One line for standard error: "droprelay: ", the safe text, and a line feed.
std::string ErrorLine(std::string_view utf8);

}  // namespace droprelay
