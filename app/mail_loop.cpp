#include "app/mail_loop.h"

#include <cstdint>
#include <ctime>
#include <vector>

#include "mail/compose.h"
#include "platform/file.h"
#include "submit/mapi.h"
#include "text/ascii.h"
#include "text/lines.h"

namespace droprelay {
namespace {

// Longest folder name written out; a Received line must stay well inside 998 characters.
constexpr std::size_t kMaxFolderText = 400;

// Bytes a header comment can carry as they are: printable ASCII but the comment's own specials,
// the blank (it would be folded away), ";" (simple readers take the date from after the last one)
// and "%" (the escape itself).
std::string CommentText(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || ch == '(' || ch == ')' || ch == '\\' || ch == ';' || ch == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

// FNV-1a: the same folder gives the same name in every run and every build.
std::string Digest(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "#";
  for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(hash >> shift) & 15];
  return out;
}

// One header field, unfolded, with every run of blanks and line breaks made one blank.
struct Field {
  std::string name;
  std::string value;
};

void AppendCollapsed(std::string& out, std::string_view text) {
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
}

std::vector<Field> HeaderFields(std::string_view raw) {
  std::vector<Field> fields;
  bool inField = false;
  while (!raw.empty()) {
    const std::string_view line = NextLine(raw);
    if (line.empty()) break;  // the end of the header
    if ((line.front() == ' ' || line.front() == '\t') && inField) {
      fields.back().value += ' ';
      AppendCollapsed(fields.back().value, line);
      continue;
    }
    const std::size_t colon = line.find(':');
    inField = colon != std::string_view::npos;
    if (!inField) continue;  // not a field: ignored, as a reader of damaged mail does
    Field field;
    field.name = AsciiLowerCase(TrimBytes(line.substr(0, colon), " \t"));
    AppendCollapsed(field.value, line.substr(colon + 1));
    fields.push_back(std::move(field));
  }
  return fields;
}

}  // namespace

std::string RelayTraceId(std::string_view hostName, std::string_view dropFolder) {
  std::string folder = CommentText(dropFolder);
  if (folder.size() > kMaxFolderText) folder = Digest(dropFolder);
  const std::string host = hostName.empty() ? std::string("localhost") : AsciiLowerCase(hostName);
  return "by " + CommentText(host) + " (droprelay " + folder + ")";
}

std::string RelayTraceField(std::string_view traceId, std::string_view date) {
  return "Received: " + std::string(traceId) + ";\r\n\t" + std::string(date);
}

MailLoop FindMailLoop(std::string_view rawMessage, std::string_view traceId) {
  std::size_t received = 0;
  for (const Field& field : HeaderFields(rawMessage)) {
    if (field.name != "received") continue;
    if (field.value.find(traceId) != std::string::npos) return MailLoop::kOwnTrace;
    ++received;
  }
  return received > kMaxTraceFields ? MailLoop::kTooManyHops : MailLoop::kNone;
}

std::vector<std::string> ReceivedFields(std::string_view rawMessage) {
  std::vector<std::string> fields;
  for (const Field& field : HeaderFields(rawMessage)) {
    if (field.name != "received") continue;
    std::string line = "Received: " + std::string(TrimBytes(field.value, " "));
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    fields.push_back(std::move(line));
  }
  return fields;
}

MailLoop CheckMailLoop(const RelayConfig& config, std::string_view rawMessage) {
  const std::string id = RelayTraceId(ThisHostName(), WithTrailingDelimiter(config.Smtp_DropMail_path()));
  std::vector<std::string> trace = {RelayTraceField(id, Rfc5322Date(std::time(nullptr)))};
  for (std::string& field : ReceivedFields(rawMessage)) trace.push_back(std::move(field));
  submit::SetTraceFields(std::move(trace));
  return FindMailLoop(rawMessage, id);
}

std::string ThisHostName() {
  std::string name;
  const platform::FileDescriptor file = platform::OpenFile("/proc/sys/kernel/hostname", {});
  if (file) platform::ReadAll(file, name);
  name = std::string(TrimControls(name));
  return name.empty() ? "localhost" : name;
}

}  // namespace droprelay
