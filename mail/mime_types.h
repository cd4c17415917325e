// The media-type database behind ContentTypeOfFile and ExtensionOfContentType: the system's
// /etc/mime.types, or a small built-in table where that file is missing.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace droprelay {

class MimeTypeTable {
 public:
  // Parses mime.types text: "type ext ext ..." per line, "#" starts a comment.
  static MimeTypeTable FromText(std::string_view text);
  // The table used when the system has no mime.types.
  static MimeTypeTable BuiltIn();

  // Extensions are given and answered without the dot; both lookups ignore ASCII case.
  // Empty when unknown.
  std::string TypeOfExtension(std::string_view extension) const;
  std::string ExtensionOfType(std::string_view mediaType) const;
  bool Empty() const { return FTypeOfExtension.empty(); }

 private:
  std::unordered_map<std::string, std::string> FTypeOfExtension;
  std::unordered_map<std::string, std::string> FExtensionOfType;
};

// Read once, on first use, from /etc/mime.types (thread-safe); the built-in table if that file
// is missing or holds no mapping.
const MimeTypeTable& SystemMimeTypes();

// A media type as the table gave it when it is a well-formed type/subtype (each side at least one
// token character), else "application/octet-stream": what goes into a header line as it is.
std::string SafeMediaType(const std::string& type);

}  // namespace droprelay
