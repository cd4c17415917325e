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
#include "platform/file_utils.h"

namespace droprelay {
namespace {

namespace fs = std::filesystem;

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

TEST_F(FileUtilities, DeleteFileRetryDeletesWithoutWaiting) {
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);
  const std::string file = Write("attach.bin", "x");
  EXPECT_TRUE(DeleteFileRetry(file));
  EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
  EXPECT_TRUE(sleeper.waits.empty()) << "a wait only follows a failed attempt";
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
  // A hundred attempts, one second apart: 99 waits, none after the last.
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>(99, 1000));
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(FileUtilities, DeleteFileRetryCountsTheAttemptsThatFailed) {
  const std::string file = Write("slow", "x");
  Undeletable stuck(dir_.string(), file);
  if (!stuck.active()) GTEST_SKIP() << "cannot make a file undeletable here";
  RecordingSleeper sleeper;
  platform::ScopedSleeper guard(sleeper);

  sleeper.onWait = [&](std::size_t wait) {
    if (wait == 5) stuck.Release();  // deletable from the sixth attempt on
  };
  EXPECT_TRUE(DeleteFileRetry(file));
  EXPECT_EQ(sleeper.waits.size(), 5u) << "five failed attempts, each followed by a wait";

  // Gone only at the hundredth attempt: the answer is still false.
  const std::string last = Write("last", "x");
  Undeletable stuckToTheEnd(dir_.string(), last);
  sleeper.waits.clear();
  sleeper.onWait = [&](std::size_t wait) {
    if (wait == 99) stuckToTheEnd.Release();  // before the hundredth attempt
  };
  EXPECT_FALSE(DeleteFileRetry(last));
  EXPECT_EQ(sleeper.waits.size(), 99u);
  EXPECT_FALSE(fs::exists(last));
}

}  // namespace
}  // namespace droprelay
