// Normalising the part structure into one canonical layout, and writing the message body anew.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "text/ascii.h"

namespace droprelay {

namespace {

bool StartsWithContent(std::string_view line) {
  return AsciiStartsWithNoCase(line, "content-");
}

bool IsAncestor(const TMailPart* ancestor, const TMailPart* part) {
  for (const TMailPart* p = part->ParentPart(); p != nullptr; p = p->ParentPart()) {
    if (p == ancestor) return true;
  }
  return false;
}

constexpr std::string_view CRLF = "\r\n";

// Stored bodies from this size on go into a composed body as windows rather than copies.
constexpr std::size_t kWindowedBody = 64 * 1024;

// A leaf's stored body as it went into a composed body, and where.
struct ComposedLeaf {
  SharedText text;
  std::string_view window;
  std::size_t offset = 0;  // in the composed body
};

// Leaves whose stored bodies are still the windows they were composed from become windows on the
// composed body, in the order WriteSubParts visits them.
void RepointLeaves(const TMailPart& container, const SharedText& composed, const std::vector<ComposedLeaf>& leaves,
                   std::size_t& next) {
  for (TMailPart* part : container.SubParts()) {
    if (part->SubParts().Count() > 0) {
      RepointLeaves(*part, composed, leaves, next);
      continue;
    }
    TMemoryStream& body = part->RawBody();
    if (next >= leaves.size() || body.IsDeferred() || !body.SharedWith()) continue;
    const ComposedLeaf& leaf = leaves[next];
    if (body.SharedWith() != leaf.text || body.View().data() != leaf.window.data() ||
        body.View().size() != leaf.window.size()) {
      continue;
    }
    ++next;
    const std::size_t position = body.Position();
    body.Share(composed, composed->View().substr(leaf.offset, leaf.window.size()));
    body.SetPosition(position);
  }
}

}  // namespace

void TMailMessage::RestructureParts(TRestructureMode mode) {
  if (!FRestructurePending && mode == rmIfPending) return;
  LocateBodies();
  FComposePending = true;
  FRestructurePending = false;
  FNameCounter = 0;

  const PartCounts counts = CountParts(mode);
  MoveOwnContentIntoPart();
  DropSignatures();
  BecomeMimeMessage();
  const Containers made = MakeContainers(counts);
  PlaceBodies();
  PlaceAttachments(made);
  DiscardOldContainers();
  FMixedContainer = made.mixed;
  FRelatedContainer = made.related;
  FAlternativeContainer = made.alternative;
  AdoptMessageBoundary();
  DropEmptyContainers(*this);
}

TMailMessage::PartCounts TMailMessage::CountParts(TRestructureMode mode) const {
  // The mode may count one part of a kind more than the walk recorded.
  PartCounts counts;
  counts.texts = mode == rmAddText ? 1 : 0;
  counts.attachments = mode == rmAddAttachment ? 1 : 0;
  counts.embedded = mode == rmAddEmbedded ? 1 : 0;
  if (FPlainBodyPart != nullptr) ++counts.texts;
  if (FHtmlBodyPart != nullptr) ++counts.texts;
  for (TMailPart* part : FAttachmentParts) (part->Embedded() ? counts.embedded : counts.attachments) += 1;
  return counts;
}

void TMailMessage::MoveOwnContentIntoPart() {
  // The message's stored body, with its content fields, becomes a part of its own that takes
  // over the role the message had.
  if (FRawBody.Size() > 0) {
    TMailPart* own = CreatePart();
    own->FPartPath = FPartPath;
    own->FStoredOffset = FStoredOffset;
    own->FBodyOffset = FBodyOffset;
    own->RawBody().AssignFrom(FRawBody);
    for (const std::string& line : FHeaderLines) {
      if (StartsWithContent(line)) own->HeaderLines().push_back(line);
    }
    // Same stored body, same content fields: what the message decoded is the new part's content,
    // so it is not decoded a second time.
    if (FIsDecoded) {
      own->FDecodedBody.AssignSharing(FDecodedBody);
      own->FIsDecoded = true;
    }
    if (FPlainBodyPart == this) {
      FPlainBodyPart = own;
    } else if (FHtmlBodyPart == this) {
      FHtmlBodyPart = own;
    } else if (FMixedContainer == this) {
      FMixedContainer = own;
    } else if (FRelatedContainer == this) {
      FRelatedContainer = own;
    } else if (FAlternativeContainer == this) {
      FAlternativeContainer = own;
    } else if (FSubParts.Count() > 0) {
      FreePart(own);
    } else if (FSignatureParts.Remove(this) >= 0) {
      FSignatureParts.Add(own);  // a message that is nothing but a signature forwards nothing
    } else {
      FAttachmentParts.Add(own);
    }
  }
  FAttachmentParts.Remove(this);
}

void TMailMessage::DropSignatures() {
  // The signed content is rewritten, so its signature could not verify any more.
  for (TMailPart* signature : FSignatureParts) FreePart(signature);
  FSignatureParts.Clear();
}

void TMailMessage::BecomeMimeMessage() {
  // The message's content fields go; it becomes a MIME message of this mailer.
  for (const char* field :
       {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition", "Content-ID", "Content-Length"}) {
    SetHeaderValue(field, "");
  }
  SetHeaderValue("Mime-Version", "1.0");
  SetHeaderValue("X-Mailer", MailerName);
}

TMailMessage::Containers TMailMessage::MakeContainers(const PartCounts& counts) {
  // The containers the counts call for; the innermost one receives the text bodies.
  Containers made;
  FBodyContainer = nullptr;
  if (counts.attachments > 1 || (counts.attachments > 0 && counts.texts > 0) ||
      (counts.attachments > 0 && counts.embedded > 0)) {
    SetHeaderValue("Content-Type", "multipart/mixed");
    SetHeaderParam("Content-Type", "boundary", Quoted(NewBoundary() + "_mixed"));
    made.mixed = this;
    FBodyContainer = made.mixed;
  }
  if (counts.embedded > 0) {
    made.related = MakeContainer(made.mixed, "multipart/related", "_related");
    FBodyContainer = made.related;
  }
  if (counts.texts > 1) {
    made.alternative = MakeContainer(FBodyContainer, "multipart/alternative", "_alternative");
    FBodyContainer = made.alternative;
  }
  return made;
}

void TMailMessage::PlaceBodies() {
  if (FPlainBodyPart != nullptr) PlaceBody(FPlainBodyPart, "text/plain");
  if (FHtmlBodyPart != nullptr) PlaceBody(FHtmlBodyPart, "text/html");
}

void TMailMessage::PlaceAttachments(const Containers& made) {
  // The count is fixed first: placing the only attachment may swap its entry for the message.
  const int count = FAttachmentParts.Count();
  for (int i = 0; i < count && i < FAttachmentParts.Count(); ++i) {
    PlaceAttachment(FAttachmentParts.GetItem(i), made.mixed, made.related);
  }
}

void TMailMessage::AdoptMessageBoundary() {
  // Containers the walk did not record stay where they were, ahead of the new parts, still naming
  // the message's old boundary. Written out like that, the first delimiter and the closing one
  // (taken from the first sub-part) would not be the message's: a reader would drop the last part.
  // So they take the boundary of the container they now stand in.
  if (const std::string boundary = GetPartBoundary(); !boundary.empty()) {
    for (TMailPart* part : FSubParts) part->SetParentBoundary(boundary);
  }
}

void TMailMessage::DropEmptyContainers(TMailPart& part) {
  // Containers the walk did not record (a signed or report wrapper, a digest, a second
  // alternative) have given up their leaves by now; left in place they would be written as empty
  // multiparts, which a reader takes for one more (empty) attachment. A multipart that is itself
  // an attachment (one without parts) stays, and so do the containers just made (a mode that
  // counts one part more than there are makes a container nothing is placed in).
  for (int i = part.SubParts().Count() - 1; i >= 0; --i) {
    TMailPart* sub = part.SubParts()[i];
    DropEmptyContainers(*sub);
    const bool made = sub == FMixedContainer || sub == FRelatedContainer || sub == FAlternativeContainer;
    if (!made && sub->SubParts().Count() == 0 && sub->GetMediaType().compare(0, 10, "multipart/") == 0 &&
        FAttachmentParts.IndexOf(sub) < 0) {
      FreePart(sub);
    }
  }
}

TMailPart* TMailMessage::MakeContainer(TMailPart* parent, std::string_view mediaType, std::string_view suffix) {
  const std::string boundary = Quoted(NewBoundary() + std::string(suffix));
  if (parent == nullptr) {
    SetHeaderValue("Content-Type", mediaType);
    SetHeaderParam("Content-Type", "boundary", boundary);
    return this;
  }
  TMailPart* container = CreatePart();
  container->SetParentBoundary(parent->GetPartBoundary());
  container->SetHeaderValue("Content-Type", mediaType);
  container->SetHeaderParam("Content-Type", "boundary", boundary);
  parent->AppendSubPart(container);
  return container;
}

void TMailMessage::PlaceBody(TMailPart*& body, std::string_view mediaType) {
  body->DetachFromParent();
  if (FBodyContainer != nullptr) {
    body->SetParentBoundary(FBodyContainer->GetPartBoundary());
    body->SetHeaderValue("Content-Type", mediaType);
    body->SetHeaderValue("Content-Disposition", "inline");
    body->DecodeBody();
    body->EncodeBody(FTextEncoding);
    body->SetHeaderValue("Content-Length", std::to_string(body->RawBody().Size()));
    // A text part is written as a leaf: its sub-parts (if any) leave the tree but stay the message's.
    for (auto& sub : body->FSubParts.TakeAll()) {
      sub->FParentPart = nullptr;
      AdoptLoose(std::move(sub));
    }
    FBodyContainer->AppendSubPart(body);
    return;
  }
  SetHeaderValue("Content-Type", mediaType);
  SetHeaderValue("Content-Disposition", "inline");
  body->DecodeBody();
  if (body != this) {
    FDecodedBody.AssignSharing(body->DecodedBody());
    // Freed before the encoding rather than after: nothing reads it any more, and its stored body
    // may keep the whole loaded text alive while the new one is written.
    FreePart(body);
  }
  EncodeBody(FTextEncoding);
  body = this;
}

void TMailMessage::PlaceAttachment(TMailPart* part, TMailPart* mixed, TMailPart* related) {
  part->DetachFromParent();
  if (part->GetHeaderValue("Content-Type").empty()) part->SetHeaderValue("Content-Type", "application/octet-stream");
  const std::string extension = ExtensionOfContentType(part->GetHeaderValue("Content-Type"));
  // A part keeps the name it came with: "name" of Content-Type, else "filename" of
  // Content-Disposition, each plain or in its RFC 2231 form. Only a part without any gets one.
  bool extended = false;
  std::string name = part->GetHeaderParamDecoded("Content-Type", "name", &extended);
  if (name.empty()) name = part->GetHeaderParamDecoded("Content-Disposition", "filename", &extended);
  if (name.empty()) {
    name = "file_" + std::to_string(FNameCounter) + extension;
    part->SetHeaderParam("Content-Type", "name", Quoted(name));
    ++FNameCounter;
    extended = false;
  }
  if (part->GetHeaderParamDecoded("Content-Disposition", "filename").empty()) {
    // A name read from its RFC 2231 form holds bytes that a quoted parameter cannot carry.
    if (extended) {
      part->SetHeaderParam("Content-Disposition", "filename*", EncodeHeaderParamExtended(name));
    } else {
      part->SetHeaderParam("Content-Disposition", "filename", Quoted(name));
    }
  }
  if (part->Embedded() && related != nullptr) {
    if (part->GetHeaderValue("Content-ID").empty()) part->SetHeaderValue("Content-ID", name);
    part->SetHeaderValue("Content-Disposition", "inline");
    part->SetParentBoundary(related->GetPartBoundary());
    related->AppendSubPart(part);
  } else if (mixed != nullptr) {
    part->SetHeaderValue("Content-Disposition", "attachment");
    part->SetParentBoundary(mixed->GetPartBoundary());
    mixed->AppendSubPart(part);
  } else {
    // The only attachment and nothing else: the message itself becomes the attachment.
    for (const std::string& line : part->HeaderLines()) {
      if (StartsWithContent(line)) FHeaderLines.push_back(line);
    }
    part->DecodeBody();
    FDecodedBody.AssignSharing(part->DecodedBody());
    EncodeBody(etBase64);
    FAttachmentParts.Remove(part);
    FAttachmentParts.Add(this);
    FreePart(part);
  }
}

void TMailMessage::DiscardOldContainers() {
  TMailPart* const old[3] = {FAlternativeContainer, FRelatedContainer, FMixedContainer};
  // An old container nested in another old one goes with that one: freeing it on its own as well
  // would free it twice. So decide first, then free.
  bool freeIt[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    if (old[i] == nullptr || old[i] == this) continue;
    freeIt[i] = true;
    for (int j = 0; j < 3; ++j) {
      if (j == i || old[j] == nullptr || old[j] == this) continue;
      if (old[j] == old[i] ? j < i : IsAncestor(old[j], old[i])) freeIt[i] = false;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (freeIt[i]) FreePart(old[i]);
  }
}

void TMailMessage::ComposeBody() {
  if (!FComposePending) return;
  if (FSubParts.Count() > 0) {
    // The composed body is a list of pieces: the delimiters, headers and small bodies, written into
    // one buffer, and windows on the large stored bodies, which are not copied. It is put together
    // only when somebody reads it: the relay never does, so it never holds an attachment twice.
    ByteBuffer glue;
    glue.append("This is a multipart message in mime format.\r\n");
    std::vector<ComposedPiece> windows;
    WriteSubParts(*this, glue, windows);
    const auto glueText = std::make_shared<const ByteBuffer>(std::move(glue));
    auto composed = std::make_shared<TDeferredText>();
    std::vector<ComposedLeaf> leaves;
    std::size_t glueFrom = 0;
    const auto addGlue = [&](std::size_t to) {
      if (to > glueFrom) composed->pieces.emplace_back(glueText, glueText->View().substr(glueFrom, to - glueFrom));
      composed->size += to - glueFrom;
      glueFrom = to;
    };
    for (ComposedPiece& piece : windows) {
      addGlue(piece.glueOffset);
      leaves.push_back(ComposedLeaf{piece.text, piece.window, composed->size});
      composed->pieces.emplace_back(std::move(piece.text), piece.window);
      composed->size += piece.window.size();
    }
    addGlue(glueText->size());
    composed->written = [this, leaves = std::move(leaves)](const SharedText& text) {
      std::size_t next = 0;
      RepointLeaves(*this, text, leaves, next);
    };
    FRawBody.Defer(std::move(composed));
  }
  SetHeaderValue("Content-Length", std::to_string(FRawBody.Size()));
  FComposePending = false;
}

void TMailMessage::WriteSubParts(const TMailPart& container, ByteBuffer& out, std::vector<ComposedPiece>& windows) const {
  const TMailSubPartList& parts = container.SubParts();
  const int count = parts.Count();
  for (int i = 0; i < count; ++i) {
    TMailPart& part = *parts.GetItem(i);
    out.append(CRLF);
    out.append("--");
    out.append(part.ParentBoundary());
    out.append(CRLF);
    for (const std::string& line : part.HeaderLines()) {
      if (line.empty()) continue;
      out.append(line);
      out.append(CRLF);
    }
    out.append(CRLF);
    if (part.SubParts().Count() > 0) {
      WriteSubParts(part, out, windows);
    } else if (part.RawBody().Size() >= kWindowedBody) {
      // Held, not copied: later writes to the part copy its bytes first and leave this alone.
      TMemoryStream& body = part.RawBody();
      windows.push_back(ComposedPiece{out.size(), body.MakeShared(), body.View()});
    } else {
      out.append(part.RawBody().View());
    }
  }
  if (count > 0) {
    out.append(CRLF);
    out.append("--");
    out.append(parts.GetItem(0)->ParentBoundary());
    out.append("--");
    out.append(CRLF);
  }
}

}  // namespace droprelay
