// The relay's one entry into the submission facility.
#pragma once

#include <cstdint>
#include <string>

#include "text/outcome.h"

namespace droprelay {

// Hands one message to the mail submission facility through the named profile. Every problem
// appends a Windows-1251 message ending in ";" to `errorText`; true exactly when it stays empty.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

// What became of one submission, as a value the caller decides on.
struct SubmissionResult {
  Outcome outcome = Outcome::kDelivered;
  // The server's reply (or the library's own text) when the submission failed, else empty.
  std::string reply;
  // The whole message had gone out to the server when the submission failed: the server may have
  // stored it and only its answer was lost, so the message may already have been delivered.
  bool dataSent = false;
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
