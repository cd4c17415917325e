// The submission facility's parts that need no server: profiles, address checks, composition.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "submit/address.h"
#include "mail/compose.h"
#include "submit/mapi.h"
#include "submit/profiles.h"
#include "platform/syserror.h"
#include "smtp_sink_process.h"

namespace droprelay::submit {
namespace {

using droprelay::testing::TempFolder;

class Profiles : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DROPRELAY_PROFILES", path_.c_str(), 1); }
  void TearDown() override { ::unsetenv("DROPRELAY_PROFILES"); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  TempFolder folder_;
  std::string path_ = folder_ / "profiles.ini";
};

TEST_F(Profiles, FollowTheProfileFileRules) {
  Write(
      "; comment line\r\n"
      "[PROFILES]\r\n"
      "  defaultprofile =  \"office\"  \r\n"
      "DefaultProfile=second\r\n"
      "[Office]\r\n"
      "URL = smtp://mail.example.org:587\r\n"
      "from=relay@example.org ; not a comment\r\n"
      "; user=ignored\r\n"
      "user='relay'\r\n"
      "starttls=1\r\n"
      "[office]\r\n"
      "user=second-section\r\n");
  EXPECT_EQ(submit::DefaultMailProfile(), "office");
  std::string value;
  ASSERT_TRUE(submit::ReadProfileValue(path_, "office", "from", value));
  EXPECT_EQ(value, "relay@example.org ; not a comment");
  ASSERT_TRUE(submit::ReadProfileValue(path_, "OFFICE", "User", value));
  EXPECT_EQ(value, "relay");
  EXPECT_FALSE(submit::ReadProfileValue(path_, "office", "cafile", value));

  submit::MailProfile profile;
  EXPECT_FALSE(submit::LoadMailProfile("office", profile));  // the from value is no address
  EXPECT_NE(platform::SystemErrorText().find("Invalid address"), std::string::npos) << platform::SystemErrorText();
}

TEST_F(Profiles, LoadsServerAndPickupProfiles) {
  Write("[office]\nurl=smtps://mail.example.org\nfrom=relay@example.org\nuser=u\nstarttls=yes\ncafile=/ca.pem\n"
        "[drop]\nurl=file:///var/spool/pick%20up\nfrom=relay@example.org\n");
  submit::MailProfile profile;
  ASSERT_TRUE(submit::LoadMailProfile("office", profile)) << platform::SystemErrorText();
  EXPECT_EQ(profile.kind, MailProfile::Kind::kSmtp);
  EXPECT_EQ(profile.url, "smtps://mail.example.org");
  EXPECT_EQ(profile.user, "u");
  EXPECT_TRUE(profile.starttls);
  EXPECT_EQ(profile.cafile, "/ca.pem");
  ASSERT_TRUE(submit::LoadMailProfile("Drop", profile)) << platform::SystemErrorText();
  EXPECT_EQ(profile.kind, MailProfile::Kind::kPickup);
  EXPECT_EQ(profile.pickupFolder, "/var/spool/pick up/");
}

TEST_F(Profiles, RefuseWhatCannotWork) {
  Write("[noscheme]\nurl=mail.example.org\nfrom=a@example.org\n"
        "[ftp]\nurl=ftp://example.org\nfrom=a@example.org\n"
        "[nofrom]\nurl=smtp://example.org\n"
        "[relative]\nurl=file://spool\nfrom=a@example.org\n"
        "[badtls]\nurl=smtp://example.org\nfrom=a@example.org\nstarttls=maybe\n"
        "[crfrom]\nurl=smtp://example.org\nfrom=a@example.org\rRCPT TO:<b@example.org>\n"
        "[cruser]\nurl=smtp://example.org\nfrom=a@example.org\nuser=u\rx\n"
        "[crurl]\nurl=smtp://example.org\r/x\nfrom=a@example.org\n");
  submit::MailProfile profile;
  for (const char* name : {"noscheme", "ftp", "nofrom", "relative", "badtls", "cruser", "missing", "", "  "}) {
    platform::SetLastErrorText("");
    EXPECT_FALSE(submit::LoadMailProfile(name, profile)) << name;
    EXPECT_NE(platform::SystemErrorText(), "") << name;
  }
  // A lone CR ends a line, as the profile API reads it: no value can carry one into a command.
  ASSERT_TRUE(submit::LoadMailProfile("crfrom", profile));
  EXPECT_EQ(profile.from, "a@example.org");
  ASSERT_TRUE(submit::LoadMailProfile("crurl", profile));
  EXPECT_EQ(profile.url, "smtp://example.org");
}

TEST_F(Profiles, DefaultProfileIsEmptyOnAnyFailure) {
  EXPECT_EQ(submit::DefaultMailProfile(), "");  // no file
  Write("[office]\nurl=smtp://x\n");
  EXPECT_EQ(submit::DefaultMailProfile(), "");  // no section
  Write("[Profiles]\nOther=1\n");
  EXPECT_EQ(submit::DefaultMailProfile(), "");  // no key
}

TEST(AddressProblem, AcceptsMailboxesAndRefusesEverythingElse) {
  for (const char* good : {"a@example.org", "first.last+tag@sub.example.org", "x@[127.0.0.1]", "postmaster@localhost"}) {
    EXPECT_EQ(submit::AddressProblem(good), "") << good;
  }
  const std::string bad[] = {"", "a@example.org\r\n", "a\n@example.org", std::string("a@b\0c", 5), "a@b\tc",
                             "<a@example.org>", "A <a@example.org>", "a b@example.org", "no-at", "@example.org",
                             "a@", "a@b@c", "a,b@example.org", "a@exa;mple.org", "\"q\"@example.org",
                             "\xD0\x90@example.org", std::string(300, 'a') + "@example.org"};
  for (const std::string& address : bad) {
    const std::string problem = submit::AddressProblem(address);
    EXPECT_NE(problem, "") << submit::EscapeForText(address);
    EXPECT_EQ(problem.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << problem;
  }
}

TEST(Compose, HeaderValuesAreShortPrintableLines) {
  const std::string subjects[] = {"Отчёт за май — «итоги»", std::string(500, 'x') + " " + std::string(600, 'y'),
                                  "a\r\nBcc: x@example.org", "=?utf-8?B?Zm9v?=", std::string(300, '\xD0')};
  for (const std::string& subject : subjects) {
    const std::string encoded = EncodeUnstructured(subject, 900);
    std::size_t start = 0;
    for (std::size_t end = encoded.find("\r\n"); start != std::string::npos;
         start = end == std::string::npos ? end : end + 2, end = encoded.find("\r\n", start)) {
      const std::string line = encoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
      EXPECT_LE(line.size(), 998u);
      for (const char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << subject;
      if (encoded.rfind("=?", 0) == 0) {
        EXPECT_LE(line.size(), 76u);
      }
    }
  }
  EXPECT_EQ(EncodeUnstructured("Plain subject", 900), "Plain subject");
}

TEST(Compose, FileNameParameters) {
  EXPECT_EQ(FileNameParameter("filename", "report.pdf"), "filename=\"report.pdf\"");
  EXPECT_EQ(FileNameParameter("filename", "a\"b.txt"), "filename*=utf-8''a%22b.txt");
  EXPECT_EQ(FileNameParameter("name", "Счёт.txt"), "name*=utf-8''%D0%A1%D1%87%D1%91%D1%82.txt");
  EXPECT_EQ(FileNameParameter("filename", "a\r\nb.txt"), "filename=\"a__b.txt\"");
}

TEST(Compose, MessageEndsInCrLfAndUsesCrLfOnly) {
  OutgoingMessage message;
  message.from = "r@example.org";
  message.to = {"a@example.org"};
  message.subject = "s";
  message.body = "one\ntwo\rthree";
  message.attachments.push_back({"x.bin", std::string("\0\1\2", 3)});
  const MessageStamp stamp{"Mon, 7 Dec 2026 10:00:00 +0300", "<id@example.org>", "=_b"};
  const std::string text = ComposeMessage(message, stamp);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      EXPECT_EQ(text[i - 1], '\r') << i;
    }
    if (text[i] == '\r') {
      EXPECT_EQ(text[i + 1], '\n') << i;
    }
  }
  EXPECT_NE(text.find("one\r\ntwo\r\nthree=\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n--=_b--\r\n"), std::string::npos);
  EXPECT_NE(text.find("Date: Mon, 7 Dec 2026 10:00:00 +0300\r\n"), std::string::npos);
}

// Trace fields come before everything else; one that could break the header is left out.
TEST(Compose, TraceFieldsComeFirstAndOnlyWellFormed) {
  const std::string folded = "Received: by host (droprelay /var/spool/drop/);\r\n\tMon, 7 Dec 2026 10:00:00 +0300";
  struct Case {
    std::string field;
    bool kept;
  };
  const Case cases[] = {
      {folded, true},
      {"Received: by host; Mon, 7 Dec 2026 10:00:00 +0300", true},
      {"Received: a\r\nBcc: evil@example.org", false},  // a line break that is no fold
      {"Received: a\nb", false},
      {"Received: a\rb", false},
      {"Received: a\r\n", false},  // a fold with nothing after it
      {"Received: \xD0\x90", false},
      {std::string("Received: a\0b", 12), false},
      {"Received: " + std::string(990, 'x'), false},
      {"Received: " + std::string(500, 'x') + "\r\n " + std::string(500, 'y'), true},
      {"", false},
  };
  for (const Case& c : cases) {
    OutgoingMessage message;
    message.from = "r@example.org";
    message.to = {"a@example.org"};
    message.traceFields = {c.field, "Received: second"};
    const std::string text = ComposeMessage(message, MessageStamp{"date", "<id@example.org>", "=_b"});
    const std::string expected = (c.kept ? c.field + "\r\n" : std::string()) + "Received: second\r\nFrom: ";
    EXPECT_EQ(text.substr(0, expected.size()), expected) << EscapeForText(c.field);
  }
}

TEST(Mapi, SendWithoutLogonIsAnInvalidSession) {
  submit::MapiMessage message{};
  EXPECT_EQ(submit::MAPISendMail(0, 0, &message, submit::MAPI_LOGON_UI, 0), submit::MAPI_E_INVALID_SESSION);
  submit::LHANDLE session = 0;
  EXPECT_NE(submit::MAPILogon(0, nullptr, nullptr, submit::MAPI_LOGON_UI, 0, &session), submit::SUCCESS_SUCCESS);
  EXPECT_EQ(session, 0u);
}

}  // namespace
}  // namespace droprelay::submit
