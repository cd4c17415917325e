// What can happen to one drop file, as one enumeration. Every step, from the submission up to the
// cycle, answers one of these; what the cycle does with the file (dispose of it, wait and try again,
// set it aside) and the priority of the line that tells it are derived from the value, never from a
// text. The Russian reason for the log is texts::OutcomeReason, the English token for tools and
// records is OutcomeToken; both are written where the outcome is reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace droprelay {

enum class Outcome : std::uint8_t {
  // Handed over: the file may be disposed of.
  kDelivered,
  kNotSent,  // sending is switched off: read and disposed of without submission

  // Temporary: the file stays and is tried again after a growing wait.
  kNoConnection,        // no connection, TLS failed, timed out, connection lost before the data went out
  kLogonRefused,        // the server refused the credentials
  kServerBusy,          // a reply of 400 to 499
  kSendFailed,          // any other failure of the submission that may pass later
  kAttachmentMissing,   // the saved attachment was gone when the submission looked for it
  kAttachmentNotSaved,  // the attachment could not be written into the temporary folder
  kFileLocked,          // its writer still holds the drop file
  kNotDisposed,         // accepted, but the file could not be deleted or moved
  kInternalError,       // an unexpected error of the relay itself (logged with its cause)
  kUncertain,           // the data went out but no answer came back: it may have been delivered
  kJournalUnwritable,   // the note that the message may leave could not be written: not sent
  kSystemError,         // the system failed to open or read the drop file (EACCES, EIO, ...)

  // Permanent: the file is set aside into the quarantine folder with its reason.
  kRefused,               // a reply of 500 to 599
  kNoRecipient,           // no recipient address at all
  kBadRecipient,          // a recipient no server should be handed
  kUnreadable,            // not readable as a message at all
  kAttachmentUnreadable,  // the attachment the message should carry cannot be decoded or named
  kExpired,               // waited longer than max_queue_days
  kMailLoop,              // came back to this relay (its own trace), or passed too many hops
  kMaybeDelivered,        // uncertain twice: sending it again could deliver it once more
  kTooLarge,              // larger than max_message_size, not read
  kKilledTwice,           // the relay died twice while working on it
  kJournalUnreadable,     // its delivery record cannot be read: no proof either way

  // Not a message at all: set aside without being read.
  kNotRegular,  // a folder, device, FIFO or symbolic link
  kNotOwnFile,  // a hard link, or (run as root) a file of another owner than the drop folder's

  // The configuration is wrong: waiting will not mend it, and no message is to blame.
  kNoMailProfile,   // the profiles file is missing or unreadable, or names no such profile
  kSenderRefused,   // the server refused the sender (any 5xx to MAIL FROM, or a send-as right missing)
  kAccountRefused,  // the server refused the account (530, 535, 538; submission disabled for it)

  // The server will take nothing more for now (a quota or rate limit): this file waits, and the run
  // ends, leaving the others untouched for the next run.
  kQuotaExceeded,
};

// The highest value: loops over every outcome end here. Keep it the last value listed.
inline constexpr Outcome kLastOutcome = Outcome::kQuotaExceeded;

// What the cycle does with a file after an outcome. kStop: the file stays untouched, without a
// waiting time, and the run ends as a configuration error, so the next run after the fix takes it.
// kPause: the file waits like a deferred one and the run ends there as a temporary failure.
enum class Disposition : std::uint8_t { kDispose, kDefer, kQuarantine, kStop, kPause };

constexpr Disposition DispositionOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDelivered:
    case Outcome::kNotSent:
      return Disposition::kDispose;
    case Outcome::kNoConnection:
    case Outcome::kLogonRefused:
    case Outcome::kServerBusy:
    case Outcome::kSendFailed:
    case Outcome::kAttachmentMissing:
    case Outcome::kAttachmentNotSaved:
    case Outcome::kFileLocked:
    case Outcome::kNotDisposed:
    case Outcome::kInternalError:
    case Outcome::kUncertain:
    case Outcome::kJournalUnwritable:
    case Outcome::kSystemError:
      return Disposition::kDefer;
    case Outcome::kRefused:
    case Outcome::kNoRecipient:
    case Outcome::kBadRecipient:
    case Outcome::kUnreadable:
    case Outcome::kAttachmentUnreadable:
    case Outcome::kExpired:
    case Outcome::kMailLoop:
    case Outcome::kMaybeDelivered:
    case Outcome::kTooLarge:
    case Outcome::kKilledTwice:
    case Outcome::kJournalUnreadable:
    case Outcome::kNotRegular:
    case Outcome::kNotOwnFile:
      return Disposition::kQuarantine;
    case Outcome::kNoMailProfile:
    case Outcome::kSenderRefused:
    case Outcome::kAccountRefused:
      return Disposition::kStop;
    case Outcome::kQuotaExceeded:
      return Disposition::kPause;
  }
  return Disposition::kDefer;
}

// A stable English token ("refused", "no-connection" ...) for records, --json output and stderr.
std::string_view OutcomeToken(Outcome outcome);
// The outcome a token names, for reading records back.
std::optional<Outcome> OutcomeFromToken(std::string_view token);

}  // namespace droprelay
