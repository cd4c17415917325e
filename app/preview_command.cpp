#include "app/preview_command.h"

#include "app/relay_config.h"
#include "app/relay_message.h"
#include "app/substitution_table.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "text/convert.h"
#include "text/json_text.h"

namespace droprelay {
namespace {

// Attachment names are the bytes the header decoded to: UTF-8 when they are UTF-8, otherwise
// taken as Windows-1251, like everything else the relay handles.
std::string NameForPerson(const std::string& name) { return IsValidUtf8(name) ? name : Cp1251ToUtf8(name); }

}  // namespace

int RunInspect(const platform::IniFile& file, const std::vector<std::string>& files, bool json, std::ostream& out,
               std::ostream& diagnostics) {
  const RelayConfig config(file);
  const SubstitutionTable table = LoadSubstitutionTable(file);
  const std::string noTempFolder;
  const std::function<void(const std::string&)> log = [&diagnostics](const std::string& line) {
    diagnostics << Cp1251ToUtf8(line) << '\n';
  };
  const RelayContext context{config, log, noTempFolder, table};

  int status = 0;
  for (const std::string& path : files) {
    std::optional<platform::FileStatus> info;
    {
      const platform::KeepLastError keep;  // the refusal below is the whole report
      info = platform::StatusOfPath(path, platform::Links::kFollow);
    }
    if (!info || !info->IsRegular()) {
      diagnostics << "droprelay: " << path << ": not a readable file\n";
      status = 1;
      continue;
    }
    const RelayPreview preview = PreviewMessageFile(context, path);
    const std::string recipient = Cp1251ToUtf8(preview.recipient);
    const std::string subject = Cp1251ToUtf8(preview.subject);
    const std::string body = Cp1251ToUtf8(preview.body);
    if (json) {
      out << "{\"file\":" << JsonString(path) << ",\"recipient\":" << JsonString(recipient)
          << ",\"subject\":" << JsonString(subject) << ",\"body\":" << JsonString(body) << ",\"attachment\":";
      if (preview.attachment) {
        out << "{\"name\":" << JsonString(NameForPerson(preview.attachment->name))
            << ",\"size\":" << preview.attachment->size << "}";
      } else {
        out << "null";
      }
      out << "}\n";
    } else {
      out << "File:       " << path << "\n"
          << "Recipient:  " << recipient << "\n"
          << "Subject:    " << subject << "\n"
          << "Attachment: ";
      if (preview.attachment) {
        out << NameForPerson(preview.attachment->name) << " (" << preview.attachment->size << " bytes)\n";
      } else {
        out << "none\n";
      }
      std::string shown;
      for (const char c : body) {
        if (c != '\r') shown += c;
      }
      out << "Body:\n" << shown << (shown.empty() || shown.back() == '\n' ? "" : "\n") << "\n";
    }
  }
  return status;
}

}  // namespace droprelay
