// The start-up correction of the notification time: the time rule, the guard around the query, and
// the whole correction against a real PostgreSQL server through psqlODBC.
#include "app/schedule_correction.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "../common/pg_server.h"
#include "platform/odbc.h"
#include "platform/syserror.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using droprelay::testing::PgServer;

struct TimeCase {
  int hour;
  int minute;
  int scheduled;
  const char* logged;
};

// Log lines of a run, in Windows-1251 as the relay writes them.
struct LogRecorder {
  std::vector<std::string> lines;
  LogFunction function() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

TEST(ScheduledTimeFor, NextHalfOrFullHour) {
  const TimeCase cases[] = {
      {9, 0, 93000, "093000"},  {9, 10, 93000, "093000"}, {9, 30, 93000, "093000"},
      {9, 31, 100000, "100000"}, {9, 45, 100000, "100000"}, {0, 5, 3000, "003000"},
      {0, 0, 3000, "003000"},   {12, 59, 130000, "130000"}, {23, 30, 233000, "233000"},
      // After 23:30 the next full hour is midnight of the next day, not 24:00:00.
      {23, 31, 0, "000000"},    {23, 45, 0, "000000"},     {23, 59, 0, "000000"},
  };
  for (const TimeCase& c : cases) {
    EXPECT_EQ(ScheduledTimeFor({c.hour, c.minute}), c.scheduled) << c.hour << ":" << c.minute;
  }
}

// A query that can fail at any step, to see the guard close it every time.
class ScriptedQuery : public platform::RecordQuery {
 public:
  enum Step { kNone, kOpen, kUpdate };
  Step failAt = kNone;
  bool empty = false;
  std::vector<std::string> calls;

  void Open(const std::string& connectionString, const std::string& sql) override {
    calls.push_back("open " + connectionString + " " + sql);
    if (failAt == kOpen) Fail("server gone");
  }
  bool IsEmpty() const override { return empty; }
  void UpdateInt32(std::string_view field, std::int32_t value) override {
    calls.push_back("update " + std::string(field) + "=" + std::to_string(value));
    if (failAt == kUpdate) Fail("update refused");
  }
  void Close() noexcept override { calls.push_back("close"); }

 private:
  static void Fail(const std::string& text) {
    platform::SetLastErrorText(text);
    throw platform::DatabaseFailure(text);
  }
};

TEST(CorrectScheduledTime, ClosesTheQueryWhateverHappens) {
  {
    ScriptedQuery query;
    LogRecorder log;
    CorrectScheduledTime("DSN=ps", {9, 10}, log.function(), query);
    EXPECT_EQ(query.calls, (std::vector<std::string>{"open DSN=ps SELECT * FROM MSP_WEB_ADMIN",
                                                     "update WADMIN_NPE_SCHEDULED_TIME=93000", "close"}));
    EXPECT_EQ(log.lines, (std::vector<std::string>{texts::NewScheduleTime() + "093000"}));
  }
  {
    ScriptedQuery query;
    query.empty = true;
    LogRecorder log;
    CorrectScheduledTime("DSN=ps", {9, 10}, log.function(), query);
    EXPECT_EQ(query.calls.back(), "close");
    EXPECT_EQ(query.calls.size(), 2u);  // opened and closed, nothing written
    EXPECT_TRUE(log.lines.empty());
  }
  for (const ScriptedQuery::Step step : {ScriptedQuery::kOpen, ScriptedQuery::kUpdate}) {
    const std::vector<std::string> failure{step == ScriptedQuery::kOpen ? "server gone" : "update refused",
                                           texts::DatabaseError()};
    ScriptedQuery query;
    query.failAt = step;
    LogRecorder log;
    CorrectScheduledTime("DSN=ps", {9, 10}, log.function(), query);
    EXPECT_EQ(query.calls.back(), "close");
    EXPECT_EQ(log.lines, failure);
    // With a log of its own for errors, the failure goes there and nothing else does.
    ScriptedQuery again;
    again.failAt = step;
    LogRecorder info;
    LogRecorder errors;
    CorrectScheduledTime("DSN=ps", {9, 10}, info.function(), errors.function(), again);
    EXPECT_TRUE(info.lines.empty());
    EXPECT_EQ(errors.lines, failure);
  }
  {
    ScriptedQuery query;
    LogRecorder info;
    LogRecorder errors;
    CorrectScheduledTime("DSN=ps", {9, 10}, info.function(), errors.function(), query);
    EXPECT_EQ(info.lines, (std::vector<std::string>{texts::NewScheduleTime() + "093000"}));
    EXPECT_TRUE(errors.lines.empty());
  }
  {
    // A log that throws cannot make the correction throw.
    ScriptedQuery query;
    query.failAt = ScriptedQuery::kUpdate;
    EXPECT_NO_THROW(CorrectScheduledTime("DSN=ps", {9, 10}, [](const std::string&) { throw std::runtime_error("x"); },
                                         query));
    EXPECT_EQ(query.calls.back(), "close");
  }
}

// One server for all cases: ctest runs every test in a process of its own, and a server per case
// would dominate the suite's time.
class ScheduleCorrectionOnPostgres {
 public:
  explicit ScheduleCorrectionOnPostgres(PgServer& shared) : server(&shared) {}


  // MSP_WEB_ADMIN without a key: a few fields around the scheduled time, rows in the order given.
  void CreateAdminTable(const std::string& rows) {
    // One psql run: each costs a process start.
    server->Sql("DROP TABLE IF EXISTS MSP_WEB_ADMIN; "
                "CREATE TABLE MSP_WEB_ADMIN (WADMIN_CURRENT_VERSION varchar(20), WADMIN_NPE_SCHEDULED_TIME integer, "
                "WADMIN_NPE_INTERVAL integer); " +
                (rows.empty() ? std::string() : "INSERT INTO MSP_WEB_ADMIN VALUES " + rows + "; ") +
                "GRANT ALL ON MSP_WEB_ADMIN TO " + PgServer::kUser);
  }

  std::string Rows() {
    return server->Sql("SELECT WADMIN_CURRENT_VERSION, WADMIN_NPE_SCHEDULED_TIME, WADMIN_NPE_INTERVAL FROM "
                       "MSP_WEB_ADMIN ORDER BY 1, 2, 3");
  }

  // The log of one correction; it must be exactly the two error lines, and the first the driver's.
  static std::vector<std::string> FailedRun(const std::string& connectionString) {
    LogRecorder log;
    CorrectScheduledTime(connectionString, {9, 0}, log.function());
    EXPECT_EQ(log.lines.size(), 2u);
    if (log.lines.size() == 2) {
      EXPECT_EQ(log.lines[1], texts::DatabaseError());
      EXPECT_EQ(log.lines[0], platform::SystemErrorText());
      EXPECT_NE(log.lines[0], "");
    }
    return log.lines;
  }

  void WritesTheNewTimeIntoTheFirstRowOnly();
  void EmptyTableChangesAndLogsNothing();
  void DatabaseErrorsGiveTheTwoLinesAndNeverThePassword();

  PgServer* server;
};

void ScheduleCorrectionOnPostgres::WritesTheNewTimeIntoTheFirstRowOnly() {
  const TimeCase cases[] = {
      {9, 0, 93000, "093000"}, {9, 30, 93000, "093000"}, {9, 31, 100000, "100000"},
      {0, 5, 3000, "003000"},  {23, 45, 0, "000000"},
  };
  for (const TimeCase& c : cases) {
    // Rows 1 and 3 are the same in every field: only an update of the current row tells them apart.
    CreateAdminTable("('a', 120000, 1), ('b', 130000, 2), ('a', 120000, 1)");
    LogRecorder log;
    CorrectScheduledTime(server->OdbcString(), {c.hour, c.minute}, log.function());
    EXPECT_EQ(log.lines, (std::vector<std::string>{texts::NewScheduleTime() + c.logged})) << c.logged;
    EXPECT_EQ(Rows(), "a|" + std::to_string(c.scheduled) + "|1\na|120000|1\nb|130000|2\n");
  }

  // A first row that has no time yet gets one all the same.
  CreateAdminTable("('a', NULL, 1), ('b', NULL, 2)");
  LogRecorder log;
  CorrectScheduledTime(server->OdbcString(), {14, 40}, log.function());
  EXPECT_EQ(log.lines, (std::vector<std::string>{texts::NewScheduleTime() + "150000"}));
  EXPECT_EQ(Rows(), "a|150000|1\nb||2\n");
}

void ScheduleCorrectionOnPostgres::EmptyTableChangesAndLogsNothing() {
  CreateAdminTable("");
  LogRecorder log;
  CorrectScheduledTime(server->OdbcString(), {9, 0}, log.function());
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(Rows(), "");
}

void ScheduleCorrectionOnPostgres::DatabaseErrorsGiveTheTwoLinesAndNeverThePassword() {
  // Missing table.
  server->Sql("DROP TABLE IF EXISTS MSP_WEB_ADMIN");
  std::vector<std::string> lines = FailedRun(server->OdbcString());
  EXPECT_NE(lines.front().find("msp_web_admin"), std::string::npos) << lines.front();

  // Missing field.
  server->Sql("CREATE TABLE MSP_WEB_ADMIN (WADMIN_NPE_INTERVAL integer)");
  server->Sql("INSERT INTO MSP_WEB_ADMIN VALUES (5)");
  server->Sql(std::string("GRANT ALL ON MSP_WEB_ADMIN TO ") + PgServer::kUser);
  lines = FailedRun(server->OdbcString());
  EXPECT_NE(lines.front().find("WADMIN_NPE_SCHEDULED_TIME"), std::string::npos) << lines.front();
  EXPECT_EQ(server->Sql("SELECT * FROM MSP_WEB_ADMIN"), "5\n");

  // Refused login.
  const std::string wrongPassword = "N0t-the;Password";
  lines = FailedRun(server->OdbcString(PgServer::kUser, wrongPassword));
  EXPECT_NE(lines.front().find("password authentication failed"), std::string::npos) << lines.front();

  // Unreachable server.
  lines = FailedRun("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" +
                    std::to_string(droprelay::testing::UnusedPort()) + ";Database=postgres;UID=relay;PWD=" +
                    PgServer::kPassword);
  EXPECT_NE(lines.front().find("Connection refused"), std::string::npos) << lines.front();

  // The relay's default string goes to FreeTDS, which finds no SQL Server on this machine.
  lines = FailedRun(
      "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=ProjectServer;"
      "Data Source=localhost");
  EXPECT_EQ(lines.front().rfind("[FreeTDS]", 0), 0u) << lines.front();

  // A password refused by a server that names the user, by one that does not know the user, and
  // by the driver manager: in no case does it reach the log.
  const std::string password = "Quoted-Pw-4471";
  LogRecorder log;
  CorrectScheduledTime(server->OdbcString("no_such_user", password), {9, 0}, log.function());
  CorrectScheduledTime(server->OdbcString(PgServer::kUser, password), {9, 0}, log.function());
  CorrectScheduledTime("DSN=NoSuchDsn;UID=u;PWD=" + password, {9, 0}, log.function());
  ASSERT_EQ(log.lines.size(), 6u);
  for (const std::string& line : log.lines) EXPECT_EQ(line.find(password), std::string::npos) << line;
}

TEST(ScheduleCorrection, AgainstPostgres) {
  PgServer server;
  ScheduleCorrectionOnPostgres db(server);
  {
    SCOPED_TRACE("first row only");
    db.WritesTheNewTimeIntoTheFirstRowOnly();
  }
  {
    SCOPED_TRACE("empty table");
    db.EmptyTableChangesAndLogsNothing();
  }
  {
    SCOPED_TRACE("database errors");
    db.DatabaseErrorsGiveTheTwoLinesAndNeverThePassword();
  }
}

}  // namespace
}  // namespace droprelay
