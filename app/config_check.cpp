#include "app/config_check.h"

#include <algorithm>
#include <functional>
#include <map>

#include "app/exit_status.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/odbc.h"
#include "platform/syserror.h"
#include "text/ascii.h"
#include "text/convert.h"
#include "text/log_text.h"
#include "text/texts.h"

namespace droprelay {
namespace {

const char* const kKnownSections[] = {kSectionSystem, kSectionStrings2change, kSectionEquivalentStrings};

// Edits (insert, delete, replace a character, without regard to case) that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = AsciiEqualNoCase(a.substr(i - 1, 1), b.substr(j - 1, 1));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A typo's likely meaning: the closest known name within two edits (one for short names).
template <typename Names>
std::string Closest(std::string_view name, const Names& known) {
  std::string best;
  std::size_t bestDistance = name.size() <= 4 ? 2 : 3;
  for (std::string_view candidate : known) {
    const std::size_t distance = EditDistance(name, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = std::string(candidate);
    }
  }
  return best;
}

std::vector<std::string_view> SystemKeyNames() {
  std::vector<std::string_view> names;
  for (const KnownSetting& setting : SystemSettings()) names.emplace_back(setting.key);
  return names;
}

const KnownSetting* FindSystemSetting(std::string_view key) {
  for (const KnownSetting& setting : SystemSettings()) {
    if (AsciiEqualNoCase(setting.key, key)) return &setting;
  }
  return nullptr;
}

bool IsKnownSection(std::string_view name) {
  return std::any_of(std::begin(kKnownSections), std::end(kKnownSections),
                     [&](const char* known) { return AsciiEqualNoCase(known, name); });
}

// Whether `value` is what a key of `kind` can use.
bool ValueParses(SettingKind kind, const std::string& value) {
  int number = 0;
  switch (kind) {
    case SettingKind::kInteger:
    case SettingKind::kBoolean:
      return platform::ParseIniInteger(value, number);
    case SettingKind::kNonNegative:
      return platform::ParseIniInteger(value, number) && number >= 0;
    case SettingKind::kSyslog:
      return value.empty() || value == "0" || value == "1" || value.front() == '/';
    case SettingKind::kText:
    case SettingKind::kSecret:
      return true;
  }
  return true;
}

std::string Shown(SettingKind kind, const std::string& value) {
  if (kind == SettingKind::kSecret) return value.empty() ? std::string() : "(set, not shown)";
  return value;
}

}  // namespace

namespace {

// What one kind of INI file knows. Each answers false, with the finding filled in (its kind aside),
// for what it does not accept.
struct IniVocabulary {
  std::function<bool(const std::string& section, ConfigFinding& finding)> section;
  std::function<bool(const platform::IniEntry& entry, ConfigFinding& finding)> key;
  std::function<bool(const platform::IniEntry& entry, ConfigFinding& finding)> value;
};

// One finding per problem, in line order: a repeated or unknown section (whose keys are then not
// looked at, as they are not read), an unknown key, a repeated key, a value its key cannot use.
std::vector<ConfigFinding> CheckIniText(std::string_view text, const IniVocabulary& vocabulary) {
  const platform::IniDocument document = platform::ParseIniDocument(text);
  std::vector<ConfigFinding> findings;
  std::vector<bool> readable(document.sections.size(), true);
  for (std::size_t i = 0; i < document.sections.size(); ++i) {
    const platform::IniSection& section = document.sections[i];
    ConfigFinding finding;
    finding.line = section.line;
    finding.section = section.name;
    if (section.Repeated()) {
      finding.kind = ConfigFinding::Kind::kRepeatedSection;
      finding.firstLine = section.firstLine;
    } else if (!vocabulary.section(section.name, finding)) {
      finding.kind = ConfigFinding::Kind::kUnknownSection;
    } else {
      continue;
    }
    readable[i] = false;
    findings.push_back(std::move(finding));
  }

  std::map<std::string, int> firstLines;  // "section\nkey" in lower case -> line
  for (const platform::IniDocument::Key& key : document.keys) {
    if (!readable[key.section]) continue;
    const platform::IniEntry& entry = key.entry;
    ConfigFinding finding;
    finding.line = entry.line;
    finding.section = entry.section;
    finding.key = entry.key;
    if (!vocabulary.key(entry, finding)) {
      finding.kind = ConfigFinding::Kind::kUnknownKey;
      findings.push_back(std::move(finding));
      continue;
    }
    const auto [first, inserted] = firstLines.emplace(AsciiLowerCase(entry.section) + "\n" + AsciiLowerCase(entry.key), entry.line);
    if (!inserted) {
      finding.kind = ConfigFinding::Kind::kRepeatedKey;
      finding.firstLine = first->second;
      findings.push_back(std::move(finding));
      continue;
    }
    if (!vocabulary.value(entry, finding)) {
      finding.kind = ConfigFinding::Kind::kBadValue;
      findings.push_back(std::move(finding));
    }
  }
  std::stable_sort(findings.begin(), findings.end(),
                   [](const ConfigFinding& a, const ConfigFinding& b) { return a.line < b.line; });
  return findings;
}

}  // namespace

std::vector<ConfigFinding> CheckConfigText(std::string_view text) {
  IniVocabulary vocabulary;
  vocabulary.section = [](const std::string& name, ConfigFinding& finding) {
    if (IsKnownSection(name)) return true;
    finding.suggestion = Closest(name, kKnownSections);
    return false;
  };
  vocabulary.key = [](const platform::IniEntry& entry, ConfigFinding& finding) {
    if (!AsciiEqualNoCase(entry.section, kSectionSystem)) return IsSubstitutionKey(entry.key);
    if (FindSystemSetting(entry.key) != nullptr) return true;
    finding.suggestion = Closest(entry.key, SystemKeyNames());
    if (const KnownSetting* meant = FindSystemSetting(finding.suggestion)) {
      finding.used = meant->defaultValue;
      finding.valueKind = meant->kind;
    }
    return false;
  };
  vocabulary.value = [](const platform::IniEntry& entry, ConfigFinding& finding) {
    const KnownSetting* setting =
        AsciiEqualNoCase(entry.section, kSectionSystem) ? FindSystemSetting(entry.key) : nullptr;
    if (setting == nullptr || ValueParses(setting->kind, entry.value)) return true;
    finding.value = entry.value;
    finding.used = setting->defaultValue;
    finding.valueKind = setting->kind;
    return false;
  };
  return CheckIniText(text, vocabulary);
}

std::vector<ConfigFinding> CheckProfilesText(std::string_view text) {
  static const char* const kProfileKeys[] = {"url", "from", "user", "password", "passwordfile",
                                             "starttls", "plaintext", "cafile"};
  static const char* const kListKeys[] = {"DefaultProfile"};
  IniVocabulary vocabulary;
  // Every other section is a profile.
  vocabulary.section = [](const std::string&, ConfigFinding&) { return true; };
  vocabulary.key = [](const platform::IniEntry& entry, ConfigFinding& finding) {
    const bool list = AsciiEqualNoCase(entry.section, "Profiles");
    const auto known = [&](const auto& names) {
      return std::any_of(std::begin(names), std::end(names),
                         [&](const char* name) { return AsciiEqualNoCase(name, entry.key); });
    };
    if (list ? known(kListKeys) : known(kProfileKeys)) return true;
    finding.suggestion = list ? Closest(entry.key, kListKeys) : Closest(entry.key, kProfileKeys);
    return false;
  };
  vocabulary.value = [](const platform::IniEntry&, ConfigFinding&) { return true; };
  return CheckIniText(text, vocabulary);
}

std::string FindingText(const std::string& file, const ConfigFinding& finding) {
  std::string text = file + ":" + std::to_string(finding.line) + ": ";
  const std::string used = finding.used.empty() ? "empty" : Shown(finding.valueKind, finding.used);
  switch (finding.kind) {
    case ConfigFinding::Kind::kUnknownSection:
      text += "unknown section [" + finding.section + "]";
      if (!finding.suggestion.empty()) text += " (did you mean [" + finding.suggestion + "]?)";
      text += "; its keys are not read";
      break;
    case ConfigFinding::Kind::kUnknownKey:
      text += "unknown key " + finding.key + " in [" + finding.section + "]";
      if (!finding.suggestion.empty()) {
        text += " (did you mean " + finding.suggestion;
        text += finding.used.empty() && finding.valueKind == SettingKind::kText && !FindSystemSetting(finding.suggestion)
                    ? "?)"
                    : "? it keeps its default: " + used + ")";
      }
      text += "; not read";
      break;
    case ConfigFinding::Kind::kBadValue:
      if (finding.valueKind == SettingKind::kSyslog) {
        text += finding.key + "=" + finding.value + " is not 0, 1 or the path of a socket; no copy goes to the system log";
      } else {
        text += finding.key + "=" + finding.value +
                (finding.valueKind == SettingKind::kNonNegative ? " is not a number of 0 or more"
                 : finding.valueKind == SettingKind::kBoolean   ? " is not a number (0 or 1)"
                                                                : " is not a number") +
                "; the default " + used + " is used";
      }
      break;
    case ConfigFinding::Kind::kRepeatedSection:
      text += "section [" + finding.section + "] repeats the section of line " + std::to_string(finding.firstLine) +
              " and is not read (only the first is); move its keys there";
      break;
    case ConfigFinding::Kind::kRepeatedKey:
      text += "key " + finding.key + " repeats line " + std::to_string(finding.firstLine) +
              " and is not read (the first one is used)";
      break;
  }
  return text;
}

std::string FindingLogText(const std::string& file, const ConfigFinding& finding) {
  std::string text = texts::ConfigWarning() + Utf8ToCp1251(file) + texts::ConfigLine() + std::to_string(finding.line) + ": ";
  const auto maybe = [&](const std::string& name) { return texts::ConfigMaybe() + Utf8ToCp1251(name) + ")"; };
  switch (finding.kind) {
    case ConfigFinding::Kind::kUnknownSection:
      text += texts::ConfigUnknownSection() + Utf8ToCp1251(finding.section) + texts::ConfigSectionIgnored();
      if (!finding.suggestion.empty()) text += maybe("[" + finding.suggestion + "]");
      break;
    case ConfigFinding::Kind::kUnknownKey:
      text += texts::ConfigUnknownKey() + Utf8ToCp1251(finding.key) + texts::ConfigKeyIgnored();
      if (!finding.suggestion.empty()) {
        text += maybe(finding.suggestion) + texts::ConfigKeepsDefault() + Utf8ToCp1251(Shown(finding.valueKind, finding.used));
      }
      break;
    case ConfigFinding::Kind::kBadValue:
      text += texts::ConfigBadValue() + Utf8ToCp1251(finding.key + "=" + finding.value) +
              (finding.valueKind == SettingKind::kSyslog ? texts::ConfigBadSyslog()
                                                         : texts::ConfigNotANumber() + Utf8ToCp1251(finding.used));
      break;
    case ConfigFinding::Kind::kRepeatedSection:
      text += texts::ConfigRepeatedSection() + Utf8ToCp1251(finding.section) + texts::ConfigRepeatedSectionIgnored() +
              std::to_string(finding.firstLine);
      break;
    case ConfigFinding::Kind::kRepeatedKey:
      text += texts::ConfigRepeatedKey() + Utf8ToCp1251(finding.key) + texts::ConfigRepeatedKeyIgnored() +
              std::to_string(finding.firstLine);
      break;
  }
  return text;
}

std::vector<EffectiveSetting> EffectiveSettings(std::string_view text, const std::string& file) {
  const std::vector<platform::IniEntry> entries = platform::ParseIniText(text);
  const auto find = [&](std::string_view section, std::string_view key) -> const platform::IniEntry* {
    for (const platform::IniEntry& entry : entries) {
      if (AsciiEqualNoCase(entry.section, section) && AsciiEqualNoCase(entry.key, key)) return &entry;
    }
    return nullptr;
  };
  const auto where = [&](const platform::IniEntry& entry) { return file + ":" + std::to_string(entry.line); };

  std::vector<EffectiveSetting> settings;
  std::string dropFolder;
  for (const KnownSetting& setting : SystemSettings()) {
    EffectiveSetting shown{kSectionSystem, setting.key, setting.defaultValue, "default"};
    if (const platform::IniEntry* entry = find(kSectionSystem, setting.key)) {
      if (ValueParses(setting.kind, entry->value)) {
        shown.value = entry->value;
        shown.origin = where(*entry);
      } else {
        shown.origin = "default, " + where(*entry) + " does not parse";
      }
    }
    if (shown.key == std::string("Smtp_DropMail_path")) dropFolder = WithTrailingDelimiter(shown.value);
    if (shown.value.empty() && shown.origin.rfind("default", 0) == 0) {
      if (shown.key == std::string("state_path")) {
        shown.value = DefaultStateFolder(dropFolder);
        shown.origin = "default: named after the drop folder";
      } else if (shown.key == std::string("failed_path")) {
        shown.value = FolderBesideDropFolder(dropFolder, kDefaultFailedFolderName);
        shown.origin = "default: beside the drop folder";
      }
    }
    if (shown.key == std::string("ConnectionString")) shown.value = platform::HidePasswords(shown.value, shown.value);
    shown.value = Shown(setting.kind, shown.value);
    settings.push_back(std::move(shown));
  }
  for (const char* section : {kSectionStrings2change, kSectionEquivalentStrings}) {
    for (int i = 0; i <= 255; ++i) {
      const std::string key = "string" + std::to_string(i);
      if (const platform::IniEntry* entry = find(section, key)) settings.push_back({section, key, entry->value, where(*entry)});
    }
  }
  return settings;
}

int PrintConfigCheck(const std::string& file, const std::string& logFile, const std::string& profilesFile,
                     std::ostream& out, std::ostream& err) {
  std::string text;
  if (!platform::ReadWholeFile(file, text)) {
    err << ErrorLine("cannot read the configuration file " + file + ": " + platform::SystemErrorText());
    return kExitConfig;
  }
  const std::vector<ConfigFinding> findings = CheckConfigText(text);
  for (const ConfigFinding& finding : findings) err << ErrorLine("warning: " + FindingText(file, finding));
  out << "# configuration file: " << file << "\n# log file: " << logFile << "\n# profiles file: " << profilesFile
      << "\n";
  std::string section;
  for (const EffectiveSetting& setting : EffectiveSettings(text, file)) {
    if (setting.section != section) {
      section = setting.section;
      out << "[" << section << "]\n";
    }
    out << setting.key << " = " << setting.value << "  # " << setting.origin << "\n";
  }
  std::size_t warnings = findings.size();
  std::string profiles;
  {
    const platform::KeepLastError keep;  // no profiles file: every send says so, not this check
    if (!platform::ReadWholeFile(profilesFile, profiles)) profiles.clear();
  }
  for (const ConfigFinding& finding : CheckProfilesText(profiles)) {
    err << "droprelay: warning: " << FindingText(profilesFile, finding) << "\n";
    ++warnings;
  }
  return warnings == 0 ? 0 : kExitConfig;
}

std::vector<StartNotice> StartUpNotices(const RelayConfig& config) {
  std::vector<StartNotice> notices;
  const std::string& file = config.File().FileName();
  std::string text;
  {
    // A file that cannot be read is the start-up check's to report; its defaults are no news.
    const platform::KeepLastError keep;
    if (!platform::ReadWholeFile(file, text)) return notices;
  }
  for (const ConfigFinding& finding : CheckConfigText(text)) {
    notices.push_back({FindingLogText(file, finding), "warning: " + FindingText(file, finding)});
  }
  if (!config.send_mail()) {
    if (config.Delete_or_move()) {
      notices.push_back({texts::SendingOffDeleted(),
                         "warning: sending is off (send_mail=0): messages are not sent, their files are deleted"});
    } else {
      const std::string archive = WithTrailingDelimiter(config.moveto_path());
      notices.push_back({texts::SendingOffMoved() + Utf8ToCp1251(archive),
                         "warning: sending is off (send_mail=0): messages are not sent, their files are moved to " +
                             archive});
    }
  }
  return notices;
}

}  // namespace droprelay
