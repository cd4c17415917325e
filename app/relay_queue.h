// The relay's own state in the state folder, kept across crashes and runs:
//   sent/<name>   the journal note of the drop file <name> while the relay works on it: being
//                 worked on, about to be sent, sent without an answer, or accepted by the server
//                 and not yet disposed of (a file found again accepted is disposed of without
//                 being sent again)
//   queue/<name>  the drop file <name> failed temporarily: since when, how often, and when it is due
//   lock          held by the run that works on the drop folder
//   config-fault  what stopped the last run as a fault of the configuration or the account, kept
//                 for the monitor until a message goes out again or nothing waits any more
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

// The journal note of one drop file. Its state changes in place (one write, one fsync); the
// counts survive from one attempt to the next.
struct JournalNote {
  enum class State : char {
    kWorking = 'W',    // read and relayed now; found again: the relay died on it
    kSending = 'F',    // the data may be on its way; found again: its fate is unknown
    kUncertain = 'U',  // sent, but no answer came; tried once more later
    kAccepted = 'A',   // the server accepted it; only the disposal is left
    kIdle = 'D',       // waiting for a later attempt, with counts worth keeping
  };
  State state = State::kWorking;
  int killed = 0;     // runs that died while working on it
  int uncertain = 0;  // attempts whose outcome stayed unknown
  platform::FileFacts facts;  // of the file as read (or as listed before it was read)
};

// What the journal holds for a name.
struct JournalLookup {
  enum class Kind { kNone, kFound, kUnreadable, kNotAFile };
  Kind kind = Kind::kNone;
  JournalNote note;  // when found
};

class RelayQueue {
 public:
  // `stateFolder` ends in "/".
  explicit RelayQueue(std::string stateFolder) : folder_(std::move(stateFolder)) {}

  const std::string& Folder() const { return folder_; }
  // Creates the folder and its two record folders; false (error recorded) when they cannot be
  // written.
  bool Prepare() const;
  std::string LockFile() const { return folder_ + "lock"; }
  // The folder of the deferral records, ends in "/".
  std::string DeferralFolder() const;

  // Durably notes that the message in drop file `name` was accepted. False (error recorded) when
  // the note could not be written.
  bool RecordAccepted(const std::string& name, const platform::FileFacts& facts) const;
  // True when a readable note says this very file was accepted. A note that cannot be read is no
  // proof of delivery (ReadNote tells it apart).
  bool WasAccepted(const std::string& name, const platform::FileFacts& facts) const;
  void ForgetAccepted(const std::string& name) const;

  JournalLookup ReadNote(const std::string& name) const;
  // Removes the note; false (error recorded) when it stays.
  bool ForgetNote(const std::string& name) const;
  // The whole note, written durably (a new file renamed into place).
  bool WriteNote(const std::string& name, const JournalNote& note) const;
  // Marks the existing note accepted in place: one write, one fsync.
  bool MarkAccepted(const std::string& name) const;
  // A record that is no file at all (a folder at its name) is renamed aside, out of the way of
  // every later file of that name.
  bool SetNoteAside(const std::string& name) const;
  // Removes the temporary files of notes that killed runs left behind.
  void RemoveLeftovers() const;

  // The deferral of this very file, if any.
  std::optional<Deferral> FindDeferral(const std::string& name, const platform::FileFacts& facts) const;
  bool SaveDeferral(const std::string& name, const Deferral& deferral) const;
  void ForgetDeferral(const std::string& name) const;
  // Every readable deferral record, in name order, whether or not its file is still there (the
  // caller compares the facts). Records that cannot be read are left out.
  std::vector<QueuedFile> ListDeferrals() const;

  // The configuration fault that stopped a run (one UTF-8 line), kept until ForgetConfigFault.
  bool NoteConfigFault(const std::string& text) const;
  void ForgetConfigFault() const;
  std::optional<std::string> ConfigFault() const;

  // Removes the records of files no longer in `dropFolder` (released by hand, removed by someone
  // else), so a later file of the same name starts afresh.
  void ForgetVanished(const std::string& dropFolder) const;

 private:
  std::string folder_;
};

}  // namespace droprelay
