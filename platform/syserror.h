// The stand-in for GetLastError and the system's message text for it.
//
// On Windows every failing system call leaves a code that the relay later turns into text. Here the
// platform functions record what failed: an errno value (its text is strerror's, untranslated), or
// the failing library's own text where the operating system has none (libcurl, ODBC). The relay only
// ever asks for SystemErrorText().
#pragma once

#include <string>
#include <string_view>

namespace droprelay::platform {

// Records errno value `code` as the last error (and forgets any library text).
void SetLastError(int code);
// Records `text` (a library's or server's own error text) as the last error.
void SetLastErrorText(std::string_view text);
// Records the current errno as the last error; convenience for the platform's own calls.
void SetLastErrorFromErrno();

// The errno value last recorded; 0 when a library text was recorded instead.
int LastErrorCode();

// Keeps the recorded error as it was across calls whose failures are expected and answered
// otherwise (probing a name that may well be missing), so they do not change what a later log
// line of the relay says.
class KeepLastError {
 public:
  KeepLastError();
  ~KeepLastError();
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  int code_;
  std::string text_;
};

// The text of the last recorded error, at most 256 characters, with trailing blanks, control
// characters and full stops removed. The text for "no error" is "Success".
std::string SystemErrorText();

// The trimming rule on its own: trailing characters with codes up to 32 and "." removed.
std::string TrimErrorText(std::string_view text);

}  // namespace droprelay::platform
