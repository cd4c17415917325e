// Submission and small string/file utilities shared by the relay cycle and the submission.
#pragma once

#include <string>
#include <string_view>

namespace droprelay {

// The text with no occurrence of `pattern` left (case-sensitive, byte-wise). An empty pattern
// leaves the text as it is. When the replacement contains the pattern, every occurrence present
// in the input is replaced once, left to right, so the call always ends.
std::string StringReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// `first` when `flag` is true, otherwise `second`.
std::string ChooseStr(bool flag, std::string_view first, std::string_view second);

// The whole file as bytes; empty when it is missing, a directory, unreadable, or held open for
// writing by another process (see the definition for the locking rule). Never throws.
std::string FileToString(const std::string& fileName);

// Deletes the file with up to 100 attempts 1000 ms apart (waits through platform::Sleep).
// True when the file is gone within those attempts; a missing file answers True at once.
// Never follows a symbolic link: a link is removed itself. Never throws.
bool DeleteFileRetry(const std::string& fileName);

// Hands one message to the mail submission facility through the named profile. Every problem
// appends a Windows-1251 message ending in ";" to `errorText`; true exactly when it stays empty.
bool SendMapiMessage(const std::string& profileName, const std::string& password, const std::string& recipients,
                     const std::string& subject, const std::string& body, const std::string& attachmentPath,
                     std::string& errorText);

}  // namespace droprelay
