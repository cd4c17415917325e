#include "platform/syserror.h"

#include <cerrno>
#include <cstring>

namespace droprelay::platform {
namespace {

// Main thread only, like GetLastError's per-thread slot in practice.
int lastCode = 0;
std::string lastText;

}  // namespace

void SetLastError(int code) {
  lastCode = code;
  lastText.clear();
}

void SetLastErrorText(std::string_view text) {
  lastCode = 0;
  lastText.assign(text);
}

void SetLastErrorFromErrno() { SetLastError(errno); }

int LastErrorCode() { return lastCode; }

KeepLastError::KeepLastError() : code_(lastCode), text_(lastText) {}

KeepLastError::~KeepLastError() {
  lastCode = code_;
  lastText = std::move(text_);
}

std::string TrimErrorText(std::string_view text) {
  if (text.size() > 256) text = text.substr(0, 256);
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.back());
    if (c <= 32 || c == '.' || c == 127) {
      text.remove_suffix(1);
    } else {
      break;
    }
  }
  return std::string(text);
}

std::string SystemErrorText() {
  if (!lastText.empty()) return TrimErrorText(lastText);
  // strerrordesc_np is never translated: the log must not mix the locale's encoding into
  // Windows-1251 lines.
  const char* description = strerrordesc_np(lastCode);
  return TrimErrorText(description ? description : "Unknown error " + std::to_string(lastCode));
}

}  // namespace droprelay::platform
