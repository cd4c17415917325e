// Delivery of a composed message: to an SMTP server through libcurl, or into a pickup folder.
// Each answers 0 or a non-zero code and records the failing call's own text as the last error
// (libcurl's text or the server's reply); the password never appears in that text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/compose.h"
#include "submit/mapi.h"
#include "submit/profiles.h"

namespace droprelay::submit {

// How long the client waits for the server (RFC 5321 4.5.3.2): ten minutes for the reply to the
// end of the message data, which the server may spend on filtering and delivery, and five for
// every other reply, the greeting included, and for a server that stops taking data.
struct SmtpTimeouts {
  std::chrono::seconds reply{300};
  std::chrono::seconds endOfData{600};
};

// The timeouts of every transfer started from now on. Tests shorten them.
void SetSmtpTimeouts(const SmtpTimeouts& timeouts);
SmtpTimeouts CurrentSmtpTimeouts();

struct SmtpTransfer;

// One logged-on SMTP session. The connection its logon opened is kept for every message that
// follows; when the server has closed it meanwhile, the next transfer opens a new one (greeting,
// TLS, AUTH again). Destroying the session ends a connection that is still open with QUIT.
class SmtpSession {
 public:
  SmtpSession(const MailProfile& profile, const std::string& password);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Connects, negotiates TLS as the profile asks, authenticates when it names a user, and sends
  // NOOP. 0 on success; MAPI_E_LOGIN_FAILURE for refused credentials, else MAPI_E_FAILURE.
  std::uint32_t Logon();

  // RSET before the next message: true when the session (reconnected if need be) accepted it.
  bool Reset();

  // Sends `message` (read from its first byte) to every recipient (all must be accepted). A reply
  // of 400 or above answers that reply code; an attachment that cannot be read to the end answers
  // MAPI_E_ATTACHMENT_NOT_FOUND, and the upload is abandoned before its end, so the server never
  // takes the message; other failures answer 2 (MAPI_E_FAILURE); a stop request before the data
  // went out answers MAPI_USER_ABORT.
  std::uint32_t Send(const std::vector<std::string>& recipients, ComposedMessage& message);

  // The same, with copy recipients besides: a copy the server refuses is left out (listed in
  // `refused`) and the message is sent to the others, as long as anybody is left. A refusal of
  // one of `recipients` fails the message as above. A message refused at RCPT never reached the
  // DATA stage, so sending it again cannot deliver it twice.
  std::uint32_t Send(const std::vector<std::string>& recipients, const std::vector<std::string>& copies,
                     ComposedMessage& message, std::vector<RefusedCopy>& refused);

  // Connections opened so far by this session.
  long Connections() const { return connections_; }

 private:
  std::uint32_t Command(const char* command, std::uint32_t otherFailure);
  std::uint32_t SendOnce(const std::vector<std::string>& recipients, ComposedMessage& message);

  std::unique_ptr<SmtpTransfer> transfer_;
  long connections_ = 0;
};

// True when the pickup folder exists, is a directory and can be written.
bool CheckPickupFolder(const std::string& folder);

// Writes `message` (read from its first byte, in pieces) as one new .eml file in `folder`: to a
// hidden temporary name first, then renamed, so a reader never sees a partial file and no
// existing file is replaced. A message that cannot be read to the end (message.Failed() then)
// leaves nothing behind.
bool WriteToPickupFolder(const std::string& folder, ComposedMessage& message);

}  // namespace droprelay::submit
