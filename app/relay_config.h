// Every setting the relay reads, with its default. The values are read through the INI file at the
// moment of use (nothing is cached here), so an edit applies at the next use.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ini_file.h"

namespace droprelay {

// Defaults. The Windows program used "T:\Inetpub\mailroot\Drop\" and "c:\temp\"; these are the
// Linux counterparts.
inline constexpr const char* kDefaultDropMailPath = "/var/spool/droprelay/drop/";
inline constexpr const char* kDefaultTempPath = "/tmp/";
inline constexpr const char* kDefaultMovetoPath = "/tmp/";
// The organisation's own mail domain when none is configured: a reserved example domain, so a
// forgotten setting can never deliver to a real third party.
inline constexpr const char* kDefaultDomainName = "example.org";
inline constexpr const char* kDefaultDatabaseServer = "localhost";
inline constexpr const char* kDefaultConnectionString =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=ProjectServer;"
    "Data Source=localhost";
inline constexpr int kDefaultMaxLogLength = 510;
// The relay's own state (delivery journal, waiting times, run lock) and the quarantine default to
// folders beside the drop folder: the user that runs the relay must be able to change the drop
// folder's parent anyway in the README's setups (/var/spool/droprelay/, a Maildir), it needs no
// root and no home folder, and it survives reboots (unlike /run or /tmp). The state folder bears
// its drop folder's name ("drop" gets "drop.droprelay-state"), so two relays on two drop folders in
// one parent never share a lock, a journal or deferrals.
inline constexpr const char* kDefaultStateFolderSuffix = ".droprelay-state";
inline constexpr const char* kDefaultFailedFolderName = "failed";
// How long a message may keep failing temporarily before it is set aside, as mail servers do.
inline constexpr int kDefaultMaxQueueDays = 5;
// The pause between two relay cycles, and each of the HTML fallback's two waits.
inline constexpr int kDefaultCycleIntervalMs = 5000;
inline constexpr int kDefaultHtmlWaitMs = 7000;
inline constexpr int kDefaultDisposalWaitMs = 1000;
// The longest an HTML body's conversion to text may take before the text so far is used.
inline constexpr int kDefaultHtmlTimeBudgetMs = 3000;
inline constexpr int kDefaultMaxMessageSize = 64 * 1024 * 1024;

// The sections as the program spells them; names match without regard to case, so both are one.
inline constexpr const char* kSectionSystem = "System";
inline constexpr const char* kSectionSystemLower = "system";
inline constexpr const char* kSectionStrings2change = "Strings2change";
inline constexpr const char* kSectionEquivalentStrings = "equivalentStrings";

// Typed access to the keys of the configuration file.
// The folders a missing key stands for. The built-in ones are the production folders; a test
// names its own, so that no test can touch them.
struct FolderDefaults {
  std::string drop = kDefaultDropMailPath;
  std::string temp = kDefaultTempPath;
  std::string archive = kDefaultMovetoPath;
};

class RelayConfig {
 public:
  explicit RelayConfig(const platform::IniFile& file, FolderDefaults defaults = FolderDefaults())
      : file_(file), defaults_(std::move(defaults)) {}

  const platform::IniFile& File() const { return file_; }

  std::string Smtp_DropMail_path() const { return file_.ReadString(kSectionSystem, "Smtp_DropMail_path", defaults_.drop); }
  std::string domain_name() const { return file_.ReadString(kSectionSystem, "domain_name", kDefaultDomainName); }
  std::string send_copy_to() const { return file_.ReadString(kSectionSystem, "send_copy_to", ""); }
  std::string MAPIProfile() const { return file_.ReadString(kSectionSystem, "MAPIProfile", ""); }
  std::string Password() const { return file_.ReadString(kSectionSystem, "Password", ""); }
  int Max_log_length() const { return file_.ReadInteger(kSectionSystem, "Max_log_length", kDefaultMaxLogLength); }
  std::string ConnectionString() const { return file_.ReadString(kSectionSystem, "ConnectionString", kDefaultConnectionString); }
  bool showmainform() const { return file_.ReadBool(kSectionSystemLower, "showmainform", false); }
  std::string temppath() const { return file_.ReadString(kSectionSystemLower, "temppath", defaults_.temp); }
  const FolderDefaults& Defaults() const { return defaults_; }
  bool correct_scheduled_time() const { return file_.ReadBool(kSectionSystemLower, "correct_scheduled_time", false); }
  bool send_mail() const { return file_.ReadBool(kSectionSystemLower, "send_mail", false); }
  std::string moveto_path() const { return file_.ReadString(kSectionSystemLower, "moveto_path", defaults_.archive); }
  bool Delete_or_move() const { return file_.ReadBool(kSectionSystemLower, "Delete_or_move", false); }
  // Empty: the defaults beside the drop folder (StateFolder, FailedFolder).
  std::string state_path() const { return file_.ReadString(kSectionSystemLower, "state_path", ""); }
  std::string failed_path() const { return file_.ReadString(kSectionSystemLower, "failed_path", ""); }
  int max_queue_days() const { return file_.ReadInteger(kSectionSystemLower, "max_queue_days", kDefaultMaxQueueDays); }
  // 0 is allowed: the next cycle starts as soon as the previous one is done. A negative value
  // means nothing sensible and gets the default.
  int cycle_interval_ms() const { return NonNegative("cycle_interval_ms", kDefaultCycleIntervalMs); }
  int html_wait_ms() const { return NonNegative("html_wait_ms", kDefaultHtmlWaitMs); }
  // The wait between two failed attempts to delete or move a relayed file.
  int disposal_wait_ms() const { return NonNegative("disposal_wait_ms", kDefaultDisposalWaitMs); }
  // 0: no bound.
  int html_time_budget_ms() const { return NonNegative("html_time_budget_ms", kDefaultHtmlTimeBudgetMs); }
  // The largest drop file read, in bytes; 0: no limit. A negative value gets the default.
  int max_message_size() const { return NonNegative("max_message_size", kDefaultMaxMessageSize); }
  // Where the log goes; empty: the program's default (read once, at start-up).
  std::string log_path() const { return file_.ReadString(kSectionSystemLower, "log_path", ""); }
  // Mirror of the log for the system log: empty (the journal when systemd started the program),
  // "0" (none), "1" (/dev/log) or the path of a syslog socket (read once, at start-up).
  std::string syslog() const { return file_.ReadString(kSectionSystemLower, "syslog", ""); }
  // The Prometheus text file written after each run; empty for none.
  std::string metrics_path() const { return file_.ReadString(kSectionSystemLower, "metrics_path", ""); }

 private:
  int NonNegative(const char* key, int fallback) const {
    const int value = file_.ReadInteger(kSectionSystemLower, key, fallback);
    return value < 0 ? fallback : value;
  }

  const platform::IniFile& file_;
  FolderDefaults defaults_;
};

// What a key holds, for checking a configuration file and listing the settings in effect.
enum class SettingKind {
  kText,
  kInteger,      // ParseIniInteger; garbage gives the default
  kNonNegative,  // an integer of 0 or more; garbage or a negative value gives the default
  kBoolean,      // an integer, true when not 0
  kSyslog,       // empty, 0, 1 or the path of a socket
  kSecret,       // text never shown
};
struct KnownSetting {
  const char* key;
  SettingKind kind;
  const char* defaultValue;  // what the relay uses without the key ("" also for defaults derived elsewhere)
};

// Every key of section [System] the relay reads, as RelayConfig's accessors read them: a key
// added there needs its line in this table too (a test compares them), or the start-up check
// calls it unknown.
const std::vector<KnownSetting>& SystemSettings();

// The keys of the substitution sections: "string0" ... "string255".
bool IsSubstitutionKey(std::string_view key);

// `folder` with a final "/" added when it has none; an empty folder stays empty (it names no
// folder, and must not become the root).
std::string WithTrailingDelimiter(std::string folder);

// The folder `name` beside `dropFolder` (which ends in "/"), with a final "/":
// "/var/spool/droprelay/drop/" and "failed" give "/var/spool/droprelay/failed/".
std::string FolderBesideDropFolder(const std::string& dropFolder, const std::string& name);

// The state and quarantine folders as configured, else beside the drop folder; each ends in "/".
// The default state folder is named after the drop folder: "/var/spool/droprelay/drop/" gives
// "/var/spool/droprelay/drop.droprelay-state/".
std::string StateFolder(const RelayConfig& config, const std::string& dropFolder);
std::string DefaultStateFolder(const std::string& dropFolder);
std::string FailedFolder(const RelayConfig& config, const std::string& dropFolder);

}  // namespace droprelay
