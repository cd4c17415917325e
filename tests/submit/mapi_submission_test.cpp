// SendMapiMessage against a real SMTP server on loopback (and a pickup folder): what arrives is
// read back with Python's email package.
#include <sys/socket.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "smtp_sink_process.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using testing::ReadFile;
using testing::SmtpSink;
using testing::TempFolder;

namespace fs = std::filesystem;

// Relay text is Windows-1251; the tests write it in UTF-8 and convert once.
std::string W(const std::string& utf8) { return Utf8ToCp1251(utf8); }

class Submission : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DROPRELAY_PROFILES", (folder_ / "profiles.ini").c_str(), 1); }
  void TearDown() override {
    EndMapiSession();  // the session and the failed logons of one test are not the next one's
    ::unsetenv("DROPRELAY_PROFILES");
  }

  void WriteProfiles(const std::string& text) { std::ofstream(folder_ / "profiles.ini", std::ios::binary) << text; }
  void UseServer(const SmtpSink& sink, const std::string& extra = "") {
    WriteProfiles("[Profiles]\nDefaultProfile=office\n\n[office]\nurl=" + sink.url() + "\nfrom=relay@example.org\n" + extra);
  }
  std::string Attachment(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
    return folder_ / name;
  }
  bool Send(const std::string& recipients, const std::string& subject, const std::string& body,
            const std::string& attachment = "", const std::string& profile = "office",
            const std::string& password = "") {
    return SendMapiMessage(profile, password, recipients, subject, body, attachment, error_);
  }
  std::string SendFailedText(const std::string& code, const std::string& reason) const {
    return texts::SendFailed() + code + "\" (" + reason + ")!;";
  }

  TempFolder folder_;
  std::string error_;
};

std::string RandomBytes(std::size_t n) {
  std::mt19937 random(99);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

TEST_F(Submission, DeliversRecipientsSubjectBodyAndAttachment) {
  SmtpSink sink;
  UseServer(sink);
  const std::string data = RandomBytes(150000);
  const std::string attachment = Attachment("Отчёт №5 (май).bin", data);
  const std::string subject = "Отчёт за май — «итоги» ёЁ №5";
  const std::string body = "Здравствуйте!\r\nСтрока два: ёлка, Ёж, €100 — «цитата».\r\n\r\nКонец.\r\n";

  ASSERT_TRUE(Send("  first@example.org; second@example.org;;third@example.org ", W(subject), W(body), attachment))
      << Cp1251ToUtf8(error_);
  EXPECT_EQ(error_, "");
  ASSERT_EQ(sink.MessageCount(), 1);
  const std::string envelope = sink.Envelope(1);
  EXPECT_NE(envelope.find("\"mail_from\": \"relay@example.org\""), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("[\"first@example.org\", \"second@example.org\", \"third@example.org\"]"), std::string::npos)
      << envelope;
  auto mail = sink.Digest(1);
  EXPECT_EQ(mail["from"], "relay@example.org");
  EXPECT_EQ(mail["to"], "first@example.org");
  EXPECT_EQ(mail["cc"], "second@example.org, third@example.org");
  EXPECT_EQ(mail["subject"], subject);
  EXPECT_EQ(mail["body"], body);
  EXPECT_EQ(mail["attachments"], "1");
  EXPECT_EQ(mail["attachment.0.filename"], "Отчёт №5 (май).bin");
  EXPECT_EQ(mail["attachment.0.data"], data);
  EXPECT_EQ(mail["raw_headers_ascii"], "1");
  EXPECT_EQ(mail["defects"], "0");
  // Date, Message-ID and MIME-Version are present.
  const std::string raw = ReadFile(sink.MessagePath(1));
  for (const char* name : {"\r\nDate: ", "\r\nMessage-ID: <", "\r\nMIME-Version: 1.0\r\n"}) {
    EXPECT_NE(raw.find(name), std::string::npos) << name;
  }
}

TEST_F(Submission, RecipientListsAndEmptyTexts) {
  SmtpSink sink;
  UseServer(sink);
  // No ";": one To recipient; an empty subject and body are sent as empty texts.
  ASSERT_TRUE(Send("alpha@example.org", "", "")) << Cp1251ToUtf8(error_);
  // Mostly ASCII text goes quoted-printable; long lines and trailing blanks survive.
  const std::string body = std::string(200, 'a') + " \r\nline with = sign and trailing tab\t\r\nno final break";
  ASSERT_TRUE(Send("a@example.org;b@example.org", "Plain ASCII subject", body)) << Cp1251ToUtf8(error_);
  ASSERT_EQ(sink.MessageCount(), 2);
  auto first = sink.Digest(1);
  EXPECT_EQ(first["to"], "alpha@example.org");
  EXPECT_EQ(first["cc"], "");
  EXPECT_EQ(first["subject"], "");
  EXPECT_EQ(first["body"], "");
  auto second = sink.Digest(2);
  EXPECT_EQ(second["to"], "a@example.org");
  EXPECT_EQ(second["cc"], "b@example.org");
  EXPECT_EQ(second["subject"], "Plain ASCII subject");
  EXPECT_EQ(second["body"], body);
  EXPECT_NE(ReadFile(sink.MessagePath(2)).find("\r\nSubject: Plain ASCII subject\r\n"), std::string::npos);

  // A line holding only "." must not end the data early; lone LF and CR become CR LF.
  ASSERT_TRUE(Send("a@example.org", "dots", "first\r\n.\r\n..second\r\n.\nthird\rend")) << error_;
  ASSERT_EQ(sink.MessageCount(), 3);
  EXPECT_EQ(sink.Digest(3)["body"], "first\r\n.\r\n..second\r\n.\r\nthird\r\nend");
}

TEST_F(Submission, AttachmentNameInWindows1251IsSentAsUtf8) {
  SmtpSink sink;
  UseServer(sink);
  const std::string attachment = Attachment(W("Счёт.txt"), "plain text attachment\r\n");
  ASSERT_TRUE(Send("a@example.org", "s", "b", attachment)) << Cp1251ToUtf8(error_);
  auto mail = sink.Digest(1);
  EXPECT_EQ(mail["attachment.0.filename"], "Счёт.txt");
  EXPECT_EQ(mail["attachment.0.type"], "text/plain");
  EXPECT_EQ(mail["attachment.0.data"], "plain text attachment\r\n");
}

TEST_F(Submission, NoRecipientMakesNoConnection) {
  SmtpSink sink;
  UseServer(sink);
  for (const char* recipients : {"", "   ", "\t\r\n "}) {
    EXPECT_FALSE(Send(recipients, "s", "b"));
    EXPECT_EQ(error_, texts::NoRecipient());
  }
  EXPECT_EQ(sink.Connections(), 0);
}

TEST_F(Submission, MissingAttachmentSendsNothing) {
  SmtpSink sink;
  UseServer(sink);
  // A file that is gone, and a folder, which is no attachment file either.
  for (const std::string& attachment : {std::string(folder_ / "gone.pdf"), folder_.str()}) {
    const SubmissionResult result = SubmitMessage("office", "", "a@example.org", "s", "body\r\n", attachment, error_);
    EXPECT_EQ(error_, texts::FileQuoted() + attachment + texts::FileNotFound());
    EXPECT_EQ(result.outcome, Outcome::kAttachmentMissing) << "it may be there at a later attempt";
  }
  // Checked before the logon: the server never heard of the message.
  EXPECT_EQ(sink.Connections(), 0);
  EXPECT_EQ(sink.MessageCount(), 0);
}

TEST_F(Submission, LogonFailures) {
  SmtpSink sink;
  UseServer(sink);
  // Unknown and empty profiles: no connection is made.
  EXPECT_FALSE(Send("a@example.org", "s", "b", "", "nosuch"));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "nosuch\"! (", 0), 0u) << error_;
  EXPECT_NE(error_.find("not found"), std::string::npos) << error_;
  EXPECT_EQ(error_.substr(error_.size() - 2), ");");
  EXPECT_FALSE(Send("a@example.org", "s", "b", "", ""));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "\"! (", 0), 0u) << error_;
  EXPECT_EQ(sink.Connections(), 0);

  // No profiles file at all.
  ::setenv("DROPRELAY_PROFILES", (folder_ / "absent.ini").c_str(), 1);
  EXPECT_FALSE(Send("a@example.org", "s", "b"));
  EXPECT_NE(error_.find("No such file or directory"), std::string::npos) << error_;

  // Server down: a port nobody listens on.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  ::setenv("DROPRELAY_PROFILES", (folder_ / "profiles.ini").c_str(), 1);
  WriteProfiles("[office]\nurl=smtp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\nfrom=r@example.org\n");
  EXPECT_FALSE(Send("a@example.org", "s", "b"));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "office\"! (", 0), 0u);
  EXPECT_NE(error_.find("onnect"), std::string::npos) << error_;
}

// A profile that is not there is the configuration's fault; a server that is not there passes.
TEST_F(Submission, MissingProfilesAreConfigurationFaults) {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  WriteProfiles("[Profiles]\nDefaultProfile=office\n[office]\nurl=smtp://127.0.0.1:" +
                std::to_string(ntohs(address.sin_port)) + "\nfrom=r@example.org\n[nourl]\nfrom=r@example.org\n");
  struct Case {
    const char* profilesFile;
    const char* profile;
    Outcome outcome;
  };
  const Case cases[] = {
      {"profiles.ini", "nosuch", Outcome::kNoMailProfile},
      {"profiles.ini", "", Outcome::kNoMailProfile},
      {"profiles.ini", "nourl", Outcome::kNoMailProfile},
      {"absent.ini", "office", Outcome::kNoMailProfile},
      {"profiles.ini", "office", Outcome::kNoConnection},
  };
  for (const Case& c : cases) {
    ::setenv("DROPRELAY_PROFILES", (folder_ / c.profilesFile).c_str(), 1);
    const SubmissionResult result = SubmitMessage(c.profile, "", "a@example.org", "s", "b", "", error_);
    EXPECT_EQ(result.outcome, c.outcome) << c.profilesFile << " " << c.profile << ": " << error_;
  }
}

TEST_F(Submission, AuthenticatesWithTheProfileUserAndThePassword) {
  SmtpSink sink({"--auth", "relay:s3cret-Pa55"});
  UseServer(sink, "user=relay\n");
  ASSERT_TRUE(Send("a@example.org", "s", "b", "", "office", "s3cret-Pa55")) << error_;
  ASSERT_EQ(sink.MessageCount(), 1);
  EXPECT_NE(sink.Envelope(1).find("\"auth_user\": \"relay\""), std::string::npos);

  // A refused login fails the logon with the server's reply; the password appears nowhere.
  EXPECT_FALSE(Send("a@example.org", "s", "b", "", "office", "wrong-Pa55word"));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "office\"! (", 0), 0u);
  EXPECT_NE(error_.find("535"), std::string::npos) << error_;
  EXPECT_EQ(error_.find("wrong-Pa55word"), std::string::npos);
  EXPECT_EQ(sink.MessageCount(), 1);

  // Without a user the server refuses the mail itself.
  UseServer(sink);
  EXPECT_FALSE(Send("a@example.org", "s", "b", "", "office", "s3cret-Pa55"));
  EXPECT_EQ(error_.find("s3cret-Pa55"), std::string::npos);
  EXPECT_EQ(sink.MessageCount(), 1);
}

// The first recipient is the message's own; the others are copies (the relay's send_copy_to),
// which must not hold the message back when the server refuses them.
TEST_F(Submission, RefusedMainRecipientFailsTheMessageARefusedCopyDoesNot) {
  struct Case {
    const char* code;
    const char* recipients;
    bool sent;
    Outcome outcome;
    const char* delivered;  // the envelope's recipients of what arrived
  };
  const Case cases[] = {
      {"550", "refused@example.org ; copy@example.org", false, Outcome::kRefused, nullptr},
      {"450", "refused@example.org ; copy@example.org", false, Outcome::kServerBusy, nullptr},
      {"550", "main@example.org ; refused@example.org", true, Outcome::kDelivered, "[\"main@example.org\"]"},
      {"450", "main@example.org ; refused@example.org", true, Outcome::kDelivered, "[\"main@example.org\"]"},
      {"550", "main@example.org;refused@example.org;copy@example.org", true, Outcome::kDelivered,
       "[\"main@example.org\", \"copy@example.org\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.recipients);
    SmtpSink sink({"--reject-rcpt", std::string(c.code) + ":refused@example.org"});
    UseServer(sink);
    const SubmissionResult result = SubmitMessage("office", "", c.recipients, "s", "b", "", error_);
    EXPECT_EQ(result.Delivered(), c.sent);
    EXPECT_EQ(result.outcome, c.outcome);
    const std::string reply = std::string(c.code) + " 5.1.1 <refused@example.org>: recipient rejected by the test";
    if (!c.sent) {
      // The facility's code for a refused recipient; the server's own code is in its reply.
      EXPECT_EQ(error_, SendFailedText("14", reply));
      EXPECT_EQ(RefusedCopyWarnings(result), "");
      EXPECT_EQ(sink.MessageCount(), 0);
      EndMapiSession();
      continue;
    }
    EXPECT_EQ(error_, "");
    EXPECT_EQ(RefusedCopyWarnings(result), texts::CopyRefused() + "refused@example.org\" (" + reply + ");");
    ASSERT_EQ(sink.MessageCount(), 1);
    EXPECT_NE(sink.Envelope(1).find(std::string("\"rcpt_tos\": ") + c.delivered), std::string::npos) << sink.Envelope(1);
    EXPECT_EQ(sink.Digest(1)["to"], "main@example.org");
    // The next message of the session says nothing about the last one's copies.
    const SubmissionResult next = SubmitMessage("office", "", "main@example.org", "s", "b", "", error_);
    ASSERT_TRUE(next.Delivered()) << error_;
    EXPECT_EQ(RefusedCopyWarnings(next), "");
    EndMapiSession();
  }
}

TEST_F(Submission, RejectedOrDroppedDataIsAFailure) {
  {
    SmtpSink sink({"--reject-data", "554"});
    UseServer(sink);
    EXPECT_FALSE(Send("a@example.org", "s", "b"));
    EXPECT_EQ(error_, SendFailedText("2", "554 5.6.0 message rejected by the test"));
    EXPECT_EQ(sink.MessageCount(), 0);
  }
  {
    SmtpSink sink({"--drop-data"});
    UseServer(sink);
    EXPECT_FALSE(Send("a@example.org", "s", std::string(20000, 'x')));
    EXPECT_EQ(error_.rfind(texts::SendFailed() + "2\" (", 0), 0u) << error_;
    EXPECT_EQ(sink.MessageCount(), 0);
  }
}

TEST_F(Submission, RefusesAddressesThatCouldInjectCommands) {
  SmtpSink sink;
  UseServer(sink);
  const std::string bad[] = {
      "victim@example.org\r\nRCPT TO:<evil@example.org>",
      "victim@example.org\nevil@example.org",
      std::string("victim@example.org\0evil", 23),
      "Victim <victim@example.org>",
      "victim@example.org>",
      "no-at-sign",
  };
  for (const std::string& recipient : bad) {
    EXPECT_FALSE(Send("good@example.org; " + recipient, "s", "b"));
    EXPECT_EQ(error_.rfind(texts::SendFailed() + "25\" (Recipient 2: Invalid address", 0), 0u) << error_;
    EXPECT_EQ(error_.find('\n'), std::string::npos);
    EXPECT_EQ(error_.find('\r'), std::string::npos);
  }
  // Empty entries count as recipients with empty names, which the facility refuses.
  EXPECT_FALSE(Send(";", "s", "b"));
  EXPECT_EQ(error_, SendFailedText("25", "Recipient 1: Empty address"));
  EXPECT_FALSE(Send("a@example.org ; ; b@example.org", "s", "b"));
  EXPECT_EQ(error_, SendFailedText("25", "Recipient 2: Empty address"));
  EXPECT_EQ(sink.MessageCount(), 0);
}

TEST_F(Submission, SubjectAndAttachmentNameNeverBreakAHeaderLine) {
  SmtpSink sink;
  UseServer(sink);
  const std::string subject = "Hello\r\nBcc: evil@example.org\r\n\r\nInjected body";
  const std::string attachment = Attachment("name\nX-Injected: 1.txt", "x");
  ASSERT_TRUE(Send("a@example.org", subject, "b", attachment)) << error_;
  ASSERT_EQ(sink.MessageCount(), 1);
  EXPECT_NE(sink.Envelope(1).find("\"rcpt_tos\": [\"a@example.org\"]"), std::string::npos);
  auto mail = sink.Digest(1);
  EXPECT_EQ(mail["bcc"], "");
  EXPECT_EQ(mail["subject"], subject);
  EXPECT_EQ(mail["body"], "b");
  EXPECT_EQ(mail["raw_headers_ascii"], "1");
  const std::string raw = ReadFile(sink.MessagePath(1));
  EXPECT_EQ(raw.find("\nBcc:"), std::string::npos);
  EXPECT_EQ(raw.find("\nX-Injected:"), std::string::npos);
  EXPECT_EQ(mail["attachment.0.filename"], "name_X-Injected: 1.txt");
}

TEST_F(Submission, StartTlsAskedForIsNeverDroppedToPlainText) {
  SmtpSink sink;  // offers no STARTTLS
  UseServer(sink, "starttls=1\n");
  EXPECT_FALSE(Send("a@example.org", "s", "b"));
  EXPECT_EQ(error_.rfind(texts::LogonFailed() + "office\"! (", 0), 0u) << error_;
  EXPECT_EQ(sink.MessageCount(), 0);
}

// A self-signed certificate for 127.0.0.1, made with the openssl tool.
bool MakeCertificate(const TempFolder& folder) {
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                              "-addext subjectAltName=IP:127.0.0.1 -keyout '" + (folder / "key.pem") +
                              "' -out '" + (folder / "cert.pem") + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

TEST_F(Submission, TlsVerifiesTheServerCertificate) {
  ASSERT_TRUE(MakeCertificate(folder_));
  const std::vector<std::string> tls = {"--tls-cert", folder_ / "cert.pem", "--tls-key", folder_ / "key.pem"};
  {
    std::vector<std::string> options = tls;
    options.push_back("--starttls");
    SmtpSink sink(options);
    // Unknown issuer: refused, nothing sent.
    UseServer(sink, "starttls=1\n");
    EXPECT_FALSE(Send("a@example.org", "s", "b"));
    EXPECT_EQ(error_.rfind(texts::LogonFailed() + "office\"! (", 0), 0u) << error_;
    EXPECT_EQ(sink.MessageCount(), 0);
    // With the profile's CA file the same server is trusted.
    UseServer(sink, "starttls=1\ncafile=" + (folder_ / "cert.pem") + "\n");
    EXPECT_TRUE(Send("a@example.org", W("Тема"), W("Текст"))) << error_;
    ASSERT_EQ(sink.MessageCount(), 1);
    EXPECT_EQ(sink.Digest(1)["subject"], "Тема");
  }
  {
    std::vector<std::string> options = tls;
    options.push_back("--smtps");
    SmtpSink sink(options);
    WriteProfiles("[office]\nurl=" + sink.url("smtps") + "\nfrom=relay@example.org\ncafile=" + (folder_ / "cert.pem") + "\n");
    EXPECT_TRUE(Send("a@example.org", "s", "b")) << error_;
    EXPECT_EQ(sink.MessageCount(), 1);
  }
}

TEST_F(Submission, PickupFolderReceivesOneCompleteFile) {
  const std::string pickup = folder_ / "pickup";
  fs::create_directory(pickup);
  WriteProfiles("[Profiles]\nDefaultProfile=drop\n[drop]\nurl=file://" + pickup + "\nfrom=relay@example.org\n");
  const std::string data = RandomBytes(5000);
  const std::string attachment = Attachment("данные.bin", data);
  ASSERT_TRUE(Send("to@example.org ; copy@example.org", W("Тема письма"), W("Текст письма\r\n"), attachment, "drop"))
      << Cp1251ToUtf8(error_);
  ASSERT_TRUE(Send("second@example.org", "two", "2", "", "drop")) << error_;
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(pickup)) files.push_back(entry.path().string());
  ASSERT_EQ(files.size(), 2u);  // no temporary file left behind
  std::sort(files.begin(), files.end());
  int checked = 0;
  for (const std::string& file : files) {
    EXPECT_EQ(fs::path(file).extension(), ".eml");
    auto mail = testing::DigestMessage(file);
    if (mail["to"] != "to@example.org") continue;
    ++checked;
    EXPECT_EQ(mail["cc"], "copy@example.org");
    EXPECT_EQ(mail["subject"], "Тема письма");
    EXPECT_EQ(mail["body"], "Текст письма\r\n");
    EXPECT_EQ(mail["attachment.0.filename"], "данные.bin");
    EXPECT_EQ(mail["attachment.0.data"], data);
  }
  EXPECT_EQ(checked, 1);

  // The folder is checked once per session: one that went away meanwhile fails the write, and
  // the next logon checks again and fails.
  fs::remove_all(pickup);
  EXPECT_FALSE(Send("to@example.org", "s", "b", "", "drop"));
  EXPECT_EQ(error_, SendFailedText("2", "Pickup folder " + pickup + "/: No such file or directory"));
  EXPECT_FALSE(Send("to@example.org", "s", "b", "", "drop"));
  EXPECT_EQ(error_, texts::LogonFailed() + "drop\"! (Pickup folder " + pickup + "/: No such file or directory);");
}

}  // namespace
}  // namespace droprelay
