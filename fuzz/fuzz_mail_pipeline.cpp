// The whole mail pipeline on arbitrary text: parse, locate, restructure in every mode, compose,
// decode every part and name it, then read the composed message back. Damaged mail is read, not
// refused, so no error at all may come out: an exception, a crash or a sanitizer report is a
// finding.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/mail_error.h"
#include "mail/mail_message.h"

namespace {

using namespace droprelay;

// What DecodeBodyTo hands out, joined: it must be what DecodeBody gives.
std::string Pieces(TMailPart& part) {
  std::string joined;
  part.DecodeBodyTo([&joined](std::string_view piece) {
    joined += piece;
    return true;
  });
  return joined;
}

void DecodeAll(TMailPart& part) {
  const std::string pieces = Pieces(part);
  part.DecodeBody();
  if (pieces != part.DecodedBody().View()) __builtin_trap();
  (void)part.GetAttachmentFileName();
  for (TMailPart* sub : part.SubParts()) DecodeAll(*sub);
}

std::string Written(const TMailPart& part) {
  std::string out;
  for (const std::string& line : part.HeaderLines()) out += line + "\r\n";
  out += "\r\n";
  out += part.RawBody().View();
  return out;
}

void Pipeline(std::string_view text, TRestructureMode mode) {
  TMailMessage message;
  message.ParseText(text, true);
  message.LocateBodies();
  message.RestructureParts(mode);
  message.ComposeBody();
  // A second round on the rebuilt tree, as a caller forcing it would.
  message.RestructureParts(rmForce);
  message.ComposeBody();
  DecodeAll(message);
  for (TMailPart* part : message.AttachmentParts()) {
    part->DecodeBody();
    (void)part->GetAttachmentFileName();
  }
  (void)message.Warnings();
  (void)message.Subject();
  (void)message.ToRecipients().GetAllAddresses();

  TMailMessage again;
  again.ParseText(Written(message), true);
  again.LocateBodies();
  again.RestructureParts(rmIfPending);
  again.ComposeBody();
}

std::string Dump(const TMailPart& part) {
  std::string out = "[" + part.ParentBoundary() + "]";
  for (const std::string& line : part.HeaderLines()) out += line + "\n";
  out += "{" + std::string(part.RawBody().View()) + "}{" + std::string(part.DecodedBody().View()) + "}(";
  for (const TMailPart* sub : part.SubParts()) out += Dump(*sub);
  return out + ")";
}

// Boundaries made up by the uuencode rebuild are random: "boundary" and 8 hex digits.
std::string Masked(std::string text) {
  for (std::size_t at = text.find("boundary"); at != std::string::npos; at = text.find("boundary", at + 1)) {
    for (std::size_t i = at + 8; i < at + 16 && i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
      text[i] = 'X';
    }
  }
  return text;
}

// A parse that reports progress walks every line of the root; one that does not jumps between
// delimiter lines. They must agree.
void SameTreeWithProgress(std::string_view text) {
  TMailMessage quiet;
  TMailMessage reporting;
  reporting.SetOnProgress([](TMailMessage*, std::int32_t, std::int32_t) {});
  bool quietFailed = false;
  bool reportingFailed = false;
  try {
    quiet.ParseText(text, true);
  } catch (const EMailError&) {
    quietFailed = true;
  }
  try {
    reporting.ParseText(text, true);
  } catch (const EMailError&) {
    reportingFailed = true;
  }
  if (quietFailed != reportingFailed || (!quietFailed && Masked(Dump(quiet)) != Masked(Dump(reporting)))) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  SameTreeWithProgress(text);
  for (TRestructureMode mode : {rmIfPending, rmForce, rmAddText, rmAddAttachment, rmAddEmbedded}) {
    Pipeline(text, mode);
  }
  return 0;
}
