// mailinspect [--json] FILE...: shows what the mail library makes of stored messages.
//
// For each file: load, locate the bodies, restructure and compose as the relay does, and decode
// every attachment; then print the part tree as parsed, every warning (what was repaired, guessed
// or left out, with the part it concerns), the tree after restructuring, the bodies, the
// attachments, the subject and the "To" addresses. Text is shown as UTF-8, converted from the
// charset it declares; what is not text is shown as \xNN. Exit status: 0 when every file was
// read, 1 when one could not be, 2 for a usage error.
#include <csignal>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_message.h"
#include "message_report.h"
#include "text_for_people.h"


namespace droprelay::tools {
namespace {

constexpr std::string_view kUsage =
    "usage: mailinspect [--json] FILE...\n"
    "Shows what droprelay's mail library makes of stored messages: the part tree as parsed and\n"
    "after restructuring, every repair as a warning, the bodies, the attachments, the subject.\n"
    "\n"
    "  --json     one JSON array on standard output, one object per file\n"
    "  --help     this text\n"
    "  --version  the version of droprelay this tool belongs to\n"
    "  --         what follows are file names, even when they begin with \"-\"\n"
    "\n"
    "Exit status: 0 every file was read, 1 a file could not be read, 2 usage error.\n";

void PrintPart(std::ostream& out, const PartView& part, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  out << indent << part.label << ' ' << (part.type.empty() ? "(no type)" : part.type);
  if (!part.boundary.empty()) out << " boundary=\"" << part.boundary << '"';
  out << " raw=" << part.storedSize << " decoded=" << part.decodedSize
      << " embedded=" << (part.embedded ? "yes" : "no") << '\n';
  for (const std::string& line : part.headers) out << indent << "  | " << line << '\n';
  for (const PartView& sub : part.parts) PrintPart(out, sub, depth + 1);
}

void PrintLines(std::ostream& out, std::string_view title, const std::vector<std::string>& lines) {
  out << "-- " << title << " (" << lines.size() << " lines)\n";
  for (const std::string& line : lines) out << "  > " << line << '\n';
}

void PrintText(std::ostream& out, const Report& report) {
  out << "== " << report.file << '\n';
  out << "-- tree as parsed\n";
  PrintPart(out, report.parsed, 1);
  out << "-- warnings (" << report.warnings.size() << ")\n";
  for (const auto& warning : report.warnings) out << "  ! " << warning.part << ": " << warning.text << '\n';
  out << "-- tree after restructuring\n";
  PrintPart(out, report.restructured, 1);
  PrintLines(out, "plain text", report.plainLines);
  PrintLines(out, "html", report.htmlLines);
  out << "-- attachments (" << report.attachments.size() << ")\n";
  for (const auto& attachment : report.attachments) {
    out << "  * " << attachment.name << (attachment.embedded ? " (embedded)" : "") << '\n';
  }
  out << "-- subject: " << report.subject << '\n';
  out << "-- to: " << report.to << '\n';
  out << "-- composed body: " << report.composedSize << " bytes\n";
}

}  // namespace
}  // namespace droprelay::tools

int main(int argc, char** argv) {
  using namespace droprelay::tools;
  // Output piped into head: a write error ends the run, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  bool json = false;
  std::vector<std::string> files;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && arg == "--help") {
      std::cout << kUsage;
      return std::cout.flush() ? 0 : 1;
    } else if (!optionsEnd && arg == "--version") {
      std::cout << "mailinspect (droprelay) " << DROPRELAY_VERSION << '\n';
      return std::cout.flush() ? 0 : 1;
    } else if (!optionsEnd && arg == "--json") {
      json = true;
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      std::cerr << "mailinspect: unknown option " << Printable(arg) << "\n" << kUsage;
      return 2;
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::cerr << kUsage;
    return 2;
  }

  bool ok = true;
  if (json) std::cout << "[";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Report report = InspectFile(files[i]);
    if (!report.error.empty()) {
      ok = false;
      std::cerr << "mailinspect: " << report.file << ": " << report.error << '\n';
    }
    if (json) {
      std::cout << (i > 0 ? ",\n" : "\n") << ReportJson(report);
    } else if (report.error.empty()) {
      PrintText(std::cout, report);
    }
    std::cout.flush();
  }
  if (json) std::cout << "\n]\n";
  std::cout.flush();
  // A failed write (a closed pipe, a full disk) is a failure too.
  if (!std::cout) return 1;
  return ok ? 0 : 1;
}
