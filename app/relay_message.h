// Relaying one file of the drop folder: the step of the cycle between finding a file and disposing
// of it. The answer decides the file's fate: done lets the cycle delete or move it, a temporary
// failure leaves it in the drop folder for a later attempt, a permanent one sets it aside.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/drop_file.h"
#include "app/log_mirror.h"
#include "app/relay_config.h"
#include "app/substitution_table.h"
#include "platform/state_files.h"
#include "submit/submission.h"
#include "text/outcome.h"

namespace droprelay {

using SeverityLogFunction = std::function<void(const std::string&, LogSeverity)>;
struct RelayOutcome;

// Everything the relay of one message may reach, owned by the relay service and valid for the
// duration of the call.
struct RelayContext {
  const RelayConfig& config;                               // settings, read at the moment of use
  const std::function<void(const std::string&)>& mainlog;  // the activity log (Windows-1251 text)
  const std::string& TempFolder;                           // ends in "/" unless empty
  const SubstitutionTable& substitutions;
  // Lines with a priority of their own (warnings, errors); null: they go to mainlog.
  const SeverityLogFunction* mainlogAs = nullptr;
  // What the relay accepts as a drop file; null: every regular file with one name.
  const DropFileRules* rules = nullptr;
  // Called just before the message is handed to the submission, with the facts of the file read:
  // the caller notes durably that the message may leave. False (the note could not be written)
  // keeps the message from being sent. Null: nothing to note.
  const std::function<bool(const platform::FileFacts&)>* beforeSending = nullptr;
  // Called right after the submission answered, before anything is cleaned up. Null: nothing.
  const std::function<void(const RelayOutcome&)>* afterSending = nullptr;
  // The start of the names of this relay's private attachment folders in TempFolder; null: the
  // common "droprelay-".
  const std::string* privatePrefix = nullptr;
};

// Logs `message` with its priority through the context.
void LogAs(const RelayContext& context, const std::string& message, LogSeverity severity);
// The priority of a line that tells an outcome: waiting is a warning, giving up an error.
LogSeverity SeverityOf(Outcome outcome);

// What became of one file. A message is handed to the submission only when everything it should
// carry was gathered; otherwise it is not sent, and the outcome says why. What the cycle does with
// the file follows from the outcome alone (DispositionOf).
struct RelayOutcome {
  Outcome outcome = Outcome::kDelivered;
  std::string reply;   // the server's (or the library's) reply when the submission failed, as it gave it
  bool dataSent = false;  // the submission failed after the whole message had gone out
  // The facts of the file as read through its one descriptor, when it was read.
  std::optional<platform::FileFacts> read;
  // The mail profile the submission went through (as logged), when one was made.
  std::string profile;
  // The submission's whole answer (the failing step, reply code, enhanced code, refused copies,
  // the server's reply to the data), when a submission was made.
  std::optional<SubmissionResult> submission;
  // What the system said when the drop file could not be opened or read (kSystemError).
  std::string systemError;
  RelayOutcome() = default;
  RelayOutcome(Outcome o, std::string serverReply = std::string())  // NOLINT: an outcome converts
      : outcome(o), reply(std::move(serverReply)) {}
  // The Boolean outcome: true when delivered, false for a failed submission worth trying again.
  RelayOutcome(bool done)  // NOLINT: the Boolean outcome converts implicitly
      : outcome(done ? Outcome::kDelivered : Outcome::kSendFailed) {}
  bool Done() const { return DispositionOf(outcome) == Disposition::kDispose; }
};

// Why the first "To" address cannot be relayed, or nothing when it can: no address at all (no
// "@", as in "undisclosed-recipients:;") or one that is empty after the rewrite (kNoRecipient);
// a local part that holds control characters (NUL included), "%" or "!", which many servers still
// route onward (kBadRecipient).
std::optional<Outcome> RecipientProblem(std::string_view toAddresses, std::string_view rewritten);

// Relays the file `dropFolder` + `fileName` (the folder ends in "/"): parses it, saves its first
// attachment into a private folder of its own in TempFolder, rewrites recipient, subject and body,
// submits the result when send_mail is on, and removes the private folder again. Every
// std::exception is answered as an outcome, with its what() logged.
RelayOutcome RelayMessageFile(const RelayContext& context, const std::string& dropFolder, const std::string& fileName);

// What the relay would send for one stored message, for a person or another tool to look at.
struct RelayPreview {
  std::string recipient;  // all Windows-1251
  std::string subject;
  std::string body;
  struct Attachment {
    std::string name;
    std::size_t size = 0;
  };
  std::optional<Attachment> attachment;
};

// Runs the per-message steps exactly as RelayMessageFile does (HTML fallback included) but without
// its waits, without writing anything, and without sending. Log lines go to context.mainlog.
RelayPreview PreviewMessageFile(const RelayContext& context, const std::string& path);

// `sending_mail`: resolves the profile (MAPIProfile, else the default profile), logs the attempt,
// submits, and logs the collected error text when the submission reports a problem.
bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath);
// The same, telling what became of the message.
bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath, RelayOutcome& outcome);

}  // namespace droprelay
