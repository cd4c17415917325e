// TMailMessage: the root of its own part tree, with what only a whole message has (the located
// bodies and attachments, the recipient lists, the settings and the pending flags that chain the
// processing steps), and TMailRecipients, the addresses of one address field.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mail/header_utils.h"
#include "mail/mail_part.h"

namespace droprelay {

// Raised by the root while its text is parsed: Total is the text's length, Current the 1-based
// position reached. A GUI may process its pending events inside the handler; it must not touch
// the message being parsed.
using TProgressEvent = std::function<void(TMailMessage* Sender, std::int32_t Total, std::int32_t Current)>;

enum TRestructureMode : std::uint8_t {
  rmIfPending = 0,
  rmForce = 1,
  rmAddText = 2,
  rmAddAttachment = 3,
  rmAddEmbedded = 4,
};

// The identification written into "X-Mailer" by RestructureParts.
inline constexpr std::string_view MailerName = "DropRelay 1.0 (droprelay mail relay)";

// What kind of repair a warning reports: decisions (and programs reading mailinspect's output)
// go by this, never by the text. New kinds are added at the end.
enum class TMailWarningCode : std::uint8_t {
  kMissingClosingDelimiter,  // the last part of a multipart runs to the end of the text
  kNestingCut,               // a multipart nested too deep is kept whole
  kNulBytes,                 // NUL bytes in the text, kept
  kUuencodeKeptAsText,       // a uuencoded block of which nothing decodes stays text
  kUuencodeDamaged,          // a uuencoded block decoded up to a damaged line, the rest stays text
  kUuencodeNoEndLine,        // a uuencoded block without its end line, decoded to its last line
  kUuencodeContentMalformed, // a part sent uuencoded does not decode: its content is the text
  kUnknownTransferEncoding,  // content taken as stored
  kBase64StrayCharacters,    // characters outside the alphabet skipped
  kBase64IncompleteGroup,    // the last characters of a base64 body dropped
  kDetachedSignature,        // a detached signature not forwarded
};

// The stable token of a code, as mailinspect writes it ("missing-closing-delimiter" ...).
std::string_view WarningCodeToken(TMailWarningCode code);

// Something the library had to repair or leave out while reading a message: a damaged part is
// read as far as it goes and kept, and the damage is reported here instead of failing the message.
struct TMailWarning {
  std::string PartPath;  // where it stood in the message as read: "message", "message[1][0]"
  std::string Text;      // English, one line; may quote bytes from the message as they are
  TMailWarningCode Code = TMailWarningCode::kMissingClosingDelimiter;
  // Where the damage is in the stored message, in bytes from its start (in the file as it was
  // read, whatever its line breaks); -1 for a part that the library made.
  std::int64_t Offset = -1;
};

// Whether `part` is a detached signature (PGP or S/MIME). Such a part is never a body or an
// attachment, wherever it stands: the relay rewrites the signed content, so it could not verify.
bool IsDetachedSignature(const TMailPart& part);

class TMailRecipients {
 public:
  TMailRecipients(TMailMessage& message, std::string fieldName);

  // Re-reads the field when the header's total length changed since the last time.
  void ParseHeader();
  // All addresses as comma text (entries with blanks, controls, quotes or commas quoted).
  std::string GetAllAddresses();

  const std::string& FieldName() const { return FFieldName; }
  const TStringList& DisplayNames() const { return FDisplayNames; }
  const TStringList& Addresses() const { return FAddresses; }

 private:
  TMailMessage& FMessage;
  std::string FFieldName;
  TStringList FDisplayNames;
  TStringList FAddresses;
  std::int64_t FParsedLength = -1;
};

class TMailMessage : public TMailPart {
 public:
  TMailMessage();
  ~TMailMessage() override;

  std::string GetSubject() const;
  std::string Subject() const { return GetSubject(); }

  const TMailPartList& AttachmentParts() const { return FAttachmentParts; }
  const TStringList& PlainLines() const { return FPlainLines; }
  const TStringList& HtmlLines() const { return FHtmlLines; }
  TMailRecipients& ToRecipients() { return FToRecipients; }
  TMailRecipients& CcRecipients() { return FCcRecipients; }
  TMailRecipients& BccRecipients() { return FBccRecipients; }

  TMailPart* PlainBodyPart() const { return FPlainBodyPart; }
  TMailPart* HtmlBodyPart() const { return FHtmlBodyPart; }
  TMailPart* MixedContainer() const { return FMixedContainer; }
  TMailPart* RelatedContainer() const { return FRelatedContainer; }
  TMailPart* AlternativeContainer() const { return FAlternativeContainer; }
  std::int32_t NameCounter() const { return FNameCounter; }

  const std::string& Charset() const { return FCharset; }
  void SetCharset(std::string charset) { FCharset = std::move(charset); }
  TEncodingType TextEncoding() const { return FTextEncoding; }
  void SetTextEncoding(TEncodingType encoding) { FTextEncoding = encoding; }
  const TProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TProgressEvent handler) { FOnProgress = std::move(handler); }

  bool ComposePending() const { return FComposePending; }
  bool RestructurePending() const { return FRestructurePending; }
  bool LocatePending() const { return FLocatePending; }

  void LocateBodies();
  void RestructureParts(TRestructureMode mode);
  void ComposeBody();

  // A new empty part owned by this message and in no tree yet; hang it in with AppendSubPart.
  TMailPart* CreatePart();
  // Frees a part of this message together with its sub-parts, detaching it first. The message
  // itself and parts it does not hold are left alone.
  void FreePart(TMailPart* part);
  // What was repaired, guessed or left out since the last parse began (a missing closing
  // delimiter, a malformed encoded block kept as text, a detached signature not forwarded ...),
  // in the order it happened. Parsing notes the structural repairs, decoding a part the damage in
  // its content, LocateBodies the signatures it leaves out.
  const std::vector<TMailWarning>& Warnings() const { return FWarnings; }
  // `offset`: where in the text as parsed (see TMailPart::StoredOffset), -1 when unknown.
  void NoteWarning(const TMailPart& part, TMailWarningCode code, std::int64_t offset, std::string text);
  // The detached signatures LocateBodies found; RestructureParts drops them.
  const TMailPartList& SignatureParts() const { return FSignatureParts; }

  // Number of parts the message holds outside its tree (made or detached, not freed yet).
  int LoosePartCount() const { return static_cast<int>(FLooseParts.size()); }

 private:
  friend class TMailPart;
  friend class TMailRecipients;

  // Ownership moves between the tree and the loose set.
  void AdoptLoose(std::unique_ptr<TMailPart> part);
  std::unique_ptr<TMailPart> TakeLoose(TMailPart* part);
  // Called by every parse: parts are about to be destroyed, so no reference may outlive them.
  void ParseStarted();

  // Body location and restructuring helpers.
  void ClassifyPart(TMailPart* part);
  bool TakeAsBody(TMailPart* part, std::string_view mediaType);
  // The steps of RestructureParts, in order.
  struct PartCounts {
    int texts = 0;
    int attachments = 0;
    int embedded = 0;
  };
  struct Containers {
    TMailPart* mixed = nullptr;
    TMailPart* related = nullptr;
    TMailPart* alternative = nullptr;
  };
  PartCounts CountParts(TRestructureMode mode) const;
  void MoveOwnContentIntoPart();
  void DropSignatures();
  void BecomeMimeMessage();
  Containers MakeContainers(const PartCounts& counts);
  void PlaceBodies();
  void PlaceAttachments(const Containers& made);
  void AdoptMessageBoundary();
  TMailPart* MakeContainer(TMailPart* parent, std::string_view mediaType, std::string_view suffix);
  void PlaceBody(TMailPart*& body, std::string_view mediaType);
  void PlaceAttachment(TMailPart* part, TMailPart* mixed, TMailPart* related);
  void DiscardOldContainers();
  void DropEmptyContainers(TMailPart& part);
  // A large stored body that goes into the composed body as a window: it stands after the first
  // `glueOffset` bytes of the delimiters, headers and small bodies written so far.
  struct ComposedPiece {
    std::size_t glueOffset = 0;
    SharedText text;
    std::string_view window;
  };
  // Writes the delimiters, headers and small bodies under `container` into `out`; large bodies
  // are listed in `windows` instead, in order.
  void WriteSubParts(const TMailPart& container, ByteBuffer& out, std::vector<ComposedPiece>& windows) const;

  TMailPartList FAttachmentParts;
  // Signatures of signed parts: neither body nor attachment; the restructuring drops them.
  TMailPartList FSignatureParts;
  TStringList FPlainLines;
  TStringList FHtmlLines;
  TMailPart* FPlainBodyPart = nullptr;
  TMailPart* FHtmlBodyPart = nullptr;
  TMailPart* FMixedContainer = nullptr;
  TMailPart* FRelatedContainer = nullptr;
  TMailPart* FAlternativeContainer = nullptr;
  TMailPart* FBodyContainer = nullptr;
  std::string FCharset = "iso-8859-1";
  TProgressEvent FOnProgress;
  std::int32_t FNameCounter = 0;
  TMailRecipients FToRecipients;
  TMailRecipients FCcRecipients;
  TMailRecipients FBccRecipients;
  TEncodingType FTextEncoding = etQuotedPrintable;
  bool FComposePending = false;
  bool FRestructurePending = false;
  bool FLocatePending = false;

  std::unordered_map<TMailPart*, std::unique_ptr<TMailPart>> FLooseParts;
  std::vector<TMailWarning> FWarnings;
};

}  // namespace droprelay
