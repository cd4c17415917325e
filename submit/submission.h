// The relay's one entry into the submission facility.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "text/outcome.h"

namespace droprelay {

// Hands one message to the mail submission facility through the named profile. Every problem
// appends a Windows-1251 message ending in ";" to `errorText`; true exactly when it stays empty.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

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
  std::vector<RefusedCopyRecipient> refusedCopies;
  // The server's answer to the end of the data of an accepted message ("250 2.0.0 Ok: queued as
  // 4FZ..."), so the message can be followed into the server's log; empty for a pickup folder.
  std::string dataReply;
};

// The same, also telling what became of the message (kDelivered exactly when it answers true).
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText, SubmissionResult& result);

// The outcome a MAPISendMail result code stands for (kDelivered for 0).
Outcome ClassifySendResult(std::uint32_t code);
// The outcome a failed MAPILogon stands for.
Outcome ClassifyLogonResult(std::uint32_t code);

// Told by the delivery the moment the last byte of a message's data has gone out and only the
// server's answer is awaited. A failure after it leaves the message's fate unknown.
void NoteMessageDataSent();

// Ends the session that SendMapiMessage keeps open between messages (QUIT to the server). Called
// once the run is over; the next SendMapiMessage would log on anew.
// The run's failed logons are forgotten with it (see submit/mapi.h).
void EndMapiSession();

// What the last SendMapiMessage has to say although it answered true: each refused copy
// recipient (the message went to the main recipient without it), Windows-1251, each ending in
// ";". Empty when there is nothing to say.
std::string SubmissionWarnings();

}  // namespace droprelay
