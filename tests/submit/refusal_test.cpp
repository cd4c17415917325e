// What a refusal means: the classification rules as one table, and the submission's value against
// a real SMTP server on loopback that refuses where and how real servers do (Postfix, Exchange
// Online), so each answer is seen with its step, codes, outcome and the facility's MAPI code.
#include <gtest/gtest.h>

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
using Step = SmtpStep;
using Break = SmtpBreak;

constexpr const char* kSendAs =
    "554 5.2.0 STOREDRV.Submission.Exception:SendAsDeniedException.MapiExceptionSendAsDenied; Failed to process "
    "message due to a permanent exception with message Cannot submit message.";
constexpr const char* kQuota =
    "554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException; Failed to process message due to a "
    "permanent exception with message Cannot submit message.";

TEST(ClassifyRefusal, Rules) {
  struct Case {
    Step step;
    int code;
    const char* enhanced;
    const char* text;
    Outcome outcome;
    Break broken = Break::kNone;
    bool dataSent = false;
  };
  const Case cases[] = {
      // The sender: any 5xx to MAIL FROM, except the message's own size.
      {Step::kMailFrom, 550, "5.7.1", "550 5.7.1 Sender rejected", Outcome::kSenderRefused},
      {Step::kMailFrom, 553, "", "553 sorry, that domain isn't allowed", Outcome::kSenderRefused},
      {Step::kMailFrom, 552, "5.3.4", "552 5.3.4 Message size exceeds fixed limit", Outcome::kRefused},
      {Step::kMailFrom, 554, "5.3.4", "554 5.3.4 Message too big for system", Outcome::kRefused},
      {Step::kMailFrom, 451, "4.3.0", "451 4.3.0 Temporary lookup failure", Outcome::kServerBusy},
      // The account: 530, 535, 538 anywhere; a 4xx logon refusal is temporary.
      {Step::kAuth, 535, "5.7.8", "535 5.7.8 Authentication credentials invalid", Outcome::kAccountRefused},
      {Step::kMailFrom, 530, "5.7.0", "530 5.7.0 Authentication required", Outcome::kAccountRefused},
      {Step::kAuth, 538, "5.7.11", "538 5.7.11 Encryption required", Outcome::kAccountRefused},
      {Step::kRcptTo, 530, "", "530 Must issue a STARTTLS command first", Outcome::kAccountRefused},
      {Step::kAuth, 454, "4.7.0", "454 4.7.0 Temporary authentication failure", Outcome::kLogonRefused},
      {Step::kAuth, 421, "4.7.0", "421 4.7.0 Try again later", Outcome::kLogonRefused},
      {Step::kAuth, 504, "5.5.4", "504 5.5.4 Unrecognized authentication type", Outcome::kAccountRefused},
      // The sender's rights by their enhanced codes, at any step (Exchange Online after DATA).
      {Step::kMailFrom, 530, "5.7.57", "530 5.7.57 Client not authenticated to send mail", Outcome::kAccountRefused},
      {Step::kAuth, 535, "5.7.139", "535 5.7.139 SmtpClientAuthentication is disabled", Outcome::kAccountRefused},
      {Step::kData, 550, "5.7.57", "550 5.7.57 Client not authenticated", Outcome::kAccountRefused},
      {Step::kData, 550, "5.7.60", "550 5.7.60 Client does not have permissions to send as this sender",
       Outcome::kSenderRefused},
      {Step::kRcptTo, 550, "5.7.60", "550 5.7.60 Client does not have permissions", Outcome::kSenderRefused},
      {Step::kData, 554, "5.2.0", kSendAs, Outcome::kSenderRefused},
      {Step::kData, 554, "5.2.0", "554 5.2.0 STOREDRV.Deliver; some other exception", Outcome::kRefused},
      // Quotas and rate limits: the run pauses.
      {Step::kData, 554, "5.2.0", kQuota, Outcome::kQuotaExceeded},
      {Step::kMailFrom, 450, "", "450 SubmissionQuotaExceeded", Outcome::kQuotaExceeded},
      {Step::kMailFrom, 421, "4.7.0", "421 4.7.0 Too many messages, try later", Outcome::kQuotaExceeded},
      {Step::kRcptTo, 421, "", "421 Service not available, closing channel", Outcome::kQuotaExceeded},
      {Step::kData, 421, "4.4.2", "421 4.4.2 Connection dropped", Outcome::kQuotaExceeded},
      {Step::kData, 451, "4.7.1", "451 4.7.1 Rate limit exceeded", Outcome::kQuotaExceeded},
      {Step::kRcptTo, 450, "4.7.1", "450 4.7.1 Client host rejected: too many recipients", Outcome::kQuotaExceeded},
      {Step::kConnect, 421, "4.7.0", "421 4.7.0 Too many connections", Outcome::kQuotaExceeded},
      // A message's own refusal, whatever its enhanced code; other 4xx wait.
      {Step::kRcptTo, 550, "5.1.1", "550 5.1.1 <bad@example.org>: Recipient address rejected", Outcome::kRefused},
      {Step::kRcptTo, 500, "", "500 what?", Outcome::kRefused},
      {Step::kRcptTo, 554, "5.7.1", "554 5.7.1 Relay access denied", Outcome::kRefused},
      {Step::kData, 599, "", "599 no", Outcome::kRefused},
      {Step::kData, 554, "5.6.0", "554 5.6.0 message rejected", Outcome::kRefused},
      {Step::kRcptTo, 450, "4.2.0", "450 4.2.0 <a@example.org>: Recipient address rejected: Greylisted",
       Outcome::kServerBusy},
      {Step::kData, 400, "", "400 busy", Outcome::kServerBusy},
      {Step::kData, 499, "", "499 busy", Outcome::kServerBusy},
      {Step::kData, 451, "5.6.0", "451 5.6.0 message rejected", Outcome::kServerBusy, Break::kNone, true},
      {Step::kConnect, 421, "", "421 sink.test Service not available", Outcome::kServerBusy},
      {Step::kOther, 452, "", "452 later", Outcome::kServerBusy},
      // A refusal of the connection itself, or of NOOP/RSET.
      {Step::kConnect, 554, "5.7.1", "554 5.7.1 Client host blocked", Outcome::kAccountRefused},
      {Step::kOther, 502, "5.5.1", "502 5.5.1 Not implemented", Outcome::kSendFailed},
      // No failing reply: how the exchange broke, and whether the data had gone out.
      {Step::kConnect, 0, "", "", Outcome::kNoConnection, Break::kNoConnection},
      {Step::kRcptTo, 0, "", "", Outcome::kNoConnection, Break::kNoConnection},
      {Step::kConnect, 0, "", "", Outcome::kNoConnection, Break::kBroken},
      {Step::kAuth, 0, "", "", Outcome::kNoConnection, Break::kBroken},
      {Step::kAuth, 0, "", "", Outcome::kLogonRefused, Break::kNoLogon},
      {Step::kMailFrom, 0, "", "", Outcome::kSendFailed, Break::kBroken},
      {Step::kData, 0, "", "", Outcome::kSendFailed, Break::kBroken},
      {Step::kData, 0, "", "", Outcome::kUncertain, Break::kBroken, true},
      {Step::kData, 0, "", "", Outcome::kUncertain, Break::kNoConnection, true},
  };
  for (const Case& c : cases) {
    SmtpFailure failure;
    failure.step = c.step;
    failure.code = c.code;
    failure.enhanced = c.enhanced;
    failure.text = c.text;
    failure.broken = c.broken;
    failure.dataSent = c.dataSent;
    EXPECT_EQ(OutcomeToken(ClassifyRefusal(failure)), OutcomeToken(c.outcome))
        << "step " << static_cast<int>(c.step) << ", " << c.code << " " << c.text << ", break "
        << static_cast<int>(c.broken) << (c.dataSent ? ", data sent" : "");
  }
}

TEST(EnhancedStatusCode, ParsedAfterTheReplyCode) {
  const std::pair<const char*, const char*> cases[] = {
      {"550 5.7.60 Client does not have permissions", "5.7.60"},
      {"535 5.7.139 Authentication unsuccessful", "5.7.139"},
      {"250-2.0.0 Ok", "2.0.0"},
      {"421 4.7.0", "4.7.0"},
      {"554 5.2.0 STOREDRV.Submission.Exception", "5.2.0"},
      {"550 Mailbox unavailable", ""},
      {"550 5.1 incomplete", ""},
      {"550 3.1.1 no such class", ""},
      {"550 5.1234.1 subject too long", ""},
      {"550 5.1.1000 detail too long", ""},
      {"550 5.1.1x", ""},
      {"5505.1.1 no separator", ""},
      {"", ""},
  };
  for (const auto& [reply, enhanced] : cases) EXPECT_EQ(EnhancedStatusCode(reply), enhanced) << reply;
}

// The facility's Simple MAPI codes for the values it answers: the number SendMapiMessage reports.
TEST(MapiCodeOf, OneCodeSpaceOnly) {
  struct Case {
    Outcome outcome;
    Step step;
    int replyCode;
    bool stopped;
    submit::ULONG code;
  };
  const Case cases[] = {
      {Outcome::kDelivered, Step::kNone, 0, false, submit::SUCCESS_SUCCESS},
      {Outcome::kRefused, Step::kRcptTo, 550, false, submit::MAPI_E_UNKNOWN_RECIPIENT},
      {Outcome::kServerBusy, Step::kRcptTo, 450, false, submit::MAPI_E_UNKNOWN_RECIPIENT},
      {Outcome::kQuotaExceeded, Step::kRcptTo, 421, false, submit::MAPI_E_UNKNOWN_RECIPIENT},
      {Outcome::kRefused, Step::kData, 554, false, submit::MAPI_E_FAILURE},
      {Outcome::kServerBusy, Step::kData, 451, false, submit::MAPI_E_FAILURE},
      {Outcome::kSenderRefused, Step::kMailFrom, 550, false, submit::MAPI_E_FAILURE},
      {Outcome::kAccountRefused, Step::kAuth, 535, false, submit::MAPI_E_LOGIN_FAILURE},
      {Outcome::kLogonRefused, Step::kAuth, 454, false, submit::MAPI_E_LOGIN_FAILURE},
      {Outcome::kNoMailProfile, Step::kNone, 0, false, submit::MAPI_E_LOGIN_FAILURE},
      {Outcome::kNoConnection, Step::kConnect, 0, false, submit::MAPI_E_FAILURE},
      {Outcome::kUncertain, Step::kData, 0, false, submit::MAPI_E_FAILURE},
      {Outcome::kBadRecipient, Step::kNone, 0, false, submit::MAPI_E_INVALID_RECIPS},
      {Outcome::kUnreadable, Step::kNone, 0, false, submit::MAPI_E_INVALID_MESSAGE},
      {Outcome::kAttachmentMissing, Step::kNone, 0, false, submit::MAPI_E_ATTACHMENT_NOT_FOUND},
      {Outcome::kSendFailed, Step::kConnect, 0, true, submit::MAPI_USER_ABORT},
      {Outcome::kSendFailed, Step::kNone, 0, false, submit::MAPI_E_FAILURE},
      {Outcome::kInternalError, Step::kNone, 0, false, submit::MAPI_E_FAILURE},
  };
  for (const Case& c : cases) {
    SubmissionResult result;
    result.outcome = c.outcome;
    result.step = c.step;
    result.replyCode = c.replyCode;
    result.stopped = c.stopped;
    EXPECT_EQ(submit::MapiCodeOf(result), c.code) << OutcomeToken(c.outcome) << " " << c.replyCode;
  }
}

class RefusalValues : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("DROPRELAY_PROFILES", (folder_ / "profiles.ini").c_str(), 1); }
  void TearDown() override {
    EndMapiSession();
    ::unsetenv("DROPRELAY_PROFILES");
  }
  void UseServer(const std::string& url, const std::string& extra) {
    std::ofstream(folder_ / "profiles.ini", std::ios::binary)
        << "[office]\nurl=" + url + "\nfrom=relay@example.org\n" + extra;
  }

  TempFolder folder_;
};

// Each case is one server and one run: the messages before the last are delivered, the last one
// answers the value shown.
TEST_F(RefusalValues, StepCodesAndOutcomeOfEachRefusal) {
  struct Case {
    const char* what;
    std::vector<std::string> sink;
    const char* recipients;
    Outcome outcome;
    Step step;
    int code;
    const char* enhanced;
    const char* reply;  // the start of the value's reply
    bool dataSent = false;
    int messages = 1;
    bool logon = false;  // the logon failed (else the send)
    const char* refusedCopy = nullptr;
  };
  const std::string auth = "relay:Right-Pass-1";
  const Case cases[] = {
      {"accepted", {}, "a@example.org", Outcome::kDelivered, Step::kNone, 0, "", ""},
      {"copy refused, message delivered", {"--reject-rcpt", "550:copy@example.org"}, "a@example.org ; copy@example.org",
       Outcome::kDelivered, Step::kNone, 0, "", "", false, 1, false,
       "550 5.1.1 <copy@example.org>: recipient rejected by the test"},
      {"main recipient refused", {"--reject-rcpt", "550:a@example.org"}, "a@example.org ; copy@example.org",
       Outcome::kRefused, Step::kRcptTo, 550, "5.1.1", "550 5.1.1 <a@example.org>: recipient rejected"},
      {"main recipient deferred", {"--reject-rcpt", "450:a@example.org"}, "a@example.org", Outcome::kServerBusy,
       Step::kRcptTo, 450, "5.1.1", "450 5.1.1 <a@example.org>"},
      {"a closing server at a copy's RCPT fails the message", {"--reject-rcpt", "421:copy@example.org"},
       "a@example.org ; copy@example.org", Outcome::kQuotaExceeded, Step::kRcptTo, 421, "5.1.1", "421 5.1.1"},
      {"send-as denied at MAIL FROM",
       {"--reply", "MAIL=550 5.7.60 SMTP; Client does not have permissions to send as this sender"}, "a@example.org",
       Outcome::kSenderRefused, Step::kMailFrom, 550, "5.7.60", "550 5.7.60 SMTP; Client does not have"},
      {"anonymous submission", {"--reply", "MAIL=530 5.7.57 Client not authenticated to send mail"}, "a@example.org",
       Outcome::kAccountRefused, Step::kMailFrom, 530, "5.7.57", "530 5.7.57 Client not authenticated"},
      {"too large for the server", {"--reply", "MAIL=552 5.3.4 Message size exceeds fixed limit"}, "a@example.org",
       Outcome::kRefused, Step::kMailFrom, 552, "5.3.4", "552 5.3.4 Message size"},
      {"wrong password", {"--auth", auth}, "a@example.org", Outcome::kAccountRefused, Step::kAuth, 535, "5.7.8",
       "535 5.7.8 Authentication credentials invalid", false, 1, true},
      {"temporary logon failure", {"--auth", auth, "--reply", "AUTH=454 4.7.0 Temporary authentication failure"},
       "a@example.org", Outcome::kLogonRefused, Step::kAuth, 454, "4.7.0", "454 4.7.0 Temporary", false, 1, true},
      {"send-as denied after DATA", {"--reply", std::string("DATA=") + kSendAs}, "a@example.org",
       Outcome::kSenderRefused, Step::kData, 554, "5.2.0", "554 5.2.0 STOREDRV.Submission.Exception:SendAs", true},
      {"submission quota after DATA", {"--reply", std::string("DATA=") + kQuota}, "a@example.org",
       Outcome::kQuotaExceeded, Step::kData, 554, "5.2.0", "554 5.2.0 STOREDRV.Submission.Exception:Submission",
       true},
      {"refused after DATA", {"--reject-data", "554"}, "a@example.org", Outcome::kRefused, Step::kData, 554, "5.6.0",
       "554 5.6.0 message rejected by the test", true},
      {"deferred after DATA: decided, not uncertain", {"--reject-data", "451"}, "a@example.org",
       Outcome::kServerBusy, Step::kData, 451, "5.6.0", "451 5.6.0", true},
      {"throttled mid-session", {"--reply", "MAIL@2=421 4.7.0 Too many messages, try again later"}, "a@example.org",
       Outcome::kQuotaExceeded, Step::kMailFrom, 421, "4.7.0", "421 4.7.0 Too many messages", false, 2},
      // Cut after the final dot without an answer: from this side a server that stored the
      // message and lost its answer looks the same.
      {"connection lost after the data", {"--drop-after-data"}, "a@example.org", Outcome::kUncertain, Step::kData, 0,
       "", "", true},
      {"no server", {"--hang-up"}, "a@example.org", Outcome::kNoConnection, Step::kConnect, 0, "", "", false, 1,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmtpSink sink(c.sink);
    const bool withAuth = !c.sink.empty() && c.sink.front() == "--auth";
    UseServer(sink.url(), withAuth ? "user=relay\n" : "");
    const std::string password = withAuth && c.outcome != Outcome::kAccountRefused ? "Right-Pass-1" : "Wrong-Pass-2";
    std::string error;
    SubmissionResult result;
    for (int i = 0; i < c.messages; ++i) {
      result = SubmitMessage("office", password, c.recipients, "s", "b", "", error);
      if (i + 1 < c.messages) {
        ASSERT_TRUE(result.Delivered()) << error;
      }
    }
    EXPECT_EQ(OutcomeToken(result.outcome), OutcomeToken(c.outcome)) << result.reply;
    EXPECT_EQ(static_cast<int>(result.step), static_cast<int>(c.step));
    EXPECT_EQ(result.replyCode, c.code);
    EXPECT_EQ(result.enhancedCode, c.enhanced);
    EXPECT_EQ(result.reply.rfind(c.reply, 0), 0u) << result.reply;
    EXPECT_EQ(result.dataSent, c.dataSent);
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.reply.find("Pass-"), std::string::npos) << "no password in the reply";
    if (c.outcome == Outcome::kDelivered) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(result.dataReply, "250 OK message accepted");
      EXPECT_EQ(sink.MessageCount(), c.messages);
      if (c.refusedCopy) {
        ASSERT_EQ(result.refusedCopies.size(), 1u);
        EXPECT_EQ(result.refusedCopies[0].address, "copy@example.org");
        EXPECT_EQ(result.refusedCopies[0].reply, c.refusedCopy);
      } else {
        EXPECT_TRUE(result.refusedCopies.empty());
      }
      EndMapiSession();
      continue;
    }
    EXPECT_EQ(result.dataReply, "");
    EXPECT_TRUE(result.refusedCopies.empty());
    EXPECT_EQ(sink.MessageCount(), c.messages - 1) << "the refused message was not stored";
    // The error text names the facility's Simple MAPI code and keeps the server's reply.
    const std::string expected =
        c.logon ? texts::LogonFailed() + "office\"! (" + result.reply + ");"
                : texts::SendFailed() + std::to_string(submit::MapiCodeOf(result)) + "\" (" + result.reply + ")!;";
    EXPECT_EQ(error, expected);
    EndMapiSession();
  }
}

}  // namespace
}  // namespace droprelay
