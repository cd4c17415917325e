// The whole mail pipeline on arbitrary text: parse, locate, restructure in every mode, compose,
// decode every part and name it, then read the composed message back. The only error allowed
// out is the library's own EMailError (the uuencode format error); anything else, a crash or a
// sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/mail_error.h"
#include "mail/mail_message.h"

namespace {

using namespace droprelay;

void DecodeAll(TMailPart& part) {
  try {
    part.DecodeBody();
  } catch (const EMailError&) {
  }
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
  try {
    message.ParseText(text, true);
  } catch (const EMailError&) {
    return;
  }
  try {
    message.LocateBodies();
    message.RestructureParts(mode);
    message.ComposeBody();
    // A second round on the rebuilt tree, as a caller forcing it would.
    message.RestructureParts(rmForce);
    message.ComposeBody();
  } catch (const EMailError&) {
    // Decoding a "uucode" body may raise the format error.
  }
  DecodeAll(message);
  for (TMailPart* part : message.AttachmentParts()) {
    try {
      part->DecodeBody();
    } catch (const EMailError&) {
    }
    (void)part->GetAttachmentFileName();
  }
  (void)message.Subject();
  (void)message.ToRecipients().GetAllAddresses();

  TMailMessage again;
  try {
    again.ParseText(Written(message), true);
    again.LocateBodies();
    again.RestructureParts(rmIfPending);
    again.ComposeBody();
  } catch (const EMailError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (TRestructureMode mode : {rmIfPending, rmForce, rmAddText, rmAddAttachment, rmAddEmbedded}) {
    Pipeline(text, mode);
  }
  return 0;
}
