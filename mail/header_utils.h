// Header text utilities of the mail library: encoded words, header lines, values and parameters.
// Positions in the descriptions count from 1, as everywhere in the library's contract.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace droprelay {

// An ordered list of lines (header fields, body lines). Its text is every line followed by CR LF.
using TStringList = std::vector<std::string>;
std::string StringListText(const TStringList& list);

std::string DecodeEncodedWords(std::string_view text);
std::string NormalizeHeaderLine(std::string_view line);
std::string GetHeaderLineValue(std::string_view line);
std::string SetHeaderLineValue(std::string_view line, std::string_view value);
std::string GetHeaderLineParam(std::string_view line, std::string_view name);
std::string SetHeaderLineParam(std::string_view line, std::string_view name, std::string_view value);
// The RFC 2231 form of parameter `name` (name*=charset'language'value, or the numbered pieces
// name*0, name*1*, ... with encoded and plain pieces mixed), decoded to its bytes; empty if the
// line has none. The charset is not applied: the bytes are what an encoded word would give.
std::string GetHeaderLineParamExtended(std::string_view line, std::string_view name);
// `bytes` as an RFC 2231 value (''percent-encoded), for writing a name back as name*=...
std::string EncodeHeaderParamExtended(std::string_view bytes);

// Index (from 0) of the `occurrence`-th line starting with `prefix` (ASCII case ignored), or -1.
int FindHeaderLine(const TStringList* list, std::string_view prefix, int occurrence);

// Takes the line at the 1-based `index` of `text`, CR LF included; `index` becomes the next line's
// start, or -1 after the last line.
void ExtractNextLine(std::string_view text, std::string& line, std::ptrdiff_t& index);

std::string ContentTypeOfFile(std::string_view fileName);
std::string ExtensionOfContentType(std::string_view mediaType);
std::string NewBoundary();

// `value` between double quotes, as the library writes the parameters charset, boundary, name and
// filename (SetHeaderLineParam inserts values unchanged: quoting is the caller's business).
std::string Quoted(std::string_view value);

std::string TrimSpaces(std::string_view text);
std::string TrimLeftSpaces(std::string_view text);
std::string TrimRightSpaces(std::string_view text);
std::string CleanFileName(std::string_view text);

}  // namespace droprelay
