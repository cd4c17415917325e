#include "text/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace droprelay {
namespace {

TEST(SafeLogText, ReplacesWhatATerminalWouldActOnAndKeepsTheRest) {
  const struct {
    std::string in;
    std::string out;
    const char* what;
  } cases[] = {
      {"plain text", "plain text", "ASCII stays"},
      {"tab\there", "tab\there", "TAB stays"},
      {"\x1b[2J\x1b]0;title\x07", "?[2J?]0;title?", "ESC sequences and BEL"},
      {std::string("a\0b", 3), "a?b", "NUL"},
      {"line\r\n07.12.2026 9:05:03 forged", "line??07.12.2026 9:05:03 forged", "line breaks"},
      {"\x7f", "?", "DEL"},
      {"\xc2\x80\xc2\x85\xc2\x9b\xc2\x9f", "????", "C1 controls U+0080..U+009F"},
      {"\xc2\xa0\xc2\xad", "\xc2\xa0\xc2\xad", "U+00A0 and the soft hyphen are not controls"},
      {"Ђ…‰Ќ № ё", "Ђ…‰Ќ № ё", "Cyrillic and punctuation whose Windows-1251 bytes are 0x80..0x9F"},
      {"\xef\xbf\xbd", "\xef\xbf\xbd", "the replacement character itself"},
      {"\x9b" "31m", "?31m", "a lone byte 0x9B (CSI to an 8-bit terminal)"},
      {"\xc0\x9b\xe0\x80\x9b", "?????", "overlong forms of controls, byte by byte"},
      {"\xed\xa0\x80", "???", "a surrogate"},
      {"\xf1\xf7\xb8\xf2", "????", "Windows-1251 bytes that are not UTF-8"},
      {"end\xd0", "end?", "a sequence cut off by the end"},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeLogText(c.in), c.out) << c.what;
}

TEST(SafeLogText, ErrorLineIsOneLine) {
  EXPECT_EQ(ErrorLine("cannot read /drop/a\nb\x1b[1m"), "droprelay: cannot read /drop/a?b?[1m\n");
}

}  // namespace
}  // namespace droprelay
