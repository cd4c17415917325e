// SMTP delivery through libcurl: one easy handle per session, whose connection cache keeps the
// logon's connection open for the messages that follow.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "submit/address.h"
#include "submit/delivery.h"
#include "submit/mapi.h"
#include "submit/submission.h"
#include "platform/syserror.h"
#include "platform/termination_signal.h"

namespace droprelay::submit {
namespace {

using Clock = std::chrono::steady_clock;

SmtpTimeouts timeouts;

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Removes the password, should a server ever echo it, from a text we are about to keep.
std::string WithoutPassword(std::string text, const std::string& password) {
  if (password.size() < 2) return text;
  for (std::size_t pos = text.find(password); pos != std::string::npos; pos = text.find(password, pos)) {
    text.replace(pos, password.size(), "***");
  }
  return text;
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

}  // namespace

void SetSmtpTimeouts(const SmtpTimeouts& value) { timeouts = value; }
SmtpTimeouts CurrentSmtpTimeouts() { return timeouts; }

// The handle and everything its callbacks reach; lives as long as the session.
struct SmtpTransfer {
  std::unique_ptr<CURL, EasyDeleter> curl;
  std::string password;
  std::string from;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::string lastFailureReply;  // the server's last reply line with a code of 400 or above
  // The address of the RCPT command last sent, and the one the server refused (its reply was 400
  // or above), so a refused copy recipient can be told from a refused message.
  std::string lastRcpt;
  bool awaitingRcptReply = false;
  std::string refusedRcpt;
  bool uploading = false;
  ComposedMessage* upload = nullptr;
  std::uint64_t uploaded = 0;  // bytes handed to libcurl
  std::string readFailure;     // why the message could not be read to its end
  // libcurl's own reply timeout is one number per transfer; the shorter limit for everything
  // before the end of the data is kept here, from the last sign of life of either side.
  SmtpTimeouts limits;
  Clock::time_point lastActivity;
  bool dataSent = false;
  bool stalled = false;
  bool stopped = false;  // ended by a stop request before the message data had gone out

  void Begin() {
    errorBuffer[0] = '\0';
    lastFailureReply.clear();
    lastRcpt.clear();
    awaitingRcptReply = false;
    refusedRcpt.clear();
    limits = timeouts;
    lastActivity = Clock::now();
    uploading = false;
    readFailure.clear();
    dataSent = false;
    stalled = false;
    stopped = false;
  }
};

namespace {

using Transfer = SmtpTransfer;

int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (type == CURLINFO_TEXT) return 0;
  transfer->lastActivity = Clock::now();
  std::string_view text(data, size);
  // Of what we send (AUTH included) only the address of a RCPT command is kept.
  if (type == CURLINFO_HEADER_OUT) {
    static constexpr std::string_view kRcpt = "RCPT TO:<";
    transfer->awaitingRcptReply = text.substr(0, kRcpt.size()) == kRcpt;
    if (transfer->awaitingRcptReply) {
      text.remove_prefix(kRcpt.size());
      transfer->lastRcpt = std::string(text.substr(0, text.find('>')));
    }
    return 0;
  }
  if (type != CURLINFO_HEADER_IN) return 0;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (text.size() >= 3 && (text[0] == '4' || text[0] == '5')) {
    transfer->lastFailureReply = EscapeForText(text);
    if (transfer->awaitingRcptReply) transfer->refusedRcpt = transfer->lastRcpt;
  }
  return 0;
}

std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->upload == nullptr) return 0;
  const long n = transfer->upload->Read(buffer, size * count);
  if (n < 0) {
    // Abandoned before its end: libcurl closes the connection without the final dot, so the
    // server discards what it got instead of delivering part of a message.
    transfer->readFailure = transfer->upload->Error();
    return CURL_READFUNC_ABORT;
  }
  transfer->uploaded += static_cast<std::uint64_t>(n);
  transfer->lastActivity = Clock::now();
  return static_cast<std::size_t>(n);
}

// Called about once a second while libcurl waits. Until the whole message has gone out, five
// minutes without any sign of life end the transfer; after it, while the server works on the
// message, libcurl's own, longer, reply timeout governs.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploadedNow) {
  auto* transfer = static_cast<Transfer*>(user);
  // Sent counts the bytes on the wire, the dots libcurl adds included, so it reaches the total
  // only when everything read has gone out.
  if (!transfer->dataSent && transfer->uploading && transfer->upload != nullptr &&
      transfer->uploaded == transfer->upload->Size() && uploadedNow >= uploadTotal) {
    transfer->dataSent = true;
    NoteMessageDataSent();  // from here a lost answer leaves the message's fate unknown
  }
  if (transfer->dataSent) return 0;
  // A stop request ends everything before the data is out (connecting, the greeting, the logon,
  // the envelope): the server has no message yet, and the file stays for the next run. Only the
  // wait for the reply to the end of the data is finished.
  if (platform::TerminationRequested()) {
    transfer->stopped = true;
    return 1;
  }
  if (Clock::now() - transfer->lastActivity < transfer->limits.reply) return 0;
  transfer->stalled = true;
  return 1;
}

bool Prepare(Transfer& transfer, const MailProfile& profile) {
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
  // The session's one connection; the connect phase includes the greeting, TLS and AUTH.
  curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
  if (profile.starttls) curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  // Certificate and host checks stay on (libcurl's defaults); a profile may name its CA bundle.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!profile.cafile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, profile.cafile.c_str());
  if (!profile.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, profile.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, transfer.password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // needed for the debug callback; it prints nothing
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);  // command replies are not wanted as output
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnRead);
  curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
  return true;
}

// Runs the transfer; on failure records the server's refusal or libcurl's own text and answers
// the code for it.
std::uint32_t Perform(Transfer& transfer, long& connections, std::uint32_t otherFailure) {
  CURL* curl = transfer.curl.get();
  const long reply = static_cast<long>(transfer.limits.reply.count());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, reply);  // the greeting is a reply too
  const CURLcode result = curl_easy_perform(curl);
  long opened = 0;
  if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK) connections += opened;
  if (result == CURLE_OK) return SUCCESS_SUCCESS;
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  std::string text = transfer.errorBuffer[0] ? transfer.errorBuffer : curl_easy_strerror(result);
  if (!transfer.readFailure.empty()) {
    platform::SetLastErrorText(transfer.readFailure);
    return MAPI_E_ATTACHMENT_NOT_FOUND;
  }
  if (transfer.stalled) text = "No answer from the server for " + std::to_string(reply) + " seconds";
  if (transfer.stopped) text = "Stopped by a termination signal before the message was sent";
  if (code >= 400 && !transfer.lastFailureReply.empty() && !transfer.stopped) text = transfer.lastFailureReply;
  platform::SetLastErrorText(WithoutPassword(text, transfer.password));
  if (transfer.stopped) return MAPI_USER_ABORT;
  if (result == CURLE_LOGIN_DENIED) return MAPI_E_LOGIN_FAILURE;
  return code >= 400 ? static_cast<std::uint32_t>(code) : otherFailure;
}

}  // namespace

SmtpSession::SmtpSession(const MailProfile& profile, const std::string& password)
    : transfer_(std::make_unique<SmtpTransfer>()) {
  transfer_->password = password;
  transfer_->from = "<" + profile.from + ">";
  if (!Prepare(*transfer_, profile)) transfer_->curl.reset();
}

// The handle's cleanup closes its cached connection, and libcurl says QUIT on the way.
SmtpSession::~SmtpSession() = default;

std::uint32_t SmtpSession::Command(const char* command, std::uint32_t otherFailure) {
  if (!transfer_->curl) {
    platform::SetLastErrorText("Cannot start libcurl");
    return MAPI_E_FAILURE;
  }
  transfer_->Begin();
  CURL* curl = transfer_->curl.get();
  // No recipient and no upload: libcurl sends just this command (after greeting, TLS and AUTH
  // when the connection is new).
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, command);
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(transfer_->limits.reply.count()));
  return Perform(*transfer_, connections_, otherFailure);
}

std::uint32_t SmtpSession::Logon() {
  const std::uint32_t code = Command("NOOP", MAPI_E_FAILURE);
  // Whatever the reply, a failed logon is a logon failure to the caller (or a stop).
  if (code == SUCCESS_SUCCESS || code == MAPI_E_LOGIN_FAILURE || code == MAPI_USER_ABORT) return code;
  return MAPI_E_FAILURE;
}

bool SmtpSession::Reset() { return Command("RSET", MAPI_E_FAILURE) == SUCCESS_SUCCESS; }

std::uint32_t SmtpSession::Send(const std::vector<std::string>& recipients, ComposedMessage& message) {
  std::vector<RefusedCopy> refused;
  return Send(recipients, {}, message, refused);
}

std::uint32_t SmtpSession::Send(const std::vector<std::string>& recipients, const std::vector<std::string>& copies,
                                ComposedMessage& message, std::vector<RefusedCopy>& refused) {
  refused.clear();
  std::vector<std::string> envelope = recipients;
  envelope.insert(envelope.end(), copies.begin(), copies.end());
  for (;;) {
    const std::uint32_t code = SendOnce(envelope, message);
    if (code == SUCCESS_SUCCESS) return code;
    // libcurl stops at the first refused RCPT, before DATA: nothing went out. A refused copy is
    // left out and the message sent again to the rest; any other refusal is the message's.
    const std::string address = transfer_->refusedRcpt;
    const auto firstCopy = envelope.begin() + static_cast<std::ptrdiff_t>(recipients.size());
    const bool isCopy = !address.empty() && std::find(envelope.begin(), firstCopy, address) == firstCopy &&
                        std::find(firstCopy, envelope.end(), address) != envelope.end();
    if (!isCopy || transfer_->stopped || envelope.size() == 1) return code;
    refused.push_back({address, platform::SystemErrorText()});
    envelope.erase(std::remove(firstCopy, envelope.end(), address), envelope.end());
  }
}

std::uint32_t SmtpSession::SendOnce(const std::vector<std::string>& recipients, ComposedMessage& message) {
  if (!transfer_->curl) {
    platform::SetLastErrorText("Cannot start libcurl");
    return MAPI_E_FAILURE;
  }
  // Addresses were checked before they got here; libcurl writes them into the dialogue as given.
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
  transfer_->Begin();
  transfer_->uploading = true;
  message.Rewind();  // a message refused at RCPT is sent again from its first byte
  transfer_->upload = &message;
  transfer_->uploaded = 0;
  CURL* curl = transfer_->curl.get();
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, transfer_->from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.Size()));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(transfer_->limits.endOfData.count()));
  const std::uint32_t code = Perform(*transfer_, connections_, MAPI_E_FAILURE);
  // The list goes with this function; the handle must not keep pointing at it.
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
  transfer_->uploading = false;
  transfer_->upload = nullptr;
  return code;
}

}  // namespace droprelay::submit
