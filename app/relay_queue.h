// The relay's own state in the state folder, kept across crashes and runs:
//   sent/<name>   the drop file <name> was accepted by the submission and is not yet disposed of;
//                 a file found again with the same facts is disposed of without sending it again
//   queue/<name>  the drop file <name> failed temporarily: since when, how often, and when it is due
//   lock          held by the run that works on the drop folder
// Records name their file by its name in the drop folder and carry its device, inode, size and
// modification time, so a new file that reuses a name is a new message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/state_files.h"
#include "text/outcome.h"

namespace droprelay {

// A temporary failure being waited out. Times are seconds since the epoch.
struct Deferral {
  platform::FileFacts facts;
  std::int64_t firstFailure = 0;
  std::int64_t nextDue = 0;
  int attempts = 0;
  // What the last attempt ran into, for the queue listing and the run's report. A record written
  // before these were kept reads as a send failure without a reason.
  Outcome lastOutcome = Outcome::kSendFailed;
  std::string lastReason;  // Windows-1251, one line
};

// One deferral record with the drop file it belongs to, as the queue listing shows it.
struct QueuedFile {
  std::string name;
  Deferral deferral;
};

// The wait after the n-th temporary failure in a row: about a minute first, doubling up to an hour.
std::int64_t RetryWaitSeconds(int attempts);

class RelayQueue {
 public:
  // `stateFolder` ends in "/".
  explicit RelayQueue(std::string stateFolder) : folder_(std::move(stateFolder)) {}

  const std::string& Folder() const { return folder_; }
  // Creates the folder and its two record folders; false (error recorded) when they cannot be
  // written.
  bool Prepare() const;
  std::string LockFile() const { return folder_ + "lock"; }

  // Durably notes that the message in drop file `name` was accepted. False (error recorded) when
  // the note could not be written.
  bool RecordAccepted(const std::string& name, const platform::FileFacts& facts) const;
  // True when such a note exists for this very file. A note that cannot be read counts: it is
  // only ever written after an acceptance, and sending twice is the worse mistake.
  bool WasAccepted(const std::string& name, const platform::FileFacts& facts) const;
  void ForgetAccepted(const std::string& name) const;

  // The deferral of this very file, if any.
  std::optional<Deferral> FindDeferral(const std::string& name, const platform::FileFacts& facts) const;
  bool SaveDeferral(const std::string& name, const Deferral& deferral) const;
  void ForgetDeferral(const std::string& name) const;
  // Every readable deferral record, in name order, whether or not its file is still there (the
  // caller compares the facts). Records that cannot be read are left out.
  std::vector<QueuedFile> ListDeferrals() const;

  // Removes the records of files no longer in `dropFolder` (released by hand, removed by someone
  // else), so a later file of the same name starts afresh.
  void ForgetVanished(const std::string& dropFolder) const;

 private:
  std::string folder_;
};

}  // namespace droprelay
