// The relay's one entry into the submission facility.
#pragma once

#include <string>

namespace droprelay {

// Hands one message to the mail submission facility through the named profile. Every problem
// appends a Windows-1251 message ending in ";" to `errorText`; true exactly when it stays empty.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

// Ends the session that SendMapiMessage keeps open between messages (QUIT to the server). Called
// once the run is over; the next SendMapiMessage would log on anew.
void EndMapiSession();

}  // namespace droprelay
