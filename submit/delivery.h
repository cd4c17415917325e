// Delivery of a composed message: to an SMTP server through libcurl, or into a pickup folder.
// Each answers a SubmissionResult: the outcome, the failing call's own text (libcurl's, the
// server's reply, the system's) with the password never in it, and for SMTP the reply's code,
// enhanced code and step.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/compose.h"
#include "submit/profiles.h"
#include "submit/submission.h"

namespace droprelay::submit {

// How long the client waits for the server (RFC 5321 4.5.3.2): ten minutes for the reply to the
// end of the message data, which the server may spend on filtering and delivery, and five for
// every other reply, the greeting included, and for a server that stops taking data. The answer
// to QUIT decides nothing, and a stop must not wait for it: a few seconds at most.
struct SmtpTimeouts {
  std::chrono::seconds reply{300};
  std::chrono::seconds endOfData{600};
  std::chrono::seconds quit{5};
};

// The timeouts of every transfer started from now on. Tests shorten them.
void SetSmtpTimeouts(const SmtpTimeouts& timeouts);

struct SmtpTransfer;

// One logged-on SMTP session. The connection its logon opened is kept for every message that
// follows; when the server has closed it meanwhile, the next transfer opens a new one (greeting,
// TLS, AUTH again). A transfer that failed without the server's answer explaining it (the
// connection broke, a reply did not come in time, the upload was abandoned, a stop) drops its
// connection without RSET or QUIT, and the next transfer opens a new one.
// Destroying the session ends a connection that is still open with QUIT, waiting for its answer
// no longer than SmtpTimeouts::quit; once a stop was asked, it closes the connection without QUIT.
class SmtpSession {
 public:
  SmtpSession(const MailProfile& profile, const std::string& password);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Connects, negotiates TLS as the profile asks, authenticates when it names a user, and sends
  // NOOP. kDelivered on success; otherwise why not (ClassifyRefusal: kNoConnection,
  // kAccountRefused for refused credentials, kLogonRefused for a temporary refusal ...).
  SubmissionResult Logon();

  // RSET before the next message: kDelivered when the session (reconnected if need be) took it.
  SubmissionResult Reset();

  // Sends `message` (read from its first byte) to every recipient (all must be accepted). A
  // refusal is classified by ClassifyRefusal; an attachment that cannot be read to the end answers
  // kAttachmentMissing, and the upload is abandoned before its end, so the server never takes the
  // message; a stop request before the data went out answers `stopped`. A delivered message
  // carries the server's reply to its data in dataReply.
  SubmissionResult Send(const std::vector<std::string>& recipients, ComposedMessage& message);

  // The same, with copy recipients besides: a copy the server refuses for itself (kRefused or
  // kServerBusy) is left out, listed in refusedCopies, and the message is sent to the others, as
  // long as anybody is left. Any other refusal (of one of `recipients`, or a quota, a refused
  // sender or account at a copy's RCPT) fails the message as above. A message refused at RCPT
  // never reached the DATA stage, so sending it again cannot deliver it twice.
  SubmissionResult Send(const std::vector<std::string>& recipients, const std::vector<std::string>& copies,
                        ComposedMessage& message);

  // Connections opened so far by this session.
  long Connections() const { return connections_; }

 private:
  void End();
  SubmissionResult Command(const char* command);
  SubmissionResult SendOnce(const std::vector<std::string>& recipients, ComposedMessage& message);

  std::unique_ptr<SmtpTransfer> transfer_;
  long connections_ = 0;
};

// kDelivered when the pickup folder exists, is a directory and can be written; kLogonRefused with
// the reason otherwise.
SubmissionResult CheckPickupFolder(const std::string& folder);

// Writes `message` (read from its first byte, in pieces) as one new .eml file in `folder`: to a
// hidden temporary name first, then renamed, so a reader never sees a partial file and no
// existing file is replaced, and the folder is flushed after the rename. A message that cannot be
// read to the end (message.Failed() then) leaves nothing behind and answers kAttachmentMissing; a
// failed write kSendFailed. When the folder cannot be flushed after the rename, the file is taken
// back and the answer is kSendFailed with the system's error, so the next attempt does not deliver
// it twice; a file that cannot be taken back (a reader may have it) answers kUncertain.
SubmissionResult WriteToPickupFolder(const std::string& folder, ComposedMessage& message);

}  // namespace droprelay::submit
