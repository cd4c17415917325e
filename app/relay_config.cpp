#include "app/relay_config.h"

#include <charconv>

#include "platform/state_files.h"

namespace droprelay {

const std::vector<KnownSetting>& SystemSettings() {
  static const std::vector<KnownSetting> settings = {
      {"Smtp_DropMail_path", SettingKind::kText, kDefaultDropMailPath},
      {"domain_name", SettingKind::kText, kDefaultDomainName},
      {"send_copy_to", SettingKind::kText, ""},
      {"MAPIProfile", SettingKind::kText, ""},
      {"Password", SettingKind::kSecret, ""},
      {"Max_log_length", SettingKind::kInteger, "510"},
      {"ConnectionString", SettingKind::kText, kDefaultConnectionString},
      {"showmainform", SettingKind::kBoolean, "0"},
      {"temppath", SettingKind::kText, kDefaultTempPath},
      {"correct_scheduled_time", SettingKind::kBoolean, "0"},
      {"send_mail", SettingKind::kBoolean, "0"},
      {"moveto_path", SettingKind::kText, kDefaultMovetoPath},
      {"Delete_or_move", SettingKind::kBoolean, "0"},
      {"state_path", SettingKind::kText, ""},
      {"failed_path", SettingKind::kText, ""},
      {"max_queue_days", SettingKind::kInteger, "5"},
      {"cycle_interval_ms", SettingKind::kNonNegative, "5000"},
      {"html_wait_ms", SettingKind::kNonNegative, "7000"},
      {"disposal_wait_ms", SettingKind::kNonNegative, "1000"},
      {"html_time_budget_ms", SettingKind::kNonNegative, "3000"},
      {"log_path", SettingKind::kText, ""},
      {"metrics_path", SettingKind::kText, ""},
      {"max_message_size", SettingKind::kNonNegative, "67108864"},
      {"syslog", SettingKind::kSyslog, ""},
  };
  return settings;
}

bool IsSubstitutionKey(std::string_view key) {
  if (key.size() < 7 || key.size() > 9) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    if ((key[i] | 0x20) != "string"[i]) return false;
  }
  const std::string_view digits = key.substr(6);
  // As the loader forms them: decimal, no leading zeros, 0 to 255.
  if (digits.size() > 1 && digits.front() == '0') return false;
  unsigned number = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return error == std::errc() && stop == digits.data() + digits.size() && number <= 255;
}

std::string WithTrailingDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string FolderBesideDropFolder(const std::string& dropFolder, const std::string& name) {
  std::string folder = dropFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  const std::string parent = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  return parent + name + "/";
}

std::string DefaultStateFolder(const std::string& givenDropFolder) {
  // Named after the folder itself, not after the name it was reached by ("drop/./", a link).
  const std::string dropFolder = platform::ResolvedPath(givenDropFolder).value_or(givenDropFolder);
  std::string folder = dropFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  // A drop folder without a name of its own (the root) still gets a state folder beside it.
  return FolderBesideDropFolder(dropFolder, (name.empty() || name == "/" ? "droprelay" : name) + kDefaultStateFolderSuffix);
}

std::string StateFolder(const RelayConfig& config, const std::string& dropFolder) {
  const std::string configured = config.state_path();
  return configured.empty() ? DefaultStateFolder(dropFolder) : WithTrailingDelimiter(configured);
}

std::string FailedFolder(const RelayConfig& config, const std::string& dropFolder) {
  const std::string configured = config.failed_path();
  return configured.empty() ? FolderBesideDropFolder(platform::ResolvedPath(dropFolder).value_or(dropFolder),
                                                     kDefaultFailedFolderName)
                            : WithTrailingDelimiter(configured);
}

}  // namespace droprelay
