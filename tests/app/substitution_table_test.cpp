#include "app/substitution_table.h"

#include <gtest/gtest.h>

#include "../common/temp_folder.h"
#include "text/convert.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(SubstitutionTable, GapsCloseUpInKeyOrder) {
  TempFolder folder;
  WriteFile(folder / "r.ini",
            "[STRINGS2CHANGE]\n"
            "string10=ten\n"
            "string3=three\n"
            "string4=\n"
            "string007=leading zeros are another key\n"
            "[equivalentStrings]\n"
            "string10=10\n"
            "string5=only here\n");
  const platform::IniFile ini(folder / "r.ini");
  const SubstitutionTable table = LoadSubstitutionTable(ini);
  EXPECT_EQ(table.ChangeStrings, (std::vector<std::string>{"three", "ten"}));
  EXPECT_EQ(table.ReplacementStrings, (std::vector<std::string>{"", "10"}));
}

TEST(SubstitutionTable, All256KeysMakePairs) {
  TempFolder folder;
  std::string text = "[Strings2change]\n";
  for (int i = 0; i <= 255; ++i) text += "string" + std::to_string(i) + "=from" + std::to_string(i) + "\n";
  text += "[equivalentStrings]\nstring255=last\n";
  WriteFile(folder / "r.ini", text);
  const platform::IniFile ini(folder / "r.ini");
  const SubstitutionTable table = LoadSubstitutionTable(ini);
  ASSERT_EQ(table.ChangeStrings.size(), 256u);
  ASSERT_EQ(table.ReplacementStrings.size(), 256u);
  EXPECT_EQ(table.ChangeStrings.front(), "from0");
  EXPECT_EQ(table.ChangeStrings.back(), "from255");
  EXPECT_EQ(table.ReplacementStrings.back(), "last");
}

TEST(SubstitutionTable, ValuesBecomeWindows1251OnceAtLoad) {
  TempFolder folder;
  // UTF-8 as a Linux editor writes it, and a quoted value that keeps its blanks.
  WriteFile(folder / "r.ini",
            "[Strings2change]\nstring0=Уважаемый\nstring1=\"  \"\nstring2=\xC4\xEE\n"
            "[equivalentStrings]\nstring0=Дорогой\nstring1=\" \"\n");
  const platform::IniFile ini(folder / "r.ini");
  const SubstitutionTable table = LoadSubstitutionTable(ini);
  EXPECT_EQ(table.ChangeStrings,
            (std::vector<std::string>{Utf8ToCp1251("Уважаемый"), "  ", "\xC4\xEE"}));
  EXPECT_EQ(table.ReplacementStrings, (std::vector<std::string>{Utf8ToCp1251("Дорогой"), " ", ""}));
}

TEST(SubstitutionTable, MissingFileGivesAnEmptyTable) {
  const platform::IniFile ini("/nonexistent/relay.ini");
  const SubstitutionTable table = LoadSubstitutionTable(ini);
  EXPECT_TRUE(table.ChangeStrings.empty());
  EXPECT_TRUE(table.ReplacementStrings.empty());
}

}  // namespace
}  // namespace droprelay
