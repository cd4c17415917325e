#include "app/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../common/temp_folder.h"
#include "text/convert.h"

namespace droprelay {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

// Records what the window would be told.
class RecordingView : public LogView {
 public:
  void BeginUpdate() override { ++updates; }
  void SetText(const std::string& utf8Text) override { text = utf8Text; }
  void ScrollLinesDown(int count) override { scrolled = count; }
  void EndUpdate() override { --updates; }
  int updates = 0;
  std::string text;
  int scrolled = -1;
};

const LocalDateTime kNow{2026, 12, 7, 9, 5, 3};
const std::string kStamp = "07.12.2026 9:05:03 ";

class ActivityLogTest : public ::testing::Test {
 protected:
  ActivityLog MakeLog() {
    return ActivityLog(logFile, [this] { ++boundReads; return bound; }, &view, [] { return kNow; });
  }
  TempFolder folder;
  std::string logFile = folder / "relay.log";
  RecordingView view;
  int bound = 510;
  int boundReads = 0;
};

TEST(LogTimestamp, RussianShortDateAndLongTime) {
  EXPECT_EQ(FormatLogTimestamp({2026, 12, 7, 9, 5, 3}), "07.12.2026 9:05:03");
  EXPECT_EQ(FormatLogTimestamp({2027, 1, 31, 23, 59, 0}), "31.01.2027 23:59:00");
  EXPECT_EQ(FormatLogTimestamp({2026, 6, 1, 0, 0, 9}), "01.06.2026 0:00:09");
}

TEST_F(ActivityLogTest, MessageLengthDecidesTheLine) {
  ActivityLog log = MakeLog();
  log.mainlog("");
  EXPECT_TRUE(log.Lines().empty()) << "an empty message adds nothing";
  EXPECT_EQ(ReadFile(logFile), "") << "but the log is still saved";
  EXPECT_TRUE(std::filesystem::exists(logFile));

  log.mainlog(" ");
  log.mainlog("ab");
  log.mainlog("\r\n");  // nothing left after CR and LF go
  log.mainlog("a\r\n");  // one character left: a separator line
  log.mainlog("abc");
  log.mainlog("first\r\nsecond\nthird\r");
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{"", "", "", kStamp + "abc", kStamp + "firstsecondthird"}));
  EXPECT_EQ(ReadFile(logFile), "\r\n\r\n\r\n" + kStamp + "abc\r\n" + kStamp + "firstsecondthird\r\n");
  EXPECT_EQ(view.text, "\n\n\n" + kStamp + "abc\n" + kStamp + "firstsecondthird");
  EXPECT_EQ(view.scrolled, 6) << "one step down per line, plus one";
  EXPECT_EQ(view.updates, 0) << "every update begun is ended";
}

TEST_F(ActivityLogTest, TextIsWindows1251InsideAndUtf8InTheFile) {
  ActivityLog log = MakeLog();
  const std::string cp1251 = Utf8ToCp1251("Начало работы...");
  log.mainlog(cp1251);
  EXPECT_EQ(log.Lines().back(), kStamp + cp1251);
  EXPECT_EQ(ReadFile(logFile), kStamp + "Начало работы...\r\n");
  EXPECT_EQ(view.text, kStamp + "Начало работы...");
}

TEST_F(ActivityLogTest, TrimsOldestLinesToTheBound) {
  ActivityLog log = MakeLog();
  for (const char* message : {"one", "two", "three", "four", "five"}) log.mainlog(message);
  ASSERT_EQ(log.Lines().size(), 5u);

  bound = 3;
  log.mainlog("six");
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{kStamp + "four", kStamp + "five", kStamp + "six"}));
  EXPECT_EQ(ReadFile(logFile), kStamp + "four\r\n" + kStamp + "five\r\n" + kStamp + "six\r\n");

  bound = 0;
  log.mainlog("seven");
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(ReadFile(logFile), "");

  bound = -1;  // ignored: no trimming at all
  for (const char* message : {"one", "two", "three", "four", "five"}) log.mainlog(message);
  EXPECT_EQ(log.Lines().size(), 5u);
}

TEST_F(ActivityLogTest, BoundIsReadAgainForEveryRemoval) {
  ActivityLog log = MakeLog();
  for (const char* message : {"one", "two", "three", "four", "five"}) log.mainlog(message);
  bound = 2;
  boundReads = 0;
  log.mainlog("six");  // six lines, bound 2: four removals, five reads
  EXPECT_EQ(boundReads, 5);
  EXPECT_EQ(log.Lines().size(), 2u);
}

TEST(WrapLine, BreaksAfterBlanksOrInsideLongWords) {
  using Segments = std::vector<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(WrapLine("", 10), (Segments{{0, 0}}));
  EXPECT_EQ(WrapLine("0123456789", 10), (Segments{{0, 10}}));
  EXPECT_EQ(WrapLine("0123456789A", 10), (Segments{{0, 10}, {10, 1}}));
  EXPECT_EQ(WrapLine("abc def ghij", 10), (Segments{{0, 8}, {8, 4}}));
  EXPECT_EQ(WrapLine("0123456789 x", 10), (Segments{{0, 11}, {11, 1}})) << "a blank may hang past the edge";
  EXPECT_EQ(WrapLine(std::string(25, 'x'), 10), (Segments{{0, 10}, {10, 10}, {20, 5}}));
}

TEST_F(ActivityLogTest, BoundCountsWrappedLines) {
  ActivityLog log = MakeLog();
  const std::size_t width = ActivityLog::kWrapWidth;
  // Timestamp + message without blanks after the stamp: wraps into three displayed lines.
  const std::string longWord(2 * width, 'w');
  log.mainlog("short");
  log.mainlog(longWord);
  EXPECT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.DisplayedLineCount(), 4);
  EXPECT_EQ(view.scrolled, 5);

  // The bound removes displayed lines: "short", then the upper part of the wrapped line.
  bound = 2;
  log.mainlog("");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.DisplayedLineCount(), 2);
  const std::string full = kStamp + longWord;
  const std::size_t firstPart = WrapLine(full, width).front().second;
  EXPECT_EQ(log.Lines().front(), full.substr(firstPart));
  EXPECT_EQ(ReadFile(logFile), full.substr(firstPart) + "\r\n") << "the file holds real line breaks only";
}

TEST_F(ActivityLogTest, ReloadsTheFileAndTrimsItAtTheFirstMessage) {
  WriteFile(logFile, "07.12.2026 8:00:00 Начало работы...\r\n\r\nline three\nline four\r\n");
  ActivityLog log = MakeLog();
  log.LoadFromFile();
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{Utf8ToCp1251("07.12.2026 8:00:00 Начало работы..."), "",
                                                  "line three", "line four"}));
  EXPECT_EQ(view.text, "07.12.2026 8:00:00 Начало работы...\n\nline three\nline four");

  bound = 3;
  log.mainlog(" ");
  EXPECT_EQ(log.Lines(), (std::deque<std::string>{"line three", "line four", ""}));
  EXPECT_EQ(ReadFile(logFile), "line three\r\nline four\r\n\r\n");
}

TEST_F(ActivityLogTest, LoadFailureLeavesTheLogAsItWas) {
  ActivityLog log = MakeLog();
  log.mainlog("kept");
  ASSERT_EQ(::unlink(logFile.c_str()), 0);
  log.LoadFromFile();
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(ActivityLogTest, UnwritableFileStillShowsMessages) {
  // A folder where the file should be cannot be written, even by root (permissions would not stop it).
  ASSERT_EQ(::mkdir(logFile.c_str(), 0755), 0);
  ActivityLog log = MakeLog();
  log.mainlog("still shown");
  log.mainlog("and this");
  EXPECT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(view.text, kStamp + "still shown\n" + kStamp + "and this");
  EXPECT_EQ(view.updates, 0);
}

TEST_F(ActivityLogTest, FailingBoundLeavesTheRestUndone) {
  ActivityLog log(logFile, []() -> int { throw std::runtime_error("configuration gone"); }, &view,
                  [] { return kNow; });
  log.mainlog("added");
  EXPECT_EQ(log.Lines().size(), 1u) << "the line was added before the bound was read";
  EXPECT_FALSE(std::filesystem::exists(logFile)) << "the save comes after the failing step";
  EXPECT_EQ(view.updates, 0) << "the update is ended all the same";
}

TEST_F(ActivityLogTest, ViewThatCannotBeginAnUpdateDoesNotReachTheCaller) {
  class RefusingView : public RecordingView {
   public:
    void BeginUpdate() override { throw std::runtime_error("box gone"); }
  } refusing;
  ActivityLog log(logFile, [this] { return bound; }, &refusing, [] { return kNow; });
  EXPECT_NO_THROW(log.mainlog("lost"));
  EXPECT_TRUE(log.Lines().empty()) << "the rest of the sequence is left undone";
  EXPECT_EQ(refusing.updates, 0) << "an update that never began is not ended";
  EXPECT_FALSE(std::filesystem::exists(logFile));
}

}  // namespace
}  // namespace droprelay
