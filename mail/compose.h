// Composes the RFC 5322 message that the submission facility delivers: text in UTF-8, CR LF
// line ends, every header line plain printable ASCII (non-ASCII subjects and file names are
// encoded), so nothing a caller passes can break a header line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace droprelay {

// An attachment's content left in its open file: read piece by piece while the message is read,
// so the content is never in memory as a whole.
struct AttachmentFile {
  platform::FileDescriptor file;
  std::uint64_t size = 0;  // the size the file had when it was opened: the message is composed for it
  std::string label;       // how error texts name the file (printable)
};

struct OutgoingAttachment {
  std::string fileName;  // UTF-8 as far as it is valid; used only for the headers
  std::string data;      // the content, unless `file` is given
  std::shared_ptr<const AttachmentFile> file = nullptr;
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

// The composed message as a stream of bytes. Its size is known before the first byte is read;
// each attachment is encoded in pieces as the reader gets to it (through one small buffer that is
// reused), so neither the attachment nor the composed message is ever whole in memory. The message,
// with its attachments' data and files, must outlive the source.
class ComposedMessage {
 public:
  ComposedMessage(const OutgoingMessage& message, const MessageStamp& stamp);
  ComposedMessage(const ComposedMessage&) = delete;
  ComposedMessage& operator=(const ComposedMessage&) = delete;

  std::uint64_t Size() const { return size_; }
  // Copies the next bytes, at most `count`, to `buffer`: the number copied (0 at the end), or
  // -1 when an attachment file cannot be read or no longer has the size it had when it was opened.
  // Error() then names the attachment and says why; every later Read fails until Rewind.
  long Read(char* buffer, std::size_t count);
  const std::string& Error() const { return error_; }
  bool Failed() const { return !error_.empty(); }
  // Back to the first byte, to read the message again.
  void Rewind();

 private:
  // Composed text as it stands, or the base64 lines of one attachment (`text` then empty).
  struct Segment {
    std::string text;
    const OutgoingAttachment* attachment = nullptr;
    std::uint64_t size = 0;
  };
  void AddText(std::string text);
  bool EncodeNextPiece(const OutgoingAttachment& attachment);
  bool Fail(const OutgoingAttachment& attachment, const std::string& why);

  std::vector<Segment> segments_;
  std::uint64_t size_ = 0;
  std::size_t segment_ = 0;
  std::uint64_t offset_ = 0;      // within the current segment
  std::uint64_t inputOffset_ = 0;  // attachment bytes encoded so far in the current segment
  std::string piece_;              // base64 lines of the last piece read
  std::size_t pieceOffset_ = 0;
  std::unique_ptr<char[]> input_;  // a piece of an attachment file
  std::string error_;
};

// The whole composed message at once, for messages whose attachments are in memory. Throws
// std::runtime_error when an attachment file cannot be read as ComposedMessage would report it.
std::string ComposeMessage(const OutgoingMessage& message, const MessageStamp& stamp);

// The header-safe forms, exposed for tests: an unstructured value as is when it is short plain
// ASCII, otherwise as UTF-8 "B" encoded words of at most 75 characters joined by CR LF blank.
std::string EncodeUnstructured(std::string_view utf8, std::size_t firstLineRoom);
// filename="..." or its RFC 2231 form (filename*0*=utf-8''...; continued as needed).
std::string FileNameParameter(std::string_view attribute, std::string_view utf8Name);

}  // namespace droprelay
