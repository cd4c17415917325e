// One SMTP session per run: the logon's connection carries every message, RSET between them,
// a new connection when the server closed the old one, QUIT at the end; and the two reply
// timeouts. All against a real SMTP server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "smtp_sink_process.h"
#include "submit/delivery.h"
#include "submit/submission.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using testing::SmtpSink;
using testing::TempFolder;
using Verbs = std::vector<std::string>;

class SmtpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DROPRELAY_PROFILES", (folder_ / "profiles.ini").c_str(), 1); }
  void TearDown() override {
    EndMapiSession();
    submit::SetSmtpTimeouts(submit::SmtpTimeouts{});
    ::unsetenv("DROPRELAY_PROFILES");
  }

  void UseServer(const SmtpSink& sink, const std::string& extra = "") {
    std::ofstream(folder_ / "profiles.ini", std::ios::binary)
        << "[office]\nurl=" + sink.url() + "\nfrom=relay@example.org\n" + extra;
  }
  bool Send(const std::string& recipients, const std::string& password = "") {
    return SendMapiMessage("office", password, recipients, "subject", "body\r\n", "", error_);
  }

  TempFolder folder_;
  std::string error_;
};

TEST_F(SmtpSessionTest, OneConnectionCarriesTheRunAndEndsWithQuit) {
  SmtpSink sink({"--log-commands", "--auth", "relay:pw-Secret-9"});
  UseServer(sink, "user=relay\n");
  for (const char* to : {"a@example.org", "b@example.org", "c@example.org"}) {
    ASSERT_TRUE(Send(to, "pw-Secret-9")) << error_;
  }
  EXPECT_EQ(sink.MessageCount(), 3);
  EXPECT_EQ(sink.Connections(), 1);
  const Verbs message = {"MAIL", "RCPT", "DATA"};
  Verbs expected = {"EHLO", "AUTH", "NOOP"};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) expected.push_back("RSET");
    expected.insert(expected.end(), message.begin(), message.end());
  }
  EXPECT_EQ(sink.Commands(), expected);

  EndMapiSession();
  expected.push_back("QUIT");
  EXPECT_EQ(sink.Commands(), expected);
  EndMapiSession();  // nothing left to end
  EXPECT_EQ(sink.Commands(), expected);

  // The next message after the end logs on anew.
  ASSERT_TRUE(Send("d@example.org", "pw-Secret-9")) << error_;
  EXPECT_EQ(sink.Connections(), 2);
}

TEST_F(SmtpSessionTest, ServerThatClosesTheConnectionGetsANewOne) {
  SmtpSink sink({"--log-commands", "--close-after", "1"});
  UseServer(sink);
  for (const char* to : {"a@example.org", "b@example.org", "c@example.org"}) {
    ASSERT_TRUE(Send(to)) << error_;
  }
  EXPECT_EQ(sink.MessageCount(), 3);
  EXPECT_EQ(sink.Connections(), 3);
}

TEST_F(SmtpSessionTest, RefusedMessageDoesNotHoldUpTheNext) {
  SmtpSink sink({"--log-commands", "--reject-rcpt", "550:bad@example.org"});
  UseServer(sink);
  EXPECT_FALSE(Send("bad@example.org"));
  EXPECT_EQ(error_, texts::SendFailed() + "14\" (550 5.1.1 <bad@example.org>: recipient rejected by the test)!;");
  ASSERT_TRUE(Send("good@example.org")) << error_;
  ASSERT_EQ(sink.MessageCount(), 1);
  EXPECT_NE(sink.Envelope(1).find("good@example.org"), std::string::npos);
}

TEST_F(SmtpSessionTest, OtherCredentialsOrProfileEndTheSession) {
  SmtpSink sink({"--log-commands", "--auth", "relay:right-Pass-1"});
  UseServer(sink, "user=relay\n");
  ASSERT_TRUE(Send("a@example.org", "right-Pass-1")) << error_;
  // Another password is another logon: the open session ends (QUIT) and the new one is refused.
  EXPECT_FALSE(Send("a@example.org", "wrong-Pass-2"));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "office\"! (535", 0), 0u) << error_;
  EXPECT_EQ(error_.find("Pass-"), std::string::npos) << "no password in the error text";
  const Verbs commands = sink.Commands();
  ASSERT_GE(commands.size(), 7u);
  EXPECT_EQ(Verbs(commands.begin() + 6, commands.begin() + 7), Verbs{"QUIT"});
  EXPECT_EQ(sink.Connections(), 2);
}

TEST_F(SmtpSessionTest, TheEndOfTheDataMayTakeLongerThanOtherReplies) {
  // Margins of seconds on each side, so a loaded machine answering a little late changes nothing.
  submit::SetSmtpTimeouts(submit::SmtpTimeouts{std::chrono::seconds(2), std::chrono::seconds(6)});
  {
    SmtpSink sink({"--stall-data", "3.5"});
    UseServer(sink);
    ASSERT_TRUE(Send("a@example.org")) << error_;
    EXPECT_EQ(sink.MessageCount(), 1);
  }
  {
    SmtpSink sink({"--stall-rcpt", "4"});
    UseServer(sink);
    EXPECT_FALSE(Send("a@example.org"));
    EXPECT_EQ(error_, texts::SendFailed() + "2\" (No answer from the server for 2 seconds)!;");
  }
  {
    SmtpSink sink({"--stall-data", "9"});
    UseServer(sink);
    EXPECT_FALSE(Send("a@example.org"));
    EXPECT_EQ(error_.rfind(texts::SendFailed() + "2\" (", 0), 0u) << error_;
  }
}

}  // namespace
}  // namespace droprelay
