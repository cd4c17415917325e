// The message object: construction, ownership of loose parts, the subject.
#include "mail/mail_message.h"

#include "mail/mail_error.h"

namespace droprelay {

TMailMessage::TMailMessage()
    : FToRecipients(*this, "To"), FCcRecipients(*this, "Cc"), FBccRecipients(*this, "Bcc") {
  // The message is the owning message of its own tree, which is what lets it parse text.
  FOwnerMessage = this;
  FPartPath = "message";
}

TMailMessage::~TMailMessage() {
  // References first, so nothing points at a part while the parts go.
  FAttachmentParts.Clear();
  FSignatureParts.Clear();
  FPlainBodyPart = FHtmlBodyPart = nullptr;
  FMixedContainer = FRelatedContainer = FAlternativeContainer = FBodyContainer = nullptr;
  // The tree goes with the base; loose parts go with FLooseParts. Neither refers to the other.
}

TMailPart* TMailMessage::CreatePart() {
  auto part = std::make_unique<TMailPart>();
  part->FOwnerMessage = this;
  TMailPart* raw = part.get();
  FLooseParts.emplace(raw, std::move(part));
  return raw;
}

void TMailMessage::FreePart(TMailPart* part) {
  if (part == nullptr || part == this) return;
  part->DetachFromParent();
  FLooseParts.erase(part);
}

void TMailMessage::AdoptLoose(std::unique_ptr<TMailPart> part) {
  TMailPart* raw = part.get();
  FLooseParts.emplace(raw, std::move(part));
}

std::unique_ptr<TMailPart> TMailMessage::TakeLoose(TMailPart* part) {
  const auto it = FLooseParts.find(part);
  if (it == FLooseParts.end()) return nullptr;
  std::unique_ptr<TMailPart> owned = std::move(it->second);
  FLooseParts.erase(it);
  return owned;
}

void TMailMessage::ParseStarted() {
  // A parse destroys sub-parts; the located views are rebuilt by the next LocateBodies anyway (the
  // pending flags say so), and until then they must not name parts that no longer exist.
  FAttachmentParts.Clear();
  FSignatureParts.Clear();
  FPlainBodyPart = FHtmlBodyPart = nullptr;
  FMixedContainer = FRelatedContainer = FAlternativeContainer = FBodyContainer = nullptr;
}

void TMailMessage::NoteWarning(const TMailPart& part, TMailWarningCode code, std::int64_t offset, std::string text) {
  FWarnings.push_back(
      TMailWarning{part.PartPath().empty() ? std::string("message") : part.PartPath(), std::move(text), code, offset});
}

std::string_view WarningCodeToken(TMailWarningCode code) {
  switch (code) {
    case TMailWarningCode::kMissingClosingDelimiter:
      return "missing-closing-delimiter";
    case TMailWarningCode::kNestingCut:
      return "nesting-cut";
    case TMailWarningCode::kNulBytes:
      return "nul-bytes";
    case TMailWarningCode::kUuencodeKeptAsText:
      return "uuencode-kept-as-text";
    case TMailWarningCode::kUuencodeDamaged:
      return "uuencode-damaged";
    case TMailWarningCode::kUuencodeNoEndLine:
      return "uuencode-no-end-line";
    case TMailWarningCode::kUuencodeContentMalformed:
      return "uuencode-content-malformed";
    case TMailWarningCode::kUnknownTransferEncoding:
      return "unknown-transfer-encoding";
    case TMailWarningCode::kBase64StrayCharacters:
      return "base64-stray-characters";
    case TMailWarningCode::kBase64IncompleteGroup:
      return "base64-incomplete-group";
    case TMailWarningCode::kDetachedSignature:
      return "detached-signature";
  }
  return "unknown";
}

std::string TMailMessage::GetSubject() const { return DecodeEncodedWords(GetHeaderValue("Subject")); }

}  // namespace droprelay
