// The part object: lists of parts, tree wiring and header field access.
#include "mail/mail_part.h"

#include <algorithm>

#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "text/ascii.h"

namespace droprelay {

namespace {

[[noreturn]] void ListIndexError(int index) {
  throw EMailError("List index out of bounds (" + std::to_string(index) + ")");
}

// Drops one enclosing pair of quote characters (double quote or apostrophe, mixed allowed) from a
// value longer than two characters; a bare pair of quotes stays as it is.
std::string StripQuoteCharacters(std::string value) {
  auto isQuote = [](char c) { return c == '"' || c == '\''; };
  if (value.size() > 2 && isQuote(value.front()) && isQuote(value.back())) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

TMailPart* TMailPartList::GetItem(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FItems[static_cast<std::size_t>(index)];
}

int TMailPartList::Add(TMailPart* part) {
  FItems.push_back(part);
  return Count() - 1;
}

void TMailPartList::Delete(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  FItems.erase(FItems.begin() + index);
}

int TMailPartList::IndexOf(const TMailPart* part) const {
  const auto it = std::find(FItems.begin(), FItems.end(), part);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

int TMailPartList::Remove(const TMailPart* part) {
  const int index = IndexOf(part);
  if (index >= 0) Delete(index);
  return index;
}

TMailPart* TMailSubPartList::GetItem(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  Compact();
  return FItems[static_cast<std::size_t>(index)].get();
}

int TMailSubPartList::IndexOf(const TMailPart* part) const {
  if (part == nullptr) return -1;
  Compact();
  // A part of this list knows its slot; anything else is not in it.
  if (part->FSlot < FItems.size() && FItems[part->FSlot].get() == part) return static_cast<int>(part->FSlot);
  return -1;
}

void TMailSubPartList::Append(std::unique_ptr<TMailPart> part) {
  part->FSlot = FItems.size();
  FItems.push_back(std::move(part));
}

std::unique_ptr<TMailPart> TMailSubPartList::Take(const TMailPart* part) {
  if (part == nullptr || part->FSlot >= FItems.size() || FItems[part->FSlot].get() != part) return nullptr;
  std::unique_ptr<TMailPart> taken = std::move(FItems[part->FSlot]);
  if (part->FSlot + 1 == FItems.size()) {
    FItems.pop_back();
  } else {
    ++FHoles;
  }
  return taken;
}

TMailSubPartList::Storage TMailSubPartList::TakeAll() {
  Compact();
  Storage all = std::move(FItems);
  FItems.clear();
  return all;
}

void TMailSubPartList::Clear() {
  FItems.clear();
  FHoles = 0;
}

void TMailSubPartList::Compact() const {
  if (FHoles == 0) return;
  std::size_t to = 0;
  for (std::size_t from = 0; from < FItems.size(); ++from) {
    if (!FItems[from]) continue;
    FItems[from]->FSlot = to;
    if (to != from) FItems[to] = std::move(FItems[from]);
    ++to;
  }
  FItems.resize(to);
  FHoles = 0;
}

TMailPart::TMailPart() = default;

// Sub-parts go with their unique_ptrs, in list order; loose parts go with the message.
TMailPart::~TMailPart() = default;

int TMailPart::Depth() const {
  int depth = 0;
  for (const TMailPart* p = FParentPart; p != nullptr && depth <= MaxNestingDepth; p = p->FParentPart) ++depth;
  return depth;
}

void TMailPart::DetachFromParent() {
  if (FParentPart == nullptr || FOwnerMessage == nullptr) return;
  if (static_cast<const TMailPart*>(FOwnerMessage) == this) return;
  std::unique_ptr<TMailPart> self = FParentPart->FSubParts.Take(this);
  if (!self) return;
  FParentPart = nullptr;
  FOwnerMessage->AdoptLoose(std::move(self));
}

void TMailPart::AppendSubPart(TMailPart* part) {
  TMailMessage* message = part != nullptr ? part->FOwnerMessage : nullptr;
  std::unique_ptr<TMailPart> owned = message != nullptr ? message->TakeLoose(part) : nullptr;
  if (!owned) throw EMailError("TMailPart must be a loose part of a TMailMessage to be appended");
  part->FParentPart = this;
  FSubParts.Append(std::move(owned));
}

std::string TMailPart::GetHeaderValue(std::string_view field) const {
  const int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (index < 0) return {};
  return StripQuoteCharacters(TrimSpaces(GetHeaderLineValue(FHeaderLines[static_cast<std::size_t>(index)])));
}

std::string TMailPart::GetHeaderParam(std::string_view field, std::string_view param) const {
  const int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (index < 0) return {};
  return StripQuoteCharacters(TrimSpaces(GetHeaderLineParam(FHeaderLines[static_cast<std::size_t>(index)], param)));
}

void TMailPart::SetHeaderValue(std::string_view field, std::string_view value) {
  int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (value.empty()) {
    if (index >= 0) FHeaderLines.erase(FHeaderLines.begin() + index);
    return;
  }
  if (index < 0) {
    FHeaderLines.push_back(std::string(field) + ": ");
    index = static_cast<int>(FHeaderLines.size()) - 1;
  }
  std::string& line = FHeaderLines[static_cast<std::size_t>(index)];
  line = SetHeaderLineValue(line, value);
}

void TMailPart::SetHeaderParam(std::string_view field, std::string_view param, std::string_view value) {
  int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (index < 0) {
    FHeaderLines.push_back(std::string(field) + ": ");
    index = static_cast<int>(FHeaderLines.size()) - 1;
  }
  std::string& line = FHeaderLines[static_cast<std::size_t>(index)];
  line = SetHeaderLineParam(line, param, value);
}

bool TMailPart::HasHeader(std::string_view field) const {
  return FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0) >= 0;
}

bool TMailPart::HasHeaderParam(std::string_view field, std::string_view param) const {
  const int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (index < 0) return false;
  return !TrimSpaces(GetHeaderLineParam(FHeaderLines[static_cast<std::size_t>(index)], param)).empty();
}

std::string TMailPart::GetHeaderParamDecoded(std::string_view field, std::string_view param, bool* extended) const {
  if (extended != nullptr) *extended = false;
  if (HasHeaderParam(field, param)) return GetHeaderParam(field, param);
  const int index = FindHeaderLine(&FHeaderLines, std::string(field) + ":", 0);
  if (index < 0) return {};
  std::string value = GetHeaderLineParamExtended(FHeaderLines[static_cast<std::size_t>(index)], param);
  if (extended != nullptr) *extended = !value.empty();
  return value;
}

std::string TMailPart::GetMediaType() const {
  return AsciiLowerCase(GetHeaderValue("Content-Type"));
}

std::string TMailPart::GetPartBoundary() const { return GetHeaderParam("Content-Type", "boundary"); }

}  // namespace droprelay
