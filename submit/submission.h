// The relay's one entry into the submission facility, and the value every submission answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/outcome.h"

namespace droprelay {

// The SMTP command a failing reply answered: a refusal is judged by where it came.
enum class SmtpStep : std::uint8_t {
  kNone,       // no reply was involved (a pickup folder, a local failure)
  kConnect,    // connecting, the greeting, EHLO and STARTTLS
  kAuth,       // the logon
  kMailFrom,   // MAIL FROM: the sender
  kRcptTo,     // RCPT TO: one recipient
  kData,       // DATA and the end of the message data
  kOther,      // NOOP, RSET, QUIT
};

// A copy recipient the server refused; the message went to the others without it.
struct RefusedCopyRecipient {
  std::string address;
  std::string reply;  // the server's reply, escaped for a log line
};

// What became of one submission, as a value the caller decides on. Nothing of it travels through
// process-wide state.
struct SubmissionResult {
  Outcome outcome = Outcome::kDelivered;
  // The server's reply (or the library's own text) when the submission failed, else empty.
  std::string reply;
  int replyCode = 0;          // the failing reply's code (550), 0 when no server answered
  std::string enhancedCode;   // its enhanced status code ("5.7.60"), when it had one
  SmtpStep step = SmtpStep::kNone;
  // The whole message had gone out to the server when the submission failed: the server may have
  // stored it and only its answer was lost, so the message may already have been delivered.
  bool dataSent = false;
  // A stop request ended it before the message data went out: no verdict on the message or the
  // server, only the end of the run.
  bool stopped = false;
  std::vector<RefusedCopyRecipient> refusedCopies;
  // The server's answer to the end of the data of an accepted message ("250 2.0.0 Ok: queued as
  // 4FZ..."), so the message can be followed into the server's log; empty for a pickup folder.
  std::string dataReply;

  bool Delivered() const { return outcome == Outcome::kDelivered; }
};

// A submission that failed with `outcome` before or without a server's reply.
inline SubmissionResult FailedSubmission(Outcome outcome, std::string reply) {
  SubmissionResult result;
  result.outcome = outcome;
  result.reply = std::move(reply);
  return result;
}

// How an SMTP exchange ended on the client's side when no failing reply of the server explains it.
enum class SmtpBreak : std::uint8_t {
  kNone,          // a failing reply explains it (its code is given)
  kNoConnection,  // no connection, TLS failed, or the server did not answer in time
  kBroken,        // the connection broke, or the dialogue went wrong, while we sent or waited
  kNoLogon,       // the server offers no way to log on that this client has
};

// One failed SMTP exchange, as far as its classification needs it.
struct SmtpFailure {
  SmtpStep step = SmtpStep::kNone;  // the command the failing reply answered, or the last one sent
  int code = 0;                     // the failing reply's code; 0 when the server gave none
  std::string_view enhanced;        // its enhanced status code, empty when it had none
  std::string_view text;            // the reply as the server wrote it
  SmtpBreak broken = SmtpBreak::kNone;
  bool dataSent = false;            // the whole message data had gone out
};

// What a failed SMTP exchange means for the message and the run. The rules, first match wins:
//   - a reply naming SubmissionQuotaExceeded: kQuotaExceeded (the run pauses);
//   - 530, 535, 538 at any step, or 5.7.57 (anonymous submission) / 5.7.139 (SMTP logon disabled):
//     kAccountRefused; 5.7.60 (send-as denied), or 5.2.0 naming SendAsDenied (Exchange Online
//     gives these after DATA): kSenderRefused. Both stop the run: no message is to blame;
//   - to AUTH: a 4xx is kLogonRefused (temporary, as 454), any other 5xx kAccountRefused;
//   - a 421 to MAIL, RCPT or DATA, or a 4xx with an enhanced code 4.7.x (rate limits,
//     throttling): kQuotaExceeded; any other 4xx: kServerBusy;
//   - to MAIL FROM: a 5xx is kSenderRefused, except a size refusal (552 or x.3.4), which
//     libcurl's SIZE parameter brings forward from DATA and which is the message's own: kRefused;
//   - to RCPT TO and DATA: a 5xx is that message's refusal (kRefused), whatever its enhanced
//     code, so one bad address never holds the others;
//   - a 5xx refusing the connection itself (greeting, EHLO, STARTTLS): kAccountRefused; one to
//     NOOP or RSET: kSendFailed;
//   - no failing reply: the data gone out makes it kUncertain (the server may have stored it);
//     no connection, a TLS failure, a timeout, or a connection broken before the envelope:
//     kNoConnection; no usable logon mechanism: kLogonRefused; a connection broken later, before
//     the data's terminator left: kSendFailed.
Outcome ClassifyRefusal(const SmtpFailure& failure);

// The enhanced status code after a reply's code ("5.7.60" of "550 5.7.60 Client does not ..."),
// empty when the reply carries none.
std::string EnhancedStatusCode(std::string_view reply);

// Hands one message to the mail submission facility through the named profile (SendMapiMessage's
// steps). Every problem appends a Windows-1251 message ending in ";" to `errorText`; the result is
// kDelivered exactly when it stays empty. A refused copy recipient leaves the message delivered
// and is listed in refusedCopies.
SubmissionResult SubmitMessage(const std::string& profileName, const std::string& password,
                               const std::string& recipients, const std::string& subject, const std::string& body,
                               const std::string& attachmentPath, std::string& errorText);

// SubmitMessage answering true exactly when the message was delivered.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

// What a delivered result has to say all the same: each refused copy recipient (the message went
// to the main recipient without it), Windows-1251, each ending in ";". Empty when there is nothing.
std::string RefusedCopyWarnings(const SubmissionResult& result);

// Ends the session that SubmitMessage keeps open between messages: QUIT to the server, whose
// answer is awaited a few seconds at most; once a stop was asked, the connection is closed without
// QUIT. Called once the run is over; the next SubmitMessage would log on anew.
// The run's failed logons are forgotten with it (see submit/mapi.h).
void EndMapiSession();

}  // namespace droprelay
