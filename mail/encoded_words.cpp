// Decoding of encoded words (=?charset?X?text?=) in header text, encodings B, Q and U.
#include <cstring>

#include "mail/codecs.h"
#include "mail/header_utils.h"

namespace droprelay {

namespace {

std::string CutAtNul(std::string s) {
  const std::size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

// `word` is the text between the "?" after the charset and the closing "?=": the encoding
// letter, "?", and the encoded text. The charset is deliberately ignored: bytes stay bytes.
std::string DecodeWord(std::string_view word) {
  char encoding = 'Q';
  if (word.size() >= 2 && word[1] == '?') {
    const char letter = word[0];
    if (letter == 'B' || letter == 'b') encoding = 'B';
    if (letter == 'U' || letter == 'u') encoding = 'U';
  }
  const std::string_view encoded = word.size() >= 2 ? word.substr(2) : std::string_view();
  if (encoded.empty()) return std::string();
  if (encoding == 'B') {
    std::string out;
    Base64DecodeBuffer(encoded, out);
    return CutAtNul(std::move(out));
  }
  if (encoding == 'U') {
    UULineBuffer buffer{};
    const int n = UUDecodeLine(encoded, buffer);
    return CutAtNul(std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n)));
  }
  std::string text(encoded);
  for (char& c : text) {
    if (c == '_') c = ' ';
  }
  return DecodeQuotedPrintable(text);
}

}  // namespace

// Each encoded word is replaced by its decoded bytes and the search starts again at the text's
// start, so decoded bytes that form a new encoded word are decoded too. To stay linear on long
// headers the text is held as `done` + buf[head..]: `done` has been searched and can hold no
// "=?"; each replacement is written in place at the end of the consumed word (a decoded word is
// always shorter than its encoded form), together with the one character before the word, the
// only one that could still pair with decoded text to form "=?".
std::string DecodeEncodedWords(std::string_view text) {
  std::string buf = TrimSpaces(text);
  std::string done;
  std::size_t head = 0;
  for (;;) {
    const std::size_t p = buf.find("=?", head);
    if (p == std::string::npos) break;
    std::size_t q = buf.find('?', p + 2);
    if (q == std::string::npos) q = p + 1;
    std::size_t e = buf.find("?=", q + 1);
    if (e == std::string::npos) break;
    // Lets a Q text that begins with "=" end at the right "?=".
    const std::size_t later = buf.find('?', e + 1);
    if (later != std::string::npos && later + 1 < buf.size() && buf[later + 1] == '=') e = later;

    const std::string decoded = DecodeWord(std::string_view(buf).substr(q + 1, e - q - 1));
    const std::size_t wordEnd = e + 2;
    // The character before the word goes back in front of the decoded text.
    std::string previous;
    if (p > head) {
      done.append(buf, head, p - 1 - head);
      previous.assign(1, buf[p - 1]);
    } else if (!done.empty()) {
      previous.assign(1, done.back());
      done.pop_back();
    }
    const std::size_t need = previous.size() + decoded.size();
    if (need <= wordEnd - p) {
      const std::size_t newHead = wordEnd - need;
      if (!previous.empty()) buf[newHead] = previous[0];
      if (!decoded.empty()) std::memcpy(&buf[newHead + previous.size()], decoded.data(), decoded.size());
      head = newHead;
    } else {
      // Not reachable with the decoders above; kept so the invariant never rests on them alone.
      buf = previous + decoded + buf.substr(wordEnd);
      head = 0;
    }
  }
  return done + buf.substr(head);
}

}  // namespace droprelay
