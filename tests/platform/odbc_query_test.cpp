// The ODBC query against a real PostgreSQL server (psqlODBC) and the real FreeTDS driver.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "../common/pg_server.h"
#include "platform/odbc.h"
#include "platform/syserror.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::PgServer;

// One server for all cases: ctest runs every test in a process of its own, and a server per case
// would dominate the suite's time.
class OdbcQueryOnPostgres {
 public:
  // A table without a key, rows in the order given.
  void CreateTable(const std::string& name, const std::string& rows) {
    server.Sql("DROP TABLE IF EXISTS " + name + "; CREATE TABLE " + name +
               " (id integer, sched integer, label varchar(20)); " +
               (rows.empty() ? std::string() : "INSERT INTO " + name + " VALUES " + rows + "; ") + "GRANT ALL ON " +
               name + " TO " + PgServer::kUser);
  }

  // What `action` throws, also checked to be what SystemErrorText() reports.
  template <typename Action>
  static std::string FailureText(Action action) {
    try {
      action();
    } catch (const DatabaseFailure& failure) {
      EXPECT_EQ(SystemErrorText(), TrimErrorText(failure.what()));
      return failure.what();
    }
    ADD_FAILURE() << "no DatabaseFailure";
    return "";
  }

  void UpdatesOnlyTheFirstRowInPlace();
  void EmptyResultHasNoRowToUpdate();
  void FailuresCarryTheDriverTextWithoutThePassword();

  PgServer server;
};

void OdbcQueryOnPostgres::UpdatesOnlyTheFirstRowInPlace() {
  CreateTable("first_row", "(1, 10, 'one'), (2, 20, 'two'), (1, 10, 'one'), (4, 40, 'four')");
  const auto query = OpenOdbcQuery();
  query->Open(server.OdbcString(), "SELECT * FROM first_row");
  ASSERT_FALSE(query->IsEmpty());
  // Field names are matched without regard to case (PostgreSQL folds them to lower case).
  query->UpdateInt32("SCHED", 123456);
  query->Close();
  // Row 3 equals row 1 in every field: only a true positioned update leaves it alone.
  EXPECT_EQ(server.Sql("SELECT id, sched, label FROM first_row ORDER BY id, sched"),
            "1|10|one\n1|123456|one\n2|20|two\n4|40|four\n");

  // Opening again (the same object) sees the change and can write again.
  query->Open(server.OdbcString(), "SELECT * FROM first_row WHERE id = 4");
  query->UpdateInt32("sched", -7);
  query->Close();
  query->Close();
  EXPECT_EQ(server.Sql("SELECT sched FROM first_row WHERE id = 4"), "-7\n");
}

void OdbcQueryOnPostgres::EmptyResultHasNoRowToUpdate() {
  CreateTable("empty_table", "");
  const auto query = OpenOdbcQuery();
  query->Open(server.OdbcString(), "SELECT * FROM empty_table");
  EXPECT_TRUE(query->IsEmpty());
  EXPECT_NE(FailureText([&] { query->UpdateInt32("sched", 1); }), "");
  query->Close();
  EXPECT_EQ(server.Sql("SELECT count(*) FROM empty_table"), "0\n");
}

// Missing tables, refused logins and unreachable servers are covered with the correction itself
// (tests/app); here what only the query sees.
void OdbcQueryOnPostgres::FailuresCarryTheDriverTextWithoutThePassword() {
  CreateTable("read_only", "(1, 10, 'one')");
  server.Sql(std::string("REVOKE UPDATE ON read_only FROM ") + PgServer::kUser);
  const auto query = OpenOdbcQuery();

  // The server refuses the update itself: its text, one line, and the row as it was.
  query->Open(server.OdbcString(), "SELECT * FROM read_only");
  std::string text = FailureText([&] { query->UpdateInt32("sched", 99); });
  EXPECT_NE(text.find("permission denied"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  query->Close();
  EXPECT_EQ(server.Sql("SELECT sched FROM read_only"), "10\n");

  // An unknown driver: the driver manager's own text, without the password.
  text = FailureText([&] { query->Open("Driver={No Such Driver};PWD=abc123", "SELECT 1"); });
  EXPECT_NE(text.find("[unixODBC][Driver Manager]"), std::string::npos) << text;
  EXPECT_EQ(text.find("abc123"), std::string::npos) << text;
  query->Close();
}

TEST(OdbcQuery, AgainstPostgres) {
  OdbcQueryOnPostgres db;
  {
    SCOPED_TRACE("first row only");
    db.UpdatesOnlyTheFirstRowInPlace();
  }
  {
    SCOPED_TRACE("empty result");
    db.EmptyResultHasNoRowToUpdate();
  }
  {
    SCOPED_TRACE("failures");
    db.FailuresCarryTheDriverTextWithoutThePassword();
  }
}

// A stand-in peer on 127.0.0.1 that accepts one connection and keeps its first bytes. It then either
// hangs up, or stays silent (connection open, nothing said) until it is destroyed, like a server that
// has stopped answering. Further connections are refused.
class OneShotListener {
 public:
  enum class Then { HangUp, StaySilent };

  explicit OneShotListener(Then then) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || pipe(stop_) != 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, then] { Serve(then); });
  }
  ~OneShotListener() {
    const char stop = 1;
    if (write(stop_[1], &stop, 1) != 1) {
      // The thread then ends by its own time limit.
    }
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    close(stop_[0]);
    close(stop_[1]);
  }
  OneShotListener(const OneShotListener&) = delete;
  OneShotListener& operator=(const OneShotListener&) = delete;

  int port() const { return port_; }
  // The first bytes the client sent; waits for the connection to end (HangUp only).
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve(Then then) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 20000) != 1) return;
    const int client = accept(fd_, nullptr, nullptr);
    close(fd_);
    fd_ = -1;
    if (client < 0) return;
    pollfd readable{client, POLLIN, 0};
    if (poll(&readable, 1, 20000) == 1) {
      char buffer[64];
      const ssize_t got = read(client, buffer, sizeof buffer);
      if (got > 0) received_.assign(buffer, static_cast<std::size_t>(got));
    }
    if (then == Then::StaySilent) {
      pollfd stop{stop_[0], POLLIN, 0};
      poll(&stop, 1, 60000);
    }
    close(client);
  }

  int fd_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

TEST(OdbcFreeTds, AdoStringReachesSqlServerThroughFreeTds) {
  // The relay's default string: the driver manager loads FreeTDS, which finds no SQL Server here.
  const auto query = OpenOdbcQuery();
  std::string text;
  try {
    query->Open(
        "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=ProjectServer;"
        "Data Source=127.0.0.1," + std::to_string(droprelay::testing::UnusedPort()),
        "SELECT * FROM MSP_WEB_ADMIN");
    ADD_FAILURE() << "connected to a SQL Server that is not there";
  } catch (const DatabaseFailure& failure) {
    text = failure.what();
  }
  EXPECT_EQ(text.rfind("[FreeTDS]", 0), 0u) << text;

  // With a login, at a port where something listens: FreeTDS speaks SQL Server's protocol there (its
  // first packet is a TDS 7 pre-login, type 0x12), and the password stays out of the error text.
  OneShotListener listener(OneShotListener::Then::HangUp);
  try {
    query->Open("Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Password=Pr0ject#Pw;"
                "Initial Catalog=ProjectServer;Data Source=127.0.0.1," + std::to_string(listener.port()),
                "SELECT * FROM MSP_WEB_ADMIN");
    ADD_FAILURE() << "a listener that hangs up is no SQL Server";
  } catch (const DatabaseFailure& failure) {
    text = failure.what();
  }
  const std::string received = listener.Received();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(static_cast<unsigned char>(received[0]), 0x12);
  EXPECT_EQ(text.rfind("[FreeTDS]", 0), 0u) << text;
  EXPECT_EQ(text.find("Pr0ject#Pw"), std::string::npos) << text;
  EXPECT_EQ(SystemErrorText().find("Pr0ject#Pw"), std::string::npos);
}

}  // namespace
}  // namespace droprelay::platform

namespace droprelay::platform {
namespace {

TEST(OdbcFreeTds, SilentServerEndsInTheLoginTimeout) {
  // A server that accepts the connection and never answers: FreeTDS gives up after the ADO string's
  // Connect Timeout. (With TDS_Version=auto it would retry in Sybase's dialect and then wait for
  // ever, holding up the relay's start-up.) A regression must fail here, not hang the suite.
  OneShotListener listener(OneShotListener::Then::StaySilent);
  const std::string connection = "Provider=SQLOLEDB.1;User ID=sa;Password=Silent-Pw1;Connect Timeout=1;"
                                 "Data Source=127.0.0.1," + std::to_string(listener.port());
  auto done = std::make_shared<std::promise<std::string>>();
  std::future<std::string> text = done->get_future();
  std::thread([connection, done] {
    try {
      OpenOdbcQuery()->Open(connection, "SELECT * FROM MSP_WEB_ADMIN");
      done->set_value("connected");
    } catch (const std::exception& failure) {
      done->set_value(failure.what());
    }
  }).detach();
  ASSERT_EQ(text.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the login never ended";
  const std::string message = text.get();
  EXPECT_NE(message.find("Timeout expired"), std::string::npos) << message;
  EXPECT_EQ(message.find("Silent-Pw1"), std::string::npos) << message;
}

TEST(LoginTimeoutSeconds, AdoConnectTimeoutOrFifteen) {
  EXPECT_EQ(LoginTimeoutSeconds("Provider=SQLOLEDB;Data Source=a"), 15u);
  EXPECT_EQ(LoginTimeoutSeconds("Provider=SQLOLEDB;Data Source=a;Connect Timeout=3"), 3u);
  EXPECT_EQ(LoginTimeoutSeconds("Provider=SQLOLEDB;Connection Timeout = 0 "), 0u);
  // Not a number, or absurdly long: the default, never "wait for ever".
  EXPECT_EQ(LoginTimeoutSeconds("Provider=SQLOLEDB;Connect Timeout=-1"), 15u);
  EXPECT_EQ(LoginTimeoutSeconds("Provider=SQLOLEDB;Connect Timeout=99999999999"), 15u);
  EXPECT_EQ(LoginTimeoutSeconds("Driver={FreeTDS};Connect Timeout=3"), 15u);
}

}  // namespace
}  // namespace droprelay::platform
