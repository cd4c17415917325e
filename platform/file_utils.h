// The whole-file read under a lock and the retrying delete of the relay's utility set, on top of the
// file layer (platform/file.h). The relay reads a drop file with ReadDropFile (app/drop_file.h),
// which also refuses links; it deletes the saved attachment with DeleteFileRetry.
#pragma once

#include <string>

namespace droprelay {

// The whole file as bytes; empty when it is missing, a directory, unreadable, or held open for
// writing by another process (see the definition for the locking rule). Never throws.
std::string FileToString(const std::string& fileName);

// Deletes the file with up to 100 attempts 1000 ms apart (waits through platform::Sleep).
// True when the file is gone within those attempts; a missing file answers True at once.
// Never follows a symbolic link: a link is removed itself. Never throws.
bool DeleteFileRetry(const std::string& fileName);

}  // namespace droprelay
