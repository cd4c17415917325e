// Parsing a stored message into the part tree.
//
// The text is walked in place: lines are views into the one text, a sub-part is parsed from a slice
// of it, and each body is copied once, straight from the text into its stream. Only the uuencode
// rebuild copies text (the preamble, to encode it as quoted-printable).
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <limits>
#include <memory>

#include "mail/codecs.h"
#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "mail/mail_part.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "text/lines.h"

namespace droprelay {

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::size_t npos = std::string_view::npos;

using LineWalker = CrLfLines;

// Start of the line after the one that starts at `from` (the text's length after the last line).
std::size_t NextLineStart(std::string_view text, std::size_t from) {
  for (std::size_t search = from;;) {
    const void* cr = std::memchr(text.data() + search, '\r', text.size() - search);
    if (cr == nullptr) return text.size();
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
    if (at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
    search = at + 1;
  }
}

bool StartsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

enum class DelimiterKind { None, Delimiter, Closing };

// What a line is to a multipart with delimiter "--" + boundary. As RFC 2046 reads it, the line is
// the delimiter alone, or followed by "--" (the close), and then only by blanks or tabs: a line
// such as "--X_alt" is body text to the multipart of boundary "X", even though it begins with
// "--X", and so is "--X--More". Without a boundary parameter there is nothing to compare with;
// then every line that begins with "--" separates parts, and one that begins with "----" closes.
DelimiterKind ClassifyLine(std::string_view line, std::string_view delimiter) {
  if (!StartsWith(line, delimiter)) return DelimiterKind::None;
  std::string_view rest = line.substr(delimiter.size());
  const bool closing = StartsWith(rest, "--");
  if (delimiter.size() == 2) return closing ? DelimiterKind::Closing : DelimiterKind::Delimiter;
  if (closing) rest.remove_prefix(2);
  if (rest.find_first_not_of(" \t") != std::string_view::npos) return DelimiterKind::None;
  return closing ? DelimiterKind::Closing : DelimiterKind::Delimiter;
}

// Finds delimiter lines without walking the lines in between: a line begins at the text's start
// and after every CR LF, so a delimiter line is the text's start or CR LF + delimiter anywhere.
// The delimiter begins with "-", which base64 text never holds, so looking from one "-" to the
// next skips an encoded attachment at memchr speed.
class DelimiterFinder {
 public:
  explicit DelimiterFinder(std::string_view delimiter) : delimiter_(delimiter) {}

  // The start of the first delimiter or closing line at or after the line start `from`.
  std::size_t From(std::string_view text, std::size_t from) const {
    if (KindAt(text, from) != DelimiterKind::None) return from;
    const char* const base = text.data();
    for (std::size_t pos = from + 2; pos < text.size();) {
      const void* hit = std::memchr(base + pos, '-', text.size() - pos);
      if (hit == nullptr) return npos;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
      if (base[at - 2] == '\r' && base[at - 1] == '\n' && KindAt(text, at) != DelimiterKind::None) return at;
      pos = at + 1;
    }
    return npos;
  }

  // What the line that starts at `at` is.
  DelimiterKind KindAt(std::string_view text, std::size_t at) const {
    if (text.compare(at, delimiter_.size(), delimiter_) != 0) return DelimiterKind::None;
    const std::size_t end = std::min(NextLineStart(text, at), text.size());
    std::string_view line = text.substr(at, end - at);
    if (line.size() >= 2 && line.substr(line.size() - 2) == CRLF) line.remove_suffix(2);
    return ClassifyLine(line, delimiter_);
  }

 private:
  std::string delimiter_;  // "--" and the boundary
};

std::int32_t Clamp32(std::size_t value) {
  return value > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
             ? std::numeric_limits<std::int32_t>::max()
             : static_cast<std::int32_t>(value);
}

// Below this size a body is copied even when it could be a window on the loaded text: a small
// preamble or text part would otherwise keep the whole file's text alive.
constexpr std::size_t kMinWindow = 4096;

// A body run as stored: its lines each with CR LF, so a final line without break gets one. Within
// a shared text the run is a window on it; the CR LF a sub-part's last line lacks is the one that
// follows it in the text (it belongs to the delimiter line after it), so the window reaches over it.
void StoreRun(TMemoryStream& stream, std::string_view run, const SharedText* shared) {
  const bool addBreak = !run.empty() && !(run.size() >= 2 && run.substr(run.size() - 2) == CRLF);
  if (shared != nullptr && run.size() >= kMinWindow) {
    const ByteBuffer& text = **shared;
    const std::size_t end = static_cast<std::size_t>(run.data() - text.data()) + run.size();
    if (!addBreak) {
      stream.Share(*shared, run);
      return;
    }
    if (end + 2 <= text.size() && text.View().substr(end, 2) == CRLF) {
      stream.Share(*shared, std::string_view(run.data(), run.size() + 2));
      return;
    }
  }
  ByteBuffer bytes;
  bytes.reserve(run.size() + (addBreak ? 2 : 0));
  bytes.append(run);
  if (addBreak) bytes.append(CRLF);
  stream.Assign(std::move(bytes));
}

// The text a sub-part is parsed from: from `start` to just before the CR LF that precedes the
// delimiter line at `delimiterStart` (that CR LF belongs to the delimiter).
std::string_view SliceBefore(std::string_view text, std::size_t start, std::size_t delimiterStart) {
  const std::size_t end = delimiterStart >= start + 2 ? delimiterStart - 2 : start;
  return text.substr(start, end - start);
}

}  // namespace

struct TMailPart::TextOrigin {
  std::string_view whole;
  // A loaded file's line breaks were made CR LF: where bytes were put in that the file does not
  // have, in ascending order, and the file's size. Offsets are given in the file's terms.
  std::vector<std::size_t> inserted;
  std::size_t fileSize;
  // Warnings come in text order, so each count goes on from the line asked for last.
  mutable std::size_t markOffset = 0;
  mutable std::size_t markLine = 1;

  std::int64_t StoredOffset(const char* at) const {
    const std::size_t offset = std::min(static_cast<std::size_t>(at - whole.data()), whole.size());
    const auto before = std::lower_bound(inserted.begin(), inserted.end(), offset) - inserted.begin();
    return static_cast<std::int64_t>(std::min(offset - static_cast<std::size_t>(before), fileSize));
  }

  std::size_t LineOf(const char* at) const {
    const std::size_t offset = std::min(static_cast<std::size_t>(at - whole.data()), whole.size());
    if (offset < markOffset) {
      markOffset = 0;
      markLine = 1;
    }
    for (std::size_t pos = whole.find(CRLF, markOffset); pos != npos && pos + 2 <= offset; pos = whole.find(CRLF, pos + 2)) {
      ++markLine;
    }
    markOffset = offset;
    return markLine;
  }
};

// One parse of one part's text: the steps of ParseAtDepth, and the progress reports of the root
// (only when a handler is assigned).
class TMailPart::Parser {
 public:
  Parser(TMailPart& part, std::string_view text, int depth, const SharedText* shared, const TextOrigin& origin)
      : part_(part), message_(part.FOwnerMessage), text_(text), depth_(depth), shared_(shared), origin_(origin),
        total_(Clamp32(text.size())) {
    const bool root = static_cast<TMailPart*>(message_) == &part;
    active_ = root && static_cast<bool>(message_->FOnProgress);
  }

  void Run(bool parseHeader) {
    Reset();
    Report(0);
    ReadHeader(parseHeader);
    part_.FStoredOffset = origin_.StoredOffset(text_.data());
    part_.FBodyOffset = origin_.StoredOffset(body_.data());
    const Mode mode = DecideMode();
    if (mode == Mode::Single && !active_) {
      StoreRun(part_.FRawBody, body_, shared_);
      Report(total_);
      return;
    }
    if (mode == Mode::Multipart && !active_) {
      SplitAtDelimiters();
      return;
    }
    // Line by line, so that every line reached can be reported.
    LineWalker lines(body_);
    firstLine_ = true;
    const bool stopped = StoreFirstStretch(lines, mode);
    if (mode == Mode::Multipart && stopped) SplitByLines(lines);
    if (mode == Mode::UUScan && stopped) ScanUUBlocks(lines);
    Report(total_);
  }

 private:
  enum class Mode { Single, Multipart, UUScan };
  static constexpr std::string_view kBeginText = "begin 6";
  static constexpr std::string_view kEndText = "end";

  // The part starts empty; the message first drops its references, as the sub-parts they may
  // name go now. A NUL is an ordinary byte: the text runs to its given end.
  void Reset() {
    if (static_cast<TMailPart*>(message_) == &part_) message_->FWarnings.clear();
    message_->ParseStarted();
    part_.FSubParts.Clear();
    part_.FHeaderLines.clear();
    part_.FRawBody.Clear();
    part_.FDecodedBody.Clear();
    part_.FIsDecoded = false;
    part_.FEmbedded = false;
    message_->FComposePending = true;
    message_->FRestructurePending = true;
    message_->FLocatePending = true;
  }

  // Up to the first empty line; continuation lines are unfolded. Without a header section the
  // whole text is body.
  void ReadHeader(bool parseHeader) {
    std::size_t bodyStart = 0;
    if (parseHeader) {
      bodyStart = text_.size();
      LineWalker walker(text_);
      firstLine_ = true;
      while (NextLine(walker, 0)) {
        const std::string_view line = walker.Line();
        if (line.empty()) {
          bodyStart = walker.NextStart();
          break;
        }
        if ((line[0] == '\t' || line[0] == ' ') && !part_.FHeaderLines.empty()) {
          std::string& last = part_.FHeaderLines.back();
          last += ' ';
          last.append(line.substr(1));
        } else {
          part_.FHeaderLines.emplace_back(line);
        }
      }
      for (std::string& entry : part_.FHeaderLines) entry = NormalizeHeaderLine(entry);
    }
    bodyStart_ = bodyStart;
    body_ = text_.substr(bodyStart);
  }

  // Past the depth limit everything is kept whole as a single body.
  Mode DecideMode() {
    Mode mode = Mode::Single;
    if (depth_ >= MaxNestingDepth) {
      if (part_.GetMediaType().compare(0, 10, "multipart/") == 0) {
        message_->NoteWarning(part_, TMailWarningCode::kNestingCut, part_.FStoredOffset,
                              "nesting cut at depth " + std::to_string(depth_) + ": the part is kept whole");
      }
    } else if (part_.GetMediaType().compare(0, 10, "multipart/") == 0) {
      mode = Mode::Multipart;
    } else if (!part_.HasHeader("Content-Type")) {
      mode = Mode::UUScan;
    }
    if (mode == Mode::Multipart) {
      boundary_ = part_.GetPartBoundary();
      delimiter_ = "--" + boundary_;
      closing_ = delimiter_ + "--";
    }
    return mode;
  }

  // Multipart without progress reports: only delimiter lines matter, so jump from one to the
  // next. The same parts result as from the line-by-line walk.
  void SplitAtDelimiters() {
    const DelimiterFinder finder(delimiter_);
    std::size_t at = finder.From(body_, 0);
    StoreRun(part_.FRawBody, body_.substr(0, at == npos ? body_.size() : at), shared_);
    while (at != npos) {
      const std::size_t gathered = NextLineStart(body_, at);
      const std::size_t next = finder.From(body_, gathered);
      if (next == npos) {
        AppendLastPart(gathered);
        break;
      }
      if (next > gathered) AppendSubPart(gathered, next);
      if (finder.KindAt(body_, next) == DelimiterKind::Closing) break;
      at = next;
    }
  }

  // The body's first stretch into the stored body: all of it in single mode, else up to the first
  // delimiter or begin line. Answers whether such a line stopped it.
  bool StoreFirstStretch(LineWalker& lines, Mode mode) {
    bool stopped = false;
    while (NextLine(lines, bodyStart_)) {
      const std::string_view line = lines.Line();
      if ((mode == Mode::Multipart && ClassifyLine(line, delimiter_) != DelimiterKind::None) ||
          (mode == Mode::UUScan && StartsWith(line, kBeginText))) {
        stopped = true;
        break;
      }
    }
    StoreRun(part_.FRawBody, body_.substr(0, stopped ? lines.LineStart() : body_.size()), shared_);
    return stopped;
  }

  // Sub-parts: each runs from the line after a delimiter line to the CR LF before the next.
  void SplitByLines(LineWalker& lines) {
    std::size_t pending = npos;
    auto emit = [&](std::size_t delimiterStart) {
      if (pending == npos) return;
      AppendSubPart(pending, delimiterStart);
      pending = npos;
    };
    while (NextLine(lines, bodyStart_)) {
      const DelimiterKind kind = ClassifyLine(lines.Line(), delimiter_);
      if (kind == DelimiterKind::Closing) {
        emit(lines.LineStart());
        break;
      }
      if (kind == DelimiterKind::Delimiter) {
        emit(lines.LineStart());
      } else if (pending == npos) {
        pending = lines.LineStart();
      }
    }
    if (pending != npos) AppendLastPart(pending);
  }

  // Uuencoded blocks, each between a "begin 6" line and the next "end" line; the begin line that
  // ended the first stretch is the first line handled here. A block is read as far as its lines
  // decode: what decodes becomes a base64 attachment part, and a damaged rest (from the first line
  // that does not decode, or a last line cut short where the end line is missing) stays text, with
  // a warning: damaged mail is read, not refused. A block of which nothing decodes stays text
  // whole. Only when some block decodes is the part rebuilt as multipart/mixed; otherwise its
  // whole body stays as it was.
  void ScanUUBlocks(LineWalker& lines) {
    struct Block {
      std::size_t begin;  // start of the begin line
      std::size_t data;   // start of the line after it
      std::size_t end;    // start of the line after the end line (the body's end if there is none)
      std::size_t dataEnd;  // the data lines' end: the CR LF before the end line, or `end`
      std::string fileName;
      bool closed;
    };
    std::vector<Block> blocks;
    bool inBlock = true;
    bool atLine = true;
    while (atLine || NextLine(lines, bodyStart_)) {
      atLine = false;
      const std::string_view line = lines.Line();
      if (StartsWith(line, kBeginText)) {
        // Only a real begin line opens a block: a line such as "best regards" must not, or the
        // next line beginning with "end" would feed prose to the decoder.
        if (inBlock && !blocks.empty() && !blocks.back().closed) blocks.back().end = lines.LineStart();
        inBlock = true;
        blocks.push_back(Block{lines.LineStart(), lines.NextStart(), body_.size(), 0,
                               TrimSpaces(line.size() > 10 ? line.substr(10, 999) : std::string_view()), false});
      } else if (inBlock && StartsWith(line, kEndText)) {
        inBlock = false;
        Block& block = blocks.back();
        block.dataEnd = std::max(block.data, lines.LineStart() >= 2 ? lines.LineStart() - 2 : 0);
        block.end = lines.NextStart();
        block.closed = true;
      }
    }

    std::string keptText(part_.FRawBody.View());
    // Text that stays text: its last line needs the CR LF it has in the body unless the body ends there.
    const auto keepAsText = [&](std::size_t from, std::size_t to) {
      keptText.append(body_.substr(from, to - from));
      if (to == body_.size() && !keptText.empty() && keptText.back() != '\n') keptText.append(CRLF);
    };
    std::vector<std::unique_ptr<TMailPart>> files;
    for (Block& block : blocks) {
      if (!block.closed) block.dataEnd = block.end;
      const std::string_view data = body_.substr(block.data, block.dataEnd - block.data);
      const std::string quotedName = "uuencoded block \"" + block.fileName + "\"";
      auto filePart = NewChild();
      // The attachment stands for its block: its text is the block, its body the data lines.
      filePart->FStoredOffset = Offset(block.begin);
      filePart->FBodyOffset = Offset(block.data);
      const UUBlockDamage damage = UUDecodeBlock(data, !block.closed, filePart->FDecodedBody);
      const std::size_t damageAt = block.data + damage.offset;
      if (filePart->FDecodedBody.Size() == 0 && (damage.damaged || !block.closed)) {
        const std::string problem = damage.damaged ? damage.problem + " at line " + LineNumber(damageAt)
                                                   : std::string("no end line");
        message_->NoteWarning(part_, TMailWarningCode::kUuencodeKeptAsText,
                              Offset(damage.damaged ? damageAt : block.begin),
                              quotedName + " is malformed (" + problem + "): kept as text");
        keepAsText(block.begin, block.end);
        continue;
      }
      NameFilePart(*filePart, block.fileName);
      files.push_back(std::move(filePart));
      const std::string missingEnd = block.closed ? "" : " has no end line and";
      if (damage.damaged) {
        message_->NoteWarning(part_, TMailWarningCode::kUuencodeDamaged, Offset(damageAt),
                              quotedName + missingEnd + " is damaged at line " + LineNumber(damageAt) + " (" +
                                         damage.problem + "): decoded " + std::to_string(damage.lines) +
                                         (damage.lines == 1 ? " line" : " lines") + " before it, the rest kept as text");
        keepAsText(damageAt, block.end);
      } else if (!block.closed) {
        const std::size_t lastLine = LastLineStart(block.data, block.end);
        message_->NoteWarning(part_, TMailWarningCode::kUuencodeNoEndLine, Offset(block.end),
                              quotedName + " has no end line: decoded to its last line, line " + LineNumber(lastLine));
      }
    }
    if (files.empty()) {
      // Nothing to rebuild: the body stays whole, as if it held no block.
      StoreRun(part_.FRawBody, body_, shared_);
      return;
    }
    RebuildAsMixed(keptText);
    for (auto& file : files) {
      file->FParentBoundary = rebuildBoundary_;
      file->FPartPath = part_.FPartPath + "[" + std::to_string(part_.FSubParts.Count()) + "]";
      part_.FSubParts.Append(std::move(file));
    }
  }

  // The start of the last line with anything on it in the body's lines from `from` to `to`.
  std::size_t LastLineStart(std::size_t from, std::size_t to) const {
    std::string_view run = body_.substr(from, to - from);
    while (run.size() >= 2 && run.substr(run.size() - 2) == CRLF) run.remove_suffix(2);
    const std::size_t lastBreak = run.rfind(CRLF);
    return from + (lastBreak == npos ? 0 : lastBreak + 2);
  }

  // The 1-based number of the line that starts at `at` in the body, counted in the whole text the
  // parse began with.
  std::string LineNumber(std::size_t at) const { return std::to_string(origin_.LineOf(body_.data() + at)); }

  // Where the body's byte `at` stands in the stored message.
  std::int64_t Offset(std::size_t at) const { return origin_.StoredOffset(body_.data() + at); }

  // At the first decodable block the part becomes multipart/mixed; the text that stays text (the
  // text before the first begin line, and blocks that could not be decoded) its first sub-part.
  void RebuildAsMixed(std::string_view text) {
    rebuildBoundary_ = NewBoundary();
    const std::string encoded = EncodeQuotedPrintable(text, false);
    auto textPart = NewChild();
    // Stored as its body directly: parsed, a part without "Content-Type" would be scanned for
    // blocks again, and the text may hold the begin lines of blocks that stayed text.
    StoreRun(textPart->FRawBody, encoded, nullptr);
    textPart->FParentBoundary = rebuildBoundary_;
    textPart->FStoredOffset = textPart->FBodyOffset = part_.FBodyOffset;
    textPart->SetHeaderValue("Content-Type", "text/plain");
    textPart->SetHeaderParam("Content-Type", "charset", Quoted(message_->FCharset));
    textPart->SetHeaderValue("Content-Transfer-Encoding", "quoted-printable");
    part_.FSubParts.Append(std::move(textPart));
    part_.SetHeaderValue("Content-Type", "multipart/mixed");
    part_.SetHeaderParam("Content-Type", "boundary", Quoted(rebuildBoundary_));
  }

  // A decoded block as a base64 attachment part named after its begin line.
  static void NameFilePart(TMailPart& filePart, const std::string& fileName) {
    filePart.EncodeBodyBase64();
    filePart.SetHeaderValue("Content-Type", ContentTypeOfFile(fileName));
    filePart.SetHeaderValue("Content-Transfer-Encoding", "base64");
    filePart.SetHeaderValue("Content-Disposition", "attachment");
    filePart.SetHeaderParam("Content-Type", "name", Quoted(fileName));
    filePart.SetHeaderParam("Content-Disposition", "filename", Quoted(fileName));
  }

  // A new sub-part of this part; its path is that of the next index.
  std::unique_ptr<TMailPart> NewChild() const {
    auto child = std::make_unique<TMailPart>();
    child->FOwnerMessage = message_;
    child->FParentPart = &part_;
    child->FPartPath = part_.FPartPath + "[" + std::to_string(part_.FSubParts.Count()) + "]";
    return child;
  }

  void AppendChildFrom(std::string_view text) {
    auto child = NewChild();
    child->ParseAtDepth(text, true, depth_ + 1, shared_, &origin_);
    child->FParentBoundary = boundary_;
    part_.FSubParts.Append(std::move(child));
  }

  void AppendSubPart(std::size_t start, std::size_t delimiterStart) {
    AppendChildFrom(SliceBefore(body_, start, delimiterStart));
  }

  // No closing delimiter (a truncated message): the last part runs to the end of the text, unless
  // nothing but empty lines follows the last delimiter line.
  void AppendLastPart(std::size_t start) {
    if (body_.substr(start).find_first_not_of("\r\n") == npos) return;
    AppendChildFrom(body_.substr(start));
    message_->NoteWarning(part_, TMailWarningCode::kMissingClosingDelimiter, Offset(start),
                          "missing closing delimiter \"" + closing_ + "\": the last part runs to the end");
  }

  void Report(std::int32_t current) const {
    if (active_) message_->FOnProgress(message_, total_, current);
  }

  // The next line of a walk over the text from `offset` on; after the first line of each section,
  // reports the line reached (its 1-based position in the whole text), or Total + 1 at the end.
  bool NextLine(LineWalker& walker, std::size_t offset) {
    const bool got = walker.Next();
    if (!firstLine_ && active_) {
      Report(got ? Clamp32(offset + walker.LineStart() + 1)
                 : total_ + (total_ < std::numeric_limits<std::int32_t>::max() ? 1 : 0));
    }
    firstLine_ = false;
    return got;
  }

  TMailPart& part_;
  TMailMessage* message_;
  std::string_view text_;
  std::string_view body_;
  std::size_t bodyStart_ = 0;
  int depth_;
  const SharedText* shared_;
  const TextOrigin& origin_;
  std::int32_t total_;
  bool active_ = false;
  bool firstLine_ = true;
  std::string boundary_;
  std::string delimiter_;
  std::string closing_;
  std::string rebuildBoundary_;
};

void TMailPart::ParseAtDepth(std::string_view text, bool parseHeader, int depth, const SharedText* shared,
                             const TextOrigin* origin) {
  // A part can only be parsed inside a message, which holds the settings and flags it needs.
  if (FOwnerMessage == nullptr) throw EMailError(Name + ": TMailPart must be owned by a TMailMessage");
  if (origin == nullptr) {
    const std::string_view whole = shared != nullptr ? (*shared)->View() : text;
    const TextOrigin own{whole, {}, whole.size()};
    Parser(*this, text, depth, shared, own).Run(parseHeader);
    return;
  }
  Parser(*this, text, depth, shared, *origin).Run(parseHeader);
}


namespace {

// Whether `text` is CR LF throughout (every LF follows a CR and every CR is followed by an LF),
// and, when it is, whether it holds a NUL byte. One pass, sixteen bytes at a time where SSE2 is
// there: for a file written with CR LF, the usual case, this is all the loader has to look at.
bool IsCanonicalText(std::string_view text, bool& hasNul) {
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  bool carry = false;  // the byte before position i is a CR
  hasNul = false;
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  __m128i nuls = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const unsigned crBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, cr)));
    const unsigned lfBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
    // Each LF exactly where a CR stood one byte before.
    if (lfBits != (((crBits << 1) | (carry ? 1u : 0u)) & 0xFFFFu)) return false;
    carry = (crBits & 0x8000u) != 0;
    nuls = _mm_or_si128(nuls, _mm_cmpeq_epi8(block, _mm_setzero_si128()));
  }
  hasNul = _mm_movemask_epi8(nuls) != 0;
#endif
  for (; i < n; ++i) {
    const char c = base[i];
    if ((c == '\n') != carry) return false;
    carry = c == '\r';
    hasNul = hasNul || c == '\0';
  }
  return !carry;
}

// The framework's text-file reading: a line ends at CR LF, a lone CR or a lone LF; every line, the
// last included, is followed by CR LF in the result. A NUL byte is kept like any other: cutting
// the text there would lose the rest of the message. `hasNul` tells whether the result holds one.
// `inserted` receives the positions in the result of the bytes the file does not have, in order.
ByteBuffer NormaliseLineBreaks(ByteBuffer raw, bool& hasNul, std::vector<std::size_t>& inserted) {
  if (IsCanonicalText(raw.View(), hasNul)) {
    // Already CR LF throughout: keep the one buffer, only the last line may need its break.
    if (!raw.empty() && raw.data()[raw.size() - 1] != '\n') raw.append(CRLF);
    return raw;
  }
  ByteBuffer out;
  out.reserve(raw.size() + raw.size() / 16 + 2);
  if (AppendCrLfLines(raw.View(), out)) out.append(CRLF);
  hasNul = std::memchr(out.data(), '\0', out.size()) != nullptr;
  // The result is the file with CRs and LFs put in, nothing taken out or changed: a byte that is
  // not the file's next one was put in.
  const std::string_view file = raw.View();
  const std::string_view text = out.View();
  for (std::size_t i = 0, j = 0; j < text.size(); ++j) {
    if (i < file.size() && file[i] == text[j]) {
      ++i;
    } else {
      inserted.push_back(j);
    }
  }
  return out;
}

ByteBuffer ReadWholeFile(const std::string& fileName) {
  const auto fail = [&](int error) {
    throw EMailError("Cannot open file \"" + fileName + "\". " + std::strerror(error));
  };
  // Only a regular file is a stored message; a FIFO or device is refused rather than waited on.
  platform::OpenOptions options;
  options.nonBlocking = true;
  options.regularOnly = true;
  const platform::FileDescriptor file = platform::OpenFile(fileName, options);
  if (!file) throw EMailError("Cannot open file \"" + fileName + "\". " + platform::SystemErrorText());
  const std::optional<platform::FileStatus> info = platform::StatusOf(file);
  if (!info) fail(errno);
  ByteBuffer bytes;
  if (!ReadToEnd(file, static_cast<std::size_t>(info->size), bytes)) fail(errno != 0 ? errno : EIO);
  return bytes;
}

}  // namespace

void TMailPart::ParseText(std::string_view text, bool parseHeader) {
  // The reset empties this part's bodies: a text that lies in one of them is parsed from a copy.
  const auto within = [&](std::string_view bytes) {
    return !bytes.empty() && text.data() >= bytes.data() && text.data() < bytes.data() + bytes.size();
  };
  if (within(FRawBody.View()) || within(FDecodedBody.View())) {
    const std::string copy(text);
    ParseAtDepth(copy, parseHeader, Depth());
    return;
  }
  ParseAtDepth(text, parseHeader, Depth());
}

void TMailPart::LoadFromFile(const std::string& fileName) { LoadFromBytes(ReadWholeFile(fileName)); }

void TMailPart::ParseLoadedText(ByteBuffer bytes) {
  // The stored bodies are windows on the loaded text, which lives as long as one of them does.
  bool hasNul = false;
  const std::size_t fileSize = bytes.size();
  std::vector<std::size_t> inserted;
  const SharedText text = std::make_shared<const ByteBuffer>(NormaliseLineBreaks(std::move(bytes), hasNul, inserted));
  const TextOrigin origin{text->View(), std::move(inserted), fileSize};
  ParseAtDepth(text->View(), true, Depth(), &text, &origin);
  if (FOwnerMessage != nullptr && static_cast<TMailPart*>(FOwnerMessage) == this && hasNul) {
    const char* nul = static_cast<const char*>(std::memchr(text->data(), '\0', text->size()));
    FOwnerMessage->NoteWarning(*this, TMailWarningCode::kNulBytes, origin.StoredOffset(nul),
                               "NUL bytes in the text, kept as ordinary bytes");
  }
}

void TMailPart::LoadFromBytes(std::string_view bytes) {
  // The same buffer LoadFromFile reads into: the bytes and room for the last line's CR LF.
  ByteBuffer raw;
  raw.reserve(bytes.size() + 2 + 1);
  raw.append(bytes);
  LoadFromBytes(std::move(raw));
}

void TMailPart::LoadFromBytes(ByteBuffer bytes) { ParseLoadedText(std::move(bytes)); }

}  // namespace droprelay
