// MAPILogon and MAPISendMail over mail profiles and droprelay's own delivery.
#include "submit/mapi.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "submit/address.h"
#include "mail/compose.h"
#include "submit/delivery.h"
#include "submit/profiles.h"
#include "platform/file.h"
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
  SubmissionResult result;
};
std::vector<FailedLogon> failedLogons;

std::vector<std::string> traceFields;

constexpr const char* kStopped = "Stopped by a termination signal before the message was sent";

bool SameProfile(const MailProfile& a, const MailProfile& b) {
  return a.name == b.name && a.kind == b.kind && a.url == b.url && a.pickupFolder == b.pickupFolder &&
         a.from == b.from && a.user == b.user && a.starttls == b.starttls && a.cafile == b.cafile;
}

const FailedLogon* FindFailedLogon(const MailProfile& profile, const std::string& password) {
  for (const FailedLogon& failed : failedLogons) {
    if (failed.password == password && SameProfile(failed.profile, profile)) return &failed;
  }
  return nullptr;
}

// The open session can serve the next message: RSET ends whatever the last message left behind
// and proves the connection still there (a new one is opened when the server closed it, or when
// the last message broke it).
bool TakeOver(const Session& session, const MailProfile& profile, const std::string& password) {
  if (session.password != password || !SameProfile(session.profile, profile)) return false;
  if (session.profile.kind == MailProfile::Kind::kPickup) return true;
  return session.smtp && session.smtp->Reset().Delivered();
}

std::string FileNamePart(std::string_view path) {
  const std::size_t cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// Opens the attachment; its content is read while the message goes out. Empty, or why not.
std::string OpenAttachment(const std::string& path, OutgoingAttachment& attachment) {
  const auto fail = [&](const std::string& why) { return "Cannot read attachment \"" + EscapeForText(path) + "\": " + why; };
  // Non-blocking, so a named pipe under the name is refused instead of waited on.
  platform::FileDescriptor file = platform::OpenFile(path, {.nonBlocking = true});
  if (!file) return fail(strerrordesc_np(errno));
  const std::optional<platform::FileStatus> st = platform::StatusOf(file);
  if (!st) return fail(strerrordesc_np(errno));
  if (!st->IsRegular()) return fail("not a regular file");
  attachment.file = std::make_shared<const AttachmentFile>(AttachmentFile{std::move(file), st->size, EscapeForText(path)});
  return {};
}

SubmissionResult SendMail(const Session& session, const MapiMessage& message) {
  OutgoingMessage outgoing;
  outgoing.from = session.profile.from;
  outgoing.subject = message.lpszSubject ? message.lpszSubject : "";
  outgoing.body = message.lpszNoteText ? message.lpszNoteText : "";

  if (message.nRecipCount == 0 || message.lpRecips == nullptr) {
    return FailedSubmission(Outcome::kBadRecipient, "The message has no recipients");
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
      return FailedSubmission(Outcome::kBadRecipient, "Recipient " + std::to_string(i + 1) + ": " + problem);
    }
    switch (recipient.ulRecipClass) {
      case MAPI_TO: outgoing.to.push_back(address); break;
      case MAPI_CC: outgoing.cc.push_back(address); break;
      case MAPI_BCC: break;
      default:
        return FailedSubmission(Outcome::kBadRecipient, "Recipient " + std::to_string(i + 1) + ": unknown recipient class " +
                                                   std::to_string(recipient.ulRecipClass));
    }
    (recipient.ulRecipClass == MAPI_TO ? envelope : copies).push_back(address);
  }

  if (message.nFileCount > 0 && message.lpFiles == nullptr) {
    return FailedSubmission(Outcome::kAttachmentMissing, "The message names attachments but has none");
  }
  for (ULONG i = 0; i < message.nFileCount; ++i) {
    const MapiFileDesc& file = message.lpFiles[i];
    const std::string path = file.lpszPathName ? file.lpszPathName : "";
    OutgoingAttachment attachment;
    if (std::string why = OpenAttachment(path, attachment); !why.empty()) {
      return FailedSubmission(Outcome::kAttachmentMissing, std::move(why));
    }
    attachment.fileName = file.lpszFileName && *file.lpszFileName ? file.lpszFileName : FileNamePart(path);
    outgoing.attachments.push_back(std::move(attachment));
  }

  ComposedMessage composed(outgoing, NewMessageStamp(outgoing.from));
  if (session.profile.kind == MailProfile::Kind::kPickup) return WriteToPickupFolder(session.profile.pickupFolder, composed);
  if (!session.smtp) return FailedSubmission(Outcome::kSendFailed, "Invalid mail session");
  return session.smtp->Send(envelope, copies, composed);
}

SubmissionResult Logon(const std::string& profileName, const std::string& password, LHANDLE& handle) {
  if (platform::TerminationRequested()) {
    SubmissionResult stopped = FailedSubmission(Outcome::kSendFailed, kStopped);
    stopped.stopped = true;
    return stopped;
  }
  auto session = std::make_unique<Session>();
  if (std::string why; !LoadMailProfile(profileName, session->profile, why)) {
    // No message is to blame for a profile that is not there at all: the run stops instead.
    return FailedSubmission(MailProfileMissing(profileName) ? Outcome::kNoMailProfile : Outcome::kLogonRefused, why);
  }
  // The caller's password wins; without one, the profile's own (password= or passwordfile=).
  session->password = !password.empty() ? password : session->profile.password;
  if (const FailedLogon* failed = FindFailedLogon(session->profile, session->password)) return failed->result;
  if (current && TakeOver(*current, session->profile, session->password)) {
    handle = current->handle;
    return {};
  }
  current.reset();  // a session that cannot go on ends here (QUIT when its connection is open)
  SubmissionResult result;
  if (session->profile.kind == MailProfile::Kind::kPickup) {
    result = CheckPickupFolder(session->profile.pickupFolder);
  } else {
    session->smtp = std::make_unique<SmtpSession>(session->profile, session->password);
    result = session->smtp->Logon();
  }
  if (!result.Delivered()) {
    // A stop is no verdict on the server; anything else is not tried again in this run.
    if (!result.stopped) {
      FailedLogon failed{session->profile, session->password, result};
      failed.result.reply += " (not tried again in this run)";
      failedLogons.push_back(std::move(failed));
    }
    return result;
  }
  session->handle = nextHandle++;
  if (nextHandle == 0) nextHandle = 1;  // 0 is never a session
  current = std::move(session);
  handle = current->handle;
  return result;
}

bool IsOpenSession(LHANDLE handle) { return current && handle != 0 && current->handle == handle; }

}  // namespace

SubmissionResult LogonMailProfile(const std::string& profileName, const std::string& password, LHANDLE& session) {
  try {
    return Logon(profileName, password, session);
  } catch (const std::exception& error) {
    return FailedSubmission(Outcome::kInternalError, error.what());
  }
}

SubmissionResult SendMailMessage(LHANDLE session, const MapiMessage& message) {
  try {
    if (!IsOpenSession(session)) return FailedSubmission(Outcome::kSendFailed, "Invalid mail session");
    SubmissionResult result = SendMail(*current, message);
    // A pickup folder that failed is checked again at the next logon, which then says why.
    if (!result.Delivered() && current->profile.kind == MailProfile::Kind::kPickup) current.reset();
    return result;
  } catch (const std::exception& error) {
    return FailedSubmission(Outcome::kInternalError, error.what());
  }
}

ULONG MapiCodeOf(const SubmissionResult& result) {
  if (result.stopped) return MAPI_USER_ABORT;
  switch (result.outcome) {
    case Outcome::kDelivered: return SUCCESS_SUCCESS;
    case Outcome::kNoMailProfile:
    case Outcome::kLogonRefused:
    case Outcome::kAccountRefused: return MAPI_E_LOGIN_FAILURE;
    case Outcome::kBadRecipient: return MAPI_E_INVALID_RECIPS;
    case Outcome::kUnreadable: return MAPI_E_INVALID_MESSAGE;
    case Outcome::kAttachmentMissing: return MAPI_E_ATTACHMENT_NOT_FOUND;
    default: break;
  }
  if (result.step == SmtpStep::kRcptTo && result.replyCode >= 400) return MAPI_E_UNKNOWN_RECIPIENT;
  return MAPI_E_FAILURE;
}

ULONG MAPILogon(ULONG, const char* lpszProfileName, const char* lpszPassword, FLAGS, ULONG, LHANDLE* lplhSession) {
  if (lplhSession == nullptr) return MAPI_E_FAILURE;
  return MapiCodeOf(LogonMailProfile(lpszProfileName ? lpszProfileName : "", lpszPassword ? lpszPassword : "",
                                     *lplhSession));
}

ULONG MAPISendMail(LHANDLE lhSession, ULONG, MapiMessage* lpMessage, FLAGS, ULONG) {
  if (!IsOpenSession(lhSession)) return MAPI_E_INVALID_SESSION;
  if (lpMessage == nullptr) return MAPI_E_INVALID_MESSAGE;
  return MapiCodeOf(SendMailMessage(lhSession, *lpMessage));
}

ULONG MAPILogoff(LHANDLE lhSession, ULONG, FLAGS, ULONG) {
  if (!current || current->handle != lhSession || lhSession == 0) return MAPI_E_INVALID_SESSION;
  current.reset();
  return SUCCESS_SUCCESS;
}

void ForgetFailedLogons() { failedLogons.clear(); }

void SetTraceFields(std::vector<std::string> fields) { traceFields = std::move(fields); }

}  // namespace droprelay::submit
