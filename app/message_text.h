// The text steps of relaying one message: recipient rewrite, subject and body clean-up, previews
// and the substitution table. Pure functions over Windows-1251 byte strings, so every rule can be
// tested on its own; relay_message.cpp strings them together with the logging.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace droprelay {

// True when nothing but characters with codes 0 to 32 is left after trimming.
bool IsBlankText(std::string_view text);

// The recipient built from the "To" addresses (one comma text): the local part of the first address
// (text before the first "@", trimmed; the whole text when there is no "@"), "@", the domain, and
// " ; " + copyTo when a copy address is configured. Characters that would let the local part name
// another recipient or break the address (";", ",", "<", ">", double quote, "@", blanks and control
// characters) are dropped, so whatever the "To" header holds, the message goes only to the
// organisation's domain and the configured copy address.
std::string RewriteRecipient(std::string_view toAddresses, std::string_view domain, std::string_view copyTo);

// The stored Subject value with the blanks and tabs between two adjacent encoded words removed.
// Mail clients fold a long non-ASCII subject into several encoded words; the blank that separates
// them is folding, not text, and decoding would otherwise put it into the middle of a word.
std::string JoinAdjacentEncodedWords(std::string_view storedSubject);

// True when the stored Subject field's encoded words declare KOI8-R ("=?koi8-r?", any case): the
// decoded bytes are then KOI8-R, not UTF-8.
bool SubjectWordsAreKoi8(std::string_view storedSubject);

// The decoded subject in Windows-1251: converted from KOI8-R when its encoded words say so, else
// from UTF-8 (bytes that are not UTF-8, such as Windows-1251, stay).
std::string SubjectToCp1251(std::string_view decodedSubject, bool koi8Words);

// The decoded subject converted (SubjectToCp1251), trimmed, and cleaned of the stray blanks that
// some senders' line folding leaves at the 26th, 49th and 81st character.
std::string NormalizeSubject(std::string_view decodedSubject, bool koi8Words = false);

// The plain body in Windows-1251: the plain lines' text converted from UTF-8, unless the stored
// message declares the plain part Windows-1251 (taken as it is) or KOI8-R (converted from KOI8-R,
// which wins when both declarations occur).
std::string ConvertPlainBody(std::string_view plainText, std::string_view rawText);

// What the stored text declares, for the rules above: found before the text goes to the parser,
// which keeps it, so that it is held once.
struct DeclaredCharsets {
  bool plainKoi8 = false;     // "Content-Type: text/plain; charset=\"koi8-r\""
  bool plainCp1251 = false;   // "Content-Type: text/plain; charset=windows-1251"
  bool koi8Anywhere = false;  // DeclaresKoi8
};
DeclaredCharsets FindDeclaredCharsets(std::string_view rawText);
std::string ConvertPlainBody(std::string_view plainText, const DeclaredCharsets& declared);

// True when the stored message declares KOI8-R anywhere (the HTML fallback's rule).
bool DeclaresKoi8(std::string_view rawText);

// The first 80 characters followed by "..." when the text is longer, else the whole text.
std::string Preview(std::string_view text);

// Applies the substitution table's pairs in order (pair i replaces changeStrings[i] by
// replacementStrings[i]), each to the result of the pairs before it.
std::string ApplySubstitutions(std::string text, const std::vector<std::string>& changeStrings,
                               const std::vector<std::string>& replacementStrings);

}  // namespace droprelay
