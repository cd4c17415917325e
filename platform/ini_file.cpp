#include "platform/ini_file.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>

#include "platform/file.h"
#include "platform/syserror.h"
#include "text/ascii.h"

namespace droprelay::platform {
namespace {

// Blanks around names and values.
std::string_view TrimBlanks(std::string_view text) { return TrimBytes(text, " \t\r\v\f"); }

std::string CleanValue(std::string_view raw) {
  std::string_view value = TrimBlanks(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  if (value.size() > IniFile::kMaxValueLength) value = value.substr(0, IniFile::kMaxValueLength);
  return std::string(value);
}

// The next line of `rest`: CR LF, a lone LF and a lone CR each end one (files edited on Windows,
// Linux and old Macs alike), as the profile API reads them.
std::string_view NextIniLine(std::string_view& rest) {
  const std::size_t eol = rest.find_first_of("\r\n");
  const std::string_view line = rest.substr(0, eol);
  if (eol == std::string_view::npos) {
    rest = {};
  } else {
    const std::size_t next = rest[eol] == '\r' && eol + 1 < rest.size() && rest[eol + 1] == '\n' ? eol + 2 : eol + 1;
    rest.remove_prefix(next);
  }
  return line;
}

}  // namespace

IniDocument ParseIniDocument(std::string_view text) {
  // Editors on Linux may start a UTF-8 file with a byte-order mark; it is not part of any name.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  IniDocument document;
  bool inSection = false;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::string_view line = TrimBlanks(NextIniLine(text));
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      // Without "]" the line is no header: the lines after it stay in the section before.
      if (close != std::string_view::npos) {
        IniSection section{std::string(TrimBlanks(line.substr(1, close - 1))), number, number};
        for (const IniSection& earlier : document.sections) {
          if (AsciiEqualNoCase(earlier.name, section.name)) {
            section.firstLine = earlier.firstLine;
            break;
          }
        }
        document.sections.push_back(std::move(section));
        inSection = true;
        continue;
      }
    }
    const std::size_t equals = line.find('=');
    // Lines without "=" and keys outside any section are not reachable through the profile API.
    if (equals == std::string_view::npos || !inSection) continue;
    const std::string_view key = TrimBlanks(line.substr(0, equals));
    if (key.empty()) continue;
    document.keys.push_back(IniDocument::Key{
        IniEntry{document.sections.back().name, std::string(key), CleanValue(line.substr(equals + 1)), number},
        document.sections.size() - 1});
  }
  return document;
}

std::vector<IniEntry> ParseIniText(std::string_view text) {
  IniDocument document = ParseIniDocument(text);
  std::vector<IniEntry> entries;
  entries.reserve(document.keys.size());
  for (IniDocument::Key& key : document.keys) {
    if (!document.sections[key.section].Repeated()) entries.push_back(std::move(key.entry));
  }
  return entries;
}

bool ParseIniInteger(std::string_view text, int& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && text.front() == '$') {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  // Digits only from here: from_chars takes no second sign, blank or prefix, and reads the same
  // in every locale.
  if (text.empty() || text.front() == '-' || text.front() == '+' || (hex && text.size() > 8)) return false;
  std::uint64_t magnitude = 0;
  const char* last = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), last, magnitude, hex ? 16 : 10);
  if (error != std::errc() || stop != last) return false;
  if (hex) {
    // A 32-bit pattern: "$FFFFFFFF" is -1.
    std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    value = static_cast<std::int32_t>(bits);
    return true;
  }
  if (magnitude > static_cast<std::uint64_t>(INT_MAX) + (negative ? 1u : 0u)) return false;
  value = negative ? static_cast<int>(-static_cast<std::int64_t>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

IniFile::IniFile(std::string fileName) : fileName_(std::move(fileName)) {}

void IniFile::Refresh() const {
  Stamp now;
  std::optional<FileStatus> status;
  std::string missing;
  {
    const KeepLastError keep;  // a missing file means defaults, not an error
    status = StatusOfPath(fileName_, Links::kFollow);
    if (!status) missing = SystemErrorText();
  }
  if (status && !status->IsDirectory()) {
    now.present = true;
    now.device = status->device;
    now.inode = status->inode;
    now.size = static_cast<decltype(now.size)>(status->size);
    now.mtimeNs = status->ModifyTimeNs();
    now.ctimeNs = status->ChangeTimeNs();
  }
  if (loaded_ && now == stamp_) return;
  // Reading may fail (permissions); the stamp is kept so a failed read is not retried every lookup
  // until the file changes again.
  stamp_ = now;
  loaded_ = true;
  std::string text;
  const bool read = now.present && ReadWholeFile(fileName_, text);
  if (!read && keepLastGood_) {
    failure_ = now.present ? SystemErrorText() : status ? std::string("Is a directory") : missing;
    return;
  }
  failure_.reset();
  entries_.clear();
  if (!read) return;
  for (IniEntry& entry : ParseIniText(text)) {
    entries_.push_back(Entry{AsciiLowerCase(entry.section), AsciiLowerCase(entry.key), std::move(entry.value)});
  }
}

bool IniFile::Load() const {
  loaded_ = false;
  Refresh();
  const std::optional<FileStatus> status = StatusOfPath(fileName_, Links::kFollow);
  if (!status) return true;  // no file: the defaults, no error
  if (status->IsDirectory()) {
    SetLastError(EISDIR);
    return false;
  }
  std::string text;
  return ReadWholeFile(fileName_, text);
}

const IniFile::Entry* IniFile::Find(std::string_view section, std::string_view key) const {
  Refresh();
  const std::string wantSection = AsciiLowerCase(section);
  const std::string wantKey = AsciiLowerCase(key);
  for (const Entry& entry : entries_) {
    if (entry.section == wantSection && entry.key == wantKey) return &entry;
  }
  return nullptr;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
  const Entry* entry = Find(section, key);
  if (!entry) {
    std::string_view value = defaultValue.substr(0, kMaxValueLength);
    return std::string(value);
  }
  return entry->value;
}

std::optional<std::string> IniFile::Lookup(std::string_view section, std::string_view key) const {
  const Entry* entry = Find(section, key);
  if (!entry) return std::nullopt;
  return entry->value;
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  const Entry* entry = Find(section, key);
  int value = 0;
  if (entry && ParseIniInteger(entry->value, value)) return value;
  return defaultValue;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

}  // namespace droprelay::platform
