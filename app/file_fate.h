// The fate of one drop file: the one place that decides what happens to a file next, from what
// the relay knows of it (its journal note, its deferral record), what just happened to it (the
// outcome of this attempt, or nothing yet), whether a stop was asked, and now. It reads no clock,
// touches no file and logs nothing: the relay's cycle carries the decision out.
//
// The rules that keep a message exactly once hold in every row:
// - an accepted message is never sent again, never quarantined and never expires; its note
//   outlives its file, and while the file cannot be disposed of it waits like a deferred one;
// - a file leaves the drop folder only after its message was handed over, or with its reason
//   (and whether it may have been delivered) beside it in the quarantine folder;
// - a fault of the configuration or the account stops the run and touches no file;
// - a message whose fate is unknown (the data went out, no answer) is tried at most once more.
#pragma once

#include <cstdint>
#include <optional>

#include "app/relay_queue.h"
#include "platform/state_files.h"
#include "text/outcome.h"

namespace droprelay {

// Whether a message set aside may already have reached its recipient: written into its reason
// file, so that releasing it again is a deliberate choice.
enum class Delivered : std::uint8_t { kNo, kMaybe, kYes };

struct FateInput {
  platform::FileFacts facts;  // of the drop file as listed (or as read, after an attempt)
  // Its journal note. A note found for another file of the same name counts as none.
  JournalLookup journal;
  std::optional<Deferral> deferral;  // this very file's deferral record
  // What the attempt just made answered; none: the file was just found, nothing was tried yet.
  std::optional<Outcome> outcome;
  bool stopRequested = false;
  std::int64_t now = 0;  // seconds since the epoch
  int maxQueueDays = 5;
  // Since when this run has found the file held by its writer, when it has.
  std::optional<std::int64_t> heldSince;
};

enum class FateAction : std::uint8_t {
  kAttempt,     // relay it now; the note (working) is written first
  kDispose,     // delete or move it; its acceptance note goes only once the file is gone
  kDefer,       // save `deferral` and wait until its due time (then end the run when `endsRun`)
  kWait,        // not due yet (until `deferral.nextDue`): left alone
  kRetrySoon,   // held by its writer: taken again after the settle time, nothing recorded
  kQuarantine,  // set aside with `outcome` and `delivered`; its records go with it
  kKeep,        // left exactly as it is for the next run (a stop cut the attempt short)
  kStopRun,     // left untouched; the run ends with `exitStatus`
};

enum class NoteChange : std::uint8_t {
  kKeep,      // the note stays as it is
  kWrite,     // `note` replaces it
  kRemove,    // it goes
  kSetAside,  // it is no file at all: renamed out of the way of every later file of that name
};

struct Fate {
  FateAction action = FateAction::kKeep;
  NoteChange noteChange = NoteChange::kKeep;
  JournalNote note;  // for NoteChange::kWrite
  Outcome outcome = Outcome::kDelivered;  // the reason of a deferral, quarantine or stop
  Deferral deferral;                      // kDefer: the record to save; kWait: the one found
  Delivered delivered = Delivered::kNo;   // kQuarantine
  bool endsRun = false;                   // kDefer: the run ends after it (a server quota)
  int exitStatus = 0;                     // kStopRun, and kDefer when it ends the run
};

// A file modified more recently than this may still be being written; a run keeps taking up a
// file its writer holds for at most the settle limit before it defers the file.
inline constexpr std::int64_t kSettleSeconds = 2;
inline constexpr std::int64_t kSettleLimitSeconds = 300;

Fate DecideFate(const FateInput& input);

// The token a reason file carries for `delivered`: "yes", "maybe" or "no".
const char* DeliveredToken(Delivered delivered);

}  // namespace droprelay
