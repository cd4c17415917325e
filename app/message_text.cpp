#include "app/message_text.h"

#include <algorithm>

#include "text/ascii.h"
#include "text/convert.h"
#include "submit/submission.h"
#include "text/string_utils.h"

namespace droprelay {
namespace {

bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// Characters that must not survive in the local part: each could add a recipient (";" and "," are
// list separators for the submission), close or open an address, or break a header or command line.
bool IsUnsafeInLocalPart(char c) {
  switch (c) {
    case ';': case ',': case '<': case '>': case '"': case '@':
      return true;
    default:
      return IsControlOrBlank(c) || c == 127;
  }
}

// Deletes the character at the 1-based `position` when the text is longer than that and it is a blank.
void DropBlankAt(std::string& text, std::size_t position) {
  if (text.size() > position && text[position - 1] == ' ') text.erase(position - 1, 1);
}

}  // namespace

bool IsBlankText(std::string_view text) { return std::all_of(text.begin(), text.end(), IsControlOrBlank); }

std::string RewriteRecipient(std::string_view toAddresses, std::string_view domain, std::string_view copyTo) {
  std::string local;
  const std::size_t at = toAddresses.find('@');
  if (at != std::string_view::npos) {
    local = TrimControls(toAddresses.substr(0, at));
  } else {
    local.assign(toAddresses);
  }
  local.erase(std::remove_if(local.begin(), local.end(), IsUnsafeInLocalPart), local.end());

  std::string recipient = local + "@" + std::string(domain);
  if (!copyTo.empty()) recipient += " ; " + std::string(copyTo);
  return recipient;
}

std::string JoinAdjacentEncodedWords(std::string_view storedSubject) {
  // The length of the well-formed encoded word "=?charset?X?text?=" at `pos`, or 0.
  const auto wordAt = [storedSubject](std::size_t pos) -> std::size_t {
    if (storedSubject.compare(pos, 2, "=?") != 0) return 0;
    const std::size_t charsetEnd = storedSubject.find('?', pos + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == pos + 2 || charsetEnd + 2 >= storedSubject.size() ||
        storedSubject[charsetEnd + 2] != '?') {
      return 0;
    }
    const std::size_t textEnd = storedSubject.find("?=", charsetEnd + 3);
    if (textEnd == std::string_view::npos) return 0;
    for (std::size_t i = pos; i < textEnd; ++i) {
      if (storedSubject[i] == ' ' || storedSubject[i] == '\t') return 0;
    }
    return textEnd + 2 - pos;
  };

  std::string joined;
  joined.reserve(storedSubject.size());
  std::size_t pos = 0;
  bool afterWord = false;  // the text just copied ended with an encoded word
  while (pos < storedSubject.size()) {
    if (const std::size_t length = wordAt(pos)) {
      joined.append(storedSubject.substr(pos, length));
      pos += length;
      afterWord = true;
      continue;
    }
    const char c = storedSubject[pos];
    if (afterWord && (c == ' ' || c == '\t')) {
      std::size_t next = pos;
      while (next < storedSubject.size() && (storedSubject[next] == ' ' || storedSubject[next] == '\t')) ++next;
      if (next < storedSubject.size() && wordAt(next)) {
        pos = next;  // only folding white space lies between the two words
        continue;
      }
      joined.append(storedSubject.substr(pos, next - pos));
      pos = next;
      afterWord = false;
      continue;
    }
    joined.push_back(c);
    ++pos;
    afterWord = false;
  }
  return joined;
}

bool SubjectWordsAreKoi8(std::string_view storedSubject) {
  return AsciiLowerCase(storedSubject).find("=?koi8-r?") != std::string::npos;
}

std::string SubjectToCp1251(std::string_view decodedSubject, bool koi8Words) {
  return koi8Words ? Koi8ToCp1251(decodedSubject) : Utf8ToCp1251(decodedSubject);
}

std::string NormalizeSubject(std::string_view decodedSubject, bool koi8Words) {
  std::string subject(TrimControls(SubjectToCp1251(decodedSubject, koi8Words)));
  // Each test looks at the subject as the one before left it.
  DropBlankAt(subject, 26);
  DropBlankAt(subject, 49);
  DropBlankAt(subject, 81);
  return subject;
}

DeclaredCharsets FindDeclaredCharsets(std::string_view rawText) {
  // Exact, case-sensitive searches anywhere in the stored file, headers of any part included.
  DeclaredCharsets declared;
  declared.plainKoi8 = rawText.find("Content-Type: text/plain; charset=\"koi8-r\"") != std::string_view::npos;
  declared.plainCp1251 = rawText.find("Content-Type: text/plain; charset=windows-1251") != std::string_view::npos;
  declared.koi8Anywhere = DeclaresKoi8(rawText);
  return declared;
}

std::string ConvertPlainBody(std::string_view plainText, const DeclaredCharsets& declared) {
  if (declared.plainKoi8) return Koi8ToCp1251(plainText);
  if (declared.plainCp1251) return std::string(plainText);
  return Utf8ToCp1251(plainText);
}

std::string ConvertPlainBody(std::string_view plainText, std::string_view rawText) {
  return ConvertPlainBody(plainText, FindDeclaredCharsets(rawText));
}

bool DeclaresKoi8(std::string_view rawText) {
  return rawText.find("charset=\"koi8-r\"") != std::string_view::npos ||
         rawText.find("charset=koi8-r") != std::string_view::npos;
}

std::string Preview(std::string_view text) {
  constexpr std::size_t kPreviewLength = 80;
  if (text.size() <= kPreviewLength) return std::string(text);
  return std::string(text.substr(0, kPreviewLength)) + "...";
}

std::string ApplySubstitutions(std::string text, const std::vector<std::string>& changeStrings,
                               const std::vector<std::string>& replacementStrings) {
  const std::size_t pairs = std::min(changeStrings.size(), replacementStrings.size());
  for (std::size_t i = 0; i < pairs; ++i) text = StringReplaceAll(text, changeStrings[i], replacementStrings[i]);
  return text;
}

}  // namespace droprelay
