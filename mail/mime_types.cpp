// Media types of file names and file extensions of media types.
#include "mail/mime_types.h"

#include <sstream>

#include "mail/header_utils.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "text/ascii.h"
#include "text/lines.h"

namespace droprelay {

namespace {

// Where a type lists several extensions, the one a Windows machine registers is preferred, so
// names made from a type look the same as they did there ("image_jpeg.jpg", not ".jpeg").
std::string_view PreferredExtension(std::string_view mediaType) {
  if (mediaType == "image/jpeg") return "jpg";
  if (mediaType == "image/tiff") return "tif";
  if (mediaType == "text/html") return "htm";
  if (mediaType == "audio/mpeg") return "mp3";
  if (mediaType == "video/mpeg") return "mpg";
  return {};
}

constexpr std::string_view kBuiltInTable = R"(
text/plain txt text
text/html htm html
text/csv csv
text/calendar ics
application/xml xml
application/rtf rtf
application/pdf pdf
application/zip zip
application/gzip gz
application/x-tar tar
application/x-7z-compressed 7z
application/x-rar-compressed rar
application/msword doc
application/vnd.ms-excel xls
application/vnd.ms-powerpoint ppt
application/vnd.openxmlformats-officedocument.wordprocessingml.document docx
application/vnd.openxmlformats-officedocument.spreadsheetml.sheet xlsx
application/vnd.openxmlformats-officedocument.presentationml.presentation pptx
application/vnd.oasis.opendocument.text odt
application/vnd.oasis.opendocument.spreadsheet ods
application/octet-stream bin exe dll
application/json json
image/jpeg jpg jpeg jpe
image/gif gif
image/png png
image/bmp bmp
image/tiff tif tiff
image/svg+xml svg
audio/mpeg mp3 mpga
audio/x-wav wav
video/mpeg mpg mpeg
video/mp4 mp4
message/rfc822 eml
)";

}  // namespace

MimeTypeTable MimeTypeTable::FromText(std::string_view text) {
  MimeTypeTable table;
  while (!text.empty()) {
    std::string_view line = NextLine(text);
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);

    std::istringstream words{std::string(line)};
    std::string type;
    if (!(words >> type)) continue;
    type = AsciiLowerCase(type);
    const std::string_view preferred = PreferredExtension(type);
    std::string first;
    std::string ext;
    bool preferredListed = false;
    while (words >> ext) {
      ext = AsciiLowerCase(ext);
      if (first.empty()) first = ext;
      if (ext == preferred) preferredListed = true;
      table.FTypeOfExtension.emplace(ext, type);  // the first type listed for an extension wins
    }
    if (first.empty()) continue;
    table.FExtensionOfType.emplace(type, preferredListed ? std::string(preferred) : first);
  }
  return table;
}

MimeTypeTable MimeTypeTable::BuiltIn() { return FromText(kBuiltInTable); }

std::string MimeTypeTable::TypeOfExtension(std::string_view extension) const {
  const auto it = FTypeOfExtension.find(AsciiLowerCase(extension));
  return it == FTypeOfExtension.end() ? std::string() : it->second;
}

std::string MimeTypeTable::ExtensionOfType(std::string_view mediaType) const {
  const auto it = FExtensionOfType.find(AsciiLowerCase(mediaType));
  return it == FExtensionOfType.end() ? std::string() : it->second;
}

const MimeTypeTable& SystemMimeTypes() {
  static const MimeTypeTable table = [] {
    std::string text;
    bool read = false;
    {
      const platform::KeepLastError keep;  // without the file the built-in table serves
      read = platform::ReadWholeFile("/etc/mime.types", text);
    }
    if (read) {
      MimeTypeTable fromFile = MimeTypeTable::FromText(text);
      if (!fromFile.Empty()) return fromFile;
    }
    return MimeTypeTable::BuiltIn();
  }();
  return table;
}

std::string SafeMediaType(const std::string& type) {
  const std::size_t slash = type.find('/');
  const bool ok = slash != std::string::npos && slash > 0 && slash + 1 < type.size() &&
                  type.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$&^_.+-/") ==
                      std::string::npos &&
                  type.find('/', slash + 1) == std::string::npos;
  return ok ? type : "application/octet-stream";
}

std::string ContentTypeOfFile(std::string_view fileName) {
  // The extension is the text from the last "." of the last path component; "\" and ":" end a
  // component as on the machines that write these names, "/" as on this one.
  const std::size_t separator = fileName.find_last_of("\\:/");
  const std::size_t dot = fileName.rfind('.');
  std::string type;
  if (dot != std::string_view::npos && (separator == std::string_view::npos || dot > separator)) {
    type = SystemMimeTypes().TypeOfExtension(fileName.substr(dot + 1));
  }
  return type.empty() ? std::string("application/octet-stream") : type;
}

std::string ExtensionOfContentType(std::string_view mediaType) {
  const std::string ext = SystemMimeTypes().ExtensionOfType(mediaType);
  return ext.empty() ? std::string() : "." + ext;
}

}  // namespace droprelay
