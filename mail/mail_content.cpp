// A part's content: decoding the stored body, re-encoding it, and the attachment's file name.
#include <algorithm>
#include <cstring>

#include "mail/codecs.h"
#include "mail/mail_part.h"
#include "text/ascii.h"
#include "text/lines.h"

namespace droprelay {

namespace {

// The stored bytes as one string end at the first NUL, as a C string would.
std::string_view UpToNul(std::string_view bytes) {
  const void* nul = std::memchr(bytes.data(), '\0', bytes.size());
  return nul == nullptr ? bytes : bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
}

// Calls `each` with every line of `text`, CR LF included (the last line possibly without), as
// ExtractNextLine would hand them out, but as views instead of copies.
template <typename Each>
void ForEachLine(std::string_view text, Each each) {
  CrLfLines lines(text);
  while (lines.Next()) each(lines.LineWithBreak());
}

std::string_view TrimBlanks(std::string_view text) { return TrimBytes(text, kSpace); }

}  // namespace

bool TMailPart::DecodeBody() {
  if (FIsDecoded) return true;
  FIsDecoded = true;
  // A part built from a uuencoded block has no stored body but already holds its content.
  if (FRawBody.Size() == 0) return true;
  const std::string encoding = GetHeaderValue("Content-Transfer-Encoding");
  FDecodedBody.Clear();
  const std::string_view stored = FRawBody.View();

  if (encoding == "quoted-printable" || encoding == "7bit") {
    FDecodedBody.Assign(DecodeQuotedPrintable(UpToNul(stored)));
  } else if (encoding == "base64") {
    // Each line on its own: a group is never taken across a line break. Blanks are outside the
    // alphabet, so trimming them changes nothing. Lines of any length decode whole.
    ByteBuffer decoded;
    Base64DecodeLines(stored, decoded);
    FDecodedBody.Assign(std::move(decoded));
  } else if (encoding == "uucode") {
    // The line break goes before decoding: the decoder would read it as data on any line shorter
    // than a full one (the last data line, the zero-count line) and refuse a valid body.
    UULineBuffer buffer{};
    std::string decoded;
    auto flush = [&]() { FDecodedBody.Assign(std::move(decoded)); };
    try {
      ForEachLine(stored, [&](std::string_view line) {
        if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") line.remove_suffix(2);
        const int n = UUDecodeLine(TrimBlanks(line), buffer);
        if (n > 0) decoded.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(std::min(n, 45)));
      });
    } catch (...) {
      flush();  // what was decoded before the bad line stays
      throw;
    }
    flush();
    EncodeBodyBase64();
  } else {
    FDecodedBody.AssignFrom(FRawBody);  // shares the stored bytes rather than copying them
  }
  return true;
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
  if (FDecodedBody.Size() > 0) FRawBody.Assign(EncodeQuotedPrintable(FDecodedBody.View(), false));
}

void TMailPart::EncodeBodyBase64() {
  Base64EncodeStream(FRawBody, FDecodedBody);
  SetHeaderValue("Content-Transfer-Encoding", "base64");
}

std::string TMailPart::GetAttachmentFileName() const {
  std::string name;
  if (HasHeaderParam("Content-Type", "name")) {
    name = GetHeaderParam("Content-Type", "name");
  } else if (HasHeaderParam("Content-Disposition", "filename")) {
    name = GetHeaderParam("Content-Disposition", "filename");
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
