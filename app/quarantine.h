// The quarantine folder: a message that can never be sent is set aside there with a reason file
// beside it (`<stored name>.reason`), which is written and read here only, for the relay and for
// the queue commands alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/file_fate.h"
#include "platform/file_system.h"
#include "text/outcome.h"

namespace droprelay {

inline constexpr const char* kReasonSuffix = ".reason";

// What the reason file keeps.
struct QuarantineRecord {
  std::int64_t time = 0;  // seconds since the epoch
  Outcome outcome = Outcome::kRefused;
  std::string reason;  // as logged, Windows-1251
  std::string reply;   // the server's reply, when there was one
  Delivered delivered = Delivered::kNo;
};

// The reason file's text: UTF-8 lines "key=value" (time, local_time, outcome, delivered, reason
// and, when there was one, reply), with control characters replaced.
std::string QuarantineReasonText(const QuarantineRecord& record);

// A file in the quarantine folder and what its reason file says (each empty without one).
struct QuarantinedFile {
  std::string name;
  std::uint64_t size = 0;
  std::optional<std::int64_t> time;  // seconds since the epoch: the reason file's, else the move's
  std::string outcome;               // the outcome token
  std::string reason;                // UTF-8
  std::string reply;                 // the server's reply, when there was one
  std::string delivered;             // "yes", "maybe", "no"; empty in a reason file of an earlier version
};

// The key=value lines of a reason file (keys without a value are kept empty).
void ParseReasonFile(const std::string& content, QuarantinedFile& into);

// Whether the message may have reached its recipient already. A reason file of an earlier version
// has no `delivered`: then its outcome tells.
Delivered DeliveredOf(const QuarantinedFile& file);

// "x.reason" in `folder` is the reason file of "x" when "x" is among `sortedNames`, or when it
// reads like one (a message released by hand leaves its reason file behind).
bool IsReasonFile(const std::string& folder, const std::string& name, const std::vector<std::string>& sortedNames);

struct SetAsideResult {
  bool moved = false;
  std::string target;       // where the file went (or would have gone)
  std::string error;        // why it could not be moved
  bool reasonWritten = false;
  std::string reasonError;  // why the reason file could not be written
};

// Moves `source` into `failedFolder` (ending in "/") under `fileName`, never replacing a file
// there (a taken name gets ".1", ".2", ...), with its reason file written first: a kill leaves
// the message either where it was or beside its reason. Creates the folder when missing.
SetAsideResult SetAside(const std::string& source, const std::string& failedFolder, const std::string& fileName,
                        const QuarantineRecord& record, platform::FileSystem& fileSystem);

}  // namespace droprelay
