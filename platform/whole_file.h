// Reading and writing a whole file at once (the log file, the INI file).
#pragma once

#include <string>
#include <string_view>

namespace droprelay::platform {

// The whole content of `fileName`; false (error recorded) when it cannot be opened or read.
bool ReadWholeFile(const std::string& fileName, std::string& content);

// Replaces the content of `fileName` with `content`, creating the file when missing (`createMode`
// before the umask). The file is rewritten in place, not replaced by a new one, so its owner,
// mode and links stay as the administrator set them, and a write-protected file stays protected.
// False (error recorded) when it cannot be opened or fully written.
bool WriteWholeFile(const std::string& fileName, std::string_view content, unsigned createMode = 0644);

}  // namespace droprelay::platform
