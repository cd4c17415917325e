#include "app/quarantine.h"

#include <algorithm>
#include <charconv>

#include "app/activity_log.h"
#include "platform/file.h"
#include "platform/state_files.h"
#include "platform/syserror.h"
#include "text/convert.h"

namespace droprelay {
namespace {

// A value for one line of a reason file: UTF-8, with control characters (C0 but TAB, DEL, C1)
// replaced, so a reply or a name can neither break the line nor carry escape sequences along.
std::string ForReasonFile(std::string text) {
  if (!IsValidUtf8(text)) text = Cp1251ToUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F || c1) {
      out += '?';
      if (c1) ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string QuarantineReasonText(const QuarantineRecord& record) {
  std::string text = "time=" + std::to_string(record.time) + "\n";
  text += "local_time=" + FormatLogMoment(record.time) + "\n";
  text += "outcome=" + std::string(OutcomeToken(record.outcome)) + "\n";
  text += std::string("delivered=") + DeliveredToken(record.delivered) + "\n";
  text += "reason=" + ForReasonFile(record.reason) + "\n";
  if (!record.reply.empty()) text += "reply=" + ForReasonFile(record.reply) + "\n";
  return text;
}

void ParseReasonFile(const std::string& content, QuarantinedFile& into) {
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key == "time") {
      std::int64_t seconds = 0;
      const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (error == std::errc() && stop == value.data() + value.size()) into.time = seconds;
    } else if (key == "outcome") {
      into.outcome = std::move(value);
    } else if (key == "reason") {
      into.reason = std::move(value);
    } else if (key == "reply") {
      into.reply = std::move(value);
    } else if (key == "delivered") {
      into.delivered = std::move(value);
    }
  }
}

Delivered DeliveredOf(const QuarantinedFile& file) {
  if (file.delivered == "no") return Delivered::kNo;
  if (file.delivered == "yes") return Delivered::kYes;
  if (!file.delivered.empty()) return Delivered::kMaybe;
  // Without any reason (a file put there by hand) nothing is known of a delivery.
  if (file.outcome.empty()) return Delivered::kNo;
  const std::optional<Outcome> outcome = OutcomeFromToken(file.outcome);
  if (!outcome || *outcome == Outcome::kMaybeDelivered || *outcome == Outcome::kJournalUnreadable) {
    return Delivered::kMaybe;
  }
  return Delivered::kNo;
}

bool IsReasonFile(const std::string& folder, const std::string& name, const std::vector<std::string>& sortedNames) {
  if (!EndsWith(name, kReasonSuffix)) return false;
  const std::string stem = name.substr(0, name.size() - std::char_traits<char>::length(kReasonSuffix));
  if (std::binary_search(sortedNames.begin(), sortedNames.end(), stem)) return true;
  std::string content;
  return platform::ReadWholeFile(folder + name, content) && content.rfind("time=", 0) == 0;
}

SetAsideResult SetAside(const std::string& source, const std::string& failedFolder, const std::string& fileName,
                        const QuarantineRecord& record, platform::FileSystem& fileSystem) {
  SetAsideResult result;
  result.target = failedFolder + fileName;
  // Made when missing; a folder that cannot take the file makes the move fail, which says why.
  if (!fileSystem.CreateFolderPath(failedFolder)) {
    result.error = platform::SystemErrorText();
    return result;
  }
  // An earlier file of the same name stays: it is another message waiting for a person. A reason
  // file left behind by a release keeps its name taken too.
  for (int n = 1; fileSystem.FileExists(result.target) || fileSystem.FileExists(result.target + kReasonSuffix); ++n) {
    result.target = failedFolder + fileName + "." + std::to_string(n);
  }
  // The reason first: the log's copy is pushed out by newer lines sooner or later, the one beside
  // the file stays where a person looking at the quarantine finds it.
  const std::string reasonPath = result.target + kReasonSuffix;
  result.reasonWritten = platform::WriteFileDurably(reasonPath, QuarantineReasonText(record), 0640);
  if (!result.reasonWritten) result.reasonError = platform::SystemErrorText();
  result.moved = platform::RenameNoReplace(source, result.target);
  if (!result.moved) {
    result.error = platform::SystemErrorText();
    // Another file system: copied, flushed and renamed into place, then the source removed.
    if (!fileSystem.FileExists(result.target)) result.moved = fileSystem.MoveFileReplace(source, result.target);
    if (!result.moved) result.error = platform::SystemErrorText();
  }
  if (!result.moved && result.reasonWritten) {
    const platform::KeepLastError keep;
    platform::RemoveFileEntry(reasonPath);
    result.reasonWritten = false;
  }
  return result;
}

}  // namespace droprelay
