#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "../common/temp_folder.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(ParseIniInteger, DecimalHexAndGarbage) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  const Case cases[] = {
      {"0", true, 0},           {"510", true, 510},         {"-3", true, -3},
      {"+7", true, 7},          {"0x1F", true, 31},         {"0X1f", true, 31},
      {"$ff", true, 255},       {"-$10", true, -16},        {"$FFFFFFFF", true, -1},
      {"0x80000000", true, INT32_MIN},
      {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0}, {"99999999999999999999", false, 0},
      {"0x", false, 0},         {"$", false, 0},            {"", false, 0},
      {"1a", false, 0},         {"abc", false, 0},          {"1 2", false, 0},
      {"0x123456789", false, 0}, {"0xG", false, 0},         {"-", false, 0},
      {"--5", false, 0},        {"+-5", false, 0},          {"$-5", false, 0},
      {"0x+5", false, 0},       {" 5", false, 0},           {"5 ", false, 0},
      {"$00000010", true, 16},  {"-2147483649", false, 0},  {"1,5", false, 0},
      {"1.5", false, 0},        {"\xD9\xA3", false, 0},
  };
  for (const Case& c : cases) {
    int value = 12345;
    EXPECT_EQ(ParseIniInteger(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    } else {
      EXPECT_EQ(value, 12345) << "a failed parse must leave the value alone: " << c.text;
    }
  }
}

class IniFileTest : public ::testing::Test {
 protected:
  TempFolder folder;
  std::string path = folder / "relay.ini";
};

TEST_F(IniFileTest, ProfileRules) {
  WriteFile(path,
            "; comment line\r\n"
            "   ; indented comment = not a key\r\n"
            "orphan=outside any section\r\n"
            "[SYSTEM]\r\n"
            "Smtp_DropMail_path =   /var/drop/   \r\n"
            "QUOTED=\"  keeps its blanks  \"\r\n"
            "single='x y'\r\n"
            "twice=\"\"inner\"\"\r\n"
            "lonequote=\"open\r\n"
            "comment_after=value ; part of it\r\n"
            "empty=\r\n"
            "dup=first\r\n"
            "DUP=second\r\n"
            "no equals sign here\r\n"
            "[ Strings2change ]\r\n"
            "string3=a=b\r\n"
            "[system]\r\n"
            "dup=third\r\n"
            "late=in a repeated section\r\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadString("System", "smtp_dropmail_path", "d"), "/var/drop/");
  EXPECT_EQ(ini.ReadString("system", "Smtp_DropMail_path", "d"), "/var/drop/");
  EXPECT_EQ(ini.ReadString("System", "quoted", "d"), "  keeps its blanks  ");
  EXPECT_EQ(ini.ReadString("System", "single", "d"), "x y");
  EXPECT_EQ(ini.ReadString("System", "twice", "d"), "\"inner\"") << "only one pair of quotes goes";
  EXPECT_EQ(ini.ReadString("System", "lonequote", "d"), "\"open");
  EXPECT_EQ(ini.ReadString("System", "comment_after", "d"), "value ; part of it");
  EXPECT_EQ(ini.ReadString("System", "empty", "d"), "") << "a present empty value is not the default";
  EXPECT_EQ(ini.ReadString("System", "dup", "d"), "first");
  EXPECT_EQ(ini.ReadString("System", "late", "d"), "d") << "a repeated section is never read";
  EXPECT_EQ(ini.ReadString("strings2change", "STRING3", "d"), "a=b");
  EXPECT_EQ(ini.ReadString("System", "missing", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadString("Nowhere", "dup", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadString("System", "orphan", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadString("System", "; indented comment", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadString("System", "no equals sign here", "fallback"), "fallback");
}

// How the profile API splits a file into sections and lines: a repeated section is read in its
// first occurrence only, "[" without "]" opens no section, and a lone CR ends a line.
TEST(ParseIniText, SectionsAndLineEndsAsTheProfileApiReadsThem) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> reachable;  // "section/key=value"
  };
  const Case cases[] = {
      {"repeated section, other case", "[System]\na=1\n[Other]\nb=2\n[system]\nc=3\na=4\n", {"System/a=1", "Other/b=2"}},
      {"repeated section, same spelling", "[S]\na=1\n[S]\nb=2\n", {"S/a=1"}},
      {"repeated section with blanks", "[S]\na=1\n[ s ]\nb=2\n", {"S/a=1"}},
      {"first block empty", "[S]\n[T]\nx=1\n[S]\na=1\n", {"T/x=1"}},
      {"no closing bracket", "[System]\na=1\n[Other\nb=2\n", {"System/a=1", "System/b=2"}},
      {"no closing bracket before any section", "[Other\nb=2\n[S]\nc=3\n", {"S/c=3"}},
      {"bracket line with equals is a key", "[S]\n[x=1\n", {"S/[x=1"}},
      {"text after the closing bracket", "[S] ; note\na=1\n", {"S/a=1"}},
      {"lone CR ends lines", "[S]\ra=1\rb=2\r", {"S/a=1", "S/b=2"}},
      {"mixed line ends", "[S]\r\na=1\rb=2\nc=3\r\n\r[T]\rd=4", {"S/a=1", "S/b=2", "S/c=3", "T/d=4"}},
      {"CR inside a value ends it", "[S]\na=x\ry=z\n", {"S/a=x", "S/y=z"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const IniEntry& entry : ParseIniText(c.text)) got.push_back(entry.section + "/" + entry.key + "=" + entry.value);
    EXPECT_EQ(got, c.reachable) << c.name;
  }
}

TEST(ParseIniDocument, LineNumbersAndRepeatedSections) {
  const IniDocument document = ParseIniDocument("; top\r\n[System]\rdomain_name=x\n\n[system]\nsend_mail=1\n[Other\nk=v\n");
  ASSERT_EQ(document.sections.size(), 2u);
  EXPECT_EQ(document.sections[0].line, 2);
  EXPECT_FALSE(document.sections[0].Repeated());
  EXPECT_EQ(document.sections[1].line, 5);
  EXPECT_EQ(document.sections[1].firstLine, 2);
  EXPECT_TRUE(document.sections[1].Repeated());
  ASSERT_EQ(document.keys.size(), 3u);
  EXPECT_EQ(document.keys[0].entry.line, 3);
  EXPECT_EQ(document.keys[0].section, 0u);
  EXPECT_EQ(document.keys[1].entry.key, "send_mail");
  EXPECT_EQ(document.keys[1].entry.line, 6);
  EXPECT_EQ(document.keys[1].section, 1u);
  EXPECT_EQ(document.keys[2].entry.key, "k");
  EXPECT_EQ(document.keys[2].entry.line, 8);
  EXPECT_EQ(document.keys[2].section, 1u) << "a line without ']' stays in the section before";
}

TEST_F(IniFileTest, IntegersAndBooleans) {
  WriteFile(path,
            "[System]\n"
            "Max_log_length=0x20\n"
            "hex=$1F\n"
            "garbage=12abc\n"
            "blank=\n"
            "quotedNumber=\" 42 \"\n"
            "showmainform=2\n"
            "send_mail=0\n"
            "Delete_or_move=yes\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("System", "Max_log_length", 510), 32);
  EXPECT_EQ(ini.ReadInteger("System", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("System", "garbage", 510), 510);
  EXPECT_EQ(ini.ReadInteger("System", "blank", 510), 510);
  EXPECT_EQ(ini.ReadInteger("System", "quotedNumber", 7), 7) << "blanks inside quotes are part of the value";
  EXPECT_EQ(ini.ReadInteger("System", "missing", -4), -4);
  EXPECT_TRUE(ini.ReadBool("system", "showmainform", false)) << "any non-zero integer is true";
  EXPECT_FALSE(ini.ReadBool("system", "send_mail", true));
  EXPECT_FALSE(ini.ReadBool("system", "Delete_or_move", false)) << "a word is no integer: the default";
  EXPECT_TRUE(ini.ReadBool("system", "Delete_or_move", true));
}

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters) {
  const std::string huge(100 * 1024, 'v');
  WriteFile(path, "[System]\nbig=" + huge + "\nquoted=\"" + std::string(3000, 'q') + "\"\nafter=ok\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadString("System", "big", ""), std::string(2047, 'v'));
  EXPECT_EQ(ini.ReadString("System", "quoted", ""), std::string(2047, 'q'));
  EXPECT_EQ(ini.ReadString("System", "after", ""), "ok") << "a long line must not swallow the next";
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
  const IniFile missing(folder / "nothing.ini");
  EXPECT_EQ(missing.ReadString("System", "Smtp_DropMail_path", "def"), "def");
  EXPECT_EQ(missing.ReadInteger("System", "Max_log_length", 510), 510);

  // A folder where the file should be is no file.
  ASSERT_EQ(::mkdir((folder / "dir.ini").c_str(), 0755), 0);
  const IniFile directory(folder / "dir.ini");
  EXPECT_EQ(directory.ReadString("System", "x", "def"), "def");
}

TEST_F(IniFileTest, ByteOrderMarkAndBinaryBytesAreTolerated) {
  WriteFile(path, "\xEF\xBB\xBF[System]\ndomain_name=\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xF0\n");
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadString("System", "domain_name", ""), "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xF0");
}

TEST_F(IniFileTest, ChangesTakeEffectAtTheNextRead) {
  WriteFile(path, "[system]\nDelete_or_move=0\n");
  const IniFile ini(path);
  EXPECT_FALSE(ini.ReadBool("system", "Delete_or_move", false));

  // Same size, so only the modification time tells the versions apart.
  WriteFile(path, "[system]\nDelete_or_move=1\n");
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_TRUE(ini.ReadBool("system", "Delete_or_move", false));

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(ini.ReadBool("system", "Delete_or_move", false)) << "a removed file means defaults again";

  WriteFile(path, "[system]\nDelete_or_move=7\nextra=1\n");
  EXPECT_TRUE(ini.ReadBool("system", "Delete_or_move", false));
}

}  // namespace
}  // namespace droprelay::platform
