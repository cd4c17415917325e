// SendMapiMessage: one message handed to the submission facility through a named profile.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/file.h"
#include "submit/mapi.h"
#include "text/ascii.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"
#include "text/texts.h"

namespace droprelay {
namespace {

using submit::MapiFileDesc;
using submit::MapiMessage;
using submit::MapiRecipDesc;

// The session of the last logon. Every call logs on anew and overwrites it; the facility answers
// a logon like the last one with the same open session, which EndMapiSession closes.
submit::LHANDLE session = 0;

std::string Trim(std::string_view s) { return std::string(TrimControls(s)); }

// A list with separators ends in exactly one ";" and never has two side by side.
std::string NormaliseRecipients(const std::string& recipients) {
  std::string list = Trim(recipients);
  if (list.find(';') != std::string::npos) list = StringReplaceAll(list + ";", ";;", ";");
  return list;
}

// Relay text (Windows-1251) in the system's code page, UTF-8, for the records. A C string
// cannot carry a NUL byte: it becomes U+FFFD instead of silently cutting the text (or an
// address) short, and an address holding it is then refused by the facility.
std::string RecordText(std::string_view cp1251) {
  std::string utf8 = Cp1251ToUtf8(cp1251);
  for (std::size_t pos = utf8.find('\0'); pos != std::string::npos; pos = utf8.find('\0', pos + 3)) {
    utf8.replace(pos, 1, "\xEF\xBF\xBD");
  }
  return utf8;
}

// The attachment's name as the mail shows it: UTF-8 as it stands when it is valid UTF-8, else
// taken as Windows-1251. The file-name part follows the last "/", the separator of this system.
std::string AttachmentName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return IsValidUtf8(name) ? name : Cp1251ToUtf8(name);
}

}  // namespace

SubmissionResult SubmitMessage(const std::string& profileName, const std::string& password,
                               const std::string& recipients, const std::string& subject, const std::string& body,
                               const std::string& attachmentPath, std::string& errorText) {
  errorText.clear();
  // Until the submission has answered, nothing is known about the message: try again later.
  SubmissionResult outcome;
  outcome.outcome = Outcome::kSendFailed;
  try {
    std::string list = NormaliseRecipients(recipients);
    if (list.empty()) {
      errorText += texts::NoRecipient();
      outcome.outcome = Outcome::kNoRecipient;
      return outcome;  // no logon is attempted
    }

    // Nothing incomplete is sent: an attachment that is not there fails the message before the
    // logon, as a temporary failure, and nothing reaches the server.
    if (!attachmentPath.empty() && !platform::IsExistingFile(attachmentPath)) {
      errorText += texts::FileQuoted() + attachmentPath + texts::FileNotFound();
      outcome.outcome = Outcome::kAttachmentMissing;
      return outcome;
    }

    SubmissionResult logon = submit::LogonMailProfile(profileName, password, session);
    if (!logon.Delivered()) {
      errorText += texts::LogonFailed() + profileName + "\"! (" + logon.reply + ");";
      return logon;
    }
    const std::size_t count =
        list.find(';') == std::string::npos ? 1 : static_cast<std::size_t>(std::count(list.begin(), list.end(), ';'));
    std::vector<submit::MapiRecipDesc> recips(count, submit::MapiRecipDesc{});
    std::vector<submit::MapiFileDesc> files(1, submit::MapiFileDesc{});
    submit::ULONG fileCount = 0;

    std::string pathCopy;
    std::string fileNameCopy;
    // Checked above; should it vanish meanwhile, the facility fails the message without sending.
    if (!attachmentPath.empty()) {
      pathCopy = attachmentPath;
      fileNameCopy = AttachmentName(attachmentPath);
      files[0].nPosition = 0xFFFFFFFF;  // not placed inside the body
      files[0].lpszPathName = pathCopy.data();
      files[0].lpszFileName = fileNameCopy.data();
      fileCount = 1;
    }

    list = NormaliseRecipients(recipients);
    std::vector<std::string> names;
    if (list.find(';') != std::string::npos) {
      for (std::size_t cut = list.find(';'); cut != std::string::npos; cut = list.find(';')) {
        names.push_back(RecordText(Trim(list.substr(0, cut))));
        list.erase(0, cut + 1);
      }
    } else {
      names.push_back(RecordText(Trim(list)));
    }
    for (std::size_t i = 0; i < names.size() && i < recips.size(); ++i) {
      recips[i].ulRecipClass = i == 0 ? submit::MAPI_TO : submit::MAPI_CC;
      recips[i].lpszName = names[i].data();
    }

    std::string subjectCopy = RecordText(subject);
    std::string bodyCopy = RecordText(body);
    submit::MapiMessage message{};
    message.lpszSubject = subjectCopy.data();
    message.lpszNoteText = bodyCopy.data();
    message.nRecipCount = static_cast<submit::ULONG>(recips.size());
    message.lpRecips = recips.data();
    message.nFileCount = fileCount;
    message.lpFiles = files.data();

    outcome = submit::SendMailMessage(session, message);
    if (!outcome.Delivered()) {
      // The number is the facility's Simple MAPI code; the server's own code stays in its reply.
      errorText += texts::SendFailed() + std::to_string(submit::MapiCodeOf(outcome)) + "\" (" + outcome.reply + ")!;";
    }
  } catch (const std::exception& error) {
    // The error text keeps what was appended so far, and the cause.
    errorText += std::string(error.what()) + ";";
    outcome.outcome = Outcome::kInternalError;
    outcome.reply = error.what();
  }
  return outcome;
}

bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText) {
  return SubmitMessage(profileName, password, recipients, subject, body, attachmentPath, errorText).Delivered();
}

std::string RefusedCopyWarnings(const SubmissionResult& result) {
  std::string warnings;
  for (const RefusedCopyRecipient& copy : result.refusedCopies) {
    warnings += texts::CopyRefused() + copy.address + "\" (" + copy.reply + ");";
  }
  return warnings;
}

void EndMapiSession() {
  if (session != 0) submit::MAPILogoff(session, 0, 0, 0);
  session = 0;
  submit::ForgetFailedLogons();
}

}  // namespace droprelay
