#include "app/relay_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "../common/temp_folder.h"
#include "../common/recording_sleeper.h"
#include "platform/sleeper.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

class FakeHost : public RelayHost {
 public:
  void SetWorkTimerEnabled(bool enabled) override { timer.push_back(enabled); }
  void SetShowMainForm(bool show) override { shown = show; }
  void CloseMainForm() override { ++closed; }
  std::vector<bool> timer;
  bool shown = false;
  int closed = 0;
};

using droprelay::testing::RecordingSleeper;

// A file system whose deletes and moves fail the way a file held open by another program would.
class BusyFileSystem : public platform::FileSystem {
 public:
  bool DeleteFile(const std::string&) override {
    platform::SetLastError(EBUSY);
    return false;
  }
  bool MoveFileReplace(const std::string& from, const std::string& to) override {
    if (failMoves-- > 0) {
      platform::SetLastError(EBUSY);
      return false;
    }
    return FileSystem::MoveFileReplace(from, to);
  }
  int failMoves = 1000;
};

const std::string kStamp = "07.12.2026 9:05:03 ";

class RelayServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(drop.c_str(), 0755), 0);
    service.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    // These tests are about the cycle and disposal: relaying a file only reports it, as it does
    // when sending is off and the message has nothing to log.
    service.SetRelayFunction([](const RelayContext& context, const std::string&, const std::string& name) {
      context.mainlog(texts::FoundFile() + name);
      return true;
    });
  }

  void WriteConfig(const std::string& systemKeys) {
    WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "/\n[system]\nmoveto_path=" + archive + "\n" +
                       systemKeys);
  }

  // The log as UTF-8 lines without their timestamps.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : service.Log().Lines()) {
      const std::string text = Cp1251ToUtf8(line);
      lines.push_back(text.rfind(kStamp, 0) == 0 ? text.substr(kStamp.size()) : text);
    }
    return lines;
  }
  std::vector<std::string> LogLinesFrom(std::size_t first) const {
    const std::vector<std::string> all = LogLines();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end());
  }

  TempFolder folder;
  std::string drop = folder / "drop";
  std::string archive = folder / "archive/relayed/";
  std::string ini = folder / "relay.ini";
  FakeHost host;
  RecordingSleeper sleeper;
  platform::ScopedSleeper scopedSleeper{sleeper};
  RelayService service{platform::ProgramFiles{folder / "relay.ini", folder / "relay.log"}, host, nullptr};
};

TEST_F(RelayServiceTest, StartAndEndOfARun) {
  WriteFile(folder / "relay.log", "07.12.2026 8:00:00 previous run\r\n");
  WriteFile(ini, "[SYSTEM]\nConnectionString=DSN=projects\n[System]\ntemppath=/var/tmp\ncorrect_scheduled_time=1\n");
  std::vector<std::string> corrections;
  service.SetScheduleCorrection([&](const std::string& connection, const LogFunction& log) {
    corrections.push_back(connection);
    log(Utf8ToCp1251("Новое время обновления 093000"));
  });
  service.FormCreate();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"07.12.2026 8:00:00 previous run", "", "Начало работы...",
                                                  "Новое время обновления 093000"}));
  EXPECT_EQ(corrections, std::vector<std::string>{"DSN=projects"});
  EXPECT_EQ(service.TempFolder(), "/var/tmp/");
  EXPECT_FALSE(host.shown);

  service.FormDestroy();
  EXPECT_EQ(LogLines().back(), "Завершение работы...");
  EXPECT_EQ(service.Config(), nullptr);
  const std::size_t lines = LogLines().size();
  service.FormDestroy();
  EXPECT_EQ(LogLines().size(), lines) << "shutdown logs once";
  EXPECT_EQ(Cp1251ToUtf8(ReadFile(folder / "relay.log")).substr(0, 33), "07.12.2026 8:00:00 previous run\r\n");
}

TEST_F(RelayServiceTest, StartUpSettings) {
  struct Case {
    const char* keys;
    bool shown;
    bool corrected;
  };
  const Case cases[] = {
      {"", false, false},
      {"showmainform=1\n", true, false},
      {"showmainform=-5\n", true, false},
      {"showmainform=yes\ncorrect_scheduled_time=no\n", false, false},
      {"showmainform=0x0\ncorrect_scheduled_time=$1\n", false, true},
      // An empty temppath names no folder; the default keeps attachments out of the working folder.
      {"temppath=\n", false, false},
  };
  for (const Case& c : cases) {
    FakeHost caseHost;
    WriteFile(ini, std::string("[system]\n") + c.keys);
    RelayService caseService(platform::ProgramFiles{ini, folder / "case.log"}, caseHost, nullptr);
    std::string connection;
    caseService.SetScheduleCorrection([&](const std::string& s, const LogFunction&) { connection = s; });
    caseService.FormCreate();
    EXPECT_EQ(caseHost.shown, c.shown) << c.keys;
    EXPECT_EQ(!connection.empty(), c.corrected) << c.keys;
    if (c.corrected) {
      EXPECT_EQ(connection, kDefaultConnectionString);
    }
    EXPECT_EQ(caseService.TempFolder(), "/tmp/");
    caseService.FormDestroy();
  }
}

TEST_F(RelayServiceTest, EmptyMissingOrSubfolderOnlyDropFolderEndsTheRun) {
  ASSERT_EQ(::mkdir((drop + "/sub").c_str(), 0755), 0);
  for (const std::string& folderSetting : {drop + "/", drop + "/sub/", folder / "absent/"}) {
    FakeHost caseHost;
    WriteFile(ini, "[System]\nSmtp_DropMail_path=" + folderSetting + "\n");
    RelayService caseService(platform::ProgramFiles{ini, folder / "case.log"}, caseHost, nullptr);
    // A fixed clock: the timestamp's length depends on the hour.
    caseService.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    caseService.FormCreate();
    const std::size_t before = caseService.Log().Lines().size();
    caseService.WorkTimerTimer();
    ASSERT_EQ(caseService.Log().Lines().size(), before + 2);
    EXPECT_EQ(Cp1251ToUtf8(caseService.Log().Lines()[before]), kStamp + "Просмотр папки " + folderSetting);
    EXPECT_EQ(Cp1251ToUtf8(caseService.Log().Lines()[before + 1]), kStamp + "Нет новых файлов");
    EXPECT_EQ(caseHost.closed, 1);
    EXPECT_EQ(caseHost.timer, (std::vector<bool>{false, true}));
    caseService.FormDestroy();
  }
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayServiceTest, MovesOneFilePerCycleIntoACreatedArchive) {
  WriteConfig("");
  WriteFile(drop + "/a.eml", "first");
  WriteFile(drop + "/b.eml", "second");
  service.FormCreate();
  const std::size_t start = LogLines().size();

  service.WorkTimerTimer();
  std::vector<std::string> lines = LogLinesFrom(start);
  ASSERT_EQ(lines.size(), 3u);
  const std::string first = lines[1].substr(std::string("Найден файл ").size());
  EXPECT_EQ(lines[0], "Просмотр папки " + drop + "/");
  EXPECT_EQ(lines[2], "Файл " + first + " успешно перемещен в " + archive);
  EXPECT_TRUE(sleeper.waits.empty()) << "a successful attempt is not followed by a wait";
  EXPECT_EQ(host.closed, 0);

  service.WorkTimerTimer();
  service.WorkTimerTimer();
  EXPECT_EQ(host.closed, 1);
  EXPECT_EQ(LogLines().back(), "Нет новых файлов");
  EXPECT_EQ(ReadFile(archive + "a.eml"), "first");
  EXPECT_EQ(ReadFile(archive + "b.eml"), "second");
  EXPECT_TRUE(std::filesystem::is_empty(drop));
  EXPECT_EQ(host.timer, (std::vector<bool>{false, true, false, true, false, true}));
}

TEST_F(RelayServiceTest, DeleteMode) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл m.eml успешно удален");
  EXPECT_FALSE(std::filesystem::exists(drop + "/m.eml"));
  EXPECT_FALSE(std::filesystem::exists(archive)) << "deleting needs no archive";
}

TEST_F(RelayServiceTest, DropFolderWithoutFinalSlashIsSearchedItself) {
  // Before the fix, "<folder>*.*" searched the parent, where this decoy's name starts with "drop".
  WriteFile(folder / "drop-decoy.eml", "not ours");
  WriteFile(drop + "/m.eml", "ours");
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\n[system]\nDelete_or_move=1\n");
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(2), (std::vector<std::string>{"Просмотр папки " + drop + "/", "Найден файл m.eml",
                                                       "Файл m.eml успешно удален"}));
  EXPECT_EQ(ReadFile(folder / "drop-decoy.eml"), "not ours");
}

TEST_F(RelayServiceTest, FailedSendKeepsTheFile) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  int relays = 0;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
    ++relays;
    return false;
  });
  service.FormCreate();
  service.WorkTimerTimer();
  service.WorkTimerTimer();
  EXPECT_EQ(relays, 2) << "offered again at the next cycle";
  EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml"));
  EXPECT_TRUE(sleeper.waits.empty());
  EXPECT_EQ(host.closed, 0);
}

TEST_F(RelayServiceTest, RelayStepReachesSettingsAndLog) {
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\ndomain_name=corp.example\n[system]\ntemppath=" +
                     (folder / "t") + "\n[Strings2change]\nstring1=a\n");
  WriteFile(drop + "/m.eml", "x");
  std::string seen;
  service.SetRelayFunction([&](const RelayContext& context, const std::string& dropFolder, const std::string& name) {
    seen = dropFolder + "|" + name + "|" + context.config.domain_name() + "|" + context.TempFolder + "|" +
           std::to_string(context.substitutions.ChangeStrings.size());
    context.mainlog("from the relay step");
    return false;
  });
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(seen, drop + "/|m.eml|corp.example|" + (folder / "t/") + "|1");
  EXPECT_EQ(LogLines().back(), "from the relay step");
}

TEST_F(RelayServiceTest, FileRemovedBeforeDisposalIsLeftAlone) {
  WriteConfig("");
  WriteFile(drop + "/m.eml", "x");
  service.SetRelayFunction([&](const RelayContext&, const std::string& dropFolder, const std::string& name) {
    ::unlink((dropFolder + name).c_str());  // someone else took it meanwhile
    return true;
  });
  service.FormCreate();
  const std::size_t start = LogLines().size();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(start), std::vector<std::string>{"Просмотр папки " + drop + "/"});
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayServiceTest, BusyFileIsTriedAHundredTimesAndKept) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  BusyFileSystem busy;
  service.SetFileSystem(busy);
  service.FormCreate();
  const std::size_t start = LogLines().size();
  service.WorkTimerTimer();
  const std::vector<std::string> lines = LogLinesFrom(start + 2);
  ASSERT_EQ(lines.size(), 100u);
  for (const std::string& line : lines) EXPECT_EQ(line, "Файл m.eml удалить НЕ УДАЛОСЬ! (Device or resource busy)");
  // One second between failed attempts, none after the last.
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>(99, 1000));
  EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml"));
}

TEST_F(RelayServiceTest, UnwritableArchiveIsLoggedPerAttemptAndTheFileKept) {
  WriteFile(folder / "blocker", "a file where a folder should be");
  archive = folder / "blocker/archive/";
  WriteConfig("");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  const std::size_t start = LogLines().size();
  service.WorkTimerTimer();
  const std::vector<std::string> lines = LogLinesFrom(start + 2);
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines.front(), "Файл m.eml переместить НЕ УДАЛОСЬ! (Not a directory)");
  EXPECT_EQ(lines.back(), lines.front());
  EXPECT_EQ(ReadFile(drop + "/m.eml"), "x");
}

TEST_F(RelayServiceTest, KeysAreReadAgainOnEveryAttempt) {
  WriteConfig("Delete_or_move=0\n");
  WriteFile(drop + "/m.eml", "x");
  BusyFileSystem busy;
  busy.failMoves = 1;
  service.SetFileSystem(busy);
  sleeper.onWait = [&](std::size_t) {
    // Between the attempts the administrator points the archive elsewhere.
    archive = folder / "elsewhere/";
    WriteConfig("Delete_or_move=0\n");
  };
  service.FormCreate();
  service.WorkTimerTimer();
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines[lines.size() - 2], "Файл m.eml переместить НЕ УДАЛОСЬ! (Device or resource busy)");
  EXPECT_EQ(lines.back(), "Файл m.eml успешно перемещен в " + (folder / "elsewhere/"));
  EXPECT_EQ(ReadFile(folder / "elsewhere/m.eml"), "x");
}

TEST_F(RelayServiceTest, EmptyArchiveSettingStopsDisposalWithTheErrorLines) {
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\n[system]\nmoveto_path=\n");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  service.WorkTimerTimer();
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines[lines.size() - 2], "No such file or directory");
  EXPECT_EQ(lines.back(), "Ошибка при удалении/перемещении файла!");
  EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml"));
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayServiceTest, LinkInTheDropFolderIsMovedItself) {
  WriteConfig("");
  WriteFile(folder / "target.txt", "not a message of ours");
  ASSERT_EQ(::symlink((folder / "target.txt").c_str(), (drop + "/link.eml").c_str()), 0);
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл link.eml успешно перемещен в " + archive);
  EXPECT_TRUE(std::filesystem::is_symlink(archive + "link.eml"));
  EXPECT_EQ(ReadFile(folder / "target.txt"), "not a message of ours");
}

TEST_F(RelayServiceTest, UnwritableLogFileDoesNotStopTheRelay) {
  ASSERT_EQ(::mkdir((folder / "relay.log").c_str(), 0755), 0);
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл m.eml успешно удален");
  EXPECT_FALSE(std::filesystem::exists(drop + "/m.eml"));
}

}  // namespace
}  // namespace droprelay
