// Secret files' modes, the syslog datagram client against a socket of the test's own, and the
// journal-stream check.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "../common/temp_folder.h"
#include "platform/secret_file.h"
#include "platform/syslog_socket.h"

namespace droprelay::platform {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(SecretFile, ReadableByOthersNamesTheModeToSet) {
  TempFolder folder;
  const std::string path = folder / "relay.ini";
  WriteFile(path, "[System]\nPassword=x\n");
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(ExposedSecretText(path, "a Password"),
            path + " holds a Password and is readable by others (mode 0644); set mode 0640 (chmod 0640 " + path + ")");
  ::chmod(path.c_str(), 0666);
  EXPECT_NE(ExposedSecretText(path, "a Password").find("(mode 0666); set mode 0660"), std::string::npos);
  for (const mode_t closed : {0600u, 0640u, 0660u, 0602u}) {
    ::chmod(path.c_str(), closed);
    EXPECT_EQ(ExposedSecretText(path, "a Password"), "") << closed;
  }
  EXPECT_EQ(ExposedSecretText(folder / "missing", "a Password"), "");
}

// A datagram socket of the test's own at `path`, standing in for the syslog daemon; -1 on failure.
int BoundDatagramSocket(const std::string& path) {
  const int server = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  if (server < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(server);
    return -1;
  }
  return server;
}

TEST(SyslogSocket, SendsRfc3164LinesWithFacilityDaemon) {
  TempFolder folder;
  const std::string path = folder / "log.sock";
  const int server = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  SyslogSocket socket(path, "droprelay");
  ASSERT_TRUE(socket.Send(kSyslogErr, "Ошибка при работе с базой данных"));
  ASSERT_TRUE(socket.Send(kSyslogInfo, "Начало работы..."));
  char buffer[512];
  const ssize_t first = ::recv(server, buffer, sizeof buffer, 0);
  ASSERT_GT(first, 0);
  const std::string line(buffer, static_cast<std::size_t>(first));
  // "<27>" (daemon * 8 + err), "Mmm dd hh:mm:ss", the ident with the process id, the UTF-8 text.
  const std::string tail = " droprelay[" + std::to_string(::getpid()) + "]: Ошибка при работе с базой данных";
  ASSERT_EQ(line.size(), 4 + 15 + tail.size()) << line;
  EXPECT_EQ(line.substr(0, 4), "<27>");
  EXPECT_EQ(line.substr(4 + 15), tail);
  EXPECT_EQ(line[4 + 3], ' ');
  EXPECT_EQ(line.substr(4 + 9, 1) + line.substr(4 + 12, 1), "::");
  const ssize_t second = ::recv(server, buffer, sizeof buffer, 0);
  ASSERT_GT(second, 0);
  EXPECT_EQ(std::string(buffer, 4), "<30>");
  ::close(server);

  // No daemon: the line is refused, and a daemon that comes back is found again.
  EXPECT_FALSE(socket.Send(kSyslogInfo, "lost"));
  ::unlink(path.c_str());
  const int again = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_EQ(::bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(socket.Send(kSyslogWarning, "back"));
  const ssize_t third = ::recv(again, buffer, sizeof buffer, 0);
  ASSERT_GT(third, 0);
  EXPECT_EQ(std::string(buffer, 4), "<28>");
  ::close(again);
}

// A daemon that stops reading fills its socket; the relay's logging must never wait for it (a
// blocked send would also hold off every stop signal). Lines that find no room are dropped, and
// the line after the daemon reads again goes through on the same connection.
TEST(SyslogSocket, AFullSocketDropsLinesInsteadOfBlocking) {
  TempFolder folder;
  const std::string path = folder / "log.sock";
  const int server = BoundDatagramSocket(path);
  ASSERT_GE(server, 0);

  SyslogSocket socket(path, "droprelay");
  int refused = 0;
  for (int i = 0; i < 100000 && refused == 0; ++i) {
    if (!socket.Send(kSyslogInfo, "Просмотр папки /var/spool/droprelay/drop/")) ++refused;
  }
  EXPECT_EQ(refused, 1);  // reached, and without blocking, or the loop would never have ended
  char buffer[512];
  while (::recv(server, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
  EXPECT_TRUE(socket.Send(kSyslogErr, "after"));
  const ssize_t got = ::recv(server, buffer, sizeof buffer, MSG_DONTWAIT);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(buffer, 4), "<27>");
  ::close(server);
}

TEST(JournalStream, MatchesOnlyTheStreamStandardErrorIs) {
  struct stat st {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
  const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  ::setenv("JOURNAL_STREAM", mine.c_str(), 1);
  EXPECT_TRUE(StderrIsJournalStream());
  const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  ::setenv("JOURNAL_STREAM", other.c_str(), 1);
  EXPECT_FALSE(StderrIsJournalStream());
  ::setenv("JOURNAL_STREAM", "garbage", 1);
  EXPECT_FALSE(StderrIsJournalStream());
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(StderrIsJournalStream());
}

}  // namespace
}  // namespace droprelay::platform
