#include "platform/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../common/temp_folder.h"
#include "platform/program_paths.h"
#include "platform/syserror.h"
#include "platform/file.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

bool IsSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST(DirectorySearch, TakesEveryNonDirectoryEntry) {
  TempFolder folder;
  EXPECT_EQ(FindFirstFile(folder.path()), std::nullopt) << "empty folder";

  ASSERT_EQ(::mkdir((folder / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("/", (folder / ".hidden-link-to-root").c_str()), 0);
  EXPECT_EQ(FindFirstFile(folder.path()), ".hidden-link-to-root") << "a link to a folder is an entry, not followed";
  ASSERT_EQ(::unlink((folder / ".hidden-link-to-root").c_str()), 0);
  EXPECT_EQ(FindFirstFile(folder.path() + "/"), std::nullopt) << "only subfolders: nothing to take";

  WriteFile(folder / ".hidden", "x");
  ASSERT_EQ(::chmod((folder / ".hidden").c_str(), 0), 0);
  EXPECT_EQ(FindFirstFile(folder.path()), ".hidden") << "hidden and unreadable files match too";

  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  DirectorySearch search(folder.path());
  std::vector<std::string> names;
  while (auto name = search.NextFile()) names.push_back(*name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "pipe"}));
}

TEST(DirectorySearch, MissingFolderRecordsTheError) {
  TempFolder folder;
  SetLastError(0);
  DirectorySearch search(folder / "absent");
  EXPECT_FALSE(search.IsOpen());
  EXPECT_EQ(search.NextFile(), std::nullopt);
  EXPECT_EQ(SystemErrorText(), "No such file or directory");
}

// The first file of a folder of 100,000 costs what the first file of a folder of one costs:
// counted in entries read, which is what grows with the folder when a search lists it all.
TEST(DirectorySearch, StopsAtTheFirstFileHoweverLargeTheFolder) {
  TempFolder one;
  WriteFile(one / "only.eml", "x");
  std::uint64_t before = DirectoryEntriesRead();
  ASSERT_TRUE(FindFirstFile(one.path()).has_value());
  const std::uint64_t costOfOne = DirectoryEntriesRead() - before;

  // Memory-backed when available: creating 100,000 files on disk is slow and beside the point.
  struct stat shm {};
  TempFolder many(::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "");
  for (int i = 0; i < 100000; ++i) {
    const int fd = ::open((many / ("m" + std::to_string(i) + ".eml")).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  before = DirectoryEntriesRead();
  ASSERT_TRUE(FindFirstFile(many.path()).has_value());
  const std::uint64_t costOfMany = DirectoryEntriesRead() - before;

  // At most ".", ".." and the file itself, in whatever order the file system lists them.
  EXPECT_LE(costOfOne, 3u);
  EXPECT_LE(costOfMany, 3u);
}

TEST(FileSystem, ExistsAndDeleteNeverFollowLinks) {
  TempFolder folder;
  FileSystem& fs = RealFileSystem();
  WriteFile(folder / "target", "keep me");
  ASSERT_EQ(::symlink((folder / "target").c_str(), (folder / "link").c_str()), 0);
  ASSERT_EQ(::symlink((folder / "gone").c_str(), (folder / "dangling").c_str()), 0);

  EXPECT_TRUE(fs.FileExists(folder / "dangling")) << "a dangling link is still an entry";
  EXPECT_FALSE(fs.FileExists(folder / "gone"));

  EXPECT_TRUE(fs.DeleteFile(folder / "link"));
  EXPECT_FALSE(fs.FileExists(folder / "link"));
  EXPECT_EQ(ReadFile(folder / "target"), "keep me");

  EXPECT_FALSE(fs.DeleteFile(folder / "gone"));
  EXPECT_EQ(SystemErrorText(), "No such file or directory");
  ASSERT_EQ(::mkdir((folder / "sub").c_str(), 0755), 0);
  EXPECT_FALSE(fs.DeleteFile(folder / "sub")) << "folders are not deleted";
  EXPECT_TRUE(fs.FileExists(folder / "sub"));
}

TEST(FileSystem, MoveReplacesTheTargetAndNeverWritesThroughALink) {
  TempFolder folder;
  FileSystem& fs = RealFileSystem();
  ASSERT_TRUE(fs.CreateFolderPath(folder / "archive"));

  WriteFile(folder / "a.eml", "new");
  WriteFile(folder / "archive/a.eml", "old");
  EXPECT_TRUE(fs.MoveFileReplace(folder / "a.eml", folder / "archive/a.eml"));
  EXPECT_EQ(ReadFile(folder / "archive/a.eml"), "new");
  EXPECT_FALSE(fs.FileExists(folder / "a.eml"));

  // Someone planted a link under the archive name, pointing at a file they want overwritten.
  WriteFile(folder / "victim", "precious");
  ASSERT_EQ(::symlink((folder / "victim").c_str(), (folder / "archive/b.eml").c_str()), 0);
  WriteFile(folder / "b.eml", "mail");
  EXPECT_TRUE(fs.MoveFileReplace(folder / "b.eml", folder / "archive/b.eml"));
  EXPECT_EQ(ReadFile(folder / "victim"), "precious");
  EXPECT_FALSE(IsSymlink(folder / "archive/b.eml"));
  EXPECT_EQ(ReadFile(folder / "archive/b.eml"), "mail");

  // A link taken from the drop folder is moved as a link; its target stays where it is.
  ASSERT_EQ(::symlink((folder / "victim").c_str(), (folder / "c.eml").c_str()), 0);
  EXPECT_TRUE(fs.MoveFileReplace(folder / "c.eml", folder / "archive/c.eml"));
  EXPECT_TRUE(IsSymlink(folder / "archive/c.eml"));
  EXPECT_EQ(ReadFile(folder / "victim"), "precious");

  EXPECT_FALSE(fs.MoveFileReplace(folder / "absent.eml", folder / "archive/absent.eml"));
  EXPECT_EQ(SystemErrorText(), "No such file or directory");
}

TEST(FileSystem, MoveOntoAnotherLinkOfTheSameFileRemovesTheSource) {
  TempFolder folder;
  FileSystem& fs = RealFileSystem();
  ASSERT_TRUE(fs.CreateFolderPath(folder / "drop"));
  ASSERT_TRUE(fs.CreateFolderPath(folder / "archive"));
  WriteFile(folder / "drop/m.eml", "mail");
  ASSERT_EQ(::link((folder / "drop/m.eml").c_str(), (folder / "archive/m.eml").c_str()), 0);
  EXPECT_TRUE(fs.MoveFileReplace(folder / "drop/m.eml", folder / "archive/m.eml"));
  EXPECT_FALSE(fs.FileExists(folder / "drop/m.eml")) << "rename() alone would leave it";
  EXPECT_EQ(ReadFile(folder / "archive/m.eml"), "mail");

  // The archive named as the drop folder itself (through another spelling): refused, file kept.
  EXPECT_FALSE(fs.MoveFileReplace(folder / "archive/m.eml", folder / "drop/../archive/m.eml"));
  EXPECT_EQ(SystemErrorText(), "Invalid argument");
  EXPECT_EQ(ReadFile(folder / "archive/m.eml"), "mail");
}

// Moving between two file systems copies; it needs a second file system, which /dev/shm usually is.
class CrossDeviceMove : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat a {}, b {};
    if (::stat("/dev/shm", &a) != 0 || ::stat(local.path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
      GTEST_SKIP() << "no second file system (/dev/shm) beside " << local.path();
    }
    other = std::make_unique<TempFolder>("/dev/shm");
  }
  std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  TempFolder local;
  std::unique_ptr<TempFolder> other;
};

TEST_F(CrossDeviceMove, CopiesContentModeAndTimeThenRemovesTheSource) {
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteFile(*other / "m.eml", content);
  ASSERT_EQ(::chmod((*other / "m.eml").c_str(), 0640), 0);
  struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (*other / "m.eml").c_str(), times, 0), 0);
  WriteFile(local / "m.eml", "older archive copy");

  ASSERT_TRUE(RealFileSystem().MoveFileReplace(*other / "m.eml", local / "m.eml")) << SystemErrorText();
  EXPECT_FALSE(RealFileSystem().FileExists(*other / "m.eml"));
  EXPECT_EQ(ReadFile(local / "m.eml"), content);
  struct stat st {};
  ASSERT_EQ(::stat((local / "m.eml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(Names(local.path()), std::vector<std::string>{"m.eml"}) << "no temporary file left behind";
}

TEST_F(CrossDeviceMove, LinksStayLinksAndPlantedLinksAreReplaced) {
  WriteFile(local / "victim", "precious");
  ASSERT_EQ(::symlink((local / "victim").c_str(), (local / "m.eml").c_str()), 0);
  WriteFile(*other / "m.eml", "mail");
  ASSERT_TRUE(RealFileSystem().MoveFileReplace(*other / "m.eml", local / "m.eml"));
  EXPECT_EQ(ReadFile(local / "victim"), "precious");
  EXPECT_FALSE(IsSymlink(local / "m.eml"));
  EXPECT_EQ(ReadFile(local / "m.eml"), "mail");

  ASSERT_EQ(::symlink("/etc/hostname", (*other / "l.eml").c_str()), 0);
  ASSERT_TRUE(RealFileSystem().MoveFileReplace(*other / "l.eml", local / "l.eml"));
  EXPECT_TRUE(IsSymlink(local / "l.eml"));
  EXPECT_EQ(std::filesystem::read_symlink(local / "l.eml"), "/etc/hostname");
  EXPECT_FALSE(RealFileSystem().FileExists(*other / "l.eml"));
}

TEST_F(CrossDeviceMove, FailureKeepsTheSource) {
  WriteFile(*other / "m.eml", "mail");
  ASSERT_EQ(::mkdir((local / "m.eml").c_str(), 0755), 0);  // a folder cannot be replaced by a file
  EXPECT_FALSE(RealFileSystem().MoveFileReplace(*other / "m.eml", local / "m.eml"));
  EXPECT_EQ(ReadFile(*other / "m.eml"), "mail");
  EXPECT_EQ(Names(local.path()), std::vector<std::string>{"m.eml"}) << "no temporary file left behind";
}

TEST(FileSystem, CreateFolderPathMakesMissingParents) {
  TempFolder folder;
  FileSystem& fs = RealFileSystem();
  EXPECT_TRUE(fs.CreateFolderPath(folder / "a/b/c/"));
  EXPECT_TRUE(std::filesystem::is_directory(folder / "a/b/c"));
  EXPECT_TRUE(fs.CreateFolderPath(folder / "a/b/c")) << "an existing folder is fine";

  WriteFile(folder / "file", "x");
  EXPECT_FALSE(fs.CreateFolderPath(folder / "file/sub/"));
  EXPECT_EQ(SystemErrorText(), "Not a directory");
  EXPECT_FALSE(fs.CreateFolderPath(""));
}

TEST(WholeFile, WriteReplacesAndFailuresAreReported) {
  TempFolder folder;
  ASSERT_TRUE(WriteWholeFile(folder / "f", "long content"));
  ASSERT_TRUE(WriteWholeFile(folder / "f", "short"));
  std::string content;
  ASSERT_TRUE(ReadWholeFile(folder / "f", content));
  EXPECT_EQ(content, "short");
  EXPECT_FALSE(WriteWholeFile(folder.path(), "x"));
  EXPECT_EQ(SystemErrorText(), "Is a directory");
  EXPECT_FALSE(ReadWholeFile(folder / "absent", content));
  EXPECT_EQ(content, "short") << "a failed read leaves the output alone";
}

TEST(WholeFile, CreatesWithTheModeAskedForAndKeepsAnExistingFilesMode) {
  TempFolder folder;
  const mode_t old = ::umask(0);
  ASSERT_TRUE(WriteWholeFile(folder / "secret", "x", 0600));
  ASSERT_TRUE(WriteWholeFile(folder / "plain", "x"));
  ASSERT_TRUE(WriteWholeFile(folder / "secret", "y", 0666));
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((folder / "secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "rewritten in place, its mode stays";
  ASSERT_EQ(::stat((folder / "plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(ProgramPaths, LogBesideTheConfiguration) {
  const std::pair<const char*, const char*> cases[] = {
      {"/etc/droprelay/relay.ini", "/etc/droprelay/relay.log"},
      {"/etc/droprelay/relay.INI", "/etc/droprelay/relay.log"},
      {"relay.ini", "relay.log"},
      {"/etc/droprelay/relay.conf", "/etc/droprelay/relay.conf.log"},
      {"/etc/drop.relay/settings", "/etc/drop.relay/settings.log"},
      {"/etc/droprelay/.ini", "/etc/droprelay/.ini.log"},
  };
  for (const auto& [ini, log] : cases) {
    const ProgramFiles files = ProgramFilesForConfig(ini);
    EXPECT_EQ(files.configFile, ini);
    EXPECT_EQ(files.logFile, log) << ini;
  }
  const ProgramFiles beside = ProgramFilesBesideExecutable();
  EXPECT_EQ(beside.configFile, ExecutablePath() + ".ini");
  EXPECT_EQ(beside.logFile, ExecutablePath() + ".log");
  EXPECT_NE(ExecutablePath().find("platform_tests"), std::string::npos);
}

}  // namespace
}  // namespace droprelay::platform
