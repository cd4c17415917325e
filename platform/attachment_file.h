// Writing an extracted attachment into the temporary folder.
#pragma once

#include <string>
#include <string_view>

namespace droprelay::platform {

// Creates or overwrites `path` with `content`. A symbolic link at `path` is refused, never written
// through (the temporary folder may be shared, such as /tmp). A file that cannot be written in full
// is removed again, so a half-written attachment is never sent. False, with the error recorded,
// on any failure.
bool SaveAttachmentFile(const std::string& path, std::string_view content);

}  // namespace droprelay::platform
