// The classification of a failed SMTP exchange: the rules are listed in submission.h.
#include <string_view>

#include "submit/submission.h"

namespace droprelay {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The end of one to three digits at `pos`, or npos when there are none or more.
std::size_t DigitsEnd(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && IsDigit(text[end])) ++end;
  return end == pos || end - pos > 3 ? std::string_view::npos : end;
}

bool Names(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

bool IsMessageStep(SmtpStep step) {
  return step == SmtpStep::kMailFrom || step == SmtpStep::kRcptTo || step == SmtpStep::kData;
}

}  // namespace

std::string EnhancedStatusCode(std::string_view reply) {
  // "550 5.7.60 text" or "550-5.7.60 text": class "." subject "." detail (RFC 3463).
  if (reply.size() < 5 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2])) return {};
  if (reply[3] != ' ' && reply[3] != '-') return {};
  const std::string_view rest = reply.substr(4);
  if (rest.size() < 5 || (rest[0] != '2' && rest[0] != '4' && rest[0] != '5') || rest[1] != '.') return {};
  const std::size_t subject = DigitsEnd(rest, 2);
  if (subject == std::string_view::npos || subject >= rest.size() || rest[subject] != '.') return {};
  const std::size_t detail = DigitsEnd(rest, subject + 1);
  if (detail == std::string_view::npos) return {};
  if (detail < rest.size() && rest[detail] != ' ') return {};
  return std::string(rest.substr(0, detail));
}

Outcome ClassifyRefusal(const SmtpFailure& failure) {
  const int code = failure.code;
  const std::string_view enhanced = failure.enhanced;
  if (code < 400 || code > 599) {
    if (failure.dataSent) return Outcome::kUncertain;
    switch (failure.broken) {
      case SmtpBreak::kNoLogon: return Outcome::kLogonRefused;
      case SmtpBreak::kNoConnection: return Outcome::kNoConnection;
      case SmtpBreak::kNone:
      case SmtpBreak::kBroken: break;
    }
    const bool beforeEnvelope = failure.step == SmtpStep::kNone || failure.step == SmtpStep::kConnect ||
                                failure.step == SmtpStep::kAuth;
    return beforeEnvelope ? Outcome::kNoConnection : Outcome::kSendFailed;
  }
  if (Names(failure.text, "SubmissionQuotaExceeded")) return Outcome::kQuotaExceeded;
  if (code == 530 || code == 535 || code == 538 || enhanced == "5.7.57" || enhanced == "5.7.139") {
    return Outcome::kAccountRefused;
  }
  if (enhanced == "5.7.60" || (enhanced == "5.2.0" && Names(failure.text, "SendAsDenied"))) {
    return Outcome::kSenderRefused;
  }
  const bool temporary = code < 500;
  if (failure.step == SmtpStep::kAuth) return temporary ? Outcome::kLogonRefused : Outcome::kAccountRefused;
  if (temporary) {
    if ((code == 421 && IsMessageStep(failure.step)) || enhanced.substr(0, 4) == "4.7.") {
      return Outcome::kQuotaExceeded;
    }
    return Outcome::kServerBusy;
  }
  switch (failure.step) {
    case SmtpStep::kMailFrom: {
      const bool tooLarge = code == 552 || (!enhanced.empty() && enhanced.substr(1) == ".3.4");
      return tooLarge ? Outcome::kRefused : Outcome::kSenderRefused;
    }
    case SmtpStep::kRcptTo:
    case SmtpStep::kData:
      return Outcome::kRefused;
    case SmtpStep::kNone:
    case SmtpStep::kConnect:
      return Outcome::kAccountRefused;
    case SmtpStep::kAuth:
    case SmtpStep::kOther:
      break;
  }
  return Outcome::kSendFailed;
}

}  // namespace droprelay
