// mailinspect FILE...: shows what the mail library makes of stored messages.
//
// For each file: load, locate the bodies, restructure (only if pending) and compose, as the relay
// does, and print the part tree before and after, the body lines, the attachment names, the subject
// and the "To" addresses. Output is UTF-8: bytes that are valid UTF-8 are shown as they are, anything
// else that is not printable as \xNN. A file that cannot be read or parsed is reported on stderr,
// the next file is processed, and the exit status is 1.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_message.h"

namespace {

using droprelay::TMailMessage;
using droprelay::TMailPart;

// Length of the valid UTF-8 sequence at `i` (non-ASCII), or 0 if there is none.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  unsigned minimum = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    minimum = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    minimum = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  unsigned code = b0 & (0xFF >> (len + 1));
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return len;
}

std::string Printable(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '\\') {
      out += "\\\\";
      ++i;
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (const std::size_t len = c >= 0x80 ? Utf8SequenceLength(s, i) : 0; len > 0) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0x0F];
      ++i;
    }
  }
  return out;
}

void PrintPart(std::ostream& out, const TMailPart& part, int depth, const std::string& label) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  const std::string type = part.GetMediaType();
  out << indent << label << ' ' << (type.empty() ? "(no type)" : Printable(type));
  if (const std::string boundary = part.GetPartBoundary(); !boundary.empty()) {
    out << " boundary=\"" << Printable(boundary) << '"';
  }
  out << " raw=" << part.RawBody().Size() << " decoded=" << part.DecodedBody().Size()
      << " embedded=" << (part.Embedded() ? "yes" : "no") << '\n';
  for (const std::string& line : part.HeaderLines()) out << indent << "  | " << Printable(line) << '\n';
  int index = 0;
  for (const TMailPart* sub : part.SubParts()) {
    std::string label = "[";
    label += std::to_string(index++);
    label += ']';
    PrintPart(out, *sub, depth + 1, label);
  }
}

// Part labels as in the tree: "message", "message[1]", "message[1][0]".
void CollectPartWarnings(const TMailPart& part, const std::string& label, std::vector<std::string>& out) {
  const std::string encoding = part.GetTransferEncoding();
  if (!TMailPart::IsKnownTransferEncoding(encoding)) {
    out.push_back(label + ": unknown transfer encoding \"" + Printable(encoding) + "\", content taken as stored");
  }
  for (const auto& [field, param] : {std::pair<const char*, const char*>{"Content-Type", "name"},
                                     std::pair<const char*, const char*>{"Content-Disposition", "filename"}}) {
    bool extended = false;
    const std::string value = part.GetHeaderParamDecoded(field, param, &extended);
    if (extended) out.push_back(label + ": " + param + " read from its RFC 2231 form: " + Printable(value));
  }
  const std::string type = part.GetMediaType();
  if (type == "application/pgp-signature" || type == "application/pkcs7-signature" ||
      type == "application/x-pkcs7-signature") {
    out.push_back(label + ": signature " + type + " is not forwarded (it could not verify after the rewrite)");
  }
  int index = 0;
  for (const TMailPart* sub : part.SubParts()) {
    CollectPartWarnings(*sub, label + "[" + std::to_string(index++) + "]", out);
  }
}

void PrintWarnings(std::ostream& out, const TMailMessage& message) {
  std::vector<std::string> warnings;
  for (const std::string& repair : message.ParseRepairs()) warnings.push_back(Printable(repair));
  CollectPartWarnings(message, "message", warnings);
  out << "-- warnings (" << warnings.size() << ")\n";
  for (const std::string& warning : warnings) out << "  ! " << warning << '\n';
}

void PrintLines(std::ostream& out, std::string_view title, const droprelay::TStringList& lines) {
  out << "-- " << title << " (" << lines.size() << " lines)\n";
  for (const std::string& line : lines) out << "  > " << Printable(line) << '\n';
}

bool Inspect(const std::string& fileName, std::ostream& out) {
  TMailMessage message;
  try {
    message.LoadFromFile(fileName);
    out << "== " << Printable(fileName) << '\n';
    out << "-- tree as parsed\n";
    PrintPart(out, message, 1, "message");
    PrintWarnings(out, message);
    message.LocateBodies();
    message.RestructureParts(droprelay::rmIfPending);
    message.ComposeBody();
  } catch (const std::exception& error) {
    std::cerr << "mailinspect: " << Printable(fileName) << ": " << Printable(error.what()) << '\n';
    return false;
  }
  out << "-- tree after restructuring\n";
  PrintPart(out, message, 1, "message");
  PrintLines(out, "plain text", message.PlainLines());
  PrintLines(out, "html", message.HtmlLines());
  out << "-- attachments (" << message.AttachmentParts().Count() << ")\n";
  for (const TMailPart* part : message.AttachmentParts()) {
    out << "  * " << Printable(part->GetAttachmentFileName()) << (part->Embedded() ? " (embedded)" : "") << '\n';
  }
  out << "-- subject: " << Printable(message.Subject()) << '\n';
  out << "-- to: " << Printable(message.ToRecipients().GetAllAddresses()) << '\n';
  out << "-- composed body: " << message.RawBody().Size() << " bytes\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: mailinspect FILE...\n";
    return 2;
  }
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    if (!Inspect(argv[i], std::cout)) ok = false;
    std::cout.flush();
  }
  return ok ? 0 : 1;
}
