// What the service tells its host after every cycle: how many files wait for a later attempt and
// how many messages lie in the quarantine folder (the window's icon shows them).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <utility>
#include <vector>

#include "../common/recording_sleeper.h"
#include "../common/temp_folder.h"
#include "app/relay_service.h"
#include "platform/sleeper.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

class StateHost : public RelayHost {
 public:
  void SetWorkTimerEnabled(bool enabled) override { timer.push_back(enabled); }
  void SetShowMainForm(bool) override {}
  void CloseMainForm() override { ++closed; }
  void ReportQueueState(int waiting, int quarantined) override {
    // Told before the timer is enabled again: the host shows it before the next cycle.
    reportedBeforeTimer.push_back(timer.size() % 2 == 1);
    states.emplace_back(waiting, quarantined);
  }
  std::vector<bool> timer;
  std::vector<bool> reportedBeforeTimer;
  std::vector<std::pair<int, int>> states;
  int closed = 0;
};

class QueueStateReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(drop.c_str(), 0755), 0);
    WriteFile(folder / "relay.ini", "[System]\nSmtp_DropMail_path=" + drop + "/\nDelete_or_move=1\n");
    // A fixed moment in 2100: the files written here count as complete.
    service.SetWallClock([] { return std::chrono::system_clock::time_point(std::chrono::seconds(4102444800)); });
    service.SetErrorStream(errors);
    // A key left out names a folder of the test, never a production one.
    service.SetFolderDefaults({folder / "default-drop/", folder / "default-tmp/", folder / "default-archive/"});
    // Each file's fate is named by its content.
    service.SetRelayFunction([this](const RelayContext&, const std::string& dropFolder, const std::string& name) {
      const std::string content = droprelay::testing::ReadFile(dropFolder + name);
      if (content == "later") return RelayOutcome(Outcome::kSendFailed);
      if (content == "never") return RelayOutcome(Outcome::kRefused);
      return RelayOutcome(true);
    });
  }

  TempFolder folder;
  std::string drop = folder / "drop";
  std::ostringstream errors;
  StateHost host;
  droprelay::testing::RecordingSleeper sleeper;
  platform::ScopedSleeper scopedSleeper{sleeper};
  RelayService service{platform::ProgramFiles{folder / "relay.ini", folder / "relay.log"}, host, nullptr};
};

TEST_F(QueueStateReportTest, CountsWaitingFilesAndQuarantinedMessagesAfterEveryCycle) {
  // Set aside by an earlier run: a message, its reason note (no message of its own), and a hidden
  // file of a writer.
  const std::string failed = folder / "failed";
  ASSERT_EQ(::mkdir(failed.c_str(), 0755), 0);
  WriteFile(failed + "/old.eml", "x");
  WriteFile(failed + "/old.eml.reason", "outcome=refused\n");
  WriteFile(failed + "/.tmp-old", "x");
  service.FormCreate();
  ASSERT_FALSE(service.RunEnded());

  // One cycle each: deferred (waiting 1), set aside (quarantined 2), relayed (no change), and
  // the last cycle, which finds only the waiting file and ends the run.
  WriteFile(drop + "/a-later.eml", "later");
  service.WorkTimerTimer();
  WriteFile(drop + "/b-never.eml", "never");
  service.WorkTimerTimer();
  WriteFile(drop + "/c-fine.eml", "fine");
  service.WorkTimerTimer();
  service.WorkTimerTimer();

  EXPECT_EQ(host.states, (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}, {1, 2}, {1, 2}}));
  EXPECT_EQ(host.reportedBeforeTimer, (std::vector<bool>{true, true, true, true}));
  EXPECT_EQ(host.closed, 1);
  EXPECT_EQ(service.ExitStatus(), kExitTempFail);
}

TEST_F(QueueStateReportTest, NothingIsReportedBeforeStartUpOrAfterAFailedOne) {
  service.WorkTimerTimer();  // before FormCreate: no configuration, no cycle
  EXPECT_TRUE(host.states.empty());

  RelayService unreadable{platform::ProgramFiles{folder / "missing.ini", folder / "missing.log"}, host, nullptr};

  unreadable.SetFolderDefaults({folder / "default-drop/", folder / "default-tmp/", folder / "default-archive/"});
  unreadable.SetErrorStream(errors);
  unreadable.SetConfigRequired(true);
  unreadable.FormCreate();
  ASSERT_TRUE(unreadable.RunEnded());
  unreadable.WorkTimerTimer();
  EXPECT_TRUE(host.states.empty());
}

}  // namespace
}  // namespace droprelay
