// Locating the bodies: records the message's containers, takes the first plain and HTML text parts
// as bodies and lists every other leaf as an attachment.
#include <cstring>
#include <utility>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <vector>

#include "mail/mail_message.h"

namespace droprelay {

namespace {

// The position of the first CR or LF at or after `from`, or the size: sixteen bytes at a time
// where SSE2 is there (a body of megabytes is mostly long lines).
std::size_t NextLineBreak(std::string_view bytes, std::size_t from) {
  std::size_t i = from;
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  while (i < bytes.size() && bytes[i] != '\r' && bytes[i] != '\n') ++i;
  return i;
}

// The body text split at CR LF, lone CR and lone LF; a final break adds no line. A NUL byte is
// text like any other (whoever hands a line to a C interface replaces it there).
TStringList SplitBodyLines(std::string_view bytes) {
  TStringList lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = NextLineBreak(bytes, start);
    lines.emplace_back(bytes.substr(start, end - start));
    std::size_t next = end;
    if (next < bytes.size() && bytes[next] == '\r') ++next;
    if (next < bytes.size() && bytes[next] == '\n') ++next;
    start = next;
  }
  return lines;
}

// Containers whose first part is the content and whose other parts describe it (a signature, a
// delivery report): the first part is located as if it stood in the container's place.
bool IsWrapper(const TMailPart& part) {
  const std::string type = part.GetMediaType();
  return type == "multipart/signed" || type == "multipart/report";
}

// The parent a part counts as standing in: the first part of a signed or report container takes
// the container's place (through several such wrappers); nullptr stands for the message itself.
TMailPart* EffectiveParent(TMailPart* part, bool& inMessagePlace) {
  inMessagePlace = false;
  TMailPart* parent = part->ParentPart();
  while (parent != nullptr && IsWrapper(*parent) && parent->SubParts().Count() > 0 &&
         parent->SubParts()[0] == part) {
    part = parent;
    parent = part->ParentPart();
  }
  inMessagePlace = parent == nullptr;
  return parent;
}

}  // namespace

bool IsDetachedSignature(const TMailPart& part) {
  const std::string type = part.GetMediaType();
  return type == "application/pkcs7-signature" || type == "application/x-pkcs7-signature" ||
         type == "application/pgp-signature";
}

void TMailMessage::LocateBodies() {
  if (!FLocatePending) return;
  FAttachmentParts.Clear();
  FPlainBodyPart = FHtmlBodyPart = nullptr;
  FMixedContainer = FRelatedContainer = FAlternativeContainer = nullptr;
  FPlainLines.clear();
  FHtmlLines.clear();
  FSignatureParts.Clear();
  FLocatePending = false;

  // Depth-first pre-order walk with an explicit stack: the tree's depth cannot exhaust the stack.
  ClassifyPart(this);
  std::vector<std::pair<TMailPart*, int>> stack{{this, 0}};
  while (!stack.empty()) {
    auto& [part, index] = stack.back();
    if (index >= part->SubParts().Count()) {
      stack.pop_back();
      continue;
    }
    TMailPart* child = part->SubParts().GetItem(index++);
    ClassifyPart(child);
    stack.emplace_back(child, 0);
  }
}

void TMailMessage::ClassifyPart(TMailPart* part) {
  const std::string type = part->GetMediaType();
  if (FMixedContainer == nullptr && type == "multipart/mixed") {
    FMixedContainer = part;
    return;
  }
  if (FRelatedContainer == nullptr && type == "multipart/related") {
    FRelatedContainer = part;
    return;
  }
  if (FAlternativeContainer == nullptr && type == "multipart/alternative") {
    FAlternativeContainer = part;
    return;
  }
  const bool leaf = part->SubParts().Count() == 0;
  bool inMessagePlace = false;
  TMailPart* parent = EffectiveParent(part, inMessagePlace);
  // The first part of a signed or report message stands where the message does.
  const bool isMessage = part == this || inMessagePlace;
  if (isMessage && leaf && type.compare(0, 5, "text/") == 0 && TakeAsBody(part, type)) return;
  if (isMessage && leaf && type.empty() && TakeAsBody(part, "text/plain")) return;
  if (FMixedContainer != nullptr && FMixedContainer == parent && FAlternativeContainer == nullptr &&
      TakeAsBody(part, type)) {
    return;
  }
  if (FRelatedContainer != nullptr && FRelatedContainer == parent && TakeAsBody(part, type)) return;
  if (FAlternativeContainer != nullptr && FAlternativeContainer == parent && TakeAsBody(part, type)) return;
  if (leaf && IsDetachedSignature(*part)) {
    // A signature cannot verify once the signed content is rewritten: it is never forwarded,
    // whether it stands in a multipart/signed or, flattened by a list server, among the attachments.
    FSignatureParts.Add(part);
    NoteWarning(*part, TMailWarningCode::kDetachedSignature, part->StoredOffset(),
                "detached signature " + type + " is not forwarded (it could not verify after the rewrite)");
    return;
  }
  if (leaf) {
    part->SetEmbedded(FRelatedContainer != nullptr && FRelatedContainer == parent);
    FAttachmentParts.Add(part);
  }
}

bool TMailMessage::TakeAsBody(TMailPart* part, std::string_view mediaType) {
  bool taken = false;
  if (FPlainBodyPart == nullptr && mediaType == "text/plain") {
    part->DecodeBody();
    if (part->DecodedBody().Size() > 0) {
      FPlainBodyPart = part;
      FPlainLines = SplitBodyLines(part->DecodedBody().View());
      taken = true;
    }
  }
  if (FHtmlBodyPart == nullptr && mediaType == "text/html") {
    part->DecodeBody();
    if (part->DecodedBody().Size() > 0) {
      FHtmlBodyPart = part;
      FHtmlLines = SplitBodyLines(part->DecodedBody().View());
      taken = true;
    }
  }
  return taken;
}

}  // namespace droprelay
