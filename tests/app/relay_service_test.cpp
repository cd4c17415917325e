#include "app/relay_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "../common/temp_folder.h"
#include "../common/recording_sleeper.h"
#include "platform/file.h"
#include "platform/file_system.h"
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
  bool DeleteFile(const std::string& path) override {
    if (failDeletes-- > 0) {
      platform::SetLastError(EBUSY);
      return false;
    }
    return FileSystem::DeleteFile(path);
  }
  bool MoveFileReplace(const std::string& from, const std::string& to) override {
    if (failMoves-- > 0) {
      platform::SetLastError(EBUSY);
      return false;
    }
    return FileSystem::MoveFileReplace(from, to);
  }
  int failMoves = 1000;
  int failDeletes = 1000;
};

const std::string kStamp = "07.12.2026 9:05:03 ";

// A key left out names a folder of the test, never a production one.
FolderDefaults TestDefaults(const TempFolder& folder) {
  return {folder / "default-drop/", folder / "default-tmp/", folder / "default-archive/"};
}

// The relay's clock in these tests: a fixed moment long after any file a test writes, so every
// file counts as complete unless a test dates it otherwise (SetModified).
const std::chrono::system_clock::time_point kBase{std::chrono::seconds(4102444800)};  // 2100-01-01 00:00 UTC

std::int64_t Seconds(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// A moment as the log writes it, in the machine's time zone.
std::string FormatLogTimestampOf(std::int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  ::localtime_r(&when, &local);
  return FormatLogTimestamp(LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                          local.tm_min, local.tm_sec});
}

// Dates the file's modification to `when` on the relay's clock.
void SetModified(const std::string& path, std::chrono::system_clock::time_point when) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  const struct timespec times[2] = {{ns / 1000000000, ns % 1000000000}, {ns / 1000000000, ns % 1000000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class RelayServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(drop.c_str(), 0755), 0);
    service.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    service.SetWallClock([this] { return kBase + advance; });
    service.SetErrorStream(errors);
    service.SetFolderDefaults(TestDefaults(folder));
    // These tests are about the cycle and disposal: relaying a file only reports it, as it does
    // when sending is off and the message has nothing to log.
    service.SetRelayFunction([](const RelayContext& context, const std::string&, const std::string& name) {
      context.mainlog(texts::FoundFile() + name);
      return true;
    });
  }

  void WriteConfig(const std::string& systemKeys) {
    WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "/\nmoveto_path=" + archive + "\n" +
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
  std::chrono::milliseconds advance{0};  // moves the relay's clock on
  std::ostringstream errors;
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
  WriteFile(ini, "[SYSTEM]\nConnectionString=DSN=projects\nSmtp_DropMail_path=" + drop +
                     "\ntemppath=/var/tmp\ncorrect_scheduled_time=1\nmoveto_path=" + archive + "\n");
  std::vector<std::string> corrections;
  service.SetScheduleCorrection([&](const std::string& connection, const LogFunction& log) {
    corrections.push_back(connection);
    log(Utf8ToCp1251("Новое время обновления 093000"));
  });
  service.FormCreate();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"07.12.2026 8:00:00 previous run", "", "Начало работы...",
                                                  "Отправка писем выключена (send_mail=0): письма не отправляются, "
                                                  "файлы перемещаются в " + archive,
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
    WriteFile(ini, "[system]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=" + archive + "\n" + c.keys);
    RelayService caseService(platform::ProgramFiles{ini, folder / "case.log"}, caseHost, nullptr);
    caseService.SetFolderDefaults(TestDefaults(folder));
    std::string connection;
    caseService.SetScheduleCorrection([&](const std::string& s, const LogFunction&) { connection = s; });
    caseService.FormCreate();
    EXPECT_EQ(caseHost.shown, c.shown) << c.keys;
    EXPECT_EQ(!connection.empty(), c.corrected) << c.keys;
    if (c.corrected) {
      EXPECT_EQ(connection, kDefaultConnectionString);
    }
    EXPECT_EQ(caseService.TempFolder(), TestDefaults(folder).temp) << "the default, here the test's own";
    caseService.FormDestroy();
  }
}

TEST_F(RelayServiceTest, EmptyOrSubfolderOnlyDropFolderEndsTheRun) {
  ASSERT_EQ(::mkdir((drop + "/sub").c_str(), 0755), 0);
  // Hidden names are writers' temporary files, never messages.
  WriteFile(drop + "/sub/.incoming.tmp", "half a message");
  for (const std::string& folderSetting : {drop + "/", drop + "/sub/"}) {
    FakeHost caseHost;
    WriteFile(ini, "[System]\nSmtp_DropMail_path=" + folderSetting + "\n");
    RelayService caseService(platform::ProgramFiles{ini, folder / "case.log"}, caseHost, nullptr);
    caseService.SetFolderDefaults(TestDefaults(folder));
    // A fixed clock: the timestamp's length depends on the hour.
    caseService.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    caseService.FormCreate();
    ASSERT_FALSE(caseService.RunEnded());
    const std::size_t before = caseService.Log().Lines().size();
    caseService.WorkTimerTimer();
    ASSERT_EQ(caseService.Log().Lines().size(), before + 2);
    EXPECT_EQ(Cp1251ToUtf8(caseService.Log().Lines()[before]), kStamp + "Просмотр папки " + folderSetting);
    EXPECT_EQ(Cp1251ToUtf8(caseService.Log().Lines()[before + 1]), kStamp + "Нет новых файлов");
    EXPECT_EQ(caseHost.closed, 1);
    EXPECT_EQ(caseService.ExitStatus(), 0);
    EXPECT_EQ(caseHost.timer, (std::vector<bool>{false, true}));
    caseService.FormDestroy();
  }
  EXPECT_EQ(ReadFile(drop + "/sub/.incoming.tmp"), "half a message");
  EXPECT_TRUE(sleeper.waits.empty());
}

// Every check fails before any file is taken, with a log line, a line on stderr and its status.
TEST_F(RelayServiceTest, StartUpChecksEndTheRunBeforeAnyFileIsTaken) {
  WriteFile(drop + "/m.eml", "x");
  WriteFile(folder / "blocker", "a file where a folder should be");
  struct Case {
    std::string name;
    std::string ini;  // empty: no file at all
    bool configRequired;
    int status;
    std::string logStart;
  };
  const std::string good = "[System]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=" + archive + "\n";
  const Case cases[] = {
      {"named configuration missing", "", true, 78, "Файл настроек не найден или не читается: "},
      {"drop folder missing", "[System]\nSmtp_DropMail_path=" + (folder / "absent/") + "\n", false, 66,
       "Папка не найдена или не читается: " + (folder / "absent/") + " (No such file or directory)"},
      {"temppath impossible", good + "temppath=" + (folder / "blocker/t/") + "\n", false, 73,
       "Папка недоступна для записи: " + (folder / "blocker/t/") + " (Not a directory)"},
      {"archive impossible",
       "[System]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=" + (folder / "blocker/a/") + "\n", false, 73,
       "Папка недоступна для записи: " + (folder / "blocker/a/") + " (Not a directory)"},
      {"archive empty", "[System]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=\n", false, 73,
       "Папка недоступна для записи:  (No such file or directory)"},
      {"state folder impossible", good + "state_path=" + (folder / "blocker/s") + "\n", false, 73,
       "Папка недоступна для записи: " + (folder / "blocker/s/")},
      {"quarantine impossible", good + "failed_path=" + (folder / "blocker/f") + "\n", false, 73,
       "Папка недоступна для записи: " + (folder / "blocker/f/")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string caseIni = folder / "case.ini";
    ::unlink(caseIni.c_str());
    // The database is left alone when start-up fails, even where its correction is asked for.
    if (!c.ini.empty()) WriteFile(caseIni, c.ini + "correct_scheduled_time=1\n");
    FakeHost caseHost;
    std::ostringstream caseErrors;
    RelayService caseService(platform::ProgramFiles{caseIni, folder / "case.log"}, caseHost, nullptr);
    caseService.SetFolderDefaults(TestDefaults(folder));
    caseService.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    caseService.SetErrorStream(caseErrors);
    caseService.SetConfigRequired(c.configRequired);
    bool corrected = false;
    caseService.SetScheduleCorrection([&](const std::string&, const LogFunction&) { corrected = true; });
    caseService.FormCreate();
    EXPECT_TRUE(caseService.RunEnded());
    EXPECT_EQ(caseService.ExitStatus(), c.status);
    EXPECT_EQ(caseHost.closed, 1);
    EXPECT_FALSE(corrected);
    const std::string last = Cp1251ToUtf8(caseService.Log().Lines().back()).substr(kStamp.size());
    EXPECT_EQ(last.substr(0, c.logStart.size()), c.logStart);
    EXPECT_EQ(caseErrors.str().rfind("droprelay: ", 0), 0u) << caseErrors.str();
    // A cycle after the end does nothing.
    caseService.WorkTimerTimer();
    EXPECT_EQ(Cp1251ToUtf8(caseService.Log().Lines().back()).substr(kStamp.size()), last);
    caseService.FormDestroy();
  }
  EXPECT_EQ(ReadFile(drop + "/m.eml"), "x");
  // Without --config the file beside the program may be missing: every key has its default.
  FakeHost quietHost;
  RelayService quiet(platform::ProgramFiles{folder / "absent.ini", folder / "absent.log"}, quietHost, nullptr);
  quiet.SetFolderDefaults(TestDefaults(folder));
  std::ostringstream quietErrors;
  quiet.SetErrorStream(quietErrors);
  quiet.SetConfigRequired(false);
  quiet.FormCreate();
  if (!quiet.RunEnded()) {
    EXPECT_EQ(quietErrors.str(), "");
  } else {
    EXPECT_EQ(quiet.ExitStatus(), 66) << "only the default drop folder may be missing here";
  }
  quiet.FormDestroy();
}

// One drop folder has one lock and one default state folder, whatever name leads to it.
TEST_F(RelayServiceTest, SecondRunOnTheSameDropFolderEndsAtOnceUnderAnyName) {
  WriteConfig("");
  WriteFile(drop + "/m.eml", "x");
  std::filesystem::create_directory_symlink(drop, folder / "link");
  service.FormCreate();
  ASSERT_FALSE(service.RunEnded());
  for (const std::string& name : {drop + "/", drop + "/./", folder / "link/", folder / "link/../drop/"}) {
    SCOPED_TRACE(name);
    // Its own state folder named, so only the lock on the drop folder itself can stop it.
    const std::string secondIni = folder / "second.ini";
    WriteFile(secondIni, "[System]\nSmtp_DropMail_path=" + name + "\nmoveto_path=" + archive +
                             "\nstate_path=" + (folder / "second-state/") + "\n");
    FakeHost secondHost;
    RelayService second(platform::ProgramFiles{secondIni, folder / "second.log"}, secondHost, nullptr);
    second.SetFolderDefaults(TestDefaults(folder));
    second.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    int relays = 0;
    second.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
      ++relays;
      return true;
    });
    second.FormCreate();
    EXPECT_TRUE(second.RunEnded());
    EXPECT_EQ(second.ExitStatus(), 75);
    EXPECT_EQ(Cp1251ToUtf8(second.Log().Lines().back()), kStamp + "Папка уже обрабатывается другим запуском: " + name);
    second.WorkTimerTimer();
    EXPECT_EQ(relays, 0);
    EXPECT_EQ(ReadFile(drop + "/m.eml"), "x");
    second.FormDestroy();
    // Without state_path, every name gives the one default state folder beside the real folder.
    EXPECT_EQ(DefaultStateFolder(name), folder / "drop.droprelay-state/");
  }
}

TEST_F(RelayServiceTest, FileStillBeingWrittenIsWaitedForWithoutScanningAgain) {
  // The shortest interval: without a wait the relay would scan the folder again and again.
  WriteConfig("Delete_or_move=1\ncycle_interval_ms=0\n");
  WriteFile(drop + "/m.eml", "half");
  WriteFile(drop + "/n.eml", "half too");
  SetModified(drop + "/m.eml", kBase - std::chrono::milliseconds(500));
  SetModified(drop + "/n.eml", kBase - std::chrono::milliseconds(1200));
  sleeper.onWait = [&](std::size_t) { advance += std::chrono::milliseconds(sleeper.waits.back()); };
  service.FormCreate();
  const std::size_t start = LogLines().size();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(start), std::vector<std::string>{"Просмотр папки " + drop + "/"});
  EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>{800}) << "until the younger-dated file n.eml is due";
  EXPECT_EQ(host.closed, 0) << "the run waits for the files";
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(start), (std::vector<std::string>{"Просмотр папки " + drop + "/", "Найден файл n.eml",
                                                           "Файл n.eml успешно удален"}))
      << "the scan is logged once";
  service.WorkTimerTimer();
  EXPECT_EQ(sleeper.waits, (std::vector<std::uint32_t>{800, 700}));
  service.WorkTimerTimer();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(start + 3), (std::vector<std::string>{"Просмотр папки " + drop + "/", "Найден файл m.eml",
                                                               "Файл m.eml успешно удален", "Просмотр папки " + drop + "/",
                                                               "Нет новых файлов"}));
  EXPECT_EQ(host.closed, 1);
}

// A time ahead of the clock (a clock that stepped back) holds nothing; a writer that touches its
// file again and again without a lock holds the run for the settle limit at most.
TEST_F(RelayServiceTest, NoModificationTimeHoldsARun) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/ahead.eml", "written a day ahead of the clock");
  SetModified(drop + "/ahead.eml", kBase + std::chrono::hours(24));
  service.FormCreate();
  service.WorkTimerTimer();
  std::vector<std::string> lines = LogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Файл ahead.eml: время изменения впереди текущего времени (часы переведены?), файл считается записанным"),
            1);
  EXPECT_EQ(lines.back(), "Файл ahead.eml успешно удален");

  WriteFile(drop + "/touched.eml", "touched every second");
  sleeper.onWait = [&](std::size_t) {
    advance += std::chrono::milliseconds(sleeper.waits.back());
    SetModified(drop + "/touched.eml", kBase + advance);
  };
  SetModified(drop + "/touched.eml", kBase + advance);
  for (int cycle = 0; cycle < 1000 && LogLines().back().rfind("Файл touched.eml отложен до ", 0) != 0; ++cycle) {
    service.WorkTimerTimer();
  }
  EXPECT_NE(LogLines().back().find("файл занят другим процессом"), std::string::npos) << LogLines().back();
  EXPECT_GE(advance, std::chrono::seconds(300));
  EXPECT_LT(advance, std::chrono::seconds(303)) << "deferred once the settle limit is reached";
  service.WorkTimerTimer();
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 75);
}

// An error the system reports about a drop file tells nothing about the message: the file is
// deferred with the system's words, and only a second failure past max_queue_days sets it aside.
TEST_F(RelayServiceTest, ASystemErrorReadingAFileDefersIt) {
  WriteConfig("Delete_or_move=1\nmax_queue_days=0\nsend_mail=0\n");
  service.SetRelayFunction(RelayMessageFile);  // the real read
  struct Case {
    const char* operation;
    int error;
    const char* text;
  };
  const Case cases[] = {{"open", EACCES, "Permission denied"}, {"open", EIO, "Input/output error"},
                        {"open", EMFILE, "Too many open files"}, {"read", EIO, "Input/output error"}};
  service.FormCreate();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.operation) + " " + c.text);
    WriteFile(drop + "/m.eml", "To: a@example.net\n\nfine\n");
    platform::SetFileFaultForTesting([&](std::string_view operation, const std::string& path) {
      return operation == c.operation && path == drop + "/m.eml" ? c.error : 0;
    });
    service.WorkTimerTimer();
    EXPECT_EQ(LogLines().back().rfind("Файл m.eml отложен до ", 0), 0u) << LogLines().back();
    EXPECT_NE(LogLines().back().find(std::string("системная ошибка при чтении файла (") + c.text + ")"), std::string::npos)
        << LogLines().back();
    EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml")) << "sending off, yet not disposed of unread";
    advance += std::chrono::hours(2);
    service.WorkTimerTimer();
    platform::SetFileFaultForTesting(nullptr);
    const std::string reason = ReadFile(folder / "failed/m.eml.reason");
    EXPECT_NE(reason.find("outcome=expired"), std::string::npos) << reason;
    EXPECT_NE(reason.find(std::string("(системная ошибка при чтении файла (") + c.text + "))"), std::string::npos)
        << reason;
    std::filesystem::remove_all(folder / "failed");
  }
}

TEST_F(RelayServiceTest, AnErrorListingTheDropFolderEndsTheRunWith74) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  platform::SetFileFaultForTesting([&](std::string_view operation, const std::string& path) {
    return operation == "list" && path == drop + "/" ? EIO : 0;
  });
  service.WorkTimerTimer();
  platform::SetFileFaultForTesting(nullptr);
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 74);
  EXPECT_EQ(LogLines().back(), "Папка не найдена или не читается: " + drop + "/ (Input/output error)");
  EXPECT_NE(errors.str().find("cannot list the drop folder " + drop + "/: Input/output error"), std::string::npos);
  EXPECT_EQ(ReadFile(drop + "/m.eml"), "x");
}

// Settings are never lost: once read, a file that vanishes or cannot be read keeps them (told
// once); one that cannot be read at the start stops the run with 78.
TEST_F(RelayServiceTest, SettingsReadOnceAreNeverLostToAFailedRead) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/a.eml", "x");
  WriteFile(drop + "/b.eml", "y");
  WriteFile(drop + "/c.eml", "z");
  service.FormCreate();
  ASSERT_FALSE(service.RunEnded());
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл a.eml успешно удален");
  // Replaced by a file the relay cannot read: still deleting, as the file said, not moving to the
  // built-in archive.
  WriteConfig("Delete_or_move=1\nmax_queue_days=7\n");
  platform::SetFileFaultForTesting([&](std::string_view operation, const std::string& path) {
    return operation == "open" && path == ini ? EACCES : 0;
  });
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл b.eml успешно удален");
  platform::SetFileFaultForTesting(nullptr);
  // Gone altogether.
  ::unlink(ini.c_str());
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back(), "Файл c.eml успешно удален");
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.rfind("Файл настроек не читается, действуют прежние настройки: ", 0) == 0;
                          }),
            1)
      << "told once until the file can be read again";
  EXPECT_NE(errors.str().find("(Permission denied); the settings read before stay in effect"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "default-archive"));
  service.FormDestroy();

  // At the start, a file that is there but cannot be read is a configuration error.
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/d.eml", "w");
  platform::SetFileFaultForTesting([&](std::string_view operation, const std::string& path) {
    return operation == "open" && path == ini ? EIO : 0;
  });
  FakeHost nextHost;
  RelayService next(platform::ProgramFiles{ini, folder / "next.log"}, nextHost, nullptr);
  next.SetFolderDefaults(TestDefaults(folder));
  next.SetErrorStream(errors);
  next.FormCreate();
  platform::SetFileFaultForTesting(nullptr);
  EXPECT_TRUE(next.RunEnded());
  EXPECT_EQ(next.ExitStatus(), 78);
  EXPECT_NE(errors.str().find("cannot read the configuration file " + ini + ": Input/output error"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "default-drop"));
  EXPECT_TRUE(std::filesystem::exists(drop + "/d.eml"));
  next.FormDestroy();
}

// A backlog is listed once per pass, not once per file: relaying n files reads a few folder
// entries per file (two listings of the drop folder, the small state and quarantine folders
// counted after each cycle), not n * n / 2; a file that arrives meanwhile joins at the next
// listing, in name order.
TEST_F(RelayServiceTest, ABacklogIsListedOncePerPass) {
  WriteConfig("Delete_or_move=1\n");
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) WriteFile(drop + "/m" + std::to_string(1000 + i) + ".eml", "x");
  std::vector<std::string> taken;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string& name) {
    taken.push_back(name);
    if (taken.size() == 10) WriteFile(drop + "/a-late.eml", "arrived during the run");
    return true;
  });
  service.FormCreate();
  const std::uint64_t before = platform::DirectoryEntriesRead();
  for (int cycle = 0; cycle < 3 * kFiles && !service.RunEnded(); ++cycle) service.WorkTimerTimer();
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 0);
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kFiles + 1));
  EXPECT_EQ(taken.back(), "a-late.eml") << "taken when the walk reached the end and the folder was listed again";
  EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end() - 1));
  EXPECT_LE(platform::DirectoryEntriesRead() - before, static_cast<std::uint64_t>(10 * kFiles));
}

TEST_F(RelayServiceTest, FileLockedByItsWriterWaitsButNotForEver) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "To: a@example.net\n\nbeing written\n");
  const int writer = ::open((drop + "/m.eml").c_str(), O_RDONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  service.SetRelayFunction(RelayMessageFile);  // the real one: its one read sees the lock
  service.FormCreate();
  service.WorkTimerTimer();
  advance = std::chrono::seconds(299);
  service.WorkTimerTimer();
  EXPECT_FALSE(service.RunEnded());
  EXPECT_EQ(LogLines().back(), "Ошибка при обработке email\"а!") << "taken up again, not deferred";
  advance = std::chrono::seconds(301);
  service.WorkTimerTimer();
  EXPECT_EQ(LogLines().back().rfind("Файл m.eml отложен до ", 0), 0u) << LogLines().back();
  EXPECT_NE(LogLines().back().find("файл занят другим процессом"), std::string::npos);
  service.WorkTimerTimer();
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 75);
  ::close(writer);
  EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml"));
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
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\nDelete_or_move=1\n");
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_EQ(LogLinesFrom(2), (std::vector<std::string>{"Отправка писем выключена (send_mail=0): письма не отправляются, файлы удаляются",
                                                       "Просмотр папки " + drop + "/", "Найден файл m.eml",
                                                       "Файл m.eml успешно удален"}));
  EXPECT_EQ(ReadFile(folder / "drop-decoy.eml"), "not ours");
}

TEST_F(RelayServiceTest, TemporaryFailureIsDeferredWithGrowingWaitsAcrossRuns) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/a.eml", "x");
  WriteFile(drop + "/b.eml", "y");
  std::vector<std::string> relayed;
  const auto failA = [&](const RelayContext&, const std::string&, const std::string& name) {
    relayed.push_back(name);
    return name != "a.eml";  // a.eml fails for now, b.eml goes
  };
  service.SetRelayFunction(failA);
  service.FormCreate();
  for (int i = 0; i < 4 && !service.RunEnded(); ++i) service.WorkTimerTimer();
  std::sort(relayed.begin(), relayed.end());
  EXPECT_EQ(relayed, (std::vector<std::string>{"a.eml", "b.eml"})) << "a failing file holds up no other";
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 75);
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines.back(), "Нет новых файлов");
  EXPECT_EQ(lines[lines.size() - 2].rfind("Файл a.eml ожидает повторной попытки до ", 0), 0u) << lines[lines.size() - 2];
  EXPECT_TRUE(std::filesystem::exists(drop + "/a.eml"));
  EXPECT_FALSE(std::filesystem::exists(drop + "/b.eml"));
  service.FormDestroy();

  // The waiting state survives the run: a new run before the due time leaves the file alone, one
  // after it tries again and then waits twice as long.
  const auto base = kBase;
  const auto run = [&](std::chrono::seconds later) {
    FakeHost runHost;
    RelayService next(platform::ProgramFiles{ini, folder / "relay.log"}, runHost, nullptr);
    next.SetFolderDefaults(TestDefaults(folder));
    next.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    next.SetWallClock([base, later] { return base + later; });
    next.SetRelayFunction(failA);
    next.FormCreate();
    for (int i = 0; i < 3 && !next.RunEnded(); ++i) next.WorkTimerTimer();
    std::string deferredLine;
    for (const std::string& line : next.Log().Lines()) {
      if (Cp1251ToUtf8(line).find("отложен до") != std::string::npos) deferredLine = Cp1251ToUtf8(line);
    }
    EXPECT_EQ(next.ExitStatus(), 75);
    next.FormDestroy();
    return deferredLine;
  };
  relayed.clear();
  run(std::chrono::seconds(30));
  EXPECT_TRUE(relayed.empty());
  const std::string second = run(std::chrono::seconds(61));
  EXPECT_EQ(relayed, std::vector<std::string>{"a.eml"});
  EXPECT_NE(second.find("(попытка 2): временная ошибка отправки"), std::string::npos) << second;
  relayed.clear();
  run(std::chrono::seconds(61 + 119));
  EXPECT_TRUE(relayed.empty()) << "the second wait is two minutes";
  run(std::chrono::seconds(61 + 121));
  EXPECT_EQ(relayed, std::vector<std::string>{"a.eml"});
}

// Files are taken in name order; the end of a run lists up to ten waiting files, more in one line.
TEST_F(RelayServiceTest, WaitingFilesAreTakenInNameOrderAndListedOrSummed) {
  for (const std::size_t count : {std::size_t{10}, std::size_t{11}}) {
    SCOPED_TRACE(count);
    TempFolder caseFolder;
    const std::string caseDrop = caseFolder / "drop";
    ASSERT_EQ(::mkdir(caseDrop.c_str(), 0755), 0);
    std::vector<std::string> names;
    for (std::size_t i = count; i > 0; --i) {
      names.push_back("m" + std::to_string(100 + i) + ".eml");
      WriteFile(caseDrop + "/" + names.back(), "x");  // written in reverse order
    }
    std::sort(names.begin(), names.end());
    WriteFile(caseFolder / "relay.ini", "[System]\nSmtp_DropMail_path=" + caseDrop + "\nDelete_or_move=1\n");
    FakeHost caseHost;
    RelayService caseService(platform::ProgramFiles{caseFolder / "relay.ini", caseFolder / "relay.log"}, caseHost,
                             nullptr);
    caseService.SetFolderDefaults(TestDefaults(folder));
    caseService.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
    caseService.SetWallClock([] { return kBase; });
    std::vector<std::string> relayed;
    caseService.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string& name) {
      relayed.push_back(name);
      return false;
    });
    caseService.FormCreate();
    for (std::size_t i = 0; i <= count && !caseService.RunEnded(); ++i) caseService.WorkTimerTimer();
    EXPECT_EQ(relayed, names);
    EXPECT_EQ(caseService.ExitStatus(), 75);
    std::vector<std::string> tail;
    for (const std::string& line : caseService.Log().Lines()) {
      const std::string text = Cp1251ToUtf8(line);
      tail.push_back(text.size() > kStamp.size() ? text.substr(kStamp.size()) : text);
    }
    ASSERT_EQ(tail.back(), "Нет новых файлов");
    const std::size_t waitingLines = static_cast<std::size_t>(std::count_if(tail.begin(), tail.end(), [](const std::string& l) {
      return l.find(" ожидает повторной попытки до ") != std::string::npos;
    }));
    const std::string due = FormatLogTimestampOf(Seconds(kBase) + 60);
    if (count <= 10) {
      EXPECT_EQ(waitingLines, count);
      EXPECT_EQ(tail[tail.size() - 2], "Файл " + names.back() + " ожидает повторной попытки до " + due);
    } else {
      EXPECT_EQ(waitingLines, 0u);
      EXPECT_EQ(tail[tail.size() - 2], "Ожидают повторной попытки файлов: 11, ближайшая в " + due);
    }
    caseService.FormDestroy();
  }
}

TEST_F(RelayServiceTest, RetryWaitsDoubleUpToAnHour) {
  EXPECT_EQ(RetryWaitSeconds(1), 60);
  EXPECT_EQ(RetryWaitSeconds(2), 120);
  EXPECT_EQ(RetryWaitSeconds(6), 1920);
  EXPECT_EQ(RetryWaitSeconds(7), 3600);
  EXPECT_EQ(RetryWaitSeconds(1000), 3600);
}

TEST_F(RelayServiceTest, PermanentFailureIsQuarantinedAndTheRunGoesOn) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/bad.eml", "new bad");
  WriteFile(drop + "/good.eml", "fine");
  ASSERT_EQ(::mkdir((folder / "failed").c_str(), 0755), 0);
  WriteFile(folder / "failed/bad.eml", "older bad, still waiting for a person");
  service.SetRelayFunction([](const RelayContext&, const std::string&, const std::string& name) {
    if (name == "bad.eml") return RelayOutcome(Outcome::kRefused, "550 5.1.1 <x@corp.example>: \x1b[2Jno such user");
    return RelayOutcome(true);
  });
  service.FormCreate();
  for (int i = 0; i < 4 && !service.RunEnded(); ++i) service.WorkTimerTimer();
  EXPECT_EQ(service.ExitStatus(), 0);
  const std::vector<std::string> lines = LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Файл bad.eml перемещен в карантин " + (folder / "failed/") +
                          ": сервер окончательно отказал в приеме"),
            lines.end());
  EXPECT_EQ(ReadFile(folder / "failed/bad.eml"), "older bad, still waiting for a person");
  EXPECT_EQ(ReadFile(folder / "failed/bad.eml.1"), "new bad");
  EXPECT_TRUE(std::filesystem::is_empty(drop));
  // The reason stays beside the file; the server's reply cannot bring an escape sequence along.
  const std::string localTime = FormatLogTimestampOf(Seconds(kBase));
  EXPECT_EQ(ReadFile(folder / "failed/bad.eml.1.reason"),
            "time=4102444800\nlocal_time=" + localTime +
                "\noutcome=refused\ndelivered=no\nreason=сервер окончательно отказал в приеме\n"
                "reply=550 5.1.1 <x@corp.example>: ?[2Jno such user\n");
  EXPECT_EQ(std::filesystem::status(folder / "failed/bad.eml.1.reason").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
  EXPECT_FALSE(std::filesystem::exists(folder / "failed/bad.eml.reason")) << "the older file's reason is not touched";
}

// The maximum age counts between attempts: a due file past it is tried once more and set aside when
// it fails again; one not due waits (a clock that jumped forward expires nothing by itself), and no
// record parks a file for ever.
TEST_F(RelayServiceTest, DeferralRecordsAgeBetweenAttemptsAndParkNoFile) {
  const std::int64_t now = Seconds(kBase);
  struct Case {
    const char* name;
    std::int64_t firstFailure;
    std::int64_t nextDue;
    std::string lastLine;
  };
  const Case cases[] = {
      {"due after five days of failing, fails again", now - 5 * 86400 - 10, now - 1,
       "Файл m.eml перемещен в карантин " + (folder / "held/") + ": истек срок ожидания в очереди, дней: 5 (временная ошибка отправки)"},
      {"past the age but not due", now - 5 * 86400, now + 86400,
       "Файл m.eml ожидает повторной попытки до " + FormatLogTimestampOf(now + 3600)},
      {"due ten years ahead", now - 10, now + 10 * 365 * 86400,
       "Файл m.eml ожидает повторной попытки до " + FormatLogTimestampOf(now + 3600)},
  };
  WriteConfig("Delete_or_move=1\nmax_queue_days=5\nfailed_path=" + (folder / "held") + "\n");
  int relays = 0;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
    ++relays;
    return false;
  });
  service.FormCreate();
  RelayQueue queue(folder / "drop.droprelay-state/");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(drop + "/m.eml", "x");
    const auto facts = platform::EntryFacts(drop + "/m.eml");
    ASSERT_TRUE(facts);
    ASSERT_TRUE(queue.SaveDeferral("m.eml", Deferral{*facts, c.firstFailure, c.nextDue, 9, Outcome::kNoConnection,
                                                     texts::OutcomeReason(Outcome::kNoConnection)}));
    service.WorkTimerTimer();
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines.back() == "Нет новых файлов" ? lines[lines.size() - 2] : lines.back(), c.lastLine);
    if (lines.back() != "Нет новых файлов") {
      EXPECT_EQ(ReadFile(folder / "held/m.eml"), "x");
      EXPECT_FALSE(queue.FindDeferral("m.eml", *facts)) << "the record goes with the file";
      ::unlink((folder / "held/m.eml").c_str());
      ::unlink((folder / "held/m.eml.reason").c_str());
    }
  }
  EXPECT_EQ(relays, 1) << "only the due one is tried";
}

TEST_F(RelayServiceTest, AcceptedFileFoundAgainIsDisposedOfWithoutSending) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/sent.eml", "accepted before a crash");
  WriteFile(drop + "/reused.eml", "a new message under an old name");
  RelayQueue queue(folder / "drop.droprelay-state/");
  ASSERT_TRUE(queue.Prepare());
  const auto sentFacts = platform::EntryFacts(drop + "/sent.eml");
  ASSERT_TRUE(sentFacts);
  ASSERT_TRUE(queue.RecordAccepted("sent.eml", *sentFacts));
  platform::FileFacts old = *platform::EntryFacts(drop + "/reused.eml");
  old.size += 1;  // the file that stood under this name before
  ASSERT_TRUE(queue.RecordAccepted("reused.eml", old));

  std::vector<std::string> relayed;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string& name) {
    relayed.push_back(name);
    return true;
  });
  service.FormCreate();
  for (int i = 0; i < 4 && !service.RunEnded(); ++i) service.WorkTimerTimer();
  EXPECT_EQ(relayed, std::vector<std::string>{"reused.eml"});
  const std::vector<std::string> lines = LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Файл sent.eml уже принят к отправке ранее, повторно не отправляется"),
            lines.end());
  EXPECT_TRUE(std::filesystem::is_empty(drop));
  EXPECT_TRUE(std::filesystem::is_empty(folder / "drop.droprelay-state/sent")) << "records go after the disposal";
}

// What the journal note found for a file decides whether it may be sent, and how often.
TEST_F(RelayServiceTest, JournalNotesBoundWhatIsSentAgain) {
  struct Case {
    const char* name;
    std::string note;     // the note's text before the run ("" none, "/" a folder); %F the facts
    Outcome relayAnswer;  // what the relay step answers when it is called
    int relays;           // how often the relay step may be called
    const char* where;    // where the file ends: "drop", "archive" or "failed"
    const char* token;    // the reason file's outcome when quarantined
    std::string noteAfter;  // the note's start afterwards ("" none)
  };
  const Case cases[] = {
      {"accepted by an earlier version", "%F", Outcome::kDelivered, 0, "archive", "", ""},
      {"accepted", "A 0 0 %F", Outcome::kDelivered, 0, "archive", "", ""},
      {"accepted, for another file of that name", "A 0 0 1 2 3 4", Outcome::kDelivered, 1, "archive", "", ""},
      {"killed once while working on it", "W 0 0 %F", Outcome::kDelivered, 1, "archive", "", ""},
      {"killed twice", "W 1 0 %F", Outcome::kDelivered, 0, "failed", "killed-twice", ""},
      {"killed while sending: tried once more", "F 0 0 %F", Outcome::kDelivered, 1, "archive", "", ""},
      {"killed while sending, twice", "F 0 1 %F", Outcome::kDelivered, 0, "failed", "maybe-delivered", ""},
      {"no answer once", "", Outcome::kUncertain, 1, "drop", "", "U 0 1 "},
      {"no answer a second time", "U 0 1 %F", Outcome::kUncertain, 1, "failed", "maybe-delivered", ""},
      {"a 4xx after an earlier uncertain one keeps the count", "U 0 1 %F", Outcome::kServerBusy, 1, "drop", "",
       "D 0 1 "},
      {"a 4xx alone leaves no note", "", Outcome::kServerBusy, 1, "drop", "", ""},
      {"unreadable note", "garbage", Outcome::kDelivered, 0, "failed", "journal-unreadable", ""},
      {"empty note", "\n", Outcome::kDelivered, 0, "failed", "journal-unreadable", ""},
      {"a folder at the note's name", "/", Outcome::kDelivered, 0, "failed", "journal-unreadable", ""},
  };
  WriteConfig("");
  service.FormCreate();
  const std::string sent = folder / "drop.droprelay-state/sent/";
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A name of its own: what the run remembers of one case does not reach the next.
    const std::string m = "m" + std::to_string(++index) + ".eml";
    WriteFile(drop + "/" + m, "x");
    const auto facts = platform::EntryFacts(drop + "/" + m);
    ASSERT_TRUE(facts);
    const std::string factsText = std::to_string(facts->device) + " " + std::to_string(facts->inode) + " " +
                                  std::to_string(facts->size) + " " + std::to_string(facts->mtimeNs);
    if (c.note == "/") {
      ASSERT_EQ(::mkdir((sent + m).c_str(), 0700), 0);
    } else if (!c.note.empty()) {
      std::string text = c.note;
      if (const std::size_t at = text.find("%F"); at != std::string::npos) text.replace(at, 2, factsText);
      WriteFile(sent + m, text + "\n");
    }
    int relays = 0;
    service.SetRelayFunction([&](const RelayContext& context, const std::string&, const std::string&) {
      ++relays;
      // Like the real step: noted before the data goes out, and the answer right after.
      EXPECT_TRUE((*context.beforeSending)(*facts));
      RelayOutcome outcome(c.relayAnswer);
      (*context.afterSending)(outcome);
      return outcome;
    });
    service.WorkTimerTimer();
    EXPECT_EQ(relays, c.relays);
    EXPECT_EQ(std::filesystem::exists(drop + "/" + m), std::string(c.where) == "drop");
    EXPECT_EQ(std::filesystem::exists(archive + m), std::string(c.where) == "archive");
    EXPECT_EQ(std::filesystem::exists(folder / ("failed/" + m)), std::string(c.where) == "failed");
    if (std::string(c.where) == "failed") {
      EXPECT_NE(ReadFile(folder / ("failed/" + m + ".reason")).find(std::string("outcome=") + c.token + "\n"),
                std::string::npos);
    }
    if (std::string(c.where) == "drop") {
      // The deferral keeps what happened last, for the queue listing and the run report.
      const std::optional<Deferral> waiting = RelayQueue(folder / "drop.droprelay-state/").FindDeferral(m, *facts);
      ASSERT_TRUE(waiting);
      EXPECT_EQ(waiting->lastOutcome, c.relayAnswer);
      EXPECT_EQ(waiting->lastReason, texts::OutcomeReason(c.relayAnswer));
    }
    if (c.noteAfter.empty()) {
      EXPECT_FALSE(std::filesystem::exists(sent + m));
    } else {
      EXPECT_EQ(ReadFile(sent + m).substr(0, c.noteAfter.size()), c.noteAfter);
    }
    if (c.note == "/") {
      EXPECT_TRUE(std::filesystem::is_directory(sent + ".aside-" + m)) << "moved out of every later file's way";
    }
    // Clean slate for the next case.
    std::filesystem::remove_all(sent + ".aside-" + m);
    std::filesystem::remove(sent + m);
    std::filesystem::remove(drop + "/" + m);
    std::filesystem::remove(archive + m);
    std::filesystem::remove(folder / ("failed/" + m));
    std::filesystem::remove(folder / ("failed/" + m + ".reason"));
    std::filesystem::remove_all(folder / "drop.droprelay-state/queue");
    std::filesystem::create_directory(folder / "drop.droprelay-state/queue");
  }
}

// Start-up tidies what killed runs of this relay left, and finishes what they could not note.
TEST_F(RelayServiceTest, StartUpRemovesOwnLeftoversAndDisposesOfMarkedFiles) {
  const std::string temp = folder / "t/";
  WriteConfig("temppath=" + temp + "\n");
  WriteFile(drop + "/m.eml", "x");
  std::string prefix;
  service.SetRelayFunction([&](const RelayContext& context, const std::string&, const std::string&) {
    prefix = *context.privatePrefix;
    std::filesystem::create_directories(context.TempFolder + prefix + "killed/");
    WriteFile(context.TempFolder + prefix + "killed/attachment.pdf", "left by a killed run");
    return RelayOutcome(Outcome::kServerBusy);
  });
  service.FormCreate();
  service.WorkTimerTimer();
  service.FormDestroy();
  ASSERT_EQ(prefix.rfind("droprelay-", 0), 0u);
  ASSERT_TRUE(std::filesystem::exists(temp + prefix + "killed/attachment.pdf"));
  std::filesystem::create_directories(temp + "droprelay-0123abcd-other/");  // another relay's
  WriteFile(folder / "drop.droprelay-state/sent/.tmp-5f3a", "half a note");
  // Probes of a run killed while it proved its folders writable, in each of them: in the state
  // folder under the common prefix, in the shared ones under the relay's own.
  const std::vector<std::string> probed = {folder / "drop.droprelay-state/.droprelay-probe-1a2b3c",
                                           folder / "drop.droprelay-state/sent/.droprelay-probe-1a2b3c",
                                           folder / "drop.droprelay-state/queue/.droprelay-probe-1a2b3c",
                                           temp + "." + prefix + "probe-1a2b3c", archive + "." + prefix + "probe-1a2b3c",
                                           folder / "failed/" + "." + prefix + "probe-1a2b3c"};
  for (const std::string& place : probed) WriteFile(place, "xxxx");
  WriteFile(temp + ".droprelay-probe-of-another-relay", "not ours");
  // Accepted by the server, but neither noted nor disposed of by the run that sent it.
  WriteFile(drop + "/.droprelay-accepted-sent.eml", "accepted");

  FakeHost nextHost;
  RelayService next(platform::ProgramFiles{ini, folder / "relay.log"}, nextHost, nullptr);
  next.SetFolderDefaults(TestDefaults(folder));
  next.SetDateTimeSource([] { return LocalDateTime{2026, 12, 7, 9, 5, 3}; });
  next.SetWallClock([] { return kBase; });
  int relays = 0;
  next.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
    ++relays;
    return true;
  });
  next.FormCreate();
  EXPECT_FALSE(std::filesystem::exists(temp + prefix + "killed"));
  EXPECT_TRUE(std::filesystem::exists(temp + "droprelay-0123abcd-other/"));
  EXPECT_FALSE(std::filesystem::exists(folder / "drop.droprelay-state/sent/.tmp-5f3a"));
  for (const std::string& place : probed) EXPECT_FALSE(std::filesystem::exists(place)) << place;
  EXPECT_TRUE(std::filesystem::exists(temp + ".droprelay-probe-of-another-relay"));
  EXPECT_FALSE(std::filesystem::exists(drop + "/.droprelay-accepted-sent.eml"));
  EXPECT_EQ(ReadFile(archive + "sent.eml"), "accepted") << "archived under its own name";
  EXPECT_EQ(relays, 0) << "never sent again";
  next.FormDestroy();
}

TEST_F(RelayServiceTest, ANoteThatCannotBeWrittenEndsTheRunWith73BeforeAnythingIsSent) {
  WriteConfig("");
  WriteFile(drop + "/m.eml", "x");
  int relays = 0;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
    ++relays;
    return true;
  });
  service.FormCreate();
  // The journal goes bad after the start-up check.
  std::filesystem::remove_all(folder / "drop.droprelay-state/sent");
  WriteFile(folder / "drop.droprelay-state/sent", "a file where the journal folder should be");
  service.WorkTimerTimer();
  EXPECT_TRUE(service.RunEnded());
  EXPECT_EQ(service.ExitStatus(), 73);
  EXPECT_EQ(relays, 0);
  EXPECT_EQ(ReadFile(drop + "/m.eml"), "x");
  EXPECT_EQ(LogLines().back().rfind("Ошибка записи в папку состояния ", 0), 0u) << LogLines().back();
  EXPECT_NE(errors.str().find("state folder"), std::string::npos);
}

TEST_F(RelayServiceTest, AcceptanceIsRecordedBeforeTheFileIsTouched) {
  WriteConfig("Delete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  BusyFileSystem busy;
  service.SetFileSystem(busy);
  bool recordedAtFirstAttempt = false;
  sleeper.onWait = [&](std::size_t) {
    if (sleeper.waits.size() == 1) {
      recordedAtFirstAttempt = std::filesystem::exists(folder / "drop.droprelay-state/sent/m.eml");
    }
  };
  service.FormCreate();
  service.WorkTimerTimer();
  EXPECT_TRUE(recordedAtFirstAttempt);
  EXPECT_TRUE(std::filesystem::exists(folder / "drop.droprelay-state/sent/m.eml")) << "kept: the file is still there";
}

TEST_F(RelayServiceTest, RelayStepReachesSettingsAndLog) {
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\ndomain_name=corp.example\ntemppath=" +
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
  EXPECT_EQ(LogLines()[LogLines().size() - 2], "from the relay step");
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

// A relayed file that cannot be deleted (busy) or moved (the archive broke after the start): a
// hundred attempts, one line each, a second apart; then it waits as accepted, is never sent again,
// and a run with nothing else left ends with 73 and an error line for it.
TEST_F(RelayServiceTest, AFileThatCannotBeDisposedOfIsTriedAHundredTimesAndWaitsAccepted) {
  struct Case {
    const char* keys;
    bool busy;           // deletes fail with EBUSY
    bool brokenArchive;  // a file takes the archive's place after the start
    const char* line;
  };
  const Case cases[] = {
      {"Delete_or_move=1\n", true, false, "Файл m.eml удалить НЕ УДАЛОСЬ! (Device or resource busy)"},
      {"Delete_or_move=0\n", false, true, "Файл m.eml переместить НЕ УДАЛОСЬ! (Not a directory)"},
  };
  for (const Case& c : cases) {
    const TempFolder caseFolder;
    const std::string caseDrop = caseFolder / "drop";
    ASSERT_EQ(::mkdir(caseDrop.c_str(), 0755), 0);
    WriteFile(caseFolder / "relay.ini", "[System]\nSmtp_DropMail_path=" + caseDrop + "/\nmoveto_path=" +
                                            (caseFolder / "archive/relayed/") + "\ntemppath=" + (caseFolder / "tmp/") +
                                            "\n" + c.keys);
    WriteFile(caseDrop + "/m.eml", "x");
    FakeHost caseHost;
    RelayService caseService(platform::ProgramFiles{caseFolder / "relay.ini", caseFolder / "relay.log"}, caseHost, nullptr);
    caseService.SetFolderDefaults(TestDefaults(caseFolder));
    caseService.SetWallClock([] { return kBase; });
    caseService.SetErrorStream(errors);
    int relayed = 0;
    caseService.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
      ++relayed;
      return RelayOutcome(true);
    });
    BusyFileSystem busy;
    if (c.busy) caseService.SetFileSystem(busy);
    caseService.FormCreate();
    if (c.brokenArchive) {
      std::filesystem::remove_all(caseFolder / "archive");
      WriteFile(caseFolder / "archive", "a file where a folder should be");
    }
    sleeper.waits.clear();
    const std::size_t start = caseService.Log().Lines().size();
    caseService.WorkTimerTimer();
    std::vector<std::string> lines;
    for (std::size_t i = start; i < caseService.Log().Lines().size(); ++i) {
      lines.push_back(Cp1251ToUtf8(caseService.Log().Lines()[i]).substr(kStamp.size()));
    }
    ASSERT_EQ(lines.size(), 102u) << c.keys;  // the scan, 100 attempts, the deferral
    for (std::size_t i = 1; i <= 100; ++i) EXPECT_EQ(lines[i], c.line) << c.keys;
    EXPECT_EQ(lines.back().rfind("Файл m.eml отложен до ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find("(попытка 1): файл не удалось удалить/переместить"), std::string::npos);
    // One second between failed attempts, none after the last.
    EXPECT_EQ(sleeper.waits, std::vector<std::uint32_t>(99, 1000)) << c.keys;
    EXPECT_EQ(ReadFile(caseDrop + "/m.eml"), "x");
    // Not taken again in this run: the error line for the accepted message, then 73.
    caseService.WorkTimerTimer();
    EXPECT_TRUE(caseService.RunEnded());
    EXPECT_EQ(caseService.ExitStatus(), 73) << c.keys;
    const std::string waiting = Cp1251ToUtf8(caseService.Log().Lines()[caseService.Log().Lines().size() - 2]);
    EXPECT_NE(waiting.find("Файл m.eml принят сервером, но не удален/перемещен; следующая попытка в "), std::string::npos)
        << waiting;
    EXPECT_EQ(relayed, 1) << "sent once";
    caseService.FormDestroy();
  }
}

// Delete_or_move is read again on every attempt; the folders are the run's own, and an INI that
// names others during the run is told once and waits for the next run.
TEST_F(RelayServiceTest, DeleteOrMoveIsReadAgainOnEveryAttemptFoldersOnlyAtTheNextRun) {
  WriteConfig("Delete_or_move=0\n");
  WriteFile(drop + "/m.eml", "x");
  WriteFile(drop + "/n.eml", "y");
  BusyFileSystem busy;
  busy.failMoves = 1;
  busy.failDeletes = 0;
  service.SetFileSystem(busy);
  const std::string runArchive = archive;
  sleeper.onWait = [&](std::size_t) {
    // Between the attempts the administrator points the archive elsewhere and switches to deleting.
    archive = folder / "elsewhere/";
    WriteConfig("Delete_or_move=1\n");
  };
  service.FormCreate();
  service.WorkTimerTimer();
  std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines[lines.size() - 2], "Файл m.eml переместить НЕ УДАЛОСЬ! (Device or resource busy)");
  EXPECT_EQ(lines.back(), "Файл m.eml успешно удален");
  WriteConfig("Delete_or_move=0\n");
  service.WorkTimerTimer();
  lines = LogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Папки в файле настроек изменены, новые значения действуют со следующего запуска; сейчас: " +
                           drop + "/"),
            1);
  EXPECT_EQ(lines.back(), "Файл n.eml успешно перемещен в " + runArchive);
  EXPECT_EQ(ReadFile(runArchive + "n.eml"), "y");
  EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
}

TEST_F(RelayServiceTest, EmptyArchiveSettingStopsDisposalWithTheErrorLines) {
  // Deleting at the start, which needs no archive; moving with none named by the time of the file.
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=\nDelete_or_move=1\n");
  WriteFile(drop + "/m.eml", "x");
  service.FormCreate();
  WriteFile(ini, "[System]\nSmtp_DropMail_path=" + drop + "\nmoveto_path=\nDelete_or_move=0\n");
  service.WorkTimerTimer();
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines[lines.size() - 3], "No such file or directory");
  EXPECT_EQ(lines[lines.size() - 2], "Ошибка при удалении/перемещении файла!");
  EXPECT_TRUE(std::filesystem::exists(drop + "/m.eml"));
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayServiceTest, LinksAndPipesAreQuarantinedThemselves) {
  WriteConfig("");
  WriteFile(folder / "target.txt", "not a message of ours");
  ASSERT_EQ(::symlink((folder / "target.txt").c_str(), (drop + "/link.eml").c_str()), 0);
  ASSERT_EQ(::mkfifo((drop + "/pipe.eml").c_str(), 0600), 0);
  int relays = 0;
  service.SetRelayFunction([&](const RelayContext&, const std::string&, const std::string&) {
    ++relays;
    return true;
  });
  service.FormCreate();
  service.WorkTimerTimer();
  service.WorkTimerTimer();
  EXPECT_EQ(relays, 0);
  const std::vector<std::string> lines = LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Файл link.eml перемещен в карантин " + (folder / "failed/") + ": не является обычным файлом"),
            lines.end());
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "failed/link.eml"));
  EXPECT_EQ(std::filesystem::status(folder / "failed/pipe.eml").type(), std::filesystem::file_type::fifo);
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
