#include "platform/file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "../common/temp_folder.h"
#include "platform/memory_map.h"
#include "platform/random.h"
#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

OpenOptions Reading() { return OpenOptions{}; }

OpenOptions CreatingExclusively() {
  OpenOptions options;
  options.access = OpenOptions::Access::kWrite;
  options.create = true;
  options.exclusive = true;
  options.noFollow = true;
  return options;
}

TEST(OpenFile, NoFollowRefusesALinkThatPlainOpenReadsThrough) {
  TempFolder folder;
  WriteFile(folder / "target", "secret");
  ASSERT_EQ(::symlink((folder / "target").c_str(), (folder / "link").c_str()), 0);

  FileDescriptor through = OpenFile(folder / "link", Reading());
  ASSERT_TRUE(through);
  std::string content;
  ASSERT_TRUE(ReadAll(through, content));
  EXPECT_EQ(content, "secret");

  OpenOptions noFollow;
  noFollow.noFollow = true;
  SetLastError(0);
  EXPECT_FALSE(OpenFile(folder / "link", noFollow));
  EXPECT_EQ(SystemErrorText(), "Too many levels of symbolic links");
}

TEST(OpenFile, NonBlockingOpensAFifoAtOnceAndRegularOnlyRefusesIt) {
  TempFolder folder;
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  OpenOptions options;
  options.nonBlocking = true;
  const FileDescriptor fifo = OpenFile(folder / "fifo", options);
  ASSERT_TRUE(fifo) << "no writer, yet the open returns";
  const std::optional<FileStatus> status = StatusOf(fifo);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->IsRegular());

  options.regularOnly = true;
  EXPECT_FALSE(OpenFile(folder / "fifo", options));
  EXPECT_EQ(SystemErrorText(), "Not a regular file");
  EXPECT_FALSE(OpenFile(folder.path(), options)) << "a folder is no regular file either";
  EXPECT_EQ(SystemErrorText(), "Not a regular file");
}

TEST(OpenFile, CreateExclusiveNeverTakesAnExistingNameNorWritesThroughALink) {
  TempFolder folder;
  FileDescriptor fresh = OpenFile(folder / "new", CreatingExclusively());
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(WriteAll(fresh, "one"));
  EXPECT_TRUE(fresh.Close());
  EXPECT_FALSE(fresh.IsOpen());
  EXPECT_EQ(ReadFile(folder / "new"), "one");

  EXPECT_FALSE(OpenFile(folder / "new", CreatingExclusively()));
  EXPECT_EQ(SystemErrorText(), "File exists");
  ASSERT_EQ(::symlink((folder / "elsewhere").c_str(), (folder / "dangling").c_str()), 0);
  EXPECT_FALSE(OpenFile(folder / "dangling", CreatingExclusively()));
  EXPECT_EQ(FileEntryState(folder / "elsewhere"), EntryState::kMissing) << "nothing created through the link";
}

TEST(OpenFile, ModeAndTruncateAreAsAsked) {
  TempFolder folder;
  const mode_t old = ::umask(0);
  OpenOptions options = CreatingExclusively();
  options.mode = 0640;
  ASSERT_TRUE(OpenFile(folder / "m", options));
  ::umask(old);
  const std::optional<FileStatus> status = StatusOfPath(folder / "m", Links::kNoFollow);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->mode & 07777, 0640u);

  WriteFile(folder / "t", "long content");
  OpenOptions truncate;
  truncate.access = OpenOptions::Access::kWrite;
  truncate.truncate = true;
  FileDescriptor file = OpenFile(folder / "t", truncate);
  ASSERT_TRUE(WriteAll(file, "short"));
  file.Close();
  EXPECT_EQ(ReadFile(folder / "t"), "short");
}

TEST(OpenFile, TheLockIsRefusedWhileHeldAndGoesWithTheDescriptor) {
  TempFolder folder;
  WriteFile(folder / "m.eml", "x");
  OpenOptions locked;
  locked.lock = true;
  FileDescriptor holder = OpenFile(folder / "m.eml", locked);
  ASSERT_TRUE(holder);
  EXPECT_FALSE(OpenFile(folder / "m.eml", locked)) << "a second holder is refused at once";
  EXPECT_EQ(SystemErrorText(), "Resource temporarily unavailable");

  FileDescriptor moved = std::move(holder);
  EXPECT_FALSE(holder.IsOpen());
  EXPECT_FALSE(OpenFile(folder / "m.eml", locked)) << "moving the descriptor keeps the lock";
  moved.Reset();
  EXPECT_TRUE(OpenFile(folder / "m.eml", locked)) << "closing released it";
}

TEST(FileStatus, DescriptorAndNameAgreeOnWhatTheFileIs) {
  TempFolder folder;
  WriteFile(folder / "f", std::string(70000, 'a'));
  ASSERT_EQ(::symlink("f", (folder / "l").c_str()), 0);
  const FileDescriptor file = OpenFile(folder / "f", Reading());
  const std::optional<FileStatus> open = StatusOf(file);
  const std::optional<FileStatus> named = StatusOfPath(folder / "l", Links::kFollow);
  const std::optional<FileStatus> link = StatusOfPath(folder / "l", Links::kNoFollow);
  ASSERT_TRUE(open && named && link);
  EXPECT_TRUE(open->IsRegular());
  EXPECT_EQ(open->size, 70000u);
  EXPECT_EQ(open->device, named->device);
  EXPECT_EQ(open->inode, named->inode);
  EXPECT_EQ(open->ModifyTimeNs(), named->ModifyTimeNs());
  EXPECT_TRUE(link->IsLink());
  EXPECT_NE(link->inode, open->inode);
  EXPECT_FALSE(StatusOfPath(folder / "absent", Links::kFollow));
  EXPECT_EQ(SystemErrorText(), "No such file or directory");

  SetLastErrorText("the error to report");
  {
    const KeepLastError keep;
    EXPECT_FALSE(StatusOfPath(folder / "absent", Links::kFollow));
  }
  EXPECT_EQ(SystemErrorText(), "the error to report") << "a probe that was expected to fail leaves no trace";
}

TEST(ReadAll, ReadsEveryBlockAndAppends) {
  TempFolder folder;
  std::string bytes;
  for (int i = 0; i < 150000; ++i) bytes += static_cast<char>(i * 7 % 256);
  WriteFile(folder / "f", bytes);
  const FileDescriptor file = OpenFile(folder / "f", Reading());
  std::string out = "head:";
  ASSERT_TRUE(ReadAll(file, out, 4096));
  EXPECT_EQ(out, "head:" + bytes);

  const FileDescriptor dir = OpenFile(folder.path(), Reading());
  ASSERT_TRUE(dir);
  std::string nothing;
  EXPECT_FALSE(ReadAll(dir, nothing)) << "a folder cannot be read as a file";
  EXPECT_EQ(SystemErrorText(), "Is a directory");
}

TEST(MemoryMap, GrowingKeepsTheContent) {
  const std::size_t two = std::size_t{2} << 20;
  char* p = MapMemory(two);
  std::memset(p, 'q', two);
  p = RemapMemory(p, two, 3 * two);
  EXPECT_EQ(p[0], 'q');
  EXPECT_EQ(p[two - 1], 'q');
  p[3 * two - 1] = 'z';
  UnmapMemory(p, 3 * two);
}

TEST(FileNames, RenameNeverReplacesAndAccessIsReportedWithItsReason) {
  TempFolder folder;
  WriteFile(folder / "a", "a");
  WriteFile(folder / "b", "b");
  EXPECT_FALSE(RenameNoReplace(folder / "a", folder / "b"));
  EXPECT_EQ(SystemErrorText(), "File exists");
  EXPECT_EQ(ReadFile(folder / "b"), "b");
  EXPECT_TRUE(RenameNoReplace(folder / "a", folder / "c"));
  EXPECT_EQ(ReadFile(folder / "c"), "a");

  EXPECT_TRUE(CanRead(folder / "c"));
  EXPECT_TRUE(CanCreateIn(folder.path()));
  EXPECT_FALSE(CanRead(folder / "absent"));
  EXPECT_EQ(LastErrorCode(), ENOENT);

  SetLastError(ENOSPC);
  DiscardFile(folder / "c");
  DiscardFile(folder / "absent");
  EXPECT_EQ(FileEntryState(folder / "c"), EntryState::kMissing);
  SetLastError(ENOSPC);
  DiscardFile(folder / "absent");
  EXPECT_EQ(SystemErrorText(), "No space left on device") << "the reason the file was discarded stays";
}

TEST(Random, HexTokensHaveTheirLengthAndDiffer) {
  const std::string a = RandomHex(32);
  const std::string b = RandomHex(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b) << "two draws of 128 bits";
  EXPECT_EQ(RandomHex(5).size(), 5u);
  EXPECT_EQ(RandomHex(0), "");
}

}  // namespace
}  // namespace droprelay::platform
