// The relay's one entry into the submission facility.
#pragma once

#include <cstdint>
#include <string>

namespace droprelay {

// Hands one message to the mail submission facility through the named profile. Every problem
// appends a Windows-1251 message ending in ";" to `errorText`; true exactly when it stays empty.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

// Whether a failed submission can succeed later. Permanent: the server refused for good (a reply
// of 500 to 599), or the message itself cannot be sent (no or an invalid recipient). Temporary:
// everything else (a reply of 400 to 499, no connection, a timeout, a refused logon, a missing
// attachment file), which may pass on a later attempt.
// Configuration: the mail profile cannot be found (its file is missing or unreadable, or it names
// no such profile); no message is to blame and waiting does not help.
enum class SubmissionFailure { kNone, kTemporary, kPermanent, kConfiguration };

// The same, also telling what kind of failure it was (kNone exactly when it answers true).
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText, SubmissionFailure& failure);

// The kind of failure a MAPISendMail result code stands for (kNone for 0).
SubmissionFailure ClassifySendResult(std::uint32_t code);
// Ends the session that SendMapiMessage keeps open between messages (QUIT to the server). Called
// once the run is over; the next SendMapiMessage would log on anew.
// The run's failed logons are forgotten with it (see submit/mapi.h).
void EndMapiSession();

// What the last SendMapiMessage has to say although it answered true: each refused copy
// recipient (the message went to the main recipient without it), Windows-1251, each ending in
// ";". Empty when there is nothing to say.
std::string SubmissionWarnings();

}  // namespace droprelay
