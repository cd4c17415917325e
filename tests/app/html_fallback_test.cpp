// The time budget of the HTML step: read from the settings, measured on an injected clock, and a
// conversion that runs out of it gives the text so far and a warning.
#include "app/html_fallback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../common/temp_folder.h"
#include "text/convert.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(HtmlTimeBudget, ReadFromTheSettings) {
  TempFolder folder;
  const std::string ini = folder / "relay.ini";
  const struct {
    const char* text;
    int budget;
  } cases[] = {
      {"", 3000},
      {"[system]\nhtml_time_budget_ms=250\n", 250},
      {"[System]\nhtml_time_budget_ms=0\n", 0},  // no bound
      {"[system]\nhtml_time_budget_ms=-5\n", 3000},
      {"[system]\nhtml_time_budget_ms=soon\n", 3000},
  };
  for (const auto& c : cases) {
    WriteFile(ini, c.text);
    const platform::IniFile file(ini);
    EXPECT_EQ(RelayConfig(file).html_time_budget_ms(), c.budget) << c.text;
  }
}

// A page long enough for the engine to ask its budget many times.
std::string LongPage() {
  std::string page = "<style>.h{display:none}</style>";
  for (int i = 0; i < 4000; ++i) page += "<p class=h>hidden</p><p>line " + std::to_string(i) + "</p>";
  return page;
}

TEST(HtmlTimeBudget, RunsOutOnTheInjectedClock) {
  const std::string page = LongPage();
  struct Case {
    const char* name;
    std::uint32_t budgetMs;
    std::uint64_t msPerReading;  // how far the fake clock moves each time it is read
    bool cut;
  };
  const Case cases[] = {
      {"a clock that stands still", 10, 0, false},
      {"no bound", 0, 1000, false},
      {"runs out", 10, 1, true},
      {"runs out at the first look", 1, 5, true},
  };
  for (const Case& c : cases) {
    std::uint64_t now = 1000;
    std::vector<std::string> logged;
    HtmlFallbackInput input;
    input.decodedSubject = "s";
    input.htmlText = page;
    input.htmlIsUtf8 = true;
    input.engineWaitMs = 0;
    input.timeBudgetMs = c.budgetMs;
    input.clockMs = [&] { return now += c.msPerReading; };
    input.log = [&](const std::string& line) { logged.push_back(Cp1251ToUtf8(line)); };
    const HtmlFallbackResult result = HtmlFallback(input);
    EXPECT_EQ(result.cutShort, c.cut) << c.name;
    const std::string body = Cp1251ToUtf8(result.body);
    if (!c.cut) {
      EXPECT_TRUE(logged.empty()) << c.name;
      EXPECT_EQ(body.find("hidden"), std::string::npos) << c.name;
      EXPECT_NE(body.find("line 3999"), std::string::npos) << c.name;
      continue;
    }
    ASSERT_EQ(logged.size(), 1u) << c.name;
    EXPECT_EQ(logged[0], "Преобразование HTML в текст остановлено, взят текст, полученный до этого "
                         "момента: превышено время html_time_budget_ms, мс: " +
                             std::to_string(c.budgetMs))
        << c.name;
    // Styling stopped early: the later paragraphs keep the default style, and all text is there.
    EXPECT_NE(body.find("hidden"), std::string::npos) << c.name;
    EXPECT_NE(body.find("line 3999"), std::string::npos) << c.name;
  }
}

}  // namespace
}  // namespace droprelay
