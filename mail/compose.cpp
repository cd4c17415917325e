#include "mail/compose.h"

#include <algorithm>
#include <stdexcept>

#include "mail/codecs.h"
#include "mail/header_utils.h"
#include "mail/mime_types.h"
#include "platform/random.h"
#include "platform/syserror.h"
#include "text/lines.h"

namespace droprelay {
namespace {

constexpr std::size_t kWordBytes = 42;  // 56 base64 characters: a word of 68, a line under 78

bool IsPlainPrintable(std::string_view s) {
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Pieces of attachments are encoded whole lines at a time (see EncodeBase64Lines).
constexpr std::size_t kLineBytes = 57;

// Base64 in lines of 76 characters, each ending in CR LF, appended to `out`.
void AppendBase64Lines(std::string_view in, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(Base64LinesSize(in.size())));
  EncodeBase64Lines(in, out.data() + start);
}

std::string Base64Lines(std::string_view bytes) {
  std::string out;
  AppendBase64Lines(bytes, out);
  return out;
}

// One encoded word's base64 without the line break the encoder ends its line with.
std::string Base64Word(std::string_view bytes) {
  std::string text = Base64Lines(bytes);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// CR LF for every CR LF, lone CR and lone LF: the canonical form of text on the wire.
std::string CanonicalLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  AppendCrLfLines(text, out);
  return out;
}

// Quoted-printable body whose decoded form is exactly `text` (CR LF line ends): blanks before a
// line end are escaped (transports strip them), and text without a final line break ends in a
// soft one so that the message's own last CR LF adds nothing.
std::string QuotedPrintableBody(const std::string& text) {
  const std::string encoded = EncodeQuotedPrintable(text, false);
  std::string out;
  out.reserve(encoded.size() + 8);
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    const bool beforeHardBreak = encoded.compare(i + 1, 2, "\r\n") == 0 || i + 1 == encoded.size();
    if ((c == ' ' || c == '\t') && beforeHardBreak) {
      out += c == ' ' ? "=20" : "=09";
    } else {
      out += c;
    }
  }
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) out += "=\r\n";
  return out;
}

bool MostlyAscii(std::string_view text) {
  std::size_t high = 0;
  for (const char c : text) high += static_cast<unsigned char>(c) >= 0x80;
  return high * 6 <= text.size();
}

std::string AddressList(const char* name, const std::vector<std::string>& addresses) {
  std::string out = std::string(name) + ": ";
  std::size_t lineLength = out.size();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    std::string item = addresses[i] + (i + 1 < addresses.size() ? "," : "");
    if (i > 0) {
      if (lineLength + 1 + item.size() > 76) {
        out += "\r\n ";
        lineLength = 1;
      } else {
        out += ' ';
        ++lineLength;
      }
    }
    out += item;
    lineLength += item.size();
  }
  return out + "\r\n";
}

// A trace field fit to stand as it is: printable ASCII, every line break a fold, no line longer
// than the 998 characters a header line may have.
bool IsWellFormedField(std::string_view field) {
  std::size_t lineLength = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (c == '\r') {
      if (field.compare(i, 2, "\r\n") != 0 || i + 2 >= field.size() || (field[i + 2] != ' ' && field[i + 2] != '\t')) {
        return false;
      }
      ++i;
      lineLength = 0;
      continue;
    }
    if ((c < 0x20 && c != '\t') || c > 0x7E || ++lineLength > 998) return false;
  }
  return !field.empty();
}

}  // namespace

std::string Rfc5322Date(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  long offset = local.tm_gmtoff / 60;
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, sign, offset / 60, offset % 60);
  return buffer;
}

MessageStamp NewMessageStamp(std::string_view from) {
  MessageStamp stamp;
  stamp.date = Rfc5322Date(std::time(nullptr));
  const std::size_t at = from.find('@');
  const std::string_view domain = at == std::string_view::npos ? std::string_view("localhost") : from.substr(at + 1);
  std::string id = "<";
  id += std::to_string(std::time(nullptr));
  id += '.';
  id += platform::RandomHex(24);
  id += '@';
  id += domain;
  id += '>';
  stamp.messageId = std::move(id);
  // "=_" never occurs in base64 or quoted-printable text, so no content can end a part early.
  stamp.boundary = "=_droprelay_" + platform::RandomHex(24);
  return stamp;
}

std::string EncodeUnstructured(std::string_view utf8, std::size_t firstLineRoom) {
  if (IsPlainPrintable(utf8) && utf8.find("=?") == std::string_view::npos && utf8.size() <= firstLineRoom) {
    return std::string(utf8);
  }
  std::string out;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    std::size_t length = std::min(kWordBytes, utf8.size() - pos);
    // Never split a character between two words (each word must decode on its own).
    if (pos + length < utf8.size()) {
      std::size_t cut = length;
      while (cut > 0 && (static_cast<unsigned char>(utf8[pos + cut]) & 0xC0) == 0x80) --cut;
      if (cut > 0) length = cut;
    }
    if (!out.empty()) out += "\r\n ";
    out += "=?utf-8?B?" + Base64Word(utf8.substr(pos, length)) + "?=";
    pos += length;
  }
  return out;
}

std::string FileNameParameter(std::string_view attribute, std::string_view utf8Name) {
  std::string name(utf8Name);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  }
  if (IsPlainPrintable(name) && name.find_first_of("\"\\") == std::string::npos && name.size() <= 60) {
    return std::string(attribute) + "=\"" + name + "\"";
  }
  // RFC 2231: percent-encode all but attribute characters, in continuations of at most 60.
  static constexpr char kHex[] = "0123456789ABCDEF";
  // A character's bytes stay in one piece: some readers decode each piece on its own.
  std::vector<std::string> pieces(1);
  std::string character;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::string_view("!#$&+-.^_`|~").find(name[i]) != std::string_view::npos;
    character += plain ? std::string(1, name[i]) : std::string{'%', kHex[c >> 4], kHex[c & 15]};
    const bool continues = i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80;
    if (continues && character.size() < 12) continue;
    if (!pieces.back().empty() && pieces.back().size() + character.size() > 60) pieces.emplace_back();
    pieces.back() += character;
    character.clear();
  }
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += ";\r\n ";
    out += std::string(attribute) + "*";
    if (pieces.size() > 1) out += std::to_string(i) + "*";
    out += "=";
    if (i == 0) out += "utf-8''";
    out += pieces[i];
  }
  return out;
}

ComposedMessage::ComposedMessage(const OutgoingMessage& message, const MessageStamp& stamp) {
  std::string out;
  for (const std::string& field : message.traceFields) {
    if (IsWellFormedField(field)) out += field + "\r\n";
  }
  out += "From: " + message.from + "\r\n";
  if (message.to.empty() && message.cc.empty()) {
    out += "To: undisclosed-recipients:;\r\n";
  } else {
    if (!message.to.empty()) out += AddressList("To", message.to);
    if (!message.cc.empty()) out += AddressList("Cc", message.cc);
  }
  out += "Subject: " + EncodeUnstructured(message.subject, 900) + "\r\n";
  out += "Date: " + stamp.date + "\r\n";
  out += "Message-ID: " + stamp.messageId + "\r\n";
  out += "MIME-Version: 1.0\r\n";

  const std::string text = CanonicalLineEnds(message.body);
  const bool quoted = MostlyAscii(text);
  const std::string textHeaders = std::string("Content-Type: text/plain; charset=utf-8\r\n") +
                                  "Content-Transfer-Encoding: " + (quoted ? "quoted-printable" : "base64") +
                                  "\r\n";
  const std::string textBody = quoted ? QuotedPrintableBody(text) : Base64Lines(text);
  if (message.attachments.empty()) {
    AddText(out + textHeaders + "\r\n" + textBody);
    return;
  }

  out += "Content-Type: multipart/mixed; boundary=\"" + stamp.boundary + "\"\r\n\r\n";
  out += "This is a multi-part message in MIME format.\r\n";
  // Each part's content is followed by one more CR LF: the one before a delimiter belongs to it.
  out += "--" + stamp.boundary + "\r\n" + textHeaders + "\r\n" + textBody + "\r\n";
  for (const OutgoingAttachment& attachment : message.attachments) {
    out += "--" + stamp.boundary + "\r\n";
    out += "Content-Type: " + SafeMediaType(ContentTypeOfFile(attachment.fileName)) + ";\r\n " +
           FileNameParameter("name", attachment.fileName) + "\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment;\r\n " + FileNameParameter("filename", attachment.fileName) + "\r\n";
    out += "\r\n";
    AddText(std::move(out));
    out.clear();
    Segment content;
    content.attachment = &attachment;
    content.size = Base64LinesSize(attachment.file ? attachment.file->size : attachment.data.size());
    size_ += content.size;
    segments_.push_back(std::move(content));
    out += "\r\n";
  }
  out += "--" + stamp.boundary + "--\r\n";
  AddText(std::move(out));
}

void ComposedMessage::AddText(std::string text) {
  Segment segment;
  segment.size = text.size();
  segment.text = std::move(text);
  size_ += segment.size;
  segments_.push_back(std::move(segment));
}

void ComposedMessage::Rewind() {
  segment_ = 0;
  offset_ = 0;
  inputOffset_ = 0;
  piece_.clear();
  pieceOffset_ = 0;
  error_.clear();
}

bool ComposedMessage::Fail(const OutgoingAttachment& attachment, const std::string& why) {
  const std::string& label = attachment.file && !attachment.file->label.empty() ? attachment.file->label
                                                                                 : attachment.fileName;
  error_ = "Cannot read attachment \"" + label + "\": " + why;
  return false;
}

// Encodes the attachment's next piece into piece_. A file must still hold exactly the bytes it
// held when it was opened: the size was promised before the first byte went out.
bool ComposedMessage::EncodeNextPiece(const OutgoingAttachment& attachment) {
  constexpr std::size_t kPieceBytes = kLineBytes * 1150;  // about 64 KiB: whole lines of base64
  piece_.clear();
  pieceOffset_ = 0;
  if (!attachment.file) {
    const std::size_t length = std::min<std::size_t>(kPieceBytes, attachment.data.size() - inputOffset_);
    AppendBase64Lines(std::string_view(attachment.data).substr(inputOffset_, length), piece_);
    inputOffset_ += length;
    return true;
  }
  const AttachmentFile& file = *attachment.file;
  if (!input_) input_ = std::make_unique<char[]>(kPieceBytes);
  const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, file.size - inputOffset_));
  for (std::size_t got = 0; got < length;) {
    const long n = platform::ReadAt(file.file, input_.get() + got, length - got, inputOffset_ + got);
    if (n < 0) return Fail(attachment, platform::SystemErrorText());
    if (n == 0) return Fail(attachment, "the file became shorter while it was sent");
    got += static_cast<std::size_t>(n);
  }
  inputOffset_ += length;
  if (inputOffset_ == file.size) {
    char extra;
    const long n = platform::ReadAt(file.file, &extra, 1, inputOffset_);
    if (n < 0) return Fail(attachment, platform::SystemErrorText());
    if (n > 0) return Fail(attachment, "the file became longer while it was sent");
  }
  AppendBase64Lines(std::string_view(input_.get(), length), piece_);
  return true;
}

long ComposedMessage::Read(char* buffer, std::size_t count) {
  if (Failed()) return -1;
  std::size_t copied = 0;
  while (copied < count && segment_ < segments_.size()) {
    const Segment& segment = segments_[segment_];
    if (offset_ == segment.size) {
      ++segment_;
      offset_ = 0;
      inputOffset_ = 0;
      piece_.clear();
      pieceOffset_ = 0;
      continue;
    }
    std::string_view from;
    if (segment.attachment == nullptr) {
      from = std::string_view(segment.text).substr(static_cast<std::size_t>(offset_));
    } else {
      if (pieceOffset_ == piece_.size() && !EncodeNextPiece(*segment.attachment)) return -1;
      from = std::string_view(piece_).substr(pieceOffset_);
      pieceOffset_ += std::min(from.size(), count - copied);
    }
    const std::size_t n = std::min(from.size(), count - copied);
    std::copy_n(from.data(), n, buffer + copied);
    copied += n;
    offset_ += n;
  }
  return static_cast<long>(copied);
}

std::string ComposeMessage(const OutgoingMessage& message, const MessageStamp& stamp) {
  ComposedMessage source(message, stamp);
  std::string out(static_cast<std::size_t>(source.Size()), '\0');
  for (std::size_t done = 0; done < out.size();) {
    const long n = source.Read(out.data() + done, out.size() - done);
    if (n < 0) throw std::runtime_error(source.Error());
    if (n == 0) throw std::runtime_error("The composed message ended before its size");
    done += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace droprelay
