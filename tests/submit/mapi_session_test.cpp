// Sessions of the facility against real SMTP servers on loopback: which profile a message leaves
// through, which handles are sessions, logons that failed once in a run, and attachments that are
// gone by the time of the send.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "smtp_sink_process.h"
#include "submit/mapi.h"
#include "submit/submission.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using testing::SmtpSink;
using testing::TempFolder;

class MapiSession : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DROPRELAY_PROFILES", (folder_ / "profiles.ini").c_str(), 1); }
  void TearDown() override {
    EndMapiSession();
    ::unsetenv("DROPRELAY_PROFILES");
  }
  void WriteProfiles(const std::string& text) { std::ofstream(folder_ / "profiles.ini", std::ios::binary) << text; }
  static std::string Profile(const std::string& name, const std::string& url, const std::string& from,
                             const std::string& extra = "") {
    return "[" + name + "]\nurl=" + url + "\nfrom=" + from + "\n" + extra;
  }
  bool Send(const std::string& profile, const std::string& password, const std::string& to) {
    return SendMapiMessage(profile, password, to, "s", "b", "", error_);
  }

  TempFolder folder_;
  std::string error_;
};

// A logon like the open session's takes that session over; anything that differs must open a
// session of its own, or the message would leave through the other profile's server or sender.
TEST_F(MapiSession, EachMessageLeavesThroughItsOwnProfile) {
  SmtpSink a;
  SmtpSink b;
  struct Case {
    const char* what;
    std::string second;  // the profile "two" (or "one" rewritten) of the second message
    const char* profile;
    const char* password;
    const SmtpSink* server;
    const char* from;
  };
  const Case cases[] = {
      {"another name", Profile("two", a.url(), "one@example.org"), "two", "pw", &a, "one@example.org"},
      {"another server", Profile("one", b.url(), "one@example.org"), "one", "pw", &b, "one@example.org"},
      {"another sender", Profile("one", a.url(), "two@example.org"), "one", "pw", &a, "two@example.org"},
      {"another password", Profile("one", a.url(), "one@example.org"), "one", "other", &a, "one@example.org"},
  };
  int connections = 0;
  int messagesA = 0;
  int messagesB = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Both profiles carry the same password; the first message opens the session on "one".
    WriteProfiles(Profile("one", a.url(), "one@example.org"));
    ASSERT_TRUE(Send("one", "pw", "first@example.org")) << error_;
    ++messagesA;
    // The first section of a name wins: a changed "one" replaces the file.
    WriteProfiles(std::string(c.profile) == "one" ? c.second : Profile("one", a.url(), "one@example.org") + c.second);
    ASSERT_TRUE(Send(c.profile, c.password, "second@example.org")) << error_;
    (c.server == &a ? messagesA : messagesB) += 1;
    connections += 2;
    ASSERT_EQ(a.MessageCount(), messagesA);
    ASSERT_EQ(b.MessageCount(), messagesB);
    const std::string envelope = c.server->Envelope(c.server == &a ? messagesA : messagesB);
    EXPECT_NE(envelope.find("\"rcpt_tos\": [\"second@example.org\"]"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find(std::string("\"mail_from\": \"") + c.from + "\""), std::string::npos) << envelope;
    EXPECT_EQ(a.Connections() + b.Connections(), connections) << "a session of its own";
    EndMapiSession();
  }
}

TEST_F(MapiSession, OnlyTheOpenSessionsHandleSends) {
  SmtpSink sink({"--log-commands"});
  WriteProfiles(Profile("one", sink.url(), "one@example.org") + Profile("two", sink.url(), "two@example.org"));
  std::string to = "a@example.org";
  submit::MapiRecipDesc recipient{0, submit::MAPI_TO, to.data(), nullptr, 0, nullptr};
  std::string subject = "s";
  std::string body = "b";
  submit::MapiMessage message{};
  message.lpszSubject = subject.data();
  message.lpszNoteText = body.data();
  message.nRecipCount = 1;
  message.lpRecips = &recipient;
  const auto send = [&](submit::LHANDLE handle) { return submit::MAPISendMail(handle, 0, &message, 0, 0); };

  submit::LHANDLE first = 0;
  ASSERT_EQ(submit::MAPILogon(0, "one", "", 0, 0, &first), submit::SUCCESS_SUCCESS);
  for (const submit::LHANDLE wrong : {submit::LHANDLE{0}, first + 1, first - 1, ~first}) {
    EXPECT_EQ(send(wrong), submit::MAPI_E_INVALID_SESSION) << wrong;
  }
  EXPECT_EQ(sink.MessageCount(), 0);
  ASSERT_EQ(send(first), submit::SUCCESS_SUCCESS);
  EXPECT_EQ(sink.MessageCount(), 1);

  // Another profile's logon ends the first session: its handle sends no more.
  submit::LHANDLE second = 0;
  ASSERT_EQ(submit::MAPILogon(0, "two", "", 0, 0, &second), submit::SUCCESS_SUCCESS);
  EXPECT_NE(second, first);
  EXPECT_EQ(send(first), submit::MAPI_E_INVALID_SESSION);
  EXPECT_EQ(submit::MAPILogoff(second, 0, 0, 0), submit::SUCCESS_SUCCESS);
  EXPECT_EQ(send(second), submit::MAPI_E_INVALID_SESSION);
  EXPECT_EQ(sink.MessageCount(), 1);
  int mails = 0;
  for (const std::string& verb : sink.Commands()) mails += verb == "MAIL";
  EXPECT_EQ(mails, 1) << "no envelope was begun for a wrong handle";
}

// The attachment is checked before the logon; one removed after that fails the send, and the
// server sees no envelope at all.
TEST_F(MapiSession, AttachmentGoneByTheSendSendsNothing) {
  SmtpSink sink({"--log-commands"});
  WriteProfiles(Profile("one", sink.url(), "one@example.org"));
  std::string to = "a@example.org";
  std::string path = folder_ / "gone.txt";
  std::string name = "gone.txt";
  submit::MapiRecipDesc recipient{0, submit::MAPI_TO, to.data(), nullptr, 0, nullptr};
  submit::MapiFileDesc file{0, 0, 0xFFFFFFFF, path.data(), name.data(), nullptr};
  std::string text;
  submit::MapiMessage message{};
  message.lpszSubject = text.data();
  message.lpszNoteText = text.data();
  message.nRecipCount = 1;
  message.lpRecips = &recipient;
  message.nFileCount = 1;
  message.lpFiles = &file;
  submit::LHANDLE session = 0;
  ASSERT_EQ(submit::MAPILogon(0, "one", "", 0, 0, &session), submit::SUCCESS_SUCCESS);
  EXPECT_EQ(submit::MAPISendMail(session, 0, &message, 0, 0), submit::MAPI_E_ATTACHMENT_NOT_FOUND);
  EXPECT_EQ(sink.MessageCount(), 0);
  for (const std::string& verb : sink.Commands()) EXPECT_NE(verb, "MAIL");
}

// A logon that failed is answered again at once for the rest of the run, for the same profile
// and password only; the end of the run forgets it.
TEST_F(MapiSession, FailedLogonIsNotTriedAgainInTheRun) {
  SmtpSink down({"--hang-up"});
  WriteProfiles(Profile("one", down.url(), "one@example.org"));
  for (int message = 0; message < 3; ++message) {
    EXPECT_FALSE(Send("one", "pw", "a@example.org"));
    EXPECT_EQ(error_.rfind(texts::LogonFailed() + "one\"! (", 0), 0u) << error_;
  }
  EXPECT_NE(error_.find("not tried again in this run"), std::string::npos) << error_;
  EXPECT_EQ(down.Connections(), 1);
  EXPECT_FALSE(Send("one", "other", "a@example.org"));  // another password is another logon
  EXPECT_EQ(down.Connections(), 2);
  WriteProfiles(Profile("one", down.url(), "changed@example.org"));  // so is an edited profile
  EXPECT_FALSE(Send("one", "pw", "a@example.org"));
  EXPECT_EQ(down.Connections(), 3);
  EndMapiSession();
  EXPECT_FALSE(Send("one", "pw", "a@example.org"));
  EXPECT_EQ(down.Connections(), 4);

  // A pickup folder that was missing stays missing for the run, even once it is there.
  const std::string pickup = folder_ / "pickup";
  WriteProfiles(Profile("drop", "file://" + pickup, "one@example.org"));
  EXPECT_FALSE(Send("drop", "", "a@example.org"));
  std::filesystem::create_directory(pickup);
  EXPECT_FALSE(Send("drop", "", "a@example.org"));
  EXPECT_TRUE(std::filesystem::is_empty(pickup));
  EndMapiSession();
  EXPECT_TRUE(Send("drop", "", "a@example.org")) << error_;
  EXPECT_FALSE(std::filesystem::is_empty(pickup));
}

}  // namespace
}  // namespace droprelay
