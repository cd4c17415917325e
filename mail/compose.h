// Composes the RFC 5322 message that the submission facility delivers: text in UTF-8, CR LF
// line ends, every header line plain printable ASCII (non-ASCII subjects and file names are
// encoded), so nothing a caller passes can break a header line.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace droprelay {

struct OutgoingAttachment {
  std::string fileName;  // UTF-8 as far as it is valid; used only for the headers
  std::string data;
};

struct OutgoingMessage {
  std::string from;                // a checked address
  std::vector<std::string> to;     // checked addresses, in order
  std::vector<std::string> cc;
  std::string subject;             // UTF-8
  std::string body;                // UTF-8, any line ends
  std::vector<OutgoingAttachment> attachments;
  // Trace fields ("Received: ..."), written first, in order, without their line end. Each must be
  // printable ASCII, folded (if at all) with CR LF and a blank; one that is not is left out.
  std::vector<std::string> traceFields;
};

// What differs between two compositions of the same message.
struct MessageStamp {
  std::string date;       // RFC 5322 date-time
  std::string messageId;  // with its angle brackets
  std::string boundary;
};

// Date now (local time with its offset), a random Message-ID in the sender's domain, a random
// boundary that cannot occur in base64 or quoted-printable text.
MessageStamp NewMessageStamp(std::string_view from);
std::string Rfc5322Date(std::time_t when);

std::string ComposeMessage(const OutgoingMessage& message, const MessageStamp& stamp);

// The header-safe forms, exposed for tests: an unstructured value as is when it is short plain
// ASCII, otherwise as UTF-8 "B" encoded words of at most 75 characters joined by CR LF blank.
std::string EncodeUnstructured(std::string_view utf8, std::size_t firstLineRoom);
// filename="..." or its RFC 2231 form (filename*0*=utf-8''...; continued as needed).
std::string FileNameParameter(std::string_view attribute, std::string_view utf8Name);

}  // namespace droprelay
