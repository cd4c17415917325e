// What waits and what was set aside, for a person and for a monitor: --queue lists the drop
// files waiting for a later attempt and the quarantined ones (like mailq), --flush makes every
// waiting file due now, --release moves quarantined files back into the drop folder, and --check
// answers one status line with a Nagios plugin's exit status. They read the same folders as a
// run; the two that change state take the drop folder's run lock first.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/relay_config.h"
#include "app/quarantine.h"
#include "app/relay_queue.h"
#include "text/outcome.h"

namespace droprelay {

// A drop file waiting for a later attempt: its deferral record, whose file is still there.
struct WaitingFile {
  std::string name;
  std::uint64_t size = 0;
  Deferral deferral;
};

struct QueueSnapshot {
  std::vector<WaitingFile> waiting;          // in name order
  std::vector<QuarantinedFile> quarantined;  // in name order
  // What stopped the last run as a fault of the configuration or the account, if it still stands.
  std::optional<std::string> configFault;
};

// A waiting file the server accepted whose file could not be deleted or moved: it is never sent
// again, and only its disposal waits.
bool AcceptedNotDisposed(const WaitingFile& file);

// The folders of one drop folder, as the configuration names them (each ends in "/").
struct QueueFolders {
  std::string drop;
  std::string state;
  std::string failed;
};
QueueFolders FoldersOf(const RelayConfig& config);

// Reads both lists; nothing is written.
QueueSnapshot ReadQueueSnapshot(const QueueFolders& folders);

// Printed forms: for a person (UTF-8, local times) and as one JSON object.
void PrintQueue(const QueueSnapshot& snapshot, const QueueFolders& folders, std::ostream& out);
void PrintQueueJson(const QueueSnapshot& snapshot, std::ostream& out);

// The thresholds of --check in minutes, and what they are without the options: a waiting file is
// worth a warning after an hour of failing, and critical after a day (the queue gives up after
// max_queue_days, 5 by default).
inline constexpr int kDefaultWarnAgeMinutes = 60;
inline constexpr int kDefaultCritAgeMinutes = 24 * 60;

// Nagios plugin exit statuses.
inline constexpr int kCheckOk = 0;
inline constexpr int kCheckWarning = 1;
inline constexpr int kCheckCritical = 2;
inline constexpr int kCheckUnknown = 3;

struct CheckResult {
  int status = kCheckUnknown;
  std::string line;  // the status line, without its line break
};

// OK: nothing quarantined and no waiting file older than `warnAgeMinutes`. WARNING: a waiting
// file at least that old, or anything quarantined. CRITICAL: a waiting file at least
// `critAgeMinutes` old, a message accepted but not disposed of, or a configuration fault that
// stopped the last run. Ages count from a file's first failure to `now`.
CheckResult EvaluateQueue(const QueueSnapshot& snapshot, std::int64_t now, int warnAgeMinutes, int critAgeMinutes);

// Makes every waiting file due at `now`; answers how many were changed. False (error recorded)
// when a record could not be written.
bool FlushQueue(const QueueFolders& folders, std::int64_t now, int& flushed);

// The outcome of releasing one quarantined file.
enum class ReleaseResult { kReleased, kNotFound, kNameTaken, kBadName, kMayBeDelivered, kFailed };
// Moves `name` from the quarantine folder into the drop folder under the same name, never
// replacing a file there, and removes its reason file (it would otherwise outlive its message).
// A message that may have been delivered already (as its reason file says) is released only
// with `force`: sent again, it could arrive twice.
ReleaseResult ReleaseQuarantined(const QueueFolders& folders, const std::string& name, bool force = false);

// The commands themselves, as the command line asks for them.
struct QueueRequest {
  enum class Kind { kList, kFlush, kRelease, kCheck };
  Kind kind = Kind::kList;
  bool json = false;                   // kList
  std::vector<std::string> names;      // kRelease
  bool all = false;                    // kRelease: every quarantined file
  bool force = false;                  // kRelease: also what may have been delivered already
  int warnAgeMinutes = kDefaultWarnAgeMinutes;  // kCheck
  int critAgeMinutes = kDefaultCritAgeMinutes;  // kCheck
};

// Runs one command on the folders `config` names. `configReadable` is false when a configuration
// named on the command line cannot be read. Answers the exit status: for --check 0 to 3; for the
// others 0, 1 (some named file could not be released), 66 (no drop folder), 73 (the state folder
// cannot be written), 75 (a run holds the drop folder) or 78 (the configuration is unreadable).
int RunQueueCommand(const QueueRequest& request, const RelayConfig& config, bool configReadable, std::int64_t now,
                    std::ostream& out, std::ostream& err);

}  // namespace droprelay
