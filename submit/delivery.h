// Delivery of a composed message: to an SMTP server through libcurl, or into a pickup folder.
// Each answers 0 or a non-zero code and records the failing call's own text as the last error
// (libcurl's text or the server's reply); the password never appears in that text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "submit/profiles.h"

namespace droprelay::submit {

// Connects, negotiates TLS as the profile asks, authenticates when it names a user, and sends
// NOOP. 0 when all of that succeeded.
std::uint32_t ProbeSmtpServer(const MailProfile& profile, const std::string& password);

// Sends `message` to every recipient (all must be accepted). A reply of 400 or above answers
// that reply code; other failures answer 2 (MAPI_E_FAILURE).
std::uint32_t SendSmtpMessage(const MailProfile& profile, const std::string& password,
                              const std::vector<std::string>& recipients, const std::string& message);

// True when the pickup folder exists, is a directory and can be written.
bool CheckPickupFolder(const std::string& folder);

// Writes `message` as one new .eml file in `folder`: to a hidden temporary name first, then
// renamed, so a reader never sees a partial file and no existing file is replaced.
bool WriteToPickupFolder(const std::string& folder, const std::string& message);

}  // namespace droprelay::submit
