// Files the relay of one message touches outside the mail library: the stored message itself and
// the extracted attachment.
#pragma once

#include <string>
#include <string_view>

namespace droprelay::platform {

// True when `path` is a regular file itself. A symbolic link, a named pipe or a device in the drop
// folder is not a stored message: reading through a link could mail out any file the relay can
// read, and a pipe would block the relay for ever. False, with the error recorded, otherwise.
bool IsRegularFileEntry(const std::string& path);

// Creates or overwrites `path` with `content`. A symbolic link at `path` is refused, never written
// through (the temporary folder may be shared, such as /tmp). A file that cannot be written in full
// is removed again, so a half-written attachment is never sent. False, with the error recorded,
// on any failure.
bool SaveAttachmentFile(const std::string& path, std::string_view content);

}  // namespace droprelay::platform
