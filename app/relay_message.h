// Relaying one file of the drop folder: the step of the cycle between finding a file and disposing
// of it. The answer decides the file's fate: done lets the cycle delete or move it, a temporary
// failure leaves it in the drop folder for a later attempt, a permanent one sets it aside.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/relay_config.h"
#include "app/substitution_table.h"
#include "text/texts.h"

namespace droprelay {

// Everything the relay of one message may reach, owned by the relay service and valid for the
// duration of the call.
struct RelayContext {
  const RelayConfig& config;                               // settings, read at the moment of use
  const std::function<void(const std::string&)>& mainlog;  // the activity log (Windows-1251 text)
  const std::string& TempFolder;                           // ends in "/" unless empty
  const SubstitutionTable& substitutions;
};

// The relay outcome. A message is handed to the submission only when everything it should carry
// was gathered; otherwise it is not sent, and the outcome says whether trying again can help.
struct RelayOutcome {
  enum class Kind { kDone, kTemporary, kPermanent, kConfiguration };  // kConfiguration: the run stops
  Kind kind = Kind::kDone;
  std::string reason;  // Windows-1251, for the log; empty when done
  RelayOutcome() = default;
  RelayOutcome(Kind k, std::string why) : kind(k), reason(std::move(why)) {}
  // The Boolean outcome: true when done, false for a failed submission worth trying again.
  RelayOutcome(bool done)  // NOLINT: the Boolean outcome converts implicitly
      : kind(done ? Kind::kDone : Kind::kTemporary), reason(done ? std::string() : texts::ReasonSendFailed()) {}
  bool Done() const { return kind == Kind::kDone; }
};

// Why the first "To" address cannot be relayed, or nothing when it can: no address at all (no
// "@", as in "undisclosed-recipients:;"), a local part that holds control characters (NUL
// included), "%" or "!" (which many servers still route onward), or one that is empty after the
// rewrite. Windows-1251 text for the log.
std::optional<std::string> RecipientProblem(std::string_view toAddresses, std::string_view rewritten);

// Relays the file `dropFolder` + `fileName` (the folder ends in "/"): parses it, saves its first
// attachment into a private folder of its own in TempFolder, rewrites recipient, subject and body,
// submits the result when send_mail is on, and removes the private folder again. Never throws.
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
// The same, telling a permanent refusal from a temporary failure.
bool sending_mail(const RelayContext& context, const std::string& recipient, const std::string& subject,
                  const std::string& body, const std::string& attachmentPath, RelayOutcome::Kind& failure);

}  // namespace droprelay
