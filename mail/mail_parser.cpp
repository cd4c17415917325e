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
#include <functional>
#include <algorithm>
#include <limits>
#include <memory>

#include "mail/codecs.h"
#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "mail/mail_part.h"
#include "platform/file.h"
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

// Finds lines that begin with a delimiter without walking the lines in between: a line begins at
// the text's start and after every CR LF, so a delimiter line is the text's start or "\r\n" +
// delimiter anywhere.
class DelimiterFinder {
 public:
  explicit DelimiterFinder(std::string_view delimiter)
      : delimiter_(delimiter), needle_("\r\n" + std::string(delimiter)),
        searcher_(needle_.data(), needle_.data() + needle_.size()) {}

  // The start of the first line at or after the line start `from` that begins with the delimiter.
  std::size_t From(std::string_view text, std::size_t from) const {
    if (text.substr(from).substr(0, delimiter_.size()) == delimiter_) return from;
    const char* end = text.data() + text.size();
    const char* hit = std::search(text.data() + from, end, searcher_);
    return hit == end ? npos : static_cast<std::size_t>(hit - text.data()) + 2;
  }

 private:
  std::string delimiter_;
  std::string needle_;
  std::boyer_moore_horspool_searcher<const char*> searcher_;
};

bool StartsWith(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

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

// Reports progress for the root only, and only when a handler is assigned.
class TMailPart::Parser {
 public:
  Parser(TMailPart& part, std::string_view text)
      : message_(part.FOwnerMessage), total_(Clamp32(text.size())) {
    const bool root = static_cast<TMailPart*>(message_) == &part;
    active_ = root && static_cast<bool>(message_->FOnProgress);
  }
  void Report(std::int32_t current) const {
    if (active_) message_->FOnProgress(message_, total_, current);
  }
  // After an advance of the walker: the line reached, or Total + 1 at the end.
  void Advanced(const LineWalker& walker, bool gotLine) const {
    if (active_) Report(gotLine ? Clamp32(walker.LineStart() + 1) : total_ + (total_ < std::numeric_limits<std::int32_t>::max() ? 1 : 0));
  }
  bool Active() const { return active_; }
  std::int32_t Total() const { return total_; }

 private:
  TMailMessage* message_;
  std::int32_t total_;
  bool active_ = false;
};


void TMailPart::ParseAtDepth(std::string_view text, bool parseHeader, int depth, const SharedText* shared) {
  // 1. A part can only be parsed inside a message, which holds the settings and flags it needs.
  if (FOwnerMessage == nullptr) throw EMailError(Name + ": TMailPart must be owned by a TMailMessage");
  // A loaded text (shared) was already cut at its first NUL.
  if (const void* nul = shared != nullptr ? nullptr : std::memchr(text.data(), '\0', text.size()); nul != nullptr) {
    text = text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
  }

  // 2. Reset. The message first drops its references, as the sub-parts they may name go now.
  FOwnerMessage->ParseStarted();
  FSubParts.FItems.clear();
  FHeaderLines.clear();
  FRawBody.Clear();
  FDecodedBody.Clear();
  FIsDecoded = false;
  FEmbedded = false;
  FOwnerMessage->FComposePending = true;
  FOwnerMessage->FRestructurePending = true;
  FOwnerMessage->FLocatePending = true;

  // 3. Progress starts.
  const Parser progress(*this, text);
  progress.Report(0);

  LineWalker walker(text);
  bool first = true;
  auto advance = [&]() {
    const bool got = walker.Next();
    if (!first) progress.Advanced(walker, got);
    first = false;
    return got;
  };

  // 4. Header section: up to the first empty line; continuation lines are unfolded.
  std::size_t bodyStart = 0;
  if (parseHeader) {
    bodyStart = text.size();
    while (advance()) {
      const std::string_view line = walker.Line();
      if (line.empty()) {
        bodyStart = walker.NextStart();
        break;
      }
      if ((line[0] == '\t' || line[0] == ' ') && !FHeaderLines.empty()) {
        std::string& last = FHeaderLines.back();
        last += ' ';
        last.append(line.substr(1));
      } else {
        FHeaderLines.emplace_back(line);
      }
    }
    for (std::string& entry : FHeaderLines) entry = NormalizeHeaderLine(entry);
  }

  // 5. The mode. Past the depth limit everything is kept whole as a single body.
  enum class Mode { Single, Multipart, UUScan } mode = Mode::Single;
  const bool tooDeep = depth >= MaxNestingDepth;
  if (!tooDeep) {
    const std::string type = GetHeaderValue("Content-Type");
    std::string head = type.substr(0, 10);
    for (char& c : head) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (head == "multipart/") {
      mode = Mode::Multipart;
    } else if (!HasHeader("Content-Type")) {
      mode = Mode::UUScan;
    }
  }
  const std::string boundary = mode == Mode::Multipart ? GetPartBoundary() : std::string();
  const std::string delimiter = "--" + boundary;
  const std::string closing = delimiter + "--";
  constexpr std::string_view beginText = "begin 6";
  constexpr std::string_view endText = "end";

  // 6. The body's first stretch: all of it in single mode, else up to the first delimiter or begin line.
  const std::string_view body = text.substr(bodyStart);
  if (mode == Mode::Single && !progress.Active()) {
    StoreRun(FRawBody, body, shared);
    progress.Report(progress.Total());
    return;
  }
  auto makeSubPart = [&](std::size_t start, std::size_t delimiterStart) {
    auto child = std::make_unique<TMailPart>();
    child->FOwnerMessage = FOwnerMessage;
    child->FParentPart = this;
    child->ParseAtDepth(SliceBefore(body, start, delimiterStart), true, depth + 1, shared);
    child->FParentBoundary = boundary;
    FSubParts.FItems.push_back(std::move(child));
  };
  if (mode == Mode::Multipart && !progress.Active()) {
    // Steps 6 and 8 without progress reports: only delimiter lines matter, so jump from one to
    // the next. The same parts result as from the line-by-line walk below.
    const DelimiterFinder finder(delimiter);
    std::size_t at = finder.From(body, 0);
    StoreRun(FRawBody, body.substr(0, at == npos ? body.size() : at), shared);
    while (at != npos) {
      const std::size_t gathered = NextLineStart(body, at);
      const std::size_t next = finder.From(body, gathered);
      if (next == npos) break;  // lines after the last delimiter line are dropped
      if (next > gathered) makeSubPart(gathered, next);
      if (StartsWith(body.substr(next), closing)) break;
      at = next;
    }
    return;
  }

  LineWalker lines(body);
  first = true;
  // Positions are reported in the whole text, so body offsets are shifted by bodyStart.
  auto step = [&]() {
    const bool got = lines.Next();
    if (!first && progress.Active()) {
      progress.Report(got ? Clamp32(bodyStart + lines.LineStart() + 1) : progress.Total() + 1);
    }
    first = false;
    return got;
  };

  bool stopped = false;
  while (step()) {
    const std::string_view line = lines.Line();
    if ((mode == Mode::Multipart && StartsWith(line, delimiter)) ||
        (mode == Mode::UUScan && StartsWith(line, beginText))) {
      stopped = true;
      break;
    }
  }
  StoreRun(FRawBody, body.substr(0, stopped ? lines.LineStart() : body.size()), shared);

  if (mode == Mode::Multipart && stopped) {
    // 8. Sub-parts: each runs from the line after a delimiter line to the CR LF before the next.
    std::size_t pending = npos;
    auto emit = [&](std::size_t delimiterStart) {
      if (pending == npos) return;
      makeSubPart(pending, delimiterStart);
      pending = npos;
    };
    while (step()) {
      const std::string_view line = lines.Line();
      if (StartsWith(line, closing)) {
        emit(lines.LineStart());
        break;
      }
      if (StartsWith(line, delimiter)) {
        emit(lines.LineStart());
      } else if (pending == npos) {
        pending = lines.LineStart();
      }
    }
    // Lines still pending at the end of the text have no delimiter after them: dropped.
  } else if (mode == Mode::UUScan && stopped) {
    // 9. Uuencoded blocks, each between a "begin 6" line and the next "end" line.
    std::string rebuildBoundary;
    std::string fileName;
    bool inBlock = true;
    std::size_t pending = npos;
    bool atLine = true;  // the begin line that ended step 6 is the first line handled here
    while (atLine || step()) {
      atLine = false;
      const std::string_view line = lines.Line();
      if (StartsWith(line, beginText)) {
        // Only a real begin line opens a block: a line such as "best regards" must not, or the
        // next line beginning with "end" would feed prose to the decoder and fail the message.
        inBlock = true;
        if (rebuildBoundary.empty()) {
          rebuildBoundary = NewBoundary();
          const std::string encoded = EncodeQuotedPrintable(FRawBody.View(), false);
          auto textPart = std::make_unique<TMailPart>();
          textPart->FOwnerMessage = FOwnerMessage;
          textPart->FParentPart = this;
          textPart->ParseAtDepth(encoded, false, depth + 1);
          textPart->FParentBoundary = rebuildBoundary;
          textPart->SetHeaderValue("Content-Type", "text/plain");
          textPart->SetHeaderParam("Content-Type", "charset", Quoted(FOwnerMessage->FCharset));
          textPart->SetHeaderValue("Content-Transfer-Encoding", "quoted-printable");
          FSubParts.FItems.push_back(std::move(textPart));
          SetHeaderValue("Content-Type", "multipart/mixed");
          SetHeaderParam("Content-Type", "boundary", Quoted(rebuildBoundary));
        }
        fileName = TrimSpaces(line.size() > 10 ? line.substr(10, 999) : std::string_view());
        pending = npos;
      } else if (inBlock && StartsWith(line, endText)) {
        inBlock = false;
        auto filePart = std::make_unique<TMailPart>();
        filePart->FOwnerMessage = FOwnerMessage;
        filePart->FParentPart = this;
        const std::string_view data =
            pending == npos ? std::string_view() : SliceBefore(body, pending, lines.LineStart());
        UUDecodeToStream(data, filePart->FDecodedBody);
        filePart->EncodeBodyBase64();
        filePart->FParentBoundary = rebuildBoundary;
        filePart->SetHeaderValue("Content-Type", ContentTypeOfFile(fileName));
        filePart->SetHeaderValue("Content-Transfer-Encoding", "base64");
        filePart->SetHeaderValue("Content-Disposition", "attachment");
        filePart->SetHeaderParam("Content-Type", "name", Quoted(fileName));
        filePart->SetHeaderParam("Content-Disposition", "filename", Quoted(fileName));
        FSubParts.FItems.push_back(std::move(filePart));
        pending = npos;
      } else if (pending == npos) {
        pending = lines.LineStart();
      }
    }
  }

  // 10. Progress ends.
  progress.Report(progress.Total());
}

namespace {

// The length of `text` up to its first NUL, and whether that much is CR LF throughout (every LF
// follows a CR and every CR is followed by an LF). One pass, sixteen bytes at a time where SSE2 is
// there: for a file written with CR LF, the usual case, this is all the loader has to look at.
struct TextScan {
  std::size_t length;
  bool canonical;
};

TextScan ScanText(std::string_view text) {
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  bool carry = false;  // the byte before position i is a CR
#ifdef __SSE2__
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(block, nul)) != 0) break;  // the scalar loop finds it
    const unsigned crBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, cr)));
    const unsigned lfBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
    // Each LF exactly where a CR stood one byte before.
    if (lfBits != (((crBits << 1) | (carry ? 1u : 0u)) & 0xFFFFu)) {
      const void* at = std::memchr(base + i, '\0', n - i);
      return {at == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(at) - base), false};
    }
    carry = (crBits & 0x8000u) != 0;
  }
#endif
  bool canonical = true;
  for (; i < n; ++i) {
    const char c = base[i];
    if (c == '\0') break;
    if (canonical && (c == '\n') != carry) canonical = false;
    carry = c == '\r';
  }
  return {i, canonical && !carry};
}

// The framework's text-file reading: a line ends at CR LF, a lone CR or a lone LF; the first NUL
// ends the text; every line, the last included, is followed by CR LF in the result.
ByteBuffer NormaliseLineBreaks(ByteBuffer raw) {
  const TextScan scan = ScanText(raw.View());
  raw.Truncate(scan.length);
  if (scan.canonical) {
    // Already CR LF throughout: keep the one buffer, only the last line may need its break.
    if (!raw.empty() && raw.data()[raw.size() - 1] != '\n') raw.append(CRLF);
    return raw;
  }
  ByteBuffer out;
  out.reserve(raw.size() + raw.size() / 16 + 2);
  if (AppendCrLfLines(raw.View(), out)) out.append(CRLF);
  return out;
}

ByteBuffer ReadWholeFile(const std::string& fileName) {
  const auto fail = [&](int error) {
    throw EMailError("Cannot open file \"" + fileName + "\". " + std::strerror(error));
  };
  const platform::FileDescriptor file = platform::OpenFile(fileName, platform::OpenOptions{});
  if (!file) fail(errno);
  const std::optional<platform::FileStatus> info = platform::StatusOf(file);
  if (!info) fail(errno);
  if (info->IsDirectory()) fail(EISDIR);
  // One buffer of the file's size (and room for the CR LF the last line may need), filled by the
  // kernel directly: no zero-filling, no growing copy. Whatever the size said (a growing file, a
  // pipe), reading goes on to the end.
  ByteBuffer bytes;
  bytes.reserve(static_cast<std::size_t>(info->size) + 2 + 1);
  for (;;) {
    if (bytes.capacity() - bytes.size() <= 2) bytes.reserve(bytes.capacity() * 2 + 65536);
    const std::size_t room = bytes.capacity() - bytes.size() - 2;
    const long n = platform::ReadSome(file, bytes.AppendSpace(room), room);
    if (n < 0) fail(errno != 0 ? errno : EIO);
    if (n == 0) break;
    bytes.Commit(static_cast<std::size_t>(n));
  }
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

void TMailPart::LoadFromFile(const std::string& fileName) {
  // The stored bodies are windows on the file's text, which lives as long as one of them does.
  const SharedText text = std::make_shared<const ByteBuffer>(NormaliseLineBreaks(ReadWholeFile(fileName)));
  ParseAtDepth(text->View(), true, Depth(), &text);
}

void TMailPart::LoadFromBytes(std::string_view bytes) {
  // The same buffer LoadFromFile reads into: the bytes and room for the last line's CR LF.
  ByteBuffer raw;
  raw.reserve(bytes.size() + 2 + 1);
  raw.append(bytes);
  const SharedText text = std::make_shared<const ByteBuffer>(NormaliseLineBreaks(std::move(raw)));
  ParseAtDepth(text->View(), true, Depth(), &text);
}

}  // namespace droprelay
