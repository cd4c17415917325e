// The part tree of a mail message: one TMailPart per node, holding its header fields, its body as
// stored and decoded, and its sub-parts.
//
// Ownership: a part owns its sub-parts. Every part the library makes belongs to a message; a part
// taken out of the tree (DetachFromParent) is handed to its message, which keeps it until it is
// freed explicitly or the message goes. So at any moment each part has exactly one owner: its
// parent's sub-part list, or its message's set of loose parts. TMailPartList never owns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/codecs.h"
#include "mail/header_utils.h"
#include "mail/memory_stream.h"

namespace droprelay {

class TMailPart;
class TMailMessage;
enum class TMailWarningCode : std::uint8_t;

enum TEncodingType : std::uint8_t { etBase64 = 0, etQuotedPrintable = 1, etNoEncoding = 2, et7Bit = 3 };

// A list of references to parts; it never frees what it lists.
class TMailPartList {
 public:
  using const_iterator = std::vector<TMailPart*>::const_iterator;

  int Count() const { return static_cast<int>(FItems.size()); }
  // Throws EMailError "List index out of bounds (<index>)" outside 0..Count-1.
  TMailPart* GetItem(int index) const;
  TMailPart* Items(int index) const { return GetItem(index); }
  TMailPart* operator[](int index) const { return GetItem(index); }
  int Add(TMailPart* part);
  void Delete(int index);
  int IndexOf(const TMailPart* part) const;
  // Removes the first entry equal to `part`; answers its former index or -1.
  int Remove(const TMailPart* part);
  void Clear() { FItems.clear(); }
  const_iterator begin() const { return FItems.begin(); }
  const_iterator end() const { return FItems.end(); }

 private:
  std::vector<TMailPart*> FItems;
};

// The sub-parts of one part, in text order. Unlike TMailPartList it owns its items.
//
// Each part knows its slot, so taking one out is O(1): it leaves an empty slot behind, and the
// slots are closed up on the next read. Restructuring detaches every part of a container one after
// the other; searching or shifting the list each time would make that quadratic in the parts.
class TMailSubPartList {
  using Storage = std::vector<std::unique_ptr<TMailPart>>;

 public:
  class const_iterator {
   public:
    explicit const_iterator(Storage::const_iterator it) : it_(it) {}
    TMailPart* operator*() const { return it_->get(); }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return it_ == other.it_; }
    bool operator!=(const const_iterator& other) const { return it_ != other.it_; }

   private:
    Storage::const_iterator it_;
  };

  int Count() const { return static_cast<int>(FItems.size() - FHoles); }
  TMailPart* GetItem(int index) const;  // same error as TMailPartList::GetItem
  TMailPart* Items(int index) const { return GetItem(index); }
  TMailPart* operator[](int index) const { return GetItem(index); }
  int IndexOf(const TMailPart* part) const;
  const_iterator begin() const {
    Compact();
    return const_iterator(FItems.begin());
  }
  const_iterator end() const {
    Compact();
    return const_iterator(FItems.end());
  }

 private:
  friend class TMailPart;
  friend class TMailMessage;
  // Appends `part`, whose parent must already be the part that holds this list.
  void Append(std::unique_ptr<TMailPart> part);
  // Takes `part` out in O(1); nullptr when it does not stand in this list.
  std::unique_ptr<TMailPart> Take(const TMailPart* part);
  // Hands out every item in order and leaves the list empty.
  Storage TakeAll();
  void Clear();
  // Closes the slots that detached parts left.
  void Compact() const;

  mutable Storage FItems;
  mutable std::size_t FHoles = 0;
};

class TMailPart {
 public:
  // A plain part with no owning message; it cannot be parsed until it has one.
  TMailPart();
  virtual ~TMailPart();
  TMailPart(const TMailPart&) = delete;
  TMailPart& operator=(const TMailPart&) = delete;

  // The component name; it prefixes the error raised when a part without message is parsed.
  std::string Name;

  TStringList& HeaderLines() { return FHeaderLines; }
  const TStringList& HeaderLines() const { return FHeaderLines; }
  TMemoryStream& RawBody() { return FRawBody; }
  const TMemoryStream& RawBody() const { return FRawBody; }
  TMemoryStream& DecodedBody() { return FDecodedBody; }
  const TMemoryStream& DecodedBody() const { return FDecodedBody; }
  const std::string& ParentBoundary() const { return FParentBoundary; }
  void SetParentBoundary(std::string boundary) { FParentBoundary = std::move(boundary); }
  TMailMessage* OwnerMessage() const { return FOwnerMessage; }
  // Only names the message; ownership moves through TMailMessage::CreatePart and the tree operations.
  void SetOwnerMessage(TMailMessage* message) { FOwnerMessage = message; }
  const TMailSubPartList& SubParts() const { return FSubParts; }
  TMailPart* ParentPart() const { return FParentPart; }
  void SetParentPart(TMailPart* parent) { FParentPart = parent; }
  bool IsDecoded() const { return FIsDecoded; }
  // The part's place in the message as parsed: "message", "message[1][0]"; empty for a part that
  // restructuring made.
  const std::string& PartPath() const { return FPartPath; }
  bool Embedded() const { return FEmbedded; }
  void SetEmbedded(bool embedded) { FEmbedded = embedded; }
  // Where the part's text (its header) and its body began in the stored message, in bytes from
  // its start as the file was read (a text given to ParseText: from that text's start); -1 for a
  // part that the library made.
  std::int64_t StoredOffset() const { return FStoredOffset; }
  std::int64_t BodyOffset() const { return FBodyOffset; }

  // Tree. DetachFromParent hands the part to its message (still alive, freed with the message).
  void DetachFromParent();
  // Appends `part`, which must belong to this part's message and be in no tree (fresh from
  // TMailMessage::CreatePart, or detached). Anything else is refused with EMailError.
  void AppendSubPart(TMailPart* part);

  // Header fields (field and parameter names without the colon).
  std::string GetHeaderValue(std::string_view field) const;
  std::string GetHeaderParam(std::string_view field, std::string_view param) const;
  void SetHeaderValue(std::string_view field, std::string_view value);
  void SetHeaderParam(std::string_view field, std::string_view param, std::string_view value);
  bool HasHeader(std::string_view field) const;
  bool HasHeaderParam(std::string_view field, std::string_view param) const;
  // A name parameter: the plain parameter when the field has a non-empty one, else its RFC 2231
  // form decoded (`extended`, when given, tells which answered); empty when neither is there.
  std::string GetHeaderParamDecoded(std::string_view field, std::string_view param, bool* extended = nullptr) const;
  std::string GetMediaType() const;
  std::string GetPartBoundary() const;

  // Parsing. The text ends at its first NUL byte. LoadFromFile throws EMailError
  // ("Cannot open file ...") when the file cannot be read, leaving the part unchanged.
  void ParseText(std::string_view text, bool parseHeader);
  void LoadFromFile(const std::string& fileName);
  // What LoadFromFile does with the file's bytes, for a caller that has read them already.
  void LoadFromBytes(std::string_view bytes);
  // The same, taking the buffer over instead of copying it (the stored bodies become windows on it).
  void LoadFromBytes(ByteBuffer bytes);

  // Content.
  bool DecodeBody();
  // The decoded content handed to `sink` piece by piece, never held whole: the bytes and repairs
  // DecodeBody gives, for content that need not stay in memory (an attachment on its way to a
  // file). A part already decoded hands out its decoded body. False when `sink` answered false,
  // which ends it.
  using BodySink = std::function<bool(std::string_view)>;
  bool DecodeBodyTo(const BodySink& sink);
  // The "Content-Transfer-Encoding" value in lower case without surrounding blanks and tabs.
  std::string GetTransferEncoding() const;
  // Whether DecodeBody knows `encoding` (a GetTransferEncoding value); unknown ones are copied.
  static bool IsKnownTransferEncoding(std::string_view encoding);
  void EncodeBody(TEncodingType encoding);
  void EncodeBodyQuotedPrintable();
  void EncodeBodyBase64();
  std::string GetAttachmentFileName() const;

  // Nesting deeper than this is not split further: a multipart part at this depth keeps its whole
  // body as stored, so pathological input cannot exhaust the stack and loses nothing.
  static constexpr int MaxNestingDepth = 100;

 protected:
  TStringList FHeaderLines;
  TMemoryStream FRawBody;
  TMemoryStream FDecodedBody;
  std::string FParentBoundary;
  TMailMessage* FOwnerMessage = nullptr;
  TMailSubPartList FSubParts;
  TMailPart* FParentPart = nullptr;
  bool FIsDecoded = false;
  bool FEmbedded = false;

 private:
  friend class TMailMessage;
  friend class TMailSubPartList;
  // The slot this part occupies in its parent's sub-part list.
  std::size_t FSlot = 0;
  // Where the part stood in the message as it was read ("message", "message[1][0]"); the
  // warnings about it name this path, which restructuring does not change.
  std::string FPartPath;
  std::int64_t FStoredOffset = -1;
  std::int64_t FBodyOffset = -1;
  class Parser;
  // The whole text a parse began with, which the warnings of every part in it count lines in.
  struct TextOrigin;
  // `shared`, when given, is the text that `text` lies in: stored bodies become windows on it.
  // `origin`, when given, is the text of the parse this one is part of.
  void ParseAtDepth(std::string_view text, bool parseHeader, int depth, const SharedText* shared = nullptr,
                    const TextOrigin* origin = nullptr);
  // The text of a whole file (LoadFromFile, LoadFromBytes), its line breaks made CR LF first.
  void ParseLoadedText(ByteBuffer bytes);
  int Depth() const;
  // Reports damage found in this part's content to its message, at the start of its body.
  void NoteDamage(TMailWarningCode code, std::string text) const;
  // Reports what a base64 decoding of the stored body found, once per parse.
  void NoteBase64Damage(const Base64Damage& damage);
  bool FContentDamageNoted = false;
};

}  // namespace droprelay
