// Where the programs find their files, the start-up refusal of exposed secrets, the log's copy for
// the system log and the headless loop.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

#include <set>
#include <sstream>

#include "../common/recording_sleeper.h"
#include "../common/temp_folder.h"
#include "app/headless_run.h"
#include "app/log_mirror.h"
#include "app/program_files.h"
#include "app/program_start.h"
#include "app/exposed_secrets.h"
#include "platform/sleeper.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

const InstallLayout kLayout{"/usr/bin", "/etc/droprelay/droprelay.ini", "/var/log/droprelay/droprelay.log"};

TEST(ProgramFiles, BesideTheExecutableWhenNotInstalled) {
  const auto none = [](const std::string&) { return false; };
  const platform::ProgramFiles files = ChooseProgramFiles("", "/home/u/build/app/droprelay", kLayout, none);
  EXPECT_EQ(files.configFile, "/home/u/build/app/droprelay.ini");
  EXPECT_EQ(files.logFile, "/home/u/build/app/droprelay.log");
  const platform::ProgramFiles named = ChooseProgramFiles("/srv/relay.ini", "/opt/x/droprelay", kLayout, none);
  EXPECT_EQ(named.configFile, "/srv/relay.ini");
  EXPECT_EQ(named.logFile, "/srv/relay.log");
}

TEST(ProgramFiles, InstalledReadsEtcUnlessAnIniSitsBesideTheProgram) {
  std::set<std::string> present;
  const auto exists = [&](const std::string& path) { return present.count(path) > 0; };
  platform::ProgramFiles files = ChooseProgramFiles("", "/usr/bin/droprelay", kLayout, exists);
  EXPECT_EQ(files.configFile, "/etc/droprelay/droprelay.ini");
  EXPECT_EQ(files.logFile, "/var/log/droprelay/droprelay.log");

  present.insert("/usr/bin/droprelay.ini");
  files = ChooseProgramFiles("", "/usr/bin/droprelay", kLayout, exists);
  EXPECT_EQ(files.configFile, "/usr/bin/droprelay.ini");
  EXPECT_EQ(files.logFile, "/var/log/droprelay/droprelay.log");

  // --config still names the INI; the log stays where the service user may write.
  files = ChooseProgramFiles("/etc/droprelay/other.ini", "/usr/bin/droprelay-window", kLayout, exists);
  EXPECT_EQ(files.configFile, "/etc/droprelay/other.ini");
  EXPECT_EQ(files.logFile, "/var/log/droprelay/droprelay.log");
}

TEST(ProgramFiles, OnlyTheInstallFolderItselfCountsAsInstalled) {
  EXPECT_TRUE(IsInstalledProgram("/usr/bin/droprelay", kLayout));
  EXPECT_TRUE(IsInstalledProgram("/usr/bin/droprelay", InstallLayout{"/usr/bin/", "", ""}));
  EXPECT_FALSE(IsInstalledProgram("/usr/bin/sub/droprelay", kLayout));
  EXPECT_FALSE(IsInstalledProgram("/usr/binx/droprelay", kLayout));
  EXPECT_FALSE(IsInstalledProgram("/stage/usr/bin/droprelay", kLayout));
  EXPECT_FALSE(IsInstalledProgram("", kLayout));
}

TEST(ProgramFiles, LogPathOverridesAndRelativeIsBesideTheIni) {
  const platform::ProgramFiles base{"/etc/droprelay/droprelay.ini", "/var/log/droprelay/droprelay.log"};
  EXPECT_EQ(WithLogPath(base, "").logFile, "/var/log/droprelay/droprelay.log");
  EXPECT_EQ(WithLogPath(base, "/srv/log/relay.log").logFile, "/srv/log/relay.log");
  EXPECT_EQ(WithLogPath(base, "logs/relay.log").logFile, "/etc/droprelay/logs/relay.log");
  EXPECT_EQ(WithLogPath(platform::ProgramFiles{"relay.ini", "relay.log"}, "x.log").logFile, "x.log");
}

TEST(ProgramFiles, TheInstalledConfigurationComesWithItsProfiles) {
  EXPECT_EQ(InstalledProfilesFile("/etc/droprelay/droprelay.ini", kLayout), "/etc/droprelay/profiles.ini");
  EXPECT_EQ(InstalledProfilesFile("/srv/relay.ini", kLayout), "");
  EXPECT_EQ(InstalledProfilesFile("/usr/bin/droprelay.ini", kLayout), "");
}

// The decision to leave root, with the identity calls replaced; the real switch is run by
// tests/deploy/test_root_switch.sh.
TEST(BecomeServiceUser, OnlyAnInstalledProgramRunAsRootSwitches) {
  struct Case {
    const char* name;
    bool installed;
    uid_t euid;
    bool userExists;
    bool switchWorks;
    int status;
    bool switched;
    const char* said;
  };
  const Case cases[] = {
      {"build tree as root", false, 0, true, true, 0, false, ""},
      {"installed as the service user", true, 998, true, true, 0, false, ""},
      {"installed as root", true, 0, true, true, 0, true, ""},
      {"installed as root, no such user", true, 0, false, true, 78, false,
       "droprelay: refusing to run as root: there is no user droprelay to switch to"},
      {"installed as root, switch refused", true, 0, true, false, 78, false,
       "droprelay: refusing to run as root: cannot switch to the user droprelay: Operation not permitted"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> became;
    const platform::IdentitySystem fake{
        [&] { return c.euid; },
        [&](const std::string& name) -> std::optional<platform::UserIdentity> {
          if (!c.userExists) return std::nullopt;
          return platform::UserIdentity{name, 998, 997, "/var/lib/droprelay"};
        },
        [&](const platform::UserIdentity& user) {
          if (!c.switchWorks) {
            platform::SetLastError(EPERM);
            return false;
          }
          became.push_back(user.name + ":" + std::to_string(user.uid) + ":" + std::to_string(user.gid));
          return true;
        }};
    std::ostringstream err;
    EXPECT_EQ(BecomeServiceUser(c.installed, "droprelay", fake, err), c.status) << c.name;
    EXPECT_EQ(became, c.switched ? std::vector<std::string>{"droprelay:998:997"} : std::vector<std::string>{}) << c.name;
    EXPECT_EQ(err.str().substr(0, std::string(c.said).size()), c.said) << c.name;
    EXPECT_EQ(err.str().empty(), std::string(c.said).empty()) << c.name;
  }
}

TEST(LogMirrorSetting, NoneWithoutJournalAndForZeroOrGarbage) {
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(MakeLogMirror(""), nullptr);
  EXPECT_EQ(MakeLogMirror("0"), nullptr);
  EXPECT_EQ(MakeLogMirror("yes please"), nullptr);
  EXPECT_NE(MakeLogMirror("1"), nullptr);
  EXPECT_NE(MakeLogMirror("/run/some.sock"), nullptr);
}

class RecordingMirror : public LogMirror {
 public:
  void Write(LogSeverity severity, const std::string& line) override { lines.emplace_back(severity, line); }
  std::vector<std::pair<LogSeverity, std::string>> lines;
};

TEST(ActivityLogFile, CreatedWithoutAccessForOthersAndMirrored) {
  TempFolder folder;
  const std::string path = folder / "relay.log";
  ::umask(022);
  RecordingMirror mirror;
  ActivityLog log(path, [] { return 510; }, nullptr, [] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
  log.SetMirror(&mirror);
  log.mainlog(texts::WorkStarted());
  log.mainlog(" ");  // an empty line stays in the file only
  log.mainlog(texts::DatabaseError(), LogSeverity::kError);
  log.mainlog(texts::NoNewFiles(), LogSeverity::kWarning);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(mirror.lines.size(), 3u);
  EXPECT_EQ(mirror.lines[0], std::make_pair(LogSeverity::kInfo, Cp1251ToUtf8(texts::WorkStarted())));
  EXPECT_EQ(mirror.lines[1], std::make_pair(LogSeverity::kError, Cp1251ToUtf8(texts::DatabaseError())));
  EXPECT_EQ(mirror.lines[2], std::make_pair(LogSeverity::kWarning, Cp1251ToUtf8(texts::NoNewFiles())));
  // The file is as it always was: timestamps, CR LF, the empty line.
  EXPECT_EQ(droprelay::testing::ReadFile(path), "07.12.2026 9:05:03 Начало работы...\r\n\r\n"
                                                "07.12.2026 9:05:03 Ошибка при работе с базой данных\r\n"
                                                "07.12.2026 9:05:03 Нет новых файлов\r\n");
}

TEST(ActivityLogFile, AnUnwritableLogIsReportedOnceUntilItWorksAgain) {
  TempFolder folder;
  const std::string missing = folder / "no-such-folder/relay.log";
  RecordingMirror mirror;
  ActivityLog log(missing, [] { return 510; }, nullptr, [] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
  log.SetMirror(&mirror);
  log.mainlog(texts::WorkStarted());
  log.mainlog(texts::NoNewFiles());
  // Two relay lines and one complaint, which names the file and the reason.
  ASSERT_EQ(mirror.lines.size(), 3u);
  EXPECT_EQ(mirror.lines[1].first, LogSeverity::kError);
  EXPECT_NE(mirror.lines[1].second.find(missing), std::string::npos);
  EXPECT_NE(mirror.lines[1].second.find("No such file or directory"), std::string::npos);
}

class HeadlessLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(drop.c_str(), 0750), 0);
    ASSERT_EQ(::mkdir(archive.c_str(), 0750), 0);
    // A key left out names a folder of the test, never a production one.
    service.SetFolderDefaults({folder / "default-drop/", folder / "default-tmp/", folder / "default-archive/"});
    service.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    service.SetRelayFunction([this](const RelayContext& context, const std::string&, const std::string& name) {
      context.mainlog(texts::FoundFile() + name);
      ++relayed;
      return true;
    });
  }
  void WriteConfig(const std::string& more) {
    WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "/\nmoveto_path=" + archive +
                       "/\ncycle_interval_ms=250\n" + more);
    ::chmod(ini.c_str(), 0640);
    // A fixed moment in 2100: every file the tests write counts as complete (not modified just now).
    service.SetWallClock([] { return std::chrono::system_clock::time_point(std::chrono::seconds(4102444800)); });
  }

  TempFolder folder;
  std::string drop = folder / "drop";
  std::string archive = folder / "archive";
  std::string ini = folder / "relay.ini";
  HeadlessHost host;
  RelayService service{platform::ProgramFiles{ini, folder / "relay.log"}, host, nullptr};
  droprelay::testing::RecordingSleeper sleeper;
  platform::ScopedSleeper sleeperGuard{sleeper};
  int relayed = 0;
  std::vector<int> waits;
  std::ostringstream err;
};

TEST_F(HeadlessLoop, CyclesAtTheConfiguredIntervalUntilTheFolderIsEmpty) {
  WriteConfig("");
  WriteFile(drop + "/a.eml", "x");
  WriteFile(drop + "/b.eml", "y");
  const int status = RunRelayLoop(service, host, [this](int ms) { waits.push_back(ms); return false; }, err);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(relayed, 2);
  EXPECT_EQ(waits, (std::vector<int>{250, 250, 250}));  // two files, then the empty folder
  EXPECT_TRUE(host.Closed());
  EXPECT_EQ(Cp1251ToUtf8(service.Log().Lines().back()).substr(19), "Завершение работы...");
}

TEST_F(HeadlessLoop, AStopRequestDuringTheWaitEndsTheRunWithoutAnotherCycle) {
  WriteConfig("");
  WriteFile(drop + "/a.eml", "x");
  WriteFile(drop + "/b.eml", "y");
  int calls = 0;
  const int status = RunRelayLoop(service, host, [&](int) { return ++calls == 2; }, err);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(relayed, 1);
  EXPECT_FALSE(host.Closed());
  EXPECT_EQ(Cp1251ToUtf8(service.Log().Lines().back()).substr(19), "Завершение работы...");
}

TEST_F(HeadlessLoop, APasswordInAnIniOthersCanReadStopsTheStart) {
  WriteConfig("");
  WriteFile(ini, "[System]\nPassword=secret\nSmtp_DropMail_path=" + drop + "/\n");
  ::chmod(ini.c_str(), 0644);
  WriteFile(drop + "/a.eml", "x");
  const int status = RunRelayLoop(service, host, [&](int) { return false; }, err);
  EXPECT_EQ(status, kExitConfig);
  EXPECT_EQ(relayed, 0);
  const std::string expected = ini + " holds a Password and is readable by others (mode 0644); set mode 0640";
  EXPECT_NE(err.str().find(expected), std::string::npos) << err.str();
  bool logged = false;
  for (const std::string& line : service.Log().Lines()) {
    logged = logged || Cp1251ToUtf8(line).find("Работа остановлена, пароль не защищён: " + expected) != std::string::npos;
  }
  EXPECT_TRUE(logged);

  // Without the Password, or with the file closed to others, the same file is fine.
  ::chmod(ini.c_str(), 0640);
  const platform::IniFile closed(ini);
  EXPECT_EQ(ExposedSecretProblem(RelayConfig(closed)), "");
  WriteFile(ini, "[System]\nPassword=\n");
  ::chmod(ini.c_str(), 0644);
  const platform::IniFile noPassword(ini);
  EXPECT_EQ(ExposedSecretProblem(RelayConfig(noPassword)), "");
}

}  // namespace
}  // namespace droprelay
