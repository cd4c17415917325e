// Test helper: runs tests/integration/smtp_sink.py (a real SMTP server on 127.0.0.1, a free port)
// as a child process for the lifetime of the object, and reads what it recorded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../common/temp_folder.h"

extern char** environ;

namespace droprelay::testing {

// The helpers live in tests/integration/, beside the test data folder (an absolute path from the
// build, unlike __FILE__, which a compiler cache may make relative).
inline std::string IntegrationScript(const std::string& name) {
  return (std::filesystem::path(DROPRELAY_TEST_DATA).parent_path() / "integration" / name).string();
}

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Runs a command and answers its standard output.
inline std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// What Python's email package reads from a stored message (see mail_digest.py).
inline std::map<std::string, std::string> DigestMessage(const std::string& emlPath) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(CommandOutput("/usr/bin/python3 '" + IntegrationScript("mail_digest.py") + "' '" + emlPath + "'"));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) fields[line.substr(0, tab)] = FromHex(line.substr(tab + 1));
  }
  return fields;
}

class SmtpSink {
 public:
  explicit SmtpSink(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"/usr/bin/python3", IntegrationScript("smtp_sink.py"), "--dir", folder_.str()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    if (spawned != 0) throw std::runtime_error("cannot start the SMTP sink");
    // The sink prints its port once it listens; a blocking read, no sleeping.
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    stdout_ = out[0];  // kept for what the sink tells later (--notify-*)
    if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("the SMTP sink did not start: " + line);
    port_ = std::stoi(line.substr(5));
  }
  ~SmtpSink() {
    ::close(stdin_);  // end of input stops the sink
    ::close(stdout_);  // so a sink telling more than was read never blocks its end
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& scheme = "smtp") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }
  // Messages stored so far (each complete with its envelope).
  int MessageCount() const {
    int n = 0;
    while (std::filesystem::exists(folder_ / (std::to_string(n + 1) + ".envelope"))) ++n;
    return n;
  }
  std::string Envelope(int n) const { return ReadFile(folder_ / (std::to_string(n) + ".envelope")); }
  std::string MessagePath(int n) const { return folder_ / (std::to_string(n) + ".eml"); }
  std::map<std::string, std::string> Digest(int n) const { return DigestMessage(MessagePath(n)); }
  // The verbs of the commands received so far (the sink runs with --log-commands).
  std::vector<std::string> Commands() const {
    std::vector<std::string> verbs;
    std::istringstream lines(ReadFile(folder_ / "commands.log"));
    for (std::string line; std::getline(lines, line);) verbs.push_back(line);
    return verbs;
  }
  // What happened on each connection ("1 connected", "1 EHLO", ..., "1 closed"; --log-events).
  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    std::istringstream lines(ReadFile(folder_ / "events.log"));
    for (std::string line; std::getline(lines, line);) events.push_back(line);
    return events;
  }
  // The next line the sink prints (--notify-*), waiting for it; empty once the sink has ended.
  std::string NextLine() {
    std::string line;
    char c;
    while (::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Reads what the sink prints until `line` came; false if the sink ended first.
  bool WaitFor(const std::string& line) {
    for (std::string next = NextLine(); !next.empty(); next = NextLine()) {
      if (next == line) return true;
    }
    return false;
  }
  int Connections() const {
    const std::string log = ReadFile(folder_ / "connections.log");
    int n = 0;
    for (char c : log) n += c == '\n';
    return n;
  }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int port_ = 0;
};

}  // namespace droprelay::testing
