// A part's content: decoding the stored body, re-encoding it, and the attachment's file name.
#include <algorithm>
#include <cstring>

#include "mail/codecs.h"
#include "mail/mail_message.h"
#include "mail/mail_part.h"
#include "text/ascii.h"
#include "text/lines.h"

namespace droprelay {

namespace {

// Calls `each` with every line of `text`, CR LF included (the last line possibly without), as
// ExtractNextLine would hand them out, but as views instead of copies.
template <typename Each>
void ForEachLine(std::string_view text, Each each) {
  CrLfLines lines(text);
  while (lines.Next()) each(lines.LineWithBreak());
}

std::string_view TrimBlanks(std::string_view text) { return TrimBytes(text, kSpace); }

bool IsUUName(std::string_view encoding) {
  return encoding == "uucode" || encoding == "x-uuencode" || encoding == "x-uue" || encoding == "uuencode";
}

bool StartsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string TMailPart::GetTransferEncoding() const {
  // Encoding names are case-insensitive and may stand between blanks or tabs.
  std::string value = GetHeaderValue("Content-Transfer-Encoding");
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  value = value.substr(first, value.find_last_not_of(" \t") - first + 1);
  for (char& c : value) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return value;
}

bool TMailPart::IsKnownTransferEncoding(std::string_view encoding) {
  return encoding.empty() || encoding == "7bit" || encoding == "8bit" || encoding == "binary" ||
         encoding == "quoted-printable" || encoding == "base64" || IsUUName(encoding);
}

bool TMailPart::DecodeBody() {
  if (FIsDecoded) return true;
  FIsDecoded = true;
  // A part built from a uuencoded block has no stored body but already holds its content.
  if (FRawBody.Size() == 0) return true;
  const std::string encoding = GetTransferEncoding();
  FDecodedBody.Clear();
  const std::string_view stored = FRawBody.View();

  // "7bit", "8bit", "binary", no encoding and unknown names all mean the bytes as stored.
  if (encoding == "quoted-printable") {
    ByteBuffer decoded;
    DecodeQuotedPrintable(stored, decoded);
    FDecodedBody.Assign(std::move(decoded));
  } else if (encoding == "base64") {
    // One stream: line breaks and blanks are outside the alphabet and skipped, so a group may
    // run across a line break (lines of any length, not only multiples of four).
    ByteBuffer decoded;
    Base64Damage damage;
    Base64DecodeStream(stored, decoded, &damage);
    FDecodedBody.Assign(std::move(decoded));
    NoteBase64Damage(damage);
  } else if (IsUUName(encoding)) {
    // The line break goes before decoding: the decoder would read it as data on any line shorter
    // than a full one (the last data line, the zero-count line) and refuse a valid body. Mailers
    // usually keep the "begin" and "end" lines in the body: then only the lines between count.
    const bool framed = StartsWith(stored, "begin ") || stored.find("\r\nbegin ") != std::string_view::npos;
    bool inside = !framed;
    UULineBuffer buffer{};
    std::string decoded;
    try {
      ForEachLine(stored, [&](std::string_view line) {
        if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") line.remove_suffix(2);
        if (framed) {
          if (!inside) {
            inside = StartsWith(line, "begin ");
            return;
          }
          if (StartsWith(line, "end")) {
            inside = false;
            return;
          }
        }
        const int n = UUDecodeLine(TrimBlanks(line), buffer);
        if (n > 0) decoded.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(std::min(n, 45)));
      });
      FDecodedBody.Assign(std::move(decoded));
    } catch (const std::exception& error) {
      // Damaged data is not thrown away: the part keeps its text as it was stored.
      FDecodedBody.Assign(std::string(stored));
      NoteDamage(TMailWarningCode::kUuencodeContentMalformed,
                 std::string("uuencoded content is malformed (") + error.what() + "): kept as text");
    }
    EncodeBodyBase64();
  } else {
    if (!IsKnownTransferEncoding(encoding) && !FContentDamageNoted) {
      FContentDamageNoted = true;
      NoteDamage(TMailWarningCode::kUnknownTransferEncoding,
                 "unknown transfer encoding \"" + encoding + "\", content taken as stored");
    }
    FDecodedBody.AssignFrom(FRawBody);  // shares the stored bytes rather than copying them
  }
  return true;
}

bool TMailPart::DecodeBodyTo(const BodySink& sink) {
  // Pieces of about this many stored bytes: large enough for the decoders' fast paths, small
  // enough to stay in the processor's caches.
  constexpr std::size_t kPiece = 256 * 1024;
  const auto handOut = [&](std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      if (!sink(bytes.substr(at, kPiece))) return false;
    }
    return true;
  };
  const std::string encoding = GetTransferEncoding();
  // Decoded already, or held decoded only (a uuencoded block, which DecodeBody also turns into
  // base64): the decoded body is what there is.
  if (FIsDecoded || FRawBody.Size() == 0 || IsUUName(encoding)) {
    DecodeBody();
    return handOut(FDecodedBody.View());
  }
  const std::string_view stored = FRawBody.View();
  if (encoding == "base64") {
    Base64Decoder decoder;
    ByteBuffer buffer;
    char* const room = buffer.AppendSpace(kPiece / 4 * 3 + 3);
    for (std::size_t at = 0; at < stored.size(); at += kPiece) {
      const char* end = decoder.Decode(stored.substr(at, kPiece), room);
      if (!sink(std::string_view(room, static_cast<std::size_t>(end - room)))) return false;
    }
    NoteBase64Damage(decoder.Damage());
    return true;
  }
  if (encoding == "quoted-printable") {
    ByteBuffer buffer;
    for (std::size_t at = 0; at < stored.size();) {
      const std::size_t to = QuotedPrintablePieceEnd(stored, at, kPiece);
      buffer.clear();
      DecodeQuotedPrintable(stored.substr(at, to - at), buffer);
      if (!sink(buffer.View())) return false;
      at = to;
    }
    return true;
  }
  if (!IsKnownTransferEncoding(encoding) && !FContentDamageNoted) {
    FContentDamageNoted = true;
    NoteDamage(TMailWarningCode::kUnknownTransferEncoding,
               "unknown transfer encoding \"" + encoding + "\", content taken as stored");
  }
  return handOut(stored);
}

void TMailPart::NoteBase64Damage(const Base64Damage& damage) {
  if (FContentDamageNoted) return;
  FContentDamageNoted = true;
  if (damage.strayCharacters > 0) {
    NoteDamage(TMailWarningCode::kBase64StrayCharacters,
               "base64 content holds " + std::to_string(damage.strayCharacters) +
               " characters outside the alphabet: skipped");
  }
  if (damage.leftoverCharacters > 0) {
    NoteDamage(TMailWarningCode::kBase64IncompleteGroup,
               "base64 content ends in an incomplete group of " + std::to_string(damage.leftoverCharacters) +
               " characters: dropped");
  }
}

void TMailPart::NoteDamage(TMailWarningCode code, std::string text) const {
  if (FOwnerMessage != nullptr) FOwnerMessage->NoteWarning(*this, code, FBodyOffset, std::move(text));
}

void TMailPart::EncodeBody(TEncodingType encoding) {
  switch (encoding) {
    case etBase64:
      EncodeBodyBase64();
      break;
    case etQuotedPrintable:
      EncodeBodyQuotedPrintable();
      break;
    case etNoEncoding:
      FRawBody.AssignFrom(FDecodedBody);
      SetHeaderValue("Content-Transfer-Encoding", "");
      break;
    case et7Bit:
      FRawBody.AssignFrom(FDecodedBody);
      SetHeaderValue("Content-Transfer-Encoding", "7bit");
      break;
  }
}

void TMailPart::EncodeBodyQuotedPrintable() {
  FRawBody.Clear();
  SetHeaderValue("Content-Transfer-Encoding", "quoted-printable");
  if (FDecodedBody.Size() > 0) {
    ByteBuffer encoded;
    EncodeQuotedPrintable(FDecodedBody.View(), false, encoded);
    FRawBody.Assign(std::move(encoded));
  }
}

void TMailPart::EncodeBodyBase64() {
  Base64EncodeStream(FRawBody, FDecodedBody);
  SetHeaderValue("Content-Transfer-Encoding", "base64");
}

std::string TMailPart::GetAttachmentFileName() const {
  std::string name;
  // "name" before "filename"; each in its plain form, else its RFC 2231 form.
  if (std::string typeName = GetHeaderParamDecoded("Content-Type", "name"); !typeName.empty()) {
    name = std::move(typeName);
  } else if (std::string fileName = GetHeaderParamDecoded("Content-Disposition", "filename"); !fileName.empty()) {
    name = std::move(fileName);
  } else if (HasHeader("Content-ID")) {
    name = GetHeaderValue("Content-ID");
  } else if (HasHeader("Content-Type")) {
    const std::string type = GetHeaderValue("Content-Type");
    name = type + ExtensionOfContentType(type);
  } else {
    name = "unknown";
  }
  name = DecodeEncodedWords(name);
  if (name.find('.') == std::string::npos) name += ExtensionOfContentType(GetHeaderValue("Content-Type"));
  return CleanFileName(name);
}

}  // namespace droprelay
