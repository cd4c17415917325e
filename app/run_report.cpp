#include "app/run_report.h"

#include "app/queue_commands.h"
#include "platform/file.h"
#include "platform/state_files.h"
#include "platform/syserror.h"
#include "submit/profiles.h"
#include "text/convert.h"

namespace droprelay {
namespace {

// Enough names for a person to find the files; the rest are in the log and in --queue.
constexpr std::size_t kNamesShown = 5;

std::string Line(const char* what, const std::string& reason, const std::set<std::string>& names) {
  std::string line = std::string("droprelay: ") + what + " " + std::to_string(names.size()) +
                     (names.size() == 1 ? " file (" : " files (");
  std::size_t shown = 0;
  for (const std::string& name : names) {
    if (shown == kNamesShown) {
      line += ", ...";
      break;
    }
    line += (shown++ ? ", " : "") + (IsValidUtf8(name) ? name : Cp1251ToUtf8(name));
  }
  line += "): " + Cp1251ToUtf8(reason);
  // A server's reply inside the reason must not break the line.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

// A label value as the exposition format writes it.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : IsValidUtf8(text) ? text : Cp1251ToUtf8(text)) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> FailureLines(const RunReport& report, bool priorities) {
  std::vector<std::string> lines;
  const std::string error = priorities ? "<3>" : "";
  const std::string warning = priorities ? "<4>" : "";
  for (const auto& [reason, names] : report.quarantined) lines.push_back(error + Line("quarantined", reason, names));
  for (const auto& [reason, names] : report.deferred) lines.push_back(warning + Line("deferred", reason, names));
  return lines;
}

std::string MetricsText(const RunMetrics& metrics) {
  const std::string labels = "{drop_folder=\"" + LabelValue(metrics.dropFolder) + "\"} ";
  std::string text;
  const auto gauge = [&](const char* name, const char* help, const std::string& value) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name + labels + value + "\n";
  };
  gauge("droprelay_waiting_files", "Drop files waiting for a later attempt after a temporary failure.",
        std::to_string(metrics.waiting));
  gauge("droprelay_quarantined_files", "Files in the quarantine folder, waiting for a person.",
        std::to_string(metrics.quarantined));
  gauge("droprelay_last_run_relayed_files", "Messages the last run relayed.", std::to_string(metrics.relayed));
  gauge("droprelay_last_run_end_timestamp_seconds", "When the last run ended, in seconds since the epoch.",
        std::to_string(metrics.endTime));
  gauge("droprelay_last_run_exit_status",
        "Exit status of the last run: 0 done, 75 mail waiting or another run at work, 66, 73 and 78 a fault.",
        std::to_string(metrics.exitStatus));
  return text;
}

std::string MetricsPath(const RelayConfig& config) {
  const std::string path = config.metrics_path();
  if (path.empty() || path.front() == '/') return path;
  const std::string& ini = config.File().FileName();
  const std::size_t slash = ini.rfind('/');
  return slash == std::string::npos ? path : ini.substr(0, slash + 1) + path;
}

std::string ConfigurationProblem(const RelayConfig& config) {
  const std::string path = submit::MailProfilesPath();
  if (!platform::CanRead(path)) {
    return "cannot read the mail profiles file " + path + " (" + platform::SystemErrorText() +
           "); the messages stay in the drop folder until the configuration is fixed";
  }
  std::string name = config.MAPIProfile();
  if (name.empty()) name = submit::DefaultMailProfile();
  if (name.empty()) {
    return "no mail profile named: MAPIProfile is empty and " + path +
           " has no DefaultProfile; the messages stay in the drop folder until the configuration is fixed";
  }
  submit::MailProfile profile;
  const std::string why = submit::LoadMailProfile(name, profile) ? std::string("no longer found")
                                                                 : platform::SystemErrorText();
  return "cannot use the mail profile \"" + (IsValidUtf8(name) ? name : Cp1251ToUtf8(name)) + "\" (" + why +
         "); the messages stay in the drop folder until the configuration is fixed";
}

void FinishRunReport(const RunReport& report, const RelayConfig& config, int exitStatus, std::int64_t endTime,
                     std::ostream& err, bool priorities) {
  if (report.lockedOut) return;
  for (const std::string& line : FailureLines(report, priorities)) err << line << "\n";
  const std::string path = MetricsPath(config);
  if (path.empty()) return;
  const QueueFolders folders = FoldersOf(config);
  const QueueSnapshot snapshot = ReadQueueSnapshot(folders);
  RunMetrics metrics;
  metrics.dropFolder = folders.drop;
  metrics.waiting = snapshot.waiting.size();
  metrics.quarantined = snapshot.quarantined.size();
  metrics.relayed = report.relayed;
  metrics.endTime = endTime;
  metrics.exitStatus = report.refusedStatus.value_or(exitStatus);
  // Not secret, and read by node_exporter's own user.
  if (!platform::WriteFileDurably(path, MetricsText(metrics), 0644)) {
    err << (priorities ? "<3>" : "") << "droprelay: cannot write the metrics file " << path << ": " << platform::SystemErrorText() << "\n";
  }
}

}  // namespace droprelay
