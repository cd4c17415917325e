// The recipients of one address field: display names and addresses, re-read lazily.
#include "mail/mail_message.h"

namespace droprelay {

TMailRecipients::TMailRecipients(TMailMessage& message, std::string fieldName)
    : FMessage(message), FFieldName(std::move(fieldName)) {}

void TMailRecipients::ParseHeader() {
  // Only the header's total length tells whether it changed: cheap, and what callers rely on.
  std::int64_t headerLength = 0;
  for (const std::string& line : FMessage.HeaderLines()) headerLength += static_cast<std::int64_t>(line.size()) + 2;
  if (headerLength == FParsedLength) return;

  const std::string value = TrimSpaces(FMessage.GetHeaderValue(FFieldName));
  FParsedLength = headerLength;
  FDisplayNames.clear();
  FAddresses.clear();

  std::string name;
  std::string address;
  bool inQuotes = false;
  bool beforeAngle = true;
  auto emit = [&]() {
    if (beforeAngle) {
      FDisplayNames.emplace_back();
      FAddresses.push_back(TrimSpaces(name));
    } else {
      FDisplayNames.push_back(DecodeEncodedWords(TrimSpaces(name)));
      FAddresses.push_back(TrimSpaces(address));
    }
  };
  for (const char c : value) {
    if (c == '"') {
      inQuotes = !inQuotes;
      continue;
    }
    const bool separator = c == ',' || c == ';';
    if (!inQuotes && separator) {
      emit();
      name.clear();
      address.clear();
      beforeAngle = true;
    }
    if (beforeAngle) {
      if (inQuotes || !(separator || c == '<' || c == '>')) name += c;
    } else if (!inQuotes && !(c == ' ' || separator || c == '<' || c == '>')) {
      address += c;
    }
    if (c == '<' && !inQuotes) beforeAngle = false;
  }
  if (!value.empty()) emit();
}

std::string TMailRecipients::GetAllAddresses() {
  ParseHeader();
  if (FAddresses.size() == 1 && FAddresses.front().empty()) return "\"\"";
  std::string out;
  for (std::size_t i = 0; i < FAddresses.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& entry = FAddresses[i];
    bool quote = false;
    for (const char c : entry) {
      const auto code = static_cast<unsigned char>(c);
      if ((code >= 1 && code <= 32) || c == '"' || c == ',') quote = true;
    }
    if (!quote) {
      out += entry;
      continue;
    }
    out += '"';
    for (const char c : entry) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

}  // namespace droprelay
