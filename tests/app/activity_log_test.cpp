#include "app/activity_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/recording_sleeper.h"
#include "../common/temp_folder.h"
#include "text/convert.h"
#include "text/texts.h"

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

// The lines of a log file's text (CR LF after each).
std::vector<std::string> FileLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string Numbered(int n) { return "line " + std::to_string(n); }

TEST_F(ActivityLogTest, FileRunsATenthOverTheBoundThenIsTrimmedBackToIt) {
  // bound, and the most lines the file may hold before it is trimmed back to the bound.
  const struct {
    int bound;
    int most;
  } cases[] = {{0, 0}, {3, 3}, {9, 9}, {10, 11}, {20, 22}, {100, 110}};
  for (const auto& c : cases) {
    SCOPED_TRACE("bound " + std::to_string(c.bound));
    ::unlink(logFile.c_str());
    bound = c.bound;
    ActivityLog log = MakeLog();
    bool trimmed = false;
    std::size_t longest = 0;
    for (int n = 1; n <= 3 * c.most + 5; ++n) {
      log.mainlog(Numbered(n));
      const std::vector<std::string> lines = FileLines(ReadFile(logFile));
      ASSERT_EQ(log.Lines().size(), static_cast<std::size_t>(std::min(n, c.bound))) << "the box keeps the exact bound";
      ASSERT_LE(lines.size(), static_cast<std::size_t>(c.most));
      ASSERT_GE(lines.size(), static_cast<std::size_t>(std::min(n, c.bound)));
      // Always the newest lines, in order, with nothing missing between them.
      for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], kStamp + Numbered(n - static_cast<int>(lines.size() - 1 - i)));
      }
      trimmed = trimmed || (n > c.bound && lines.size() == static_cast<std::size_t>(c.bound));
      longest = std::max(longest, lines.size());
    }
    EXPECT_TRUE(trimmed) << "trimmed to the bound itself, not just below the allowance";
    EXPECT_EQ(longest, static_cast<std::size_t>(c.most)) << "not rewritten for every line over the bound";
  }
}

TEST_F(ActivityLogTest, TrimReplacesTheFileAndNeverEmptiesItInPlace) {
  bound = 10;
  ActivityLog log = MakeLog();
  for (int n = 1; n <= 11; ++n) log.mainlog(Numbered(n));
  ASSERT_EQ(::chmod(logFile.c_str(), 0600), 0);
  const std::string before = ReadFile(logFile);
  // Whoever holds the old file (a reader, or the old file itself on disk after a kill) keeps it whole.
  const int old = ::open(logFile.c_str(), O_RDONLY);
  ASSERT_GE(old, 0);
  struct stat oldStat {};
  ASSERT_EQ(::fstat(old, &oldStat), 0);
  // A file left behind by a trim that was killed does not stop the next one.
  WriteFile(folder / ".relay.log.new", "left by a killed trim");

  log.mainlog(Numbered(12));
  struct stat now {};
  ASSERT_EQ(::stat(logFile.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, oldStat.st_ino) << "a new file under the name";
  EXPECT_EQ(now.st_mode & 0777, 0600u) << "the administrator's mode is kept";
  EXPECT_EQ(FileLines(ReadFile(logFile)).size(), 10u);
  std::string oldContent(before.size() + 200, '\0');
  const ssize_t got = ::pread(old, oldContent.data(), oldContent.size(), 0);
  ::close(old);
  ASSERT_GT(got, 0);
  oldContent.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(oldContent.substr(0, before.size()), before) << "the old file was not rewritten";
  EXPECT_FALSE(std::filesystem::exists(folder / ".relay.log.new"));
  EXPECT_TRUE(std::filesystem::exists(ActivityLog::LockFileOf(logFile)));
}

TEST_F(ActivityLogTest, AnotherRunsLinesStayAndAreCounted) {
  bound = 10;
  ActivityLog first = MakeLog();
  ActivityLog second = MakeLog();
  for (int n = 1; n <= 5; ++n) first.mainlog(Numbered(n));
  second.mainlog("second run");
  for (int n = 6; n <= 10; ++n) first.mainlog(Numbered(n));
  // Eleven lines in the file; the first run counts the other's line too and trims at the twelfth.
  EXPECT_EQ(FileLines(ReadFile(logFile)).size(), 11u);
  first.mainlog(Numbered(11));
  std::vector<std::string> lines = FileLines(ReadFile(logFile));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[3], kStamp + "second run");
  EXPECT_EQ(lines.back(), kStamp + Numbered(11));
  // The second run appends to the trimmed file, not to the one the trim replaced.
  second.mainlog("second again");
  EXPECT_EQ(FileLines(ReadFile(logFile)).back(), kStamp + "second again");
}

TEST_F(ActivityLogTest, WhileATrimHoldsTheLockLinesWaitAndThenGoInAllTheSame) {
  bound = 3;
  testing::RecordingSleeper sleeper;
  platform::ScopedSleeper instant(sleeper);
  ActivityLog log = MakeLog();
  log.mainlog(Numbered(1));
  const int holder = ::open(ActivityLog::LockFileOf(logFile).c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  sleeper.onWait = [&](std::size_t waits) {
    if (waits == 7) ::flock(holder, LOCK_UN);  // the other trim ends during the seventh wait
  };
  log.mainlog(Numbered(2));
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>(7, sleeper.waits.front()));
  EXPECT_EQ(FileLines(ReadFile(logFile)).size(), 2u);

  // A holder that never lets go: every line still goes in, and the file is trimmed once it can be.
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  sleeper.onWait = nullptr;
  for (int n = 3; n <= 6; ++n) log.mainlog(Numbered(n));
  EXPECT_EQ(FileLines(ReadFile(logFile)).size(), 6u) << "no trim without the lock";
  ::close(holder);
  log.mainlog(Numbered(7));
  EXPECT_EQ(FileLines(ReadFile(logFile)),
            (std::vector<std::string>{kStamp + Numbered(5), kStamp + Numbered(6), kStamp + Numbered(7)}));
}

class RecordingMirror : public LogMirror {
 public:
  void Write(LogSeverity severity, const std::string& line) override { lines.emplace_back(severity, line); }
  std::vector<std::pair<LogSeverity, std::string>> lines;
};

TEST_F(ActivityLogTest, NoControlCharacterReachesTheFileTheBoxOrTheMirror) {
  // Windows-1251 in, UTF-8 out. Bytes 0x80..0x9F are letters and punctuation in Windows-1251.
  const struct {
    std::string message;
    std::string shown;
  } cases[] = {
      {Utf8ToCp1251("Тема: ") + "\x1b[2J\x1b]0;owned\x07", "Тема: ?[2J?]0;owned?"},
      {Utf8ToCp1251("Файл ") + std::string("a\0b\x7f\x08.eml", 9), "Файл a?b??.eml"},
      {"tab\tstays", "tab\tstays"},
      {"\x80\x85\x8a\x96\x97\x99\x9b", "Ђ…Љ–—™›"},
      {"\x98 unassigned", "\xef\xbf\xbd unassigned"},
  };
  RecordingMirror mirror;
  ActivityLog log = MakeLog();
  log.SetMirror(&mirror);
  std::string file;
  for (const auto& c : cases) {
    log.mainlog(c.message);
    file += kStamp + c.shown + "\r\n";
    EXPECT_EQ(mirror.lines.back().second, c.shown);
    EXPECT_EQ(view.text.substr(view.text.rfind('\n') + 1), kStamp + c.shown);
  }
  EXPECT_EQ(ReadFile(logFile), file);

  // A file written by someone else is shown, and rewritten by a trim, without its controls.
  WriteFile(logFile, "a\x1b[31m\xc2\x9b\r\nb\r\nc\r\n");
  log.LoadFromFile();
  EXPECT_EQ(view.text, "a?[31m?\nb\nc");
  bound = 2;
  log.mainlog("d");  // an empty line: four lines, two over the bound
  EXPECT_EQ(ReadFile(logFile), "c\r\n\r\n");
}

TEST_F(ActivityLogTest, SeverityComesFromTheCallerNeverFromTheText) {
  RecordingMirror mirror;
  ActivityLog log = MakeLog();
  log.SetMirror(&mirror);
  // A subject that reads like an error is still information, and a plain text is what it is said to be.
  log.mainlog(texts::SubjectBefore() + texts::DatabaseError());
  log.mainlog(texts::FilePrefix() + "a.eml" + texts::Quarantined());
  log.mainlog(texts::NoNewFiles(), LogSeverity::kWarning);
  log.mainlog(texts::WorkStarted(), LogSeverity::kError);
  ASSERT_EQ(mirror.lines.size(), 4u);
  EXPECT_EQ(mirror.lines[0].first, LogSeverity::kInfo);
  EXPECT_EQ(mirror.lines[1].first, LogSeverity::kInfo);
  EXPECT_EQ(mirror.lines[2].first, LogSeverity::kWarning);
  EXPECT_EQ(mirror.lines[3].first, LogSeverity::kError);
}

}  // namespace
}  // namespace droprelay
