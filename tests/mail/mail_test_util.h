// Helpers shared by the mail library tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "mail/mail_message.h"

namespace droprelay::testing {

// The lines, each followed by CR LF, as stored messages are written.
inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (std::string_view line : lines) {
    out.append(line);
    out.append("\r\n");
  }
  return out;
}

// The whole message as it would be written out: header lines, empty line, stored body.
inline std::string MessageText(const TMailPart& part) {
  std::string out;
  for (const std::string& line : part.HeaderLines()) out += line + "\r\n";
  out += "\r\n";
  out += part.RawBody().View();
  return out;
}

// Runs the relay's sequence of steps on a parsed message.
inline void Normalise(TMailMessage& message) {
  message.LocateBodies();
  message.RestructureParts(rmIfPending);
  message.ComposeBody();
}

}  // namespace droprelay::testing
