#include "app/relay_message.h"

#include <memory>
#include <optional>

#include "app/drop_file.h"
#include "app/html_fallback.h"
#include "app/message_text.h"
#include "mail/header_utils.h"
#include "mail/mail_message.h"
#include "platform/file.h"
#include "submit/profiles.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "platform/file_utils.h"
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
};

struct StepOptions {
  bool saveAttachment = true;  // false: only name and measure the first attachment
  bool waitForEngine = true;   // the HTML engine's two waits
};

// A saved name that would not name a file of its own in TempFolder (nothing, the folder itself or
// its parent) gets the library's name for a part without any name.
std::string SafeAttachmentName(std::string name) {
  if (name.empty() || name == "." || name == "..") return "unknown";
  return name;
}

// The first attachment: decoded, named, and (when saving) written into TempFolder. Guarded on its
// own: a failure is logged and the relay goes on with the attachment path as far as it got.
void ExtractFirstAttachment(const RelayContext& context, TMailMessage& message, const StepOptions& options,
                            RelayValues& values, RelayPreview* preview) {
  try {
    TMailPart& part = *message.AttachmentParts().Items(0);
    if (part.DecodedBody().Size() == 0) part.DecodeBody();
    std::string name = part.GetAttachmentFileName();
    // The name is the bytes its header decoded to, usually UTF-8; the log shows it readable.
    context.mainlog(texts::HasAttachment() + Utf8ToCp1251(name));
    name = SafeAttachmentName(StringReplaceAll(name, ";", ""));
    if (preview) preview->attachment = RelayPreview::Attachment{name, part.DecodedBody().Size()};
    if (!options.saveAttachment) return;

    values.attachmentPath = context.TempFolder + name;
    DeleteFileRetry(values.attachmentPath);  // an older file of that name goes first
    if (!platform::SaveAttachmentFile(values.attachmentPath, part.DecodedBody().View())) {
      throw std::runtime_error("attachment not saved");
    }
  } catch (...) {
    context.mainlog(texts::AttachmentError());
  }
}

// The per-message steps. Any error ends them; the caller logs it and sends what was reached.
void RunPerMessageSteps(const RelayContext& context, TMailMessage& message, const std::string& path,
                        const std::string& fileName, const StepOptions& options, RelayValues& values,
                        RelayPreview* preview) {
  const auto& log = context.mainlog;
  log(texts::FoundFile() + fileName);
  // Only a regular file is a stored message; anything else is reported like an unreadable one.
  // The raw-text checks and the parse use the same bytes, read once under the lock.
  const std::optional<DropFile> drop = ReadDropFile(path);
  if (!drop) throw std::runtime_error("not a stored message");
  const std::string& rawText = drop->bytes;

  message.LoadFromBytes(rawText);
  message.LocateBodies();
  // Read before the restructuring, which may fold the HTML part (and its parameters) into the
  // message itself.
  const std::string htmlCharset =
      message.HtmlBodyPart() ? message.HtmlBodyPart()->GetHeaderParam("Content-Type", "charset") : std::string();
  message.RestructureParts(rmIfPending);
  message.ComposeBody();

  if (message.AttachmentParts().Count() > 0) ExtractFirstAttachment(context, message, options, values, preview);

  log("Charset=" + message.Charset());

  values.recipient = message.ToRecipients().GetAllAddresses();
  log(texts::RecipientBefore() + values.recipient);
  const std::string copyTo = context.config.send_copy_to().empty() ? std::string() : context.config.send_copy_to();
  values.recipient = RewriteRecipient(values.recipient, context.config.domain_name(), copyTo);
  log(texts::RecipientAfter() + values.recipient);

  // The message's Subject, with folded encoded words joined before decoding.
  const std::string storedSubject = message.GetHeaderValue("Subject");
  const std::string decodedSubject = DecodeEncodedWords(JoinAdjacentEncodedWords(storedSubject));
  const bool subjectIsKoi8 = SubjectWordsAreKoi8(storedSubject);
  values.subject = NormalizeSubject(decodedSubject, subjectIsKoi8);
  const std::string plainText = StringListText(message.PlainLines());
  values.body = ConvertPlainBody(plainText, rawText);

  if (IsBlankText(values.body)) {
    const std::string htmlText = StringListText(message.HtmlLines());
    HtmlFallbackInput input;
    input.decodedSubject = decodedSubject;
    input.subjectIsKoi8 = subjectIsKoi8;
    input.htmlText = htmlText;
    input.htmlIsUtf8 = HtmlDeclaresUtf8(htmlCharset, htmlText);
    input.rawText = rawText;
    input.engineWaitMs = options.waitForEngine ? static_cast<std::uint32_t>(context.config.html_wait_ms()) : 0;
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

bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath) {
  std::string profile = context.config.MAPIProfile();
  if (profile.empty()) profile = submit::DefaultMailProfile();
  context.mainlog(texts::SendingWithProfile() + profile + "\"...");
  const std::string password = context.config.Password();
  std::string errorText;
  const bool sent = SendMapiMessage(profile, password, recipient, subject, body, attachmentPath, errorText);
  if (!sent) context.mainlog(errorText);
  return sent;
}

bool RelayMessageFile(const RelayContext& context, const std::string& dropFolder, const std::string& fileName) {
  try {
    RelayValues values;
    bool outcome = false;
    {
      const auto message = std::make_unique<TMailMessage>();
      try {
        RunPerMessageSteps(context, *message, dropFolder + fileName, fileName, StepOptions{}, values, nullptr);
      } catch (...) {
        context.mainlog(platform::SystemErrorText());
        context.mainlog(texts::MessageError());
      }
      outcome = context.config.send_mail()
                    ? sending_mail(context, values.recipient, values.subject, values.body, values.attachmentPath)
                    : true;
      // The saved attachment goes whether or not the message went.
      if (!values.attachmentPath.empty()) DeleteFileRetry(values.attachmentPath);
    }
    return outcome;
  } catch (...) {
    // Only an allocation failure gets here; the file stays for a later cycle.
    return false;
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
  } catch (...) {
    context.mainlog(platform::SystemErrorText());
    context.mainlog(texts::MessageError());
  }
  preview.recipient = std::move(values.recipient);
  preview.subject = std::move(values.subject);
  preview.body = std::move(values.body);
  return preview;
}

}  // namespace droprelay
