// Gathering mailinspect's report: the relay's steps on one message, and everything shown converted
// to UTF-8.
#include "message_report.h"

#include <exception>
#include <string_view>
#include <utility>

#include "mail/mail_message.h"
#include "text_for_people.h"
#include "text/json_text.h"

namespace droprelay::tools {
namespace {

PartView ViewOf(const TMailPart& part, const std::string& label, const std::string& path) {
  PartView view;
  view.label = label;
  view.path = path;
  view.type = Printable(part.GetMediaType());
  view.boundary = Printable(part.GetPartBoundary());
  for (const std::string& line : part.HeaderLines()) view.headers.push_back(Printable(line));
  view.storedSize = part.RawBody().Size();
  view.decodedSize = part.DecodedBody().Size();
  view.embedded = part.Embedded();
  int index = 0;
  for (const TMailPart* sub : part.SubParts()) {
    const std::string subLabel = "[" + std::to_string(index++) + "]";
    view.parts.push_back(ViewOf(*sub, subLabel, path + subLabel));
  }
  return view;
}

// Informational notes the library does not keep as warnings: names read from their RFC 2231 form.
void NoteExtendedNames(const TMailPart& part, const std::string& path, std::vector<Report::Warning>& out) {
  for (const auto& [field, param] : {std::pair<const char*, const char*>{"Content-Type", "name"},
                                     std::pair<const char*, const char*>{"Content-Disposition", "filename"}}) {
    bool extended = false;
    const std::string value = part.GetHeaderParamDecoded(field, param, &extended);
    if (extended) {
      out.push_back({path, std::string(param) + " read from its RFC 2231 form: " + Printable(value), "rfc2231-name",
                     part.StoredOffset()});
    }
  }
  int index = 0;
  for (const TMailPart* sub : part.SubParts()) {
    NoteExtendedNames(*sub, path + "[" + std::to_string(index++) + "]", out);
  }
}

// The charset a name's bytes are in: that of its encoded words or of its RFC 2231 form, else the
// part's own.
std::string NameCharset(const TMailPart& part) {
  for (const auto& [field, param] : {std::pair<const char*, const char*>{"Content-Type", "name"},
                                     std::pair<const char*, const char*>{"Content-Disposition", "filename"}}) {
    const std::string plain = part.GetHeaderParam(field, param);
    if (const std::size_t at = plain.find("=?"); at != std::string::npos) {
      const std::size_t q = plain.find('?', at + 2);
      if (q != std::string::npos) return plain.substr(at + 2, q - at - 2);
    }
    for (const char* suffix : {"*", "*0*"}) {
      const std::string extended = part.GetHeaderParam(field, std::string(param) + suffix);
      if (!extended.empty()) return ExtendedValueCharset(extended);
    }
  }
  return part.GetHeaderParam("Content-Type", "charset");
}

std::string NameToUtf8(const TMailPart& part) {
  const std::string name = part.GetAttachmentFileName();
  std::string charset = NameCharset(part);
  if (charset.empty()) charset = "windows-1251";  // the relay's code page for undeclared 8-bit text
  return HeaderTextToUtf8(name, charset);
}

std::string JoinLines(const TStringList& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += '\n';
  }
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

Report InspectFile(const std::string& fileName) {
  Report report;
  report.file = Printable(fileName);
  TMailMessage message;
  try {
    message.LoadFromFile(fileName);
    report.parsed = ViewOf(message, "message", "message");
    std::vector<Report::Warning> notes;
    NoteExtendedNames(message, "message", notes);
    message.LocateBodies();
    // Read before restructuring, which may fold a body into the message and drop its parameters.
    const std::string messageCharset = message.GetHeaderParam("Content-Type", "charset");
    const auto charsetOf = [&](const TMailPart* part) {
      std::string charset = part != nullptr ? part->GetHeaderParam("Content-Type", "charset") : std::string();
      return charset.empty() ? messageCharset : charset;
    };
    const std::string plainCharset = charsetOf(message.PlainBodyPart());
    const std::string htmlCharset = charsetOf(message.HtmlBodyPart());
    const std::string subjectCharset = plainCharset.empty() ? std::string("windows-1251") : plainCharset;
    message.RestructureParts(rmIfPending);
    message.ComposeBody();
    for (TMailPart* part : message.AttachmentParts()) {
      part->DecodeBody();
      report.attachments.push_back({NameToUtf8(*part), Printable(part->GetMediaType()),
                                    Printable(part->PartPath().empty() ? "message" : part->PartPath()),
                                    part->DecodedBody().Size(), part->Embedded()});
    }
    report.restructured = ViewOf(message, "message", "message");
    for (const TMailWarning& warning : message.Warnings()) {
      report.warnings.push_back({Printable(warning.PartPath), Printable(warning.Text),
                                 std::string(WarningCodeToken(warning.Code)), warning.Offset});
    }
    report.warnings.insert(report.warnings.end(), notes.begin(), notes.end());
    report.plainText = CharsetToUtf8(JoinLines(message.PlainLines()), plainCharset, true);
    report.htmlText = CharsetToUtf8(JoinLines(message.HtmlLines()), htmlCharset, true);
    report.plainLines = SplitLines(report.plainText);
    report.htmlLines = SplitLines(report.htmlText);
    report.subject = HeaderTextToUtf8(message.GetHeaderValue("Subject"), subjectCharset);
    report.to = HeaderTextToUtf8(message.ToRecipients().GetAllAddresses(), subjectCharset);
    report.composedSize = message.RawBody().Size();
  } catch (const std::exception& error) {
    report.error = Printable(error.what());
  }
  return report;
}

namespace {

void AppendJsonString(std::string& out, std::string_view text) { out += JsonString(text); }

void AppendPart(std::string& out, const PartView& part) {
  out += "{\"path\":";
  AppendJsonString(out, part.path);
  out += ",\"type\":";
  AppendJsonString(out, part.type);
  if (!part.boundary.empty()) {
    out += ",\"boundary\":";
    AppendJsonString(out, part.boundary);
  }
  out += ",\"stored_size\":" + std::to_string(part.storedSize);
  out += ",\"embedded\":";
  out += part.embedded ? "true" : "false";
  out += ",\"headers\":[";
  for (std::size_t i = 0; i < part.headers.size(); ++i) {
    if (i > 0) out += ',';
    AppendJsonString(out, part.headers[i]);
  }
  out += "],\"parts\":[";
  for (std::size_t i = 0; i < part.parts.size(); ++i) {
    if (i > 0) out += ',';
    AppendPart(out, part.parts[i]);
  }
  out += "]}";
}

}  // namespace

std::string ReportJson(const Report& report) {
  std::string out = "{\"file\":";
  AppendJsonString(out, report.file);
  if (!report.error.empty()) {
    out += ",\"error\":";
    AppendJsonString(out, report.error);
    out += '}';
    return out;
  }
  out += ",\"subject\":";
  AppendJsonString(out, report.subject);
  out += ",\"to\":";
  AppendJsonString(out, report.to);
  out += ",\"tree\":";
  AppendPart(out, report.parsed);
  out += ",\"restructured\":";
  AppendPart(out, report.restructured);
  out += ",\"warnings\":[";
  for (std::size_t i = 0; i < report.warnings.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"part\":";
    AppendJsonString(out, report.warnings[i].part);
    out += ",\"text\":";
    AppendJsonString(out, report.warnings[i].text);
    out += ",\"code\":";
    AppendJsonString(out, report.warnings[i].code);
    out += ",\"offset\":";
    out += report.warnings[i].offset < 0 ? std::string("null") : std::to_string(report.warnings[i].offset);
    out += '}';
  }
  out += "],\"plain\":";
  AppendJsonString(out, report.plainText);
  out += ",\"html\":";
  AppendJsonString(out, report.htmlText);
  out += ",\"attachments\":[";
  for (std::size_t i = 0; i < report.attachments.size(); ++i) {
    const auto& a = report.attachments[i];
    if (i > 0) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, a.name);
    out += ",\"type\":";
    AppendJsonString(out, a.type);
    out += ",\"part\":";
    AppendJsonString(out, a.part);
    out += ",\"size\":" + std::to_string(a.size);
    out += ",\"embedded\":";
    out += a.embedded ? "true" : "false";
    out += '}';
  }
  out += "],\"composed_size\":" + std::to_string(report.composedSize) + "}";
  return out;
}

}  // namespace droprelay::tools
