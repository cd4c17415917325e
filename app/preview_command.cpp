#include "app/preview_command.h"

#include <string_view>

#include "app/drop_file.h"
#include "app/relay_config.h"
#include "app/relay_message.h"
#include "app/substitution_table.h"
#include "text/convert.h"
#include "text/json_text.h"
#include "text/lines.h"
#include "text/log_text.h"

namespace droprelay {
namespace {

// Everything printed passes the log's filter: a subject, a name or a path may hold ESC sequences
// or line breaks, which must neither act on the terminal nor forge a line of the output.

// Attachment names are the bytes the header decoded to: UTF-8 when they are UTF-8, otherwise
// taken as Windows-1251, like everything else the relay handles.
std::string NameForPerson(const std::string& name) {
  return SafeLogText(IsValidUtf8(name) ? name : Cp1251ToUtf8(name));
}

// The body line by line, each line filtered on its own; `lineEnd` follows every line that had a
// line break (a CR left inside a line is a control character like any other).
std::string BodyForPerson(std::string_view utf8, std::string_view lineEnd) {
  std::string shown;
  shown.reserve(utf8.size());
  for (std::string_view rest = utf8; !rest.empty();) {
    const bool broken = rest.find('\n') != std::string_view::npos;
    shown += SafeLogText(NextLine(rest));
    if (broken) shown += lineEnd;
  }
  return shown;
}

// Why a file was not read, for a person; the decision is the outcome's, the detail the system's.
std::string RefusalText(const DropFileRead& read) {
  std::string_view why;
  switch (read.problem) {
    case Outcome::kFileLocked:
      why = "locked by another process, or gone";
      break;
    case Outcome::kNotRegular:
      why = "not a regular file";
      break;
    case Outcome::kTooLarge:
      why = "larger than max_message_size";
      break;
    case Outcome::kNotOwnFile:
      why = "not a file of its own";
      break;
    default:
      why = "cannot be read";
      break;
  }
  return std::string(why) + ": " + read.error;
}

}  // namespace

int RunInspect(const platform::IniFile& file, const std::vector<std::string>& files, bool json, std::ostream& out,
               std::ostream& diagnostics) {
  const RelayConfig config(file);
  const SubstitutionTable table = LoadSubstitutionTable(file);
  const std::string noTempFolder;
  const std::function<void(const std::string&)> log = [&diagnostics](const std::string& line) {
    diagnostics << SafeLogText(Cp1251ToUtf8(line)) << '\n';
  };
  // The relay's own rules for a drop file (no link, no FIFO, not locked, not larger than
  // max_message_size), for the check below and for the preview's own read alike.
  DropFileRules rules;
  rules.maxSize = static_cast<std::uint64_t>(config.max_message_size());
  const RelayContext context{config, log, noTempFolder, table, nullptr, &rules};

  int status = 0;
  for (const std::string& path : files) {
    const std::string shownPath = SafeLogText(path);
    {
      // The preview takes whatever it can get from a file; a file the relay would not read at all
      // is said as such here, not shown as an empty message.
      const DropFileRead read = ReadDropFile(path, rules);
      if (!read.file) {
        diagnostics << ErrorLine(path + ": " + RefusalText(read));
        status = 1;
        continue;
      }
    }
    const RelayPreview preview = PreviewMessageFile(context, path);
    const std::string recipient = SafeLogText(Cp1251ToUtf8(preview.recipient));
    const std::string subject = SafeLogText(Cp1251ToUtf8(preview.subject));
    const std::string body = Cp1251ToUtf8(preview.body);
    if (json) {
      out << "{\"file\":" << JsonString(shownPath) << ",\"recipient\":" << JsonString(recipient)
          << ",\"subject\":" << JsonString(subject) << ",\"body\":" << JsonString(BodyForPerson(body, "\r\n"))
          << ",\"attachment\":";
      if (preview.attachment) {
        out << "{\"name\":" << JsonString(NameForPerson(preview.attachment->name))
            << ",\"size\":" << preview.attachment->size << "}";
      } else {
        out << "null";
      }
      out << "}\n";
    } else {
      out << "File:       " << shownPath << "\n"
          << "Recipient:  " << recipient << "\n"
          << "Subject:    " << subject << "\n"
          << "Attachment: ";
      if (preview.attachment) {
        out << NameForPerson(preview.attachment->name) << " (" << preview.attachment->size << " bytes)\n";
      } else {
        out << "none\n";
      }
      const std::string shown = BodyForPerson(body, "\n");
      out << "Body:\n" << shown << (shown.empty() || shown.back() == '\n' ? "" : "\n") << "\n";
    }
  }
  return status;
}

}  // namespace droprelay
