// The relay's bookkeeping files: durable records, the run lock, private work folders, the start-up
// probe, and stop signals cutting waits short.
#include "platform/state_files.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "../common/temp_folder.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;
namespace fs = std::filesystem;

TEST(StateFiles, DurableWriteReplacesWholeAndLeavesNoTemporaryFile) {
  TempFolder folder;
  const std::string record = folder / "record";
  ASSERT_TRUE(WriteFileDurably(record, "first\n"));
  ASSERT_TRUE(WriteFileDurably(record, "second\n"));
  EXPECT_EQ(ReadFile(record), "second\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
  EXPECT_FALSE(WriteFileDurably(folder / "missing/record", "x"));
  EXPECT_EQ(SystemErrorText(), "No such file or directory");
  ASSERT_TRUE(RemoveFileDurably(record));
  EXPECT_TRUE(RemoveFileDurably(record)) << "a missing record is no error";
}

TEST(StateFiles, EntryFactsTellAReplacedFileApart) {
  TempFolder folder;
  const std::string path = folder / "m.eml";
  WriteFile(path, "one");
  const std::optional<FileFacts> before = EntryFacts(path);
  ASSERT_TRUE(before);
  EXPECT_TRUE(before->regular);
  EXPECT_EQ(before->size, 3u);
  WriteFile(folder / "other", "two");
  ASSERT_EQ(::rename((folder / "other").c_str(), path.c_str()), 0);
  const std::optional<FileFacts> after = EntryFacts(path);
  ASSERT_TRUE(after);
  EXPECT_NE(before->inode, after->inode);
  ASSERT_EQ(::symlink(path.c_str(), (folder / "link").c_str()), 0);
  EXPECT_FALSE(EntryFacts(folder / "link")->regular) << "a link is not followed";
  EXPECT_FALSE(EntryFacts(folder / "gone"));
}

TEST(StateFiles, RunLockIsExclusiveUntilReleased) {
  TempFolder folder;
  const std::string lockFile = folder / "lock";
  FolderLock first;
  FolderLock second;
  EXPECT_EQ(first.Acquire(lockFile), FolderLock::Result::kLocked);
  EXPECT_EQ(second.Acquire(lockFile), FolderLock::Result::kHeldByAnother);
  first.Release();
  EXPECT_EQ(second.Acquire(lockFile), FolderLock::Result::kLocked);
  FolderLock third;
  EXPECT_EQ(third.Acquire(folder / "no/lock"), FolderLock::Result::kFailed);
}

TEST(StateFiles, PrivateFolderIsOwnAndRemovedWithoutFollowingLinks) {
  TempFolder folder;
  const std::string parent = folder.path() + "/";
  const std::optional<std::string> work = MakePrivateFolder(parent);
  ASSERT_TRUE(work);
  EXPECT_EQ(work->back(), '/');
  struct stat info {};
  ASSERT_EQ(::stat(work->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_NE(MakePrivateFolder(parent), work) << "a new folder for every message";
  WriteFile(folder / "outside.txt", "keep");
  WriteFile(*work + "report.pdf", "data");
  ASSERT_EQ(::symlink((folder / "outside.txt").c_str(), (*work + "link").c_str()), 0);
  EXPECT_TRUE(RemovePrivateFolder(*work));
  EXPECT_FALSE(fs::exists(*work));
  EXPECT_EQ(ReadFile(folder / "outside.txt"), "keep");
  EXPECT_FALSE(MakePrivateFolder(folder / "missing/"));
}

TEST(StateFiles, WritableFolderProbe) {
  TempFolder folder;
  EXPECT_TRUE(PrepareWritableFolder(folder / "a/b/c/"));
  EXPECT_TRUE(fs::is_directory(folder / "a/b/c"));
  EXPECT_TRUE(fs::is_empty(folder / "a/b/c")) << "the probe file is removed";
  WriteFile(folder / "file", "x");
  EXPECT_FALSE(PrepareWritableFolder(folder / "file/sub/"));
  EXPECT_EQ(SystemErrorText(), "Not a directory");
  EXPECT_FALSE(PrepareWritableFolder(""));
  EXPECT_TRUE(CanListFolder(folder.path()));
  EXPECT_FALSE(CanListFolder(folder / "nowhere"));
}

// In a child process: installing the handlers changes how this test program reacts to signals.
TEST(StateFiles, ModeOfADurableFileAndStateChangedInPlace) {
  TempFolder folder;
  const ::mode_t old = ::umask(077);
  const std::string record = folder / "note";
  ASSERT_TRUE(WriteFileDurably(record, "W 0 0 1 2 3 4\n", 0640));
  ::umask(old);
  EXPECT_EQ(fs::status(record).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
      << "exactly the mode asked for, whatever the umask";
  struct stat before {};
  struct stat after {};
  ASSERT_EQ(::stat(record.c_str(), &before), 0);
  ASSERT_TRUE(OverwriteStartDurably(record, "A"));
  EXPECT_EQ(ReadFile(record), "A 0 0 1 2 3 4\n");
  ASSERT_EQ(::stat(record.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "changed in place, not replaced";
  EXPECT_FALSE(OverwriteStartDurably(folder / "absent", "A")) << "never creates a note";
  EXPECT_FALSE(fs::exists(folder / "absent"));
  ASSERT_EQ(::symlink(record.c_str(), (folder / "link").c_str()), 0);
  EXPECT_FALSE(OverwriteStartDurably(folder / "link", "X")) << "never written through a link";
  EXPECT_EQ(ReadFile(record), "A 0 0 1 2 3 4\n");
}

// Only this relay's leftovers go: its own prefix, never another relay's or anything else.
TEST(StateFiles, LeftoversOfKilledRunsAreRemovedByTheirPrefix) {
  TempFolder folder;
  const std::string temp = folder.path() + "/";
  const auto mine = MakePrivateFolder(temp, "droprelay-0000abcd-");
  const auto theirs = MakePrivateFolder(temp, "droprelay-ffff0000-");
  ASSERT_TRUE(mine && theirs);
  EXPECT_EQ(fs::path(*mine).parent_path().filename().string().rfind("droprelay-0000abcd-", 0), 0u);
  WriteFile(*mine + "attachment.pdf", "x");
  WriteFile(temp + "droprelay-0000abcd-", "the bare prefix is someone's own file");
  WriteFile(temp + "unrelated.txt", "x");
  WriteFile(temp + ".tmp-1234", "a temporary note");
  EXPECT_EQ(RemoveLeftovers(temp, "droprelay-0000abcd-"), 1);
  EXPECT_FALSE(fs::exists(*mine));
  EXPECT_TRUE(fs::exists(*theirs));
  EXPECT_TRUE(fs::exists(temp + "droprelay-0000abcd-"));
  EXPECT_TRUE(fs::exists(temp + "unrelated.txt"));
  EXPECT_EQ(RemoveLeftovers(temp, ".tmp-"), 1);
  EXPECT_FALSE(fs::exists(temp + ".tmp-1234"));
  EXPECT_EQ(RemoveLeftovers(folder / "absent", ".tmp-"), 0);
}

TEST(TerminationSignal, ASignalCutsTheWaitShortAndStaysSeen) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (TerminationRequested() || WaitForTerminationSignal(10)) ::_exit(1);  // nothing yet
    if (TerminationSignalDescriptor() < 0) ::_exit(2);
    ::alarm(5);  // a wait that is not cut short fails the test instead of hanging it
    ::raise(SIGTERM);
    if (!WaitForTerminationSignal(60000)) ::_exit(3);
    if (!TerminationRequested()) ::_exit(4);
    DrainTerminationSignals();
    if (!WaitForTerminationSignal(60000)) ::_exit(5);  // still seen after the loop drained the pipe
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace droprelay::platform
