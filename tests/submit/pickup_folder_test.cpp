// The pickup folder's answers as values: a folder that takes the file, one that is not there or is
// no folder, and one whose entries cannot be flushed to disk after the rename. The last needs a
// failing fsync: the test runs its own write again in a child process under strace, which makes
// fsync of that folder fail with EIO.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include "../common/temp_folder.h"
#include "mail/compose.h"
#include "submit/delivery.h"

namespace droprelay {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

constexpr const char* kTestName = "PickupFolder.AnswersWhatBecameOfTheFile";

SubmissionResult WriteOne(const std::string& folder) {
  OutgoingMessage message;
  message.from = "relay@example.org";
  message.to = {"to@example.org"};
  message.subject = "s";
  message.body = "b";
  ComposedMessage composed(message, MessageStamp{"Mon, 7 Dec 2026 10:00:00 +0300", "<id@example.org>", "=_b"});
  return submit::WriteToPickupFolder(folder, composed);
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename().string());
  return names;
}

// The write as a child process under strace with every fsync of `folder` itself failing. The
// child's answer comes back through a file; nullopt when strace cannot run here.
std::optional<SubmissionResult> WriteWithFailingFolderSync(const std::string& folder, const std::string& resultFile) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) return std::nullopt;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  // LeakSanitizer cannot work under ptrace: a sanitized build's child runs without it.
  const std::string command = "ASAN_OPTIONS=detect_leaks=0 DROPRELAY_PICKUP_CHILD='" + folder +
                              "' DROPRELAY_PICKUP_RESULT='" + resultFile + "' strace -f -qq -o /dev/null -P '" + folder.substr(0, folder.size() - 1) +
                              "' -e trace=fsync -e inject=fsync:error=EIO '" + self + "' --gtest_filter=" +
                              kTestName + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return std::nullopt;
  std::ifstream in(resultFile);
  std::string token;
  SubmissionResult result;
  if (!std::getline(in, token) || !std::getline(in, result.reply)) return std::nullopt;
  result.outcome = OutcomeFromToken(token).value_or(Outcome::kInternalError);
  in >> result.dataSent;
  return result;
}

TEST(PickupFolder, AnswersWhatBecameOfTheFile) {
  if (const char* child = std::getenv("DROPRELAY_PICKUP_CHILD")) {
    // The child's half: write once and hand the value back.
    const SubmissionResult result = WriteOne(child);
    std::ofstream(std::getenv("DROPRELAY_PICKUP_RESULT")) << OutcomeToken(result.outcome) << "\n"
                                                          << result.reply << "\n" << result.dataSent << "\n";
    return;
  }
  enum class Folder { kThere, kMissing, kAFile, kCannotBeFlushed };
  struct Case {
    const char* what;
    Folder folder;
    Outcome checked;   // CheckPickupFolder
    Outcome written;   // WriteToPickupFolder
    const char* why;   // the end of the write's reply
    std::size_t files;  // left in the folder
  };
  const Case cases[] = {
      {"a folder that takes the file", Folder::kThere, Outcome::kDelivered, Outcome::kDelivered, "", 1},
      {"no folder", Folder::kMissing, Outcome::kLogonRefused, Outcome::kSendFailed, ": No such file or directory", 0},
      {"a file instead", Folder::kAFile, Outcome::kLogonRefused, Outcome::kSendFailed, ": Not a directory", 0},
      {"a folder that cannot be flushed", Folder::kCannotBeFlushed, Outcome::kDelivered, Outcome::kSendFailed,
       "/: cannot flush the folder: Input/output error", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder scratch;
    const std::string folder = fs::canonical(scratch.path()).string() + "/pickup/";
    if (c.folder == Folder::kThere || c.folder == Folder::kCannotBeFlushed) fs::create_directory(folder);
    if (c.folder == Folder::kAFile) testing::WriteFile(folder.substr(0, folder.size() - 1), "x");

    const SubmissionResult checked = submit::CheckPickupFolder(folder);
    EXPECT_EQ(OutcomeToken(checked.outcome), OutcomeToken(c.checked)) << checked.reply;

    SubmissionResult written;
    if (c.folder == Folder::kCannotBeFlushed) {
      const std::optional<SubmissionResult> child = WriteWithFailingFolderSync(folder, scratch / "result");
      if (!child) GTEST_SKIP() << "strace cannot inject a failing fsync here";
      written = *child;
    } else {
      written = WriteOne(folder);
    }
    EXPECT_EQ(OutcomeToken(written.outcome), OutcomeToken(c.written)) << written.reply;
    const std::string why = c.why;
    if (why.empty()) {
      EXPECT_EQ(written.reply, "");
    } else {
      EXPECT_EQ(written.reply.rfind("Pickup folder " + folder.substr(0, folder.size() - 1), 0), 0u) << written.reply;
      EXPECT_TRUE(written.reply.size() >= why.size() &&
                  written.reply.compare(written.reply.size() - why.size(), why.size(), why) == 0)
          << written.reply;
    }
    EXPECT_FALSE(written.dataSent) << "a file taken back was not delivered";
    EXPECT_EQ(written.step, SmtpStep::kNone);
    const std::vector<std::string> left = Entries(folder);
    ASSERT_EQ(left.size(), c.files);
    for (const std::string& name : left) EXPECT_EQ(fs::path(name).extension(), ".eml") << "no temporary file";
  }
}

}  // namespace
}  // namespace droprelay
