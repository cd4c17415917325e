// MAPILogon and MAPISendMail over mail profiles and droprelay's own delivery.
#include "submit/mapi.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>

#include "submit/address.h"
#include "mail/compose.h"
#include "submit/delivery.h"
#include "submit/profiles.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"

namespace droprelay::submit {
namespace {

struct Session {
  LHANDLE handle = 0;
  MailProfile profile;
  std::string password;
  std::unique_ptr<SmtpSession> smtp;  // a server profile's logged-on connection
};

// The one open session. The submission logs on for every message; a logon with the same profile
// and password as the open session takes that session over instead of opening another, so a run
// makes one connection (one folder check) however many messages it sends.
std::unique_ptr<Session> current;
LHANDLE nextHandle = 1;

// Logons that failed in this run, answered again at once (see mapi.h).
struct FailedLogon {
  MailProfile profile;
  std::string password;
  ULONG code;
  std::string text;
};
std::vector<FailedLogon> failedLogons;

std::vector<RefusedCopy> refusedCopies;
std::vector<std::string> traceFields;

constexpr const char* kStopped = "Stopped by a termination signal before the message was sent";

bool SameProfile(const MailProfile& a, const MailProfile& b) {
  return a.name == b.name && a.kind == b.kind && a.url == b.url && a.pickupFolder == b.pickupFolder &&
         a.from == b.from && a.user == b.user && a.starttls == b.starttls && a.cafile == b.cafile;
}

// The open session can serve the next message: RSET ends whatever the last message left behind
// and proves the connection still there (libcurl opens a new one when the server closed it).
const FailedLogon* FindFailedLogon(const MailProfile& profile, const std::string& password) {
  for (const FailedLogon& failed : failedLogons) {
    if (failed.password == password && SameProfile(failed.profile, profile)) return &failed;
  }
  return nullptr;
}

bool TakeOver(const Session& session, const MailProfile& profile, const std::string& password) {
  if (session.password != password || !SameProfile(session.profile, profile)) return false;
  if (session.profile.kind == MailProfile::Kind::kPickup) return true;
  return session.smtp && session.smtp->Reset();
}

std::string FileNamePart(std::string_view path) {
  const std::size_t cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// Opens the attachment; its content is read while the message goes out.
bool OpenAttachment(const std::string& path, OutgoingAttachment& attachment) {
  const auto fail = [&](const std::string& why) {
    platform::SetLastErrorText("Cannot read attachment \"" + EscapeForText(path) + "\": " + why);
    return false;
  };
  // Non-blocking, so a named pipe under the name is refused instead of waited on.
  platform::FileDescriptor file = platform::OpenFile(path, {.nonBlocking = true});
  if (!file) return fail(strerrordesc_np(errno));
  const std::optional<platform::FileStatus> st = platform::StatusOf(file);
  if (!st) return fail(strerrordesc_np(errno));
  if (!st->IsRegular()) return fail("not a regular file");
  attachment.file = std::make_shared<const AttachmentFile>(AttachmentFile{std::move(file), st->size, EscapeForText(path)});
  return true;
}

ULONG SendMail(const Session& session, const MapiMessage& message) {
  OutgoingMessage outgoing;
  outgoing.from = session.profile.from;
  outgoing.subject = message.lpszSubject ? message.lpszSubject : "";
  outgoing.body = message.lpszNoteText ? message.lpszNoteText : "";

  if (message.nRecipCount == 0 || message.lpRecips == nullptr) {
    platform::SetLastErrorText("The message has no recipients");
    return MAPI_E_INVALID_RECIPS;
  }
  outgoing.traceFields = traceFields;
  std::vector<std::string> envelope;
  std::vector<std::string> copies;
  for (ULONG i = 0; i < message.nRecipCount; ++i) {
    const MapiRecipDesc& recipient = message.lpRecips[i];
    const char* given = recipient.lpszAddress && *recipient.lpszAddress ? recipient.lpszAddress : recipient.lpszName;
    std::string address = given ? given : "";
    // Simple MAPI addresses may carry their address type.
    if (address.size() > 5 && (address.compare(0, 5, "SMTP:") == 0 || address.compare(0, 5, "smtp:") == 0)) {
      address.erase(0, 5);
    }
    if (const std::string problem = AddressProblem(address); !problem.empty()) {
      platform::SetLastErrorText("Recipient " + std::to_string(i + 1) + ": " + problem);
      return MAPI_E_INVALID_RECIPS;
    }
    switch (recipient.ulRecipClass) {
      case MAPI_TO: outgoing.to.push_back(address); break;
      case MAPI_CC: outgoing.cc.push_back(address); break;
      case MAPI_BCC: break;
      default:
        platform::SetLastErrorText("Recipient " + std::to_string(i + 1) + ": unknown recipient class " +
                         std::to_string(recipient.ulRecipClass));
        return MAPI_E_BAD_RECIPTYPE;
    }
    (recipient.ulRecipClass == MAPI_TO ? envelope : copies).push_back(address);
  }

  if (message.nFileCount > 0 && message.lpFiles == nullptr) {
    platform::SetLastErrorText("The message names attachments but has none");
    return MAPI_E_ATTACHMENT_NOT_FOUND;
  }
  for (ULONG i = 0; i < message.nFileCount; ++i) {
    const MapiFileDesc& file = message.lpFiles[i];
    const std::string path = file.lpszPathName ? file.lpszPathName : "";
    OutgoingAttachment attachment;
    if (!OpenAttachment(path, attachment)) return MAPI_E_ATTACHMENT_NOT_FOUND;
    attachment.fileName = file.lpszFileName && *file.lpszFileName ? file.lpszFileName : FileNamePart(path);
    outgoing.attachments.push_back(std::move(attachment));
  }

  ComposedMessage composed(outgoing, NewMessageStamp(outgoing.from));
  if (session.profile.kind == MailProfile::Kind::kPickup) {
    if (WriteToPickupFolder(session.profile.pickupFolder, composed)) return SUCCESS_SUCCESS;
    return composed.Failed() ? MAPI_E_ATTACHMENT_NOT_FOUND : MAPI_E_FAILURE;
  }
  if (!session.smtp) {
    platform::SetLastErrorText("Invalid mail session");
    return MAPI_E_INVALID_SESSION;
  }
  return session.smtp->Send(envelope, copies, composed, refusedCopies);
}

}  // namespace

ULONG MAPILogon(ULONG, const char* lpszProfileName, const char* lpszPassword, FLAGS, ULONG, LHANDLE* lplhSession) {
  try {
    if (lplhSession == nullptr) {
      platform::SetLastErrorText("No place for the session handle");
      return MAPI_E_FAILURE;
    }
    if (platform::TerminationRequested()) {
      platform::SetLastErrorText(kStopped);
      return MAPI_USER_ABORT;
    }
    auto session = std::make_unique<Session>();
    if (!LoadMailProfile(lpszProfileName ? lpszProfileName : "", session->profile)) return MAPI_E_LOGIN_FAILURE;
    // The caller's password wins; without one, the profile's own (password= or passwordfile=).
    session->password = lpszPassword && *lpszPassword ? lpszPassword : session->profile.password;
    if (const FailedLogon* failed = FindFailedLogon(session->profile, session->password)) {
      platform::SetLastErrorText(failed->text);
      return failed->code;
    }
    if (current && TakeOver(*current, session->profile, session->password)) {
      *lplhSession = current->handle;
      return SUCCESS_SUCCESS;
    }
    current.reset();  // a session that cannot go on ends here (QUIT when its connection is open)
    ULONG code = SUCCESS_SUCCESS;
    if (session->profile.kind == MailProfile::Kind::kPickup) {
      if (!CheckPickupFolder(session->profile.pickupFolder)) code = MAPI_E_LOGIN_FAILURE;
    } else {
      session->smtp = std::make_unique<SmtpSession>(session->profile, session->password);
      code = session->smtp->Logon();
    }
    if (code != SUCCESS_SUCCESS) {
      // A stop is no verdict on the server; anything else is not tried again in this run.
      if (code != MAPI_USER_ABORT) {
        failedLogons.push_back(FailedLogon{session->profile, session->password, code,
                                           platform::SystemErrorText() + " (not tried again in this run)"});
      }
      return code;
    }
    session->handle = nextHandle++;
    if (nextHandle == 0) nextHandle = 1;  // 0 is never a session
    current = std::move(session);
    *lplhSession = current->handle;
    return SUCCESS_SUCCESS;
  } catch (const std::bad_alloc&) {
    platform::SetLastErrorText("Out of memory");
    return MAPI_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    platform::SetLastErrorText("Logon failed");
    return MAPI_E_FAILURE;
  }
}

ULONG MAPISendMail(LHANDLE lhSession, ULONG, MapiMessage* lpMessage, FLAGS, ULONG) {
  try {
    if (!current || current->handle != lhSession || lhSession == 0) {
      platform::SetLastErrorText("Invalid mail session");
      return MAPI_E_INVALID_SESSION;
    }
    if (lpMessage == nullptr) {
      platform::SetLastErrorText("No message");
      return MAPI_E_INVALID_MESSAGE;
    }
    refusedCopies.clear();
    const ULONG code = SendMail(*current, *lpMessage);
    if (code != SUCCESS_SUCCESS) refusedCopies.clear();
    // A pickup folder that failed is checked again at the next logon, which then says why.
    if (code != SUCCESS_SUCCESS && current->profile.kind == MailProfile::Kind::kPickup) current.reset();
    return code;
  } catch (const std::bad_alloc&) {
    platform::SetLastErrorText("Out of memory");
    return MAPI_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    platform::SetLastErrorText("Sending failed");
    return MAPI_E_FAILURE;
  }
}

ULONG MAPILogoff(LHANDLE lhSession, ULONG, FLAGS, ULONG) {
  if (!current || current->handle != lhSession || lhSession == 0) return MAPI_E_INVALID_SESSION;
  current.reset();
  return SUCCESS_SUCCESS;
}

std::vector<RefusedCopy> RefusedCopies() { return refusedCopies; }

void ForgetFailedLogons() { failedLogons.clear(); }

void SetTraceFields(std::vector<std::string> fields) { traceFields = std::move(fields); }

}  // namespace droprelay::submit
