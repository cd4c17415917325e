// The configuration file checked against what the relay reads: unknown sections and keys, values
// that do not parse, and what the profile API never reads (a repeated section, a repeated key).
// Each finding is said once at start-up (log and standard error); `--check-config` prints them
// with every setting in effect and where it came from.
//
// The file is still read by the profile rules: a finding changes nothing in what the relay does,
// it only says what the file's author probably did not mean.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/relay_config.h"

namespace droprelay {

struct ConfigFinding {
  enum class Kind {
    kUnknownSection,   // section: its keys are never read
    kUnknownKey,       // section, key: never read
    kBadValue,         // key, value: the default is used
    kRepeatedSection,  // section, firstLine: never read
    kRepeatedKey,      // key, firstLine: never read
  };
  Kind kind = Kind::kUnknownKey;
  int line = 0;
  std::string section;     // as written
  std::string key;         // as written
  std::string value;       // as written (bad values)
  std::string used;        // the value the relay uses instead (bad values, unknown keys with a suggestion)
  std::string suggestion;  // a known name close to the unknown one, or empty
  int firstLine = 0;       // repeated sections and keys: the line that is read
  SettingKind valueKind = SettingKind::kText;
};

// The findings for the text of a main configuration file, in file order.
std::vector<ConfigFinding> CheckConfigText(std::string_view text);

// The findings for the text of a mail profiles file: [Profiles] with DefaultProfile, and profile
// sections with url, from, user, password, passwordfile, starttls, plaintext and cafile.
std::vector<ConfigFinding> CheckProfilesText(std::string_view text);

// One finding as one line: English (UTF-8) for standard error, Russian (Windows-1251) for the log.
// Both name the file and the line.
std::string FindingText(const std::string& file, const ConfigFinding& finding);
std::string FindingLogText(const std::string& file, const ConfigFinding& finding);

// One setting in effect: its section and key, the value the relay uses and where it came from
// ("FILE:LINE", "default", or "default, FILE:LINE does not parse").
struct EffectiveSetting {
  std::string section;
  std::string key;
  std::string value;
  std::string origin;
};
// Every key of [System] (derived defaults filled in: the state and quarantine folders beside the
// drop folder), then the substitution pairs present. Secrets are never shown.
std::vector<EffectiveSetting> EffectiveSettings(std::string_view text, const std::string& file);

// --check-config: prints each finding on `err` ("droprelay: warning: ...") and the settings in
// effect on `out`, one "key = value  # origin" line each; then the findings of the profiles file
// when there is one. Answers 0 without findings, else 78. `logFile` and `profilesFile` are listed
// as comments.
int PrintConfigCheck(const std::string& file, const std::string& logFile, const std::string& profilesFile,
                     std::ostream& out, std::ostream& err);

// The start-up notices of a run: each finding, and when send_mail is off the line saying that
// messages are disposed of unsent; none when the file cannot be read (the start-up check says so). Called once the log has its start line; `log` takes
// Windows-1251 lines (logged as warnings), `err` gets "droprelay: warning: ..." lines.
struct StartNotice {
  std::string logLine;    // Windows-1251
  std::string errorLine;  // UTF-8, without the program name
};
std::vector<StartNotice> StartUpNotices(const RelayConfig& config);

}  // namespace droprelay
