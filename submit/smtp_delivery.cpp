// SMTP delivery through libcurl.
#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "submit/address.h"
#include "submit/delivery.h"
#include "submit/mapi.h"
#include "platform/syserror.h"

namespace droprelay::submit {
namespace {

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Everything one transfer needs to outlive curl_easy_perform.
struct Transfer {
  std::unique_ptr<CURL, EasyDeleter> curl;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::string lastFailureReply;  // the server's last reply line with a code of 400 or above
  std::string_view upload;
  std::size_t uploaded = 0;
};

int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  // Only the server's replies are looked at; what we send (AUTH included) is never kept.
  if (type != CURLINFO_HEADER_IN) return 0;
  auto* transfer = static_cast<Transfer*>(user);
  std::string_view text(data, size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (text.size() >= 3 && (text[0] == '4' || text[0] == '5')) transfer->lastFailureReply = EscapeForText(text);
  return 0;
}

std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t n = std::min(size * count, transfer->upload.size() - transfer->uploaded);
  std::memcpy(buffer, transfer->upload.data() + transfer->uploaded, n);
  transfer->uploaded += n;
  return n;
}

// Removes the password, should a server ever echo it, from a text we are about to keep.
std::string WithoutPassword(std::string text, const std::string& password) {
  if (password.size() < 2) return text;
  for (std::size_t pos = text.find(password); pos != std::string::npos; pos = text.find(password, pos)) {
    text.replace(pos, password.size(), "***");
  }
  return text;
}

bool Prepare(Transfer& transfer, const MailProfile& profile, const std::string& password) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  transfer.curl.reset(curl_easy_init());
  if (!transfer.curl) {
    platform::SetLastErrorText("Cannot start libcurl");
    return false;
  }
  CURL* curl = transfer.curl.get();
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(curl, CURLOPT_URL, profile.url.c_str());
  // Only mail protocols, whatever the URL turns into.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  // A server that stops answering must not hold the relay for ever.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L);
  if (profile.starttls) curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  // Certificate and host checks stay on (libcurl's defaults); a profile may name its CA bundle.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!profile.cafile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, profile.cafile.c_str());
  if (!profile.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, profile.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // needed for the debug callback; it prints nothing
  return true;
}

// Runs the transfer; on failure records the server's refusal or libcurl's own text and answers
// the code for it.
std::uint32_t Perform(Transfer& transfer, const std::string& password, std::uint32_t otherFailure) {
  const CURLcode result = curl_easy_perform(transfer.curl.get());
  if (result == CURLE_OK) return SUCCESS_SUCCESS;
  long reply = 0;
  curl_easy_getinfo(transfer.curl.get(), CURLINFO_RESPONSE_CODE, &reply);
  std::string text = transfer.errorBuffer[0] ? transfer.errorBuffer : curl_easy_strerror(result);
  if (reply >= 400 && !transfer.lastFailureReply.empty()) text = transfer.lastFailureReply;
  platform::SetLastErrorText(WithoutPassword(text, password));
  if (result == CURLE_LOGIN_DENIED) return MAPI_E_LOGIN_FAILURE;
  return reply >= 400 ? static_cast<std::uint32_t>(reply) : otherFailure;
}

}  // namespace

std::uint32_t ProbeSmtpServer(const MailProfile& profile, const std::string& password) {
  Transfer transfer;
  if (!Prepare(transfer, profile, password)) return MAPI_E_FAILURE;
  // No recipient and no upload: after the greeting, TLS and AUTH libcurl sends this one command.
  curl_easy_setopt(transfer.curl.get(), CURLOPT_CUSTOMREQUEST, "NOOP");
  curl_easy_setopt(transfer.curl.get(), CURLOPT_NOBODY, 1L);
  const std::uint32_t code = Perform(transfer, password, MAPI_E_FAILURE);
  // Whatever the reply, a failed logon is a logon failure to the caller.
  return code == SUCCESS_SUCCESS ? code : (code == MAPI_E_LOGIN_FAILURE ? code : MAPI_E_FAILURE);
}

std::uint32_t SendSmtpMessage(const MailProfile& profile, const std::string& password,
                              const std::vector<std::string>& recipients, const std::string& message) {
  Transfer transfer;
  if (!Prepare(transfer, profile, password)) return MAPI_E_FAILURE;
  CURL* curl = transfer.curl.get();
  // Addresses were checked before they got here; libcurl writes them into the dialogue as given.
  const std::string from = "<" + profile.from + ">";
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  std::unique_ptr<curl_slist, SlistDeleter> rcpt;
  for (const std::string& address : recipients) {
    const std::string bracketed = "<" + address + ">";
    curl_slist* extended = curl_slist_append(rcpt.get(), bracketed.c_str());
    if (!extended) {
      platform::SetLastErrorText("Out of memory");
      return MAPI_E_INSUFFICIENT_MEMORY;
    }
    rcpt.release();
    rcpt.reset(extended);
  }
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
  transfer.upload = message;
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnRead);
  curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
  return Perform(transfer, password, MAPI_E_FAILURE);
}

}  // namespace droprelay::submit
