#include "text/outcome.h"

#include <utility>

namespace droprelay {
namespace {

constexpr std::pair<Outcome, std::string_view> kTokens[] = {
    {Outcome::kDelivered, "delivered"},
    {Outcome::kNotSent, "not-sent"},
    {Outcome::kNoConnection, "no-connection"},
    {Outcome::kLogonRefused, "logon-refused"},
    {Outcome::kServerBusy, "server-busy"},
    {Outcome::kSendFailed, "send-failed"},
    {Outcome::kAttachmentMissing, "attachment-missing"},
    {Outcome::kAttachmentNotSaved, "attachment-not-saved"},
    {Outcome::kFileLocked, "file-locked"},
    {Outcome::kNotDisposed, "not-disposed"},
    {Outcome::kInternalError, "internal-error"},
    {Outcome::kUncertain, "uncertain"},
    {Outcome::kJournalUnwritable, "journal-unwritable"},
    {Outcome::kRefused, "refused"},
    {Outcome::kNoRecipient, "no-recipient"},
    {Outcome::kBadRecipient, "bad-recipient"},
    {Outcome::kUnreadable, "unreadable"},
    {Outcome::kAttachmentUnreadable, "attachment-unreadable"},
    {Outcome::kExpired, "expired"},
    {Outcome::kMailLoop, "mail-loop"},
    {Outcome::kMaybeDelivered, "maybe-delivered"},
    {Outcome::kTooLarge, "too-large"},
    {Outcome::kKilledTwice, "killed-twice"},
    {Outcome::kJournalUnreadable, "journal-unreadable"},
    {Outcome::kNotRegular, "not-regular"},
    {Outcome::kNotOwnFile, "not-own-file"},
    {Outcome::kNoMailProfile, "no-mail-profile"},
    {Outcome::kSenderRefused, "sender-refused"},
    {Outcome::kAccountRefused, "account-refused"},
    {Outcome::kQuotaExceeded, "quota-exceeded"},
    {Outcome::kSystemError, "system-error"},
};

}  // namespace

std::string_view OutcomeToken(Outcome outcome) {
  for (const auto& [value, token] : kTokens) {
    if (value == outcome) return token;
  }
  return "unknown";
}

std::optional<Outcome> OutcomeFromToken(std::string_view token) {
  for (const auto& [value, name] : kTokens) {
    if (name == token) return value;
  }
  return std::nullopt;
}

}  // namespace droprelay
