#include "app/relay_message.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "app/drop_file.h"
#include "app/html_fallback.h"
#include "app/mail_loop.h"
#include "app/message_text.h"
#include "mail/header_utils.h"
#include "mail/mail_message.h"
#include "platform/file.h"
#include "platform/state_files.h"
#include "submit/profiles.h"
#include "platform/syserror.h"
#include "text/ascii.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"
#include "text/texts.h"

namespace droprelay {
namespace {

// The four values handed to the submission, as far as the per-message steps got.
struct RelayValues {
  std::string recipient;
  std::string subject;
  std::string body;
  std::string attachmentPath;
  std::string workFolder;          // the message's private folder in TempFolder, ends in "/"
  std::optional<Outcome> failure;  // set when the message must not be sent
  std::string systemError;         // the system's error when the drop file could not be read
  std::optional<platform::FileFacts> read;  // the drop file as its descriptor described it
};

// Outcomes about the drop file itself rather than the message in it: they stand whether or not
// sending is switched on.
bool IsAboutTheFile(Outcome outcome) {
  return outcome == Outcome::kNotRegular || outcome == Outcome::kFileLocked || outcome == Outcome::kNotOwnFile ||
         outcome == Outcome::kTooLarge || outcome == Outcome::kSystemError;
}

struct StepOptions {
  bool saveAttachment = true;  // false: only name and measure the first attachment
  bool waitForEngine = true;   // the HTML engine's two waits
};

// A saved name that would not name a file of its own in TempFolder (nothing, the folder itself or
// its parent) gets the library's name for a part without any name.
std::string SafeAttachmentName(std::string name) {
  // The name must name a file inside the private folder, never a path leading out of it.
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "unknown";
  return name;
}

// The first attachment: named, and decoded straight into its file in TempFolder (when saving) or
// only measured. Guarded on its own: a failure is logged and the relay goes on with the attachment
// path as far as it got. A message without the attachment it should carry is not sent: a part
// that cannot be named never will be (permanent); a folder that cannot be written may be later
// (temporary).
void ExtractFirstAttachment(const RelayContext& context, TMailMessage& message, const StepOptions& options,
                            RelayValues& values, RelayPreview* preview) {
  try {
    TMailPart& part = *message.AttachmentParts().Items(0);
    std::string name;
    try {
      name = part.GetAttachmentFileName();
    } catch (const std::exception&) {
      values.failure = Outcome::kAttachmentUnreadable;
      throw;
    }
    // The name is the bytes its header decoded to, usually UTF-8; the log shows it readable.
    context.mainlog(texts::HasAttachment() + Utf8ToCp1251(name));
    name = SafeAttachmentName(StringReplaceAll(name, ";", ""));
    std::uint64_t size = 0;
    if (!options.saveAttachment) {
      part.DecodeBodyTo([&size](std::string_view piece) {
        size += piece.size();
        return true;
      });
      if (preview) preview->attachment = RelayPreview::Attachment{name, size};
      return;
    }

    // A folder of its own for each message: no name in a message can reach, replace or delete
    // anything else in TempFolder (a shared folder such as /tmp).
    values.failure = Outcome::kAttachmentNotSaved;
    const std::optional<std::string> folder =
        context.privatePrefix ? platform::MakePrivateFolder(context.TempFolder, *context.privatePrefix)
                              : platform::MakePrivateFolder(context.TempFolder);
    if (!folder) throw std::runtime_error(platform::SystemErrorText());
    values.workFolder = *folder;
    values.attachmentPath = values.workFolder + name;
    // Decoded piece by piece into the file: the decoded content is never held whole beside the
    // message it came from.
    const bool saved = platform::SaveAttachmentFile(values.attachmentPath, [&](const platform::PieceWriter& write) {
      return part.DecodeBodyTo([&](std::string_view piece) {
        size += piece.size();
        return write(piece);
      });
    });
    if (!saved) throw std::runtime_error(platform::SystemErrorText());
    if (preview) preview->attachment = RelayPreview::Attachment{name, size};
    values.failure.reset();
  } catch (const std::exception& error) {
    if (!values.failure) values.failure = Outcome::kAttachmentUnreadable;
    LogAs(context, Utf8ToCp1251(error.what()), SeverityOf(*values.failure));
    LogAs(context, texts::AttachmentError(), SeverityOf(*values.failure));
  }
}

// The per-message steps. Any error ends them; the caller logs it and sends what was reached.
void RunPerMessageSteps(const RelayContext& context, TMailMessage& message, const std::string& path,
                        const std::string& fileName, const StepOptions& options, RelayValues& values,
                        RelayPreview* preview) {
  const auto& log = context.mainlog;
  // File names are the file system's bytes (UTF-8); the log holds Windows-1251.
  log(texts::FoundFile() + Utf8ToCp1251(fileName));
  // Only a regular file of the relay's own is a stored message; anything else is set aside. The
  // raw-text checks and the parse use the same bytes, read once under the lock.
  DropFileRead drop = ReadDropFile(path, context.rules ? *context.rules : DropFileRules{});
  if (!drop.file) {
    values.failure = drop.problem;
    if (drop.problem == Outcome::kSystemError) values.systemError = drop.error;
    throw std::runtime_error(drop.error);
  }
  values.read = platform::FileFacts{static_cast<std::uint64_t>(drop.file->device),
                                    static_cast<std::uint64_t>(drop.file->inode), drop.file->size,
                                    drop.file->modifyTimeNs, true};
  if (!preview && CheckMailLoop(context.config, drop.file->bytes.View()) != MailLoop::kNone) {
    values.failure = Outcome::kMailLoop;
    return;
  }
  // What the stored text declares is all the steps below need of it: the parser takes the text
  // over, so it is held once.
  const DeclaredCharsets declared = FindDeclaredCharsets(drop.file->bytes.View());
  message.LoadFromBytes(std::move(drop.file->bytes));
  message.LocateBodies();
  // Read before the restructuring, which may fold the HTML part (and its parameters) into the
  // message itself.
  const std::string htmlCharset =
      message.HtmlBodyPart() ? message.HtmlBodyPart()->GetHeaderParam("Content-Type", "charset") : std::string();
  message.RestructureParts(rmIfPending);
  message.ComposeBody();

  if (message.AttachmentParts().Count() > 0) ExtractFirstAttachment(context, message, options, values, preview);
  // Damaged mail is relayed as far as it could be read; what the library repaired is logged.
  for (const TMailWarning& warning : message.Warnings()) {
    LogAs(context, texts::MailRepaired() + Utf8ToCp1251(warning.PartPath + ": " + warning.Text), LogSeverity::kWarning);
  }

  log("Charset=" + message.Charset());

  const std::string toAddresses = message.ToRecipients().GetAllAddresses();
  values.recipient = toAddresses;
  log(texts::RecipientBefore() + values.recipient);
  const std::string copyTo = context.config.send_copy_to().empty() ? std::string() : context.config.send_copy_to();
  values.recipient = RewriteRecipient(values.recipient, context.config.domain_name(), copyTo);
  log(texts::RecipientAfter() + values.recipient);
  if (const std::optional<Outcome> problem = RecipientProblem(toAddresses, values.recipient)) {
    if (!values.failure) values.failure = *problem;
  }

  // The message's Subject, with folded encoded words joined before decoding.
  const std::string storedSubject = message.GetHeaderValue("Subject");
  const std::string decodedSubject = DecodeEncodedWords(JoinAdjacentEncodedWords(storedSubject));
  const bool subjectIsKoi8 = SubjectWordsAreKoi8(storedSubject);
  values.subject = NormalizeSubject(decodedSubject, subjectIsKoi8);
  const std::string plainText = StringListText(message.PlainLines());
  values.body = ConvertPlainBody(plainText, declared);

  if (IsBlankText(values.body)) {
    const std::string htmlText = StringListText(message.HtmlLines());
    HtmlFallbackInput input;
    input.decodedSubject = decodedSubject;
    input.subjectIsKoi8 = subjectIsKoi8;
    input.htmlText = htmlText;
    input.htmlIsUtf8 = HtmlDeclaresUtf8(htmlCharset, htmlText);
    input.declaresKoi8 = declared.koi8Anywhere;
    // A message that will not be sent does not wait for the engine.
    input.engineWaitMs = options.waitForEngine && !values.failure
                             ? static_cast<std::uint32_t>(context.config.html_wait_ms())
                             : 0;
    input.timeBudgetMs = static_cast<std::uint32_t>(context.config.html_time_budget_ms());
    // Its only line says the text was cut short: a warning.
    input.log = [&context](const std::string& line) { LogAs(context, line, LogSeverity::kWarning); };
    HtmlFallbackResult result = HtmlFallback(input);
    values.subject = std::move(result.subject);
    values.body = std::move(result.body);
  }

  const SubstitutionTable& table = context.substitutions;
  log(texts::SubjectBefore() + Preview(values.subject));
  values.subject = ApplySubstitutions(values.subject, table.ChangeStrings, table.ReplacementStrings);
  log(texts::SubjectAfter() + Preview(values.subject));
  log(texts::BodyBefore() + Preview(values.body));
  values.body = ApplySubstitutions(values.body, table.ChangeStrings, table.ReplacementStrings);
  log(texts::BodyAfter() + Preview(values.body));
}

}  // namespace

namespace {

// RFC 5322 atext and the dot: what a plain local part is made of.
bool IsLocalPartCharacter(char c) {
  const auto code = static_cast<unsigned char>(c);
  return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9') ||
         std::string_view("!#$%&'*+-/=?^_`{|}~.").find(c) != std::string_view::npos;
}

}  // namespace

LogSeverity SeverityOf(Outcome outcome) {
  switch (DispositionOf(outcome)) {
    case Disposition::kDispose: return LogSeverity::kInfo;
    case Disposition::kDefer:
    case Disposition::kPause: return LogSeverity::kWarning;
    case Disposition::kQuarantine:
    case Disposition::kStop: return LogSeverity::kError;
  }
  return LogSeverity::kError;
}

void LogAs(const RelayContext& context, const std::string& message, LogSeverity severity) {
  if (context.mainlogAs) {
    (*context.mainlogAs)(message, severity);
  } else {
    context.mainlog(message);
  }
}

std::optional<Outcome> RecipientProblem(std::string_view toAddresses, std::string_view rewritten) {
  const std::size_t at = toAddresses.find('@');
  if (at == std::string_view::npos) {
    // A bare name is qualified with the domain, as a local mail system does ("ivan" becomes
    // ivan@domain); what group syntax ("undisclosed-recipients:;") or an empty field leaves is no
    // address at all.
    const std::string_view local = rewritten.substr(0, rewritten.find('@'));
    if (local.empty() || !std::all_of(local.begin(), local.end(), IsLocalPartCharacter)) {
      return Outcome::kNoRecipient;
    }
  }
  for (const char c : TrimControls(toAddresses.substr(0, at))) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code == 127 || c == '%' || c == '!') return Outcome::kBadRecipient;
  }
  if (rewritten.empty() || rewritten.front() == '@') return Outcome::kNoRecipient;
  return std::nullopt;
}

bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath, RelayOutcome& outcome) {
  std::string profile = context.config.MAPIProfile();
  if (profile.empty()) profile = submit::DefaultMailProfile();
  context.mainlog(texts::SendingWithProfile() + profile + "\"...");
  const std::string password = context.config.Password();
  std::string errorText;
  SubmissionResult result = SubmitMessage(profile, password, recipient, subject, body, attachmentPath, errorText);
  const bool sent = result.Delivered();
  if (!sent) LogAs(context, errorText, SeverityOf(result.outcome));
  if (const std::string warnings = RefusedCopyWarnings(result); sent && !warnings.empty()) {
    LogAs(context, warnings, LogSeverity::kWarning);
  }
  outcome.outcome = result.outcome;
  outcome.reply = result.reply;
  outcome.dataSent = result.dataSent;
  outcome.profile = profile;
  outcome.submission = std::move(result);
  return sent;
}

bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath) {
  RelayOutcome outcome;
  return sending_mail(context, recipient, subject, body, attachmentPath, outcome);
}

RelayOutcome RelayMessageFile(const RelayContext& context, const std::string& dropFolder, const std::string& fileName) {
  RelayValues values;
  try {
    RelayOutcome outcome;
    {
      // The message goes before anything is sent: the values hold all that leaves, and a large
      // message is not held while the submission reads its attachment.
      const auto message = std::make_unique<TMailMessage>();
      try {
        RunPerMessageSteps(context, *message, dropFolder + fileName, fileName, StepOptions{}, values, nullptr);
      } catch (const std::exception& error) {
        // Half a message is never sent: what could not be read now will not be read later.
        if (!values.failure) values.failure = Outcome::kUnreadable;
        LogAs(context, Utf8ToCp1251(error.what()), SeverityOf(*values.failure));
        LogAs(context, texts::MessageError(), SeverityOf(*values.failure));
      }
    }
    outcome.read = values.read;
    outcome.systemError = values.systemError;
    const bool sending = context.config.send_mail();
    // With sending off nothing reaches the submission: only a file that is no stored message of
    // the relay's at all is set aside, and one its writer still holds waits; everything else is
    // disposed of.
    if (values.failure && (sending || IsAboutTheFile(*values.failure))) {
      outcome.outcome = *values.failure;
    } else if (!sending) {
      outcome.outcome = Outcome::kNotSent;
    } else if (context.beforeSending && values.read && !(*context.beforeSending)(*values.read)) {
      // The note that the message may leave could not be written: it does not leave.
      outcome.outcome = Outcome::kJournalUnwritable;
    } else {
      sending_mail(context, values.recipient, values.subject, values.body, values.attachmentPath, outcome);
      // The answer is noted before anything else happens: a kill from here on must find it.
      if (context.afterSending) (*context.afterSending)(outcome);
    }
    // The private folder goes whether or not the message went, without waiting: the drop file's
    // disposal does not depend on it.
    if (!values.workFolder.empty()) platform::RemovePrivateFolder(values.workFolder);
    return outcome;
  } catch (const std::exception& error) {
    // Only an allocation failure gets here; the file stays for a later attempt.
    if (!values.workFolder.empty()) platform::RemovePrivateFolder(values.workFolder);
    LogAs(context, Utf8ToCp1251(error.what()), LogSeverity::kError);
    RelayOutcome outcome(Outcome::kInternalError);
    outcome.read = values.read;
    return outcome;
  }
}

RelayPreview PreviewMessageFile(const RelayContext& context, const std::string& path) {
  RelayPreview preview;
  RelayValues values;
  const auto message = std::make_unique<TMailMessage>();
  const std::size_t slash = path.find_last_of('/');
  const std::string fileName = slash == std::string::npos ? path : path.substr(slash + 1);
  StepOptions options;
  options.saveAttachment = false;
  options.waitForEngine = false;
  try {
    RunPerMessageSteps(context, *message, path, fileName, options, values, &preview);
  } catch (const std::exception& error) {
    LogAs(context, Utf8ToCp1251(error.what()), LogSeverity::kError);
    LogAs(context, texts::MessageError(), LogSeverity::kError);
  }
  preview.recipient = std::move(values.recipient);
  preview.subject = std::move(values.subject);
  preview.body = std::move(values.body);
  return preview;
}

}  // namespace droprelay
