// Mail loops. Every message this relay sends begins with a trace field naming the relay instance,
// in the style of a Received line:
//
//   Received: by <host> (droprelay <drop folder>); <date>
//
// The relayed message also carries the drop file's own Received fields after it, as a forwarding
// mail server does, so the count of hops grows along a loop through several relays.
//
// A drop file that already carries this relay's own trace has been round once (its recipient leads
// back into this drop folder); one with more than kMaxTraceFields Received fields has gone round
// somewhere else. Either would go round again for ever, so the relay sets it aside. The drop folder
// is part of the name, so two relays on one host never take each other's messages for loops.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/relay_config.h"

namespace droprelay {

inline constexpr std::size_t kMaxTraceFields = 25;

// The relay instance as its trace names it: "by <host> (droprelay <drop folder>)". The host is
// lower-cased; bytes of either that cannot stand in a header comment are written %XX, and a
// folder whose form would make the line too long is named by a digest of its bytes instead.
std::string RelayTraceId(std::string_view hostName, std::string_view dropFolder);

// The complete trace field (without its line end) for a message relayed at `date`.
std::string RelayTraceField(std::string_view traceId, std::string_view date);

enum class MailLoop { kNone, kOwnTrace, kTooManyHops };

// Looks at the header of a stored message (up to its first empty line; CR LF or LF line ends,
// folded fields unfolded, runs of blanks counted as one): kOwnTrace when a Received field holds
// `traceId`, else kTooManyHops when there are more than kMaxTraceFields Received fields.
MailLoop FindMailLoop(std::string_view rawMessage, std::string_view traceId);

// The Received fields of a stored message's header, in order, each unfolded into one line
// ("Received: " + value, runs of blanks made one) with bytes that are not printable ASCII made "?".
std::vector<std::string> ReceivedFields(std::string_view rawMessage);

// The relay's check of one drop file: this machine's name and the configured drop folder make the
// trace id; the submission is given the trace the message will carry when it is relayed now (this
// relay's field, then the file's ReceivedFields), and the answer is FindMailLoop's.
MailLoop CheckMailLoop(const RelayConfig& config, std::string_view rawMessage);

// The kernel's name for this machine; "localhost" when it cannot be read.
std::string ThisHostName();

}  // namespace droprelay
