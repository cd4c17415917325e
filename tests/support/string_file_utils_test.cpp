#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../common/recording_sleeper.h"
#include "platform/sleeper.h"
#include "support/pbs.h"

namespace droprelay {
namespace {

namespace fs = std::filesystem;

TEST(StringReplaceAll, RepeatsUntilNoOccurrenceIsLeft) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* expected;
  };
  const Case cases[] = {
      {"a;;;;b", ";;", ";", "a;b"},
      {"a;;;;b", "", ";", "a;;;;b"},
      {"a;;;;b", ";", "", "ab"},
      {"AB ab", "ab", "x", "AB x"},
      {"", "a", "b", ""},
      {"abc", "abcd", "", "abc"},
      {"abab", "ab", "", ""},
      {"x;;;y;;z", ";;", ";", "x;y;z"},
      {"  a  ", " ", "", "a"},
      {"aaaab", "ab", "b", "b"},  // each round makes a new occurrence to its left
      // The rescan from the start finds an occurrence straddling the inserted text first.
      {"xaab", "ab", "bc", "xcbc"},
      {"Привет мир", "мир", "свет", "Привет свет"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StringReplaceAll(c.text, c.pattern, c.replacement), c.expected)
        << c.text << " / " << c.pattern << " / " << c.replacement;
  }
  EXPECT_EQ(StringReplaceAll(std::string("a\0\0b", 4), std::string("\0", 1), "-"), "a--b");
}

TEST(StringReplaceAll, EndsWhenTheReplacementHoldsThePattern) {
  // Each occurrence of the input is replaced once, left to right.
  EXPECT_EQ(StringReplaceAll("a;b;c", ";", ";;"), "a;;b;;c");
  EXPECT_EQ(StringReplaceAll("ab", "ab", "ab"), "ab");
  EXPECT_EQ(StringReplaceAll("aaa", "aa", "xaay"), "xaaya");
  EXPECT_EQ(StringReplaceAll("no match", "z", "zz"), "no match");
}

TEST(StringReplaceAll, EndsForPairsThatRewriteWithoutBound) {
  // "ab" -> "bba" doubles the b's for every a: unbounded growth; the call must still end.
  const std::string text = std::string(40, 'a') + "b";
  const std::string result = StringReplaceAll(text, "ab", "bba");
  EXPECT_LE(result.size(), 16 * text.size() + 4096 + 3 * text.size());
  // Under the rescan-from-the-start rule "aab" never settles either (each round deletes the
  // occurrence the insert just made): it falls back to one pass over the input.
  EXPECT_EQ(StringReplaceAll("aab", "ab", "bba"), "abba");
  // So does a same-length pair whose rounds cycle ("aabb" -> "abaabb" -> "aabb" ...).
  EXPECT_EQ(StringReplaceAll("aabb", "ab", "ba"), "abab");
  // A same-length pair that settles is rewritten to the end, straddles included.
  EXPECT_EQ(StringReplaceAll("xaab", "ab", "bc"), "xcbc");
  EXPECT_EQ(StringReplaceAll("Уважаемый коллега", "ый", "ая"), "Уважаемая коллега");
}

TEST(StringReplaceAll, MatchesANaiveRewriterOnRandomInput) {
  // Reference: the rewriting exactly as described, without any shortcut; gives up (answers
  // nullopt) when a pair has not settled within a few hundred rounds.
  const auto naive = [](std::string s, const std::string& p, const std::string& r) -> std::optional<std::string> {
    int rounds = 0;
    for (std::size_t pos = s.find(p); pos != std::string::npos; pos = s.find(p)) {
      if (++rounds > 500) return std::nullopt;
      s.insert(pos, r);
      s.erase(s.find(p), p.size());
    }
    return s;
  };
  std::mt19937 random(12345);
  const auto word = [&](std::size_t maxLength) {
    std::string s(random() % (maxLength + 1), ' ');
    for (char& c : s) c = "ab;"[random() % 3];
    return s;
  };
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string text = word(40);
    std::string pattern = word(4);
    if (pattern.empty()) pattern = ";";
    const std::string replacement = word(6);
    if (replacement.find(pattern) != std::string::npos) continue;
    const std::optional<std::string> expected = naive(text, pattern, replacement);
    if (!expected) continue;
    ++compared;
    ASSERT_EQ(StringReplaceAll(text, pattern, replacement), *expected)
        << text << " / " << pattern << " / " << replacement;
  }
  EXPECT_GT(compared, 10000);
}

TEST(StringReplaceAll, CollapsesLongRunsOnLongTexts) {
  // A shrinking pair over a long text: every run collapses to one separator.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "word" + std::string(1 + i % 7, ';');
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "word;";
  EXPECT_EQ(StringReplaceAll(text, ";;", ";"), expected);
}

// A fresh folder per test, removed afterwards.
class FileUtilities : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "droprelay-support-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  fs::path dir_;
};

// Counts waits instead of waiting; an optional action runs at every wait.
using droprelay::testing::RecordingSleeper;

TEST_F(FileUtilities, FileToStringReadsEveryByte) {
  std::string bytes;
  std::mt19937 random(7);
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(random() % 256);  // several blocks
  bytes[0] = '\0';
  bytes[65536] = '\0';
  EXPECT_EQ(FileToString(Write("big.eml", bytes)), bytes);
  EXPECT_EQ(FileToString(Write("empty.eml", "")), "");
  EXPECT_EQ(FileToString(Write("exact.eml", std::string(65536, 'x'))).size(), 65536u);
  const std::string zeros("a\0b\0\0c", 6);
  EXPECT_EQ(FileToString(Write("zeros.eml", zeros)), zeros);
}

TEST_F(FileUtilities, FileToStringAnswersEmptyForWhatIsNoReadableFile) {
  EXPECT_EQ(FileToString(Path("missing.eml")), "");
  EXPECT_EQ(FileToString(""), "");
  fs::create_directory(Path("folder"));
  EXPECT_EQ(FileToString(Path("folder")), "");
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileToString(Path("fifo")), "");  // and does not hang waiting for a writer
  fs::create_symlink(Path("missing.eml"), Path("dangling"));
  EXPECT_EQ(FileToString(Path("dangling")), "");
}

TEST_F(FileUtilities, FileToStringReadsThroughALink) {
  const std::string target = Write("target.eml", "Subject: x\r\n\r\nbody\r\n");
  fs::create_symlink(target, Path("link.eml"));
  EXPECT_EQ(FileToString(Path("link.eml")), "Subject: x\r\n\r\nbody\r\n");
}

TEST_F(FileUtilities, FileToStringAnswersEmptyWhileAnotherHolderHasTheFile) {
  const std::string file = Write("busy.eml", "content");
  const int holder = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_SH | LOCK_NB), 0);  // even a shared hold refuses our exclusive lock
  EXPECT_EQ(FileToString(file), "");
  ::close(holder);
  EXPECT_EQ(FileToString(file), "content");
  // Our own lock is released: the next holder gets it.
  const int next = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::flock(next, LOCK_EX | LOCK_NB), 0);
  ::close(next);
}

TEST_F(FileUtilities, DeleteFileRetryMissingFileAnswersTrueWithoutWaiting) {
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  EXPECT_TRUE(DeleteFileRetry(Path("missing")));
  EXPECT_TRUE(DeleteFileRetry(Path("missing-folder/inner")));
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(FileUtilities, DeleteFileRetryDeletesAfterOneWait) {
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  const std::string file = Write("attach.bin", "x");
  EXPECT_TRUE(DeleteFileRetry(file));
  EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>{1000});
}

TEST_F(FileUtilities, DeleteFileRetryRemovesALinkNotItsTarget) {
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  const std::string target = Write("target", "keep me");
  fs::create_symlink(target, Path("link"));
  EXPECT_TRUE(DeleteFileRetry(Path("link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("link"))));
  EXPECT_EQ(FileToString(target), "keep me");

  fs::create_directory(Path("dir"));
  fs::create_directory_symlink(Path("dir"), Path("dirlink"));
  EXPECT_TRUE(DeleteFileRetry(Path("dirlink")));
  EXPECT_TRUE(fs::is_directory(Path("dir")));
  fs::create_symlink(Path("nowhere"), Path("dangling"));
  EXPECT_TRUE(DeleteFileRetry(Path("dangling")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("dangling"))));
}

TEST_F(FileUtilities, DeleteFileRetryLeavesADirectoryAlone) {
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  fs::create_directory(Path("folder"));
  Write("folder/inside", "x");
  EXPECT_TRUE(DeleteFileRetry(Path("folder")));  // no file of that name
  EXPECT_TRUE(fs::exists(Path("folder/inside")));
  EXPECT_TRUE(sleeper.waits.empty());
}

// Makes a file undeletable with the immutable attribute (needs CAP_LINUX_IMMUTABLE) or, failing
// that, a read-only folder (works for an ordinary user).
class Undeletable {
 public:
  Undeletable(const std::string& folder, const std::string& file) : folder_(folder), file_(file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0) ::close(fd);
    if (!immutable_ && ::geteuid() != 0) readOnlyFolder_ = ::chmod(folder.c_str(), 0555) == 0;
  }
  ~Undeletable() { Release(); }
  bool active() const { return immutable_ || readOnlyFolder_; }
  void Release() {
    if (immutable_) {
      int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
      int flags = 0;
      if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
      }
      if (fd >= 0) ::close(fd);
      immutable_ = false;
    }
    if (readOnlyFolder_) {
      ::chmod(folder_.c_str(), 0755);
      readOnlyFolder_ = false;
    }
  }

 private:
  std::string folder_, file_;
  bool immutable_ = false;
  bool readOnlyFolder_ = false;
};

TEST_F(FileUtilities, DeleteFileRetryGivesUpAfterAHundredAttempts) {
  const std::string file = Write("stuck", "x");
  Undeletable stuck(dir_.string(), file);
  if (!stuck.active()) GTEST_SKIP() << "cannot make a file undeletable here";
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  EXPECT_FALSE(DeleteFileRetry(file));
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>(100, 1000));
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(FileUtilities, DeleteFileRetryCountsTheAttemptsThatFailed) {
  const std::string file = Write("slow", "x");
  Undeletable stuck(dir_.string(), file);
  if (!stuck.active()) GTEST_SKIP() << "cannot make a file undeletable here";
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);

  sleeper.onWait = [&](std::size_t wait) {
    if (wait == 5) stuck.Release();  // deletable from the fifth attempt on
  };
  EXPECT_TRUE(DeleteFileRetry(file));
  EXPECT_EQ(sleeper.waits.size(), 5u);

  // Gone only at the hundredth attempt: the answer is still false.
  const std::string last = Write("last", "x");
  Undeletable stuckToTheEnd(dir_.string(), last);
  sleeper.waits.clear();
  sleeper.onWait = [&](std::size_t wait) {
    if (wait == 100) stuckToTheEnd.Release();
  };
  EXPECT_FALSE(DeleteFileRetry(last));
  EXPECT_EQ(sleeper.waits.size(), 100u);
  EXPECT_FALSE(fs::exists(last));
}

}  // namespace
}  // namespace droprelay
