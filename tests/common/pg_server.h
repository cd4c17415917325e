// A PostgreSQL server of the test's own, started through tests/integration/pg_server.sh on 127.0.0.1
// and a free port, reached by the code under test through psqlODBC. One server per test suite: start
// it in SetUpTestSuite, drop it in TearDownTestSuite.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace droprelay::testing {

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// Runs `command` through the shell; its standard output, or throws when it fails.
inline std::string RunCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  std::array<char, 4096> buffer;
  std::size_t got = 0;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), got);
  const int status = pclose(pipe);
  if (status != 0) throw std::runtime_error("failed (" + std::to_string(status) + "): " + command + "\n" + output);
  return output;
}

class PgServer {
 public:
  // The role the code under test logs in as, over TCP with a password.
  static constexpr const char* kUser = "relay";
  // Holds ";" and "}" so that it must be braced in an ODBC string.
  static constexpr const char* kPassword = "Pa;ss}w0rd-7731";

  PgServer() {
    char templ[] = "/tmp/droprelay-pg-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    try {
      port_ = std::stoi(RunCommand(Script() + " start " + ShellQuote(dir_)));
      Sql(std::string("CREATE ROLE ") + kUser + " LOGIN PASSWORD " + SqlString(kPassword));
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~PgServer() { Stop(); }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  int port() const { return port_; }

  // Runs `sql` as the superuser; the rows of its result, one a line, fields joined by "|".
  std::string Sql(const std::string& sql) const {
    return RunCommand(Script() + " psql " + ShellQuote(dir_) + " " + ShellQuote(sql) + " 2>&1");
  }

  // An ODBC string for psqlODBC with an updatable keyset cursor.
  std::string OdbcString(const std::string& user = kUser, const std::string& password = kPassword) const {
    std::string braced;
    for (const char c : password) {
      braced += c;
      if (c == '}') braced += '}';
    }
    return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port_) +
           ";Database=postgres;UID=" + user + ";PWD={" + braced + "};UpdatableCursors=1";
  }

  // Stops the server and removes its folder; harmless when it never started.
  void Stop() noexcept {
    try {
      RunCommand(Script() + " stop " + ShellQuote(dir_));
    } catch (...) {
    }
  }

  static std::string SqlString(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
      quoted += c;
      if (c == '\'') quoted += '\'';
    }
    return quoted + "'";
  }

 private:
  // tests/integration/pg_server.sh, found from tests/data (which need not exist).
  static std::string Script() {
    std::string tests = DROPRELAY_TEST_DATA;
    tests = tests.substr(0, tests.find_last_of('/'));
    return "bash " + ShellQuote(tests + "/integration/pg_server.sh");
  }

  std::string dir_;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace droprelay::testing
