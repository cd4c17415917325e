// SMTP delivery through libcurl: one easy handle per session, whose connection cache keeps the
// logon's connection open for the messages that follow. A connection that broke during a message
// is dropped without a word and the handle made anew, so nothing goes into it again.
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include "submit/address.h"
#include "submit/delivery.h"
#include "submit/submission.h"
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

constexpr const char* kStopped = "Stopped by a termination signal before the message was sent";
constexpr const char* kNoLibrary = "Cannot start libcurl";

// The step a command line we send begins, if it begins one. Lines that begin none belong to the
// step before them.
std::optional<SmtpStep> StepOfCommand(std::string_view line) {
  const auto starts = [&](std::string_view verb) { return line.substr(0, verb.size()) == verb; };
  if (starts("EHLO") || starts("HELO") || starts("STARTTLS")) return SmtpStep::kConnect;
  if (starts("AUTH")) return SmtpStep::kAuth;
  if (starts("MAIL FROM:")) return SmtpStep::kMailFrom;
  if (starts("RCPT TO:")) return SmtpStep::kRcptTo;
  if (starts("DATA")) return SmtpStep::kData;
  if (starts("NOOP") || starts("RSET") || starts("QUIT") || starts("VRFY") || starts("HELP")) return SmtpStep::kOther;
  return std::nullopt;
}

}  // namespace

void SetSmtpTimeouts(const SmtpTimeouts& value) { timeouts = value; }

// The handle and everything its callbacks reach; lives as long as the session.
struct SmtpTransfer {
  // libcurl calls back into this object while the handle closes its connection.
  ~SmtpTransfer() { curl.reset(); }

  std::unique_ptr<CURL, EasyDeleter> curl;
  MailProfile profile;  // to make the handle anew after a broken connection
  std::string password;
  std::string from;
  // The sockets libcurl has open for this handle, so a broken connection can be cut before
  // libcurl would send QUIT into it or wait on it.
  std::vector<curl_socket_t> sockets;
  bool ending = false;  // QUIT goes to the connection there is; none is opened for it
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // The step of the last command sent (the greeting is awaited in kConnect), and the server's last
  // reply line with a code of 400 or above, with the step it answered.
  SmtpStep step = SmtpStep::kConnect;
  bool inLogon = false;   // AUTH went out and the server still asks for more (334)
  bool quitting = false;  // QUIT went out: the connection is ending and its replies decide nothing
  Clock::time_point quitSent;
  std::string failureReply;
  SmtpStep failureStep = SmtpStep::kNone;
  std::string dataReply;  // the reply to the end of the data, when it accepted the message
  // The address of the RCPT command last sent, and the one the server refused (its reply was 400
  // or above), so a refused copy recipient can be told from a refused message.
  std::string lastRcpt;
  std::string refusedRcpt;
  bool uploading = false;
  ComposedMessage* upload = nullptr;
  std::uint64_t uploaded = 0;  // bytes handed to libcurl
  // libcurl doubles a dot that begins a line, so more bytes go out than are read: the dots added
  // so far, and how much of a CR LF the bytes read so far end with.
  std::uint64_t stuffed = 0;
  int lineEnd = 0;
  std::string readFailure;     // why the message could not be read to its end
  // Why one of our callbacks failed (an exception's text), kept without allocating.
  char callbackFailure[256] = {};
  // libcurl's own reply timeout is one number per transfer; the shorter limit for everything
  // before the end of the data is kept here, from the last sign of life of either side.
  SmtpTimeouts limits;
  Clock::time_point lastActivity;
  // Every byte of the message went out; the terminating dot follows in a write of its own, so
  // the data counts as sent only once that write did not fail, or the server answered after it.
  bool bodySent = false;
  bool answeredAfterBody = false;
  bool stalled = false;
  bool stopped = false;  // ended by a stop request before the message data had gone out

  void Begin() {
    errorBuffer[0] = '\0';
    step = SmtpStep::kConnect;
    inLogon = false;
    quitting = false;
    failureReply.clear();
    failureStep = SmtpStep::kNone;
    dataReply.clear();
    lastRcpt.clear();
    refusedRcpt.clear();
    limits = timeouts;
    lastActivity = Clock::now();
    uploading = false;
    uploaded = 0;
    stuffed = 0;
    lineEnd = 0;
    readFailure.clear();
    callbackFailure[0] = '\0';
    bodySent = false;
    answeredAfterBody = false;
    stalled = false;
    stopped = false;
  }

  // Ends every connection of the handle at once: nothing more can be sent into it or read from
  // it, so libcurl's own QUIT on closing fails at once instead of waiting for an answer. The
  // sockets stay libcurl's to close.
  void Cut() {
    for (const curl_socket_t socket : sockets) ::shutdown(socket, SHUT_RDWR);
  }
};

namespace {

using Transfer = SmtpTransfer;

void NoteDebug(Transfer& transfer, curl_infotype type, std::string_view text) {
  // Of what we send (AUTH included) only the command's step and a RCPT's address are kept.
  if (type == CURLINFO_HEADER_OUT) {
    // QUIT goes out as a connection closes, after the transfer's fate was settled: the step stays.
    if (text.substr(0, 4) == "QUIT") {
      transfer.quitting = true;
      transfer.quitSent = Clock::now();
      return;
    }
    // The logon's continuation lines (base64 of anything) are no commands, whatever they spell.
    if (transfer.inLogon) return;
    const std::optional<SmtpStep> step = StepOfCommand(text);
    if (!step) return;
    transfer.step = *step;
    transfer.inLogon = *step == SmtpStep::kAuth;
    static constexpr std::string_view kRcpt = "RCPT TO:<";
    if (text.substr(0, kRcpt.size()) == kRcpt) {
      text.remove_prefix(kRcpt.size());
      transfer.lastRcpt = std::string(text.substr(0, text.find('>')));
    }
    return;
  }
  if (type != CURLINFO_HEADER_IN || transfer.quitting) return;
  if (transfer.bodySent) transfer.answeredAfterBody = true;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (text.size() < 3) return;
  if (text.substr(0, 3) != "334") transfer.inLogon = false;  // 334 asks for the next logon line
  if (text[0] == '4' || text[0] == '5') {
    transfer.failureReply = std::string(text);
    transfer.failureStep = transfer.step;
    if (transfer.step == SmtpStep::kRcptTo) transfer.refusedRcpt = transfer.lastRcpt;
  } else if (text[0] == '2' && transfer.step == SmtpStep::kData) {
    transfer.dataReply = EscapeForText(text);
  }
}

// libcurl is C: nothing may be thrown through its callbacks. What one of ours could not do
// (memory) is kept as the transfer's failure and ends it; the relay's outcome names the cause.
void KeepCallbackFailure(Transfer& transfer, const char* what) noexcept {
  if (transfer.callbackFailure[0] != '\0') return;
  std::strncpy(transfer.callbackFailure, what, sizeof transfer.callbackFailure - 1);
}

int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (type == CURLINFO_TEXT) return 0;
  transfer->lastActivity = Clock::now();  // TLS records count as signs of life too
  if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
  try {
    NoteDebug(*transfer, type, std::string_view(data, size));
  } catch (const std::exception& error) {
    KeepCallbackFailure(*transfer, error.what());
  } catch (...) {
    KeepCallbackFailure(*transfer, "Unknown exception while reading the server's reply");
  }
  return 0;
}

std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->upload == nullptr) return 0;
  long n = -1;
  try {
    n = transfer->upload->Read(buffer, size * count);
    if (n < 0) transfer->readFailure = transfer->upload->Error();
  } catch (const std::exception& error) {
    KeepCallbackFailure(*transfer, error.what());
  } catch (...) {
    KeepCallbackFailure(*transfer, "Unknown exception while reading the message");
  }
  if (n < 0 || transfer->callbackFailure[0] != '\0') {
    // Abandoned before its end: the connection is cut without the final dot, so the server
    // discards what it got instead of delivering part of a message.
    transfer->Cut();
    return CURL_READFUNC_ABORT;
  }
  for (long i = 0; i < n; ++i) {
    const char c = buffer[i];
    if (c == '.' && transfer->lineEnd == 2) ++transfer->stuffed;
    transfer->lineEnd = c == '\r' ? 1 : c == '\n' && transfer->lineEnd == 1 ? 2 : 0;
  }
  transfer->uploaded += static_cast<std::uint64_t>(n);
  transfer->lastActivity = Clock::now();
  return static_cast<std::size_t>(n);
}

// Called about once a second while libcurl waits. Until the whole message has gone out, five
// minutes without any sign of life end the transfer; after it, while the server works on the
// message, libcurl's own, longer, reply timeout governs. A transfer ended here is cut first, so
// libcurl cannot send QUIT into the half-finished dialogue and wait for its answer.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadedNow) {
  auto* transfer = static_cast<Transfer*>(user);
  const auto abandon = [transfer] {
    transfer->Cut();
    return 1;
  };
  // The answer to QUIT decides nothing: a stop does not wait for it at all, nor anybody long.
  if (transfer->quitting) {
    const bool waited = Clock::now() - transfer->quitSent >= transfer->limits.quit;
    return platform::TerminationRequested() || waited ? abandon() : 0;
  }
  // Sent counts the bytes on the wire, the dots libcurl adds included, so it reaches their total
  // only when everything read has gone out.
  if (!transfer->bodySent && transfer->uploading && transfer->upload != nullptr &&
      transfer->uploaded == transfer->upload->Size() &&
      static_cast<std::uint64_t>(uploadedNow) >= transfer->uploaded + transfer->stuffed) {
    transfer->bodySent = true;
  }
  // A failure of our own callbacks ends the transfer, unless the server already has the message.
  if (transfer->callbackFailure[0] != '\0' && !transfer->bodySent) return abandon();
  if (transfer->bodySent) return 0;
  // A stop request ends everything before the data is out (connecting, the greeting, the logon,
  // the envelope): the server has no message yet, and the file stays for the next run. Only the
  // wait for the reply to the end of the data is finished.
  if (platform::TerminationRequested()) {
    transfer->stopped = true;
    return abandon();
  }
  if (Clock::now() - transfer->lastActivity < transfer->limits.reply) return 0;
  transfer->stalled = true;
  return abandon();
}

// Every socket libcurl opens for the handle is noted; while the session ends, none is allowed.
int OnSocketOpened(void* user, curl_socket_t socket, curlsocktype) {
  auto* transfer = static_cast<Transfer*>(user);
  if (transfer->ending) return CURL_SOCKOPT_ERROR;
  try {
    transfer->sockets.push_back(socket);
  } catch (const std::exception& error) {
    KeepCallbackFailure(*transfer, error.what());
    return CURL_SOCKOPT_ERROR;
  }
  return CURL_SOCKOPT_OK;
}

int OnSocketClosing(void* user, curl_socket_t socket) {
  auto* transfer = static_cast<Transfer*>(user);
  std::vector<curl_socket_t>& open = transfer->sockets;
  open.erase(std::remove(open.begin(), open.end(), socket), open.end());
  return ::close(socket);
}

bool Prepare(Transfer& transfer) {
  const MailProfile& profile = transfer.profile;
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  transfer.curl.reset(curl_easy_init());
  if (!transfer.curl) return false;
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
  curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, OnSocketOpened);
  curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnSocketClosing);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &transfer);
  return true;
}

// After a transport failure the connection is in no known state (a half-sent message, a command
// without its answer): it is cut, and the handle made anew, so the next transfer opens a new
// connection and libcurl says nothing more into the old one.
void Drop(Transfer& transfer) {
  transfer.Cut();
  transfer.curl.reset();
  if (!Prepare(transfer)) transfer.curl.reset();
}

// Failures that mean the server could not be reached or trusted, or did not answer in time.
bool IsNoConnection(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_USE_SSL_FAILED:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

// What became of a failed transfer: the server's refusal with its code, enhanced code and step,
// or libcurl's own text, classified by ClassifyRefusal.
SubmissionResult Judge(Transfer& transfer, CURLcode code) {
  CURL* curl = transfer.curl.get();
  const long reply = static_cast<long>(transfer.limits.reply.count());
  SubmissionResult result;
  // A write that failed after the whole message was the terminating dot's: it never left.
  result.dataSent = transfer.bodySent && (code != CURLE_SEND_ERROR || transfer.answeredAfterBody);
  result.step = transfer.step;
  if (transfer.callbackFailure[0] != '\0') {
    result.outcome = result.dataSent ? Outcome::kUncertain : Outcome::kInternalError;
    result.reply = transfer.callbackFailure;
    return result;
  }
  if (!transfer.readFailure.empty()) {
    result.outcome = Outcome::kAttachmentMissing;
    result.reply = transfer.readFailure;
    return result;
  }
  if (transfer.stopped) {
    result.outcome = Outcome::kSendFailed;
    result.reply = kStopped;
    result.stopped = true;
    return result;
  }
  long replyCode = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &replyCode);
  SmtpFailure failure;
  failure.step = transfer.step;
  failure.dataSent = result.dataSent;
  // The server's refusal, when it is what ended the transfer.
  const std::string& refusal = transfer.failureReply;
  if (replyCode >= 400 && refusal.compare(0, 3, std::to_string(replyCode)) == 0) {
    result.replyCode = static_cast<int>(replyCode);
    result.enhancedCode = EnhancedStatusCode(refusal);
    result.step = transfer.failureStep;
    result.reply = WithoutPassword(EscapeForText(refusal), transfer.password);
    failure.step = result.step;
    failure.code = result.replyCode;
    failure.enhanced = result.enhancedCode;
    failure.text = refusal;
  } else {
    std::string text = transfer.errorBuffer[0] ? transfer.errorBuffer : curl_easy_strerror(code);
    if (transfer.stalled) text = "No answer from the server for " + std::to_string(reply) + " seconds";
    result.reply = WithoutPassword(text, transfer.password);
    failure.broken = transfer.stalled || IsNoConnection(code) ? SmtpBreak::kNoConnection
                     : code == CURLE_LOGIN_DENIED             ? SmtpBreak::kNoLogon
                                                              : SmtpBreak::kBroken;
  }
  result.outcome = ClassifyRefusal(failure);
  return result;
}

// Runs the transfer and answers what became of it. A failure that no answer of the server
// explains leaves the connection dropped.
SubmissionResult Perform(Transfer& transfer, long& connections) {
  CURL* curl = transfer.curl.get();
  const long reply = static_cast<long>(transfer.limits.reply.count());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, reply);  // the greeting is a reply too
  const CURLcode code = curl_easy_perform(curl);
  long opened = 0;
  if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK) connections += opened;
  if (code == CURLE_OK) {
    SubmissionResult result;
    result.dataReply = WithoutPassword(transfer.dataReply, transfer.password);
    return result;
  }
  SubmissionResult result = Judge(transfer, code);
  if (result.replyCode == 0) Drop(transfer);
  return result;
}

}  // namespace

SmtpSession::SmtpSession(const MailProfile& profile, const std::string& password)
    : transfer_(std::make_unique<SmtpTransfer>()) {
  transfer_->profile = profile;
  transfer_->password = password;
  transfer_->from = "<" + profile.from + ">";
  if (!Prepare(*transfer_)) transfer_->curl.reset();
}

SmtpSession::~SmtpSession() { End(); }

void SmtpSession::End() {
  if (!transfer_->curl) return;
  // QUIT only into a connection that is there, and not once a stop was asked: the socket is
  // closed instead. Its answer is awaited for timeouts.quit at most.
  if (!transfer_->sockets.empty() && !platform::TerminationRequested()) {
    transfer_->Begin();
    transfer_->ending = true;
    CURL* curl = transfer_->curl.get();
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "QUIT");
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(transfer_->limits.quit.count()));
    curl_easy_perform(curl);  // whatever the answer, the connection ends here
  }
  // The handle's own QUIT on closing meets a cut socket and fails at once.
  transfer_->Cut();
  transfer_->curl.reset();
}

SubmissionResult SmtpSession::Command(const char* command) {
  if (!transfer_->curl) return FailedSubmission(Outcome::kSendFailed, kNoLibrary);
  transfer_->Begin();
  CURL* curl = transfer_->curl.get();
  // No recipient and no upload: libcurl sends just this command (after greeting, TLS and AUTH
  // when the connection is new).
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, command);
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(transfer_->limits.reply.count()));
  return Perform(*transfer_, connections_);
}

SubmissionResult SmtpSession::Logon() { return Command("NOOP"); }

SubmissionResult SmtpSession::Reset() { return Command("RSET"); }

SubmissionResult SmtpSession::Send(const std::vector<std::string>& recipients, ComposedMessage& message) {
  return Send(recipients, {}, message);
}

SubmissionResult SmtpSession::Send(const std::vector<std::string>& recipients, const std::vector<std::string>& copies,
                                   ComposedMessage& message) {
  std::vector<std::string> envelope = recipients;
  envelope.insert(envelope.end(), copies.begin(), copies.end());
  std::vector<RefusedCopyRecipient> refused;
  for (;;) {
    SubmissionResult result = SendOnce(envelope, message);
    if (result.Delivered()) {
      result.refusedCopies = std::move(refused);
      return result;
    }
    // libcurl stops at the first refused RCPT, before DATA: nothing went out. A copy refused for
    // itself is left out and the message sent again to the rest; any other refusal is the
    // message's, and one that speaks of the sender, the account or a quota is the run's.
    const std::string address = transfer_->refusedRcpt;
    const auto firstCopy = envelope.begin() + static_cast<std::ptrdiff_t>(recipients.size());
    const bool isCopy = !address.empty() && std::find(envelope.begin(), firstCopy, address) == firstCopy &&
                        std::find(firstCopy, envelope.end(), address) != envelope.end();
    const bool ownRefusal = result.step == SmtpStep::kRcptTo &&
                            (result.outcome == Outcome::kRefused || result.outcome == Outcome::kServerBusy);
    if (!isCopy || !ownRefusal || envelope.size() == 1) return result;
    refused.push_back({address, result.reply});
    envelope.erase(std::remove(firstCopy, envelope.end(), address), envelope.end());
  }
}

SubmissionResult SmtpSession::SendOnce(const std::vector<std::string>& recipients, ComposedMessage& message) {
  if (!transfer_->curl) return FailedSubmission(Outcome::kSendFailed, kNoLibrary);
  // Addresses were checked before they got here; libcurl writes them into the dialogue as given.
  std::unique_ptr<curl_slist, SlistDeleter> rcpt;
  for (const std::string& address : recipients) {
    const std::string bracketed = "<" + address + ">";
    curl_slist* extended = curl_slist_append(rcpt.get(), bracketed.c_str());
    if (!extended) throw std::bad_alloc();
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
  // The list and the message go with this function; the handle must not keep pointing at them,
  // however it is left.
  struct Release {
    SmtpTransfer& transfer;
    ~Release() {
      curl_easy_setopt(transfer.curl.get(), CURLOPT_MAIL_RCPT, static_cast<curl_slist*>(nullptr));
      transfer.uploading = false;
      transfer.upload = nullptr;
    }
  } release{*transfer_};
  return Perform(*transfer_, connections_);
}

}  // namespace droprelay::submit
