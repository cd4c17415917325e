#include "app/file_fate.h"

#include <algorithm>

#include "app/exit_status.h"

namespace droprelay {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

using State = JournalNote::State;

// Counted between attempts the relay made (the first failure and this one): a clock that jumps
// forward between two looks at a file expires nothing by itself, and one failure never does.
bool Expired(const Deferral& deferral, const FateInput& input) {
  return deferral.attempts >= 2 &&
         input.now - deferral.firstFailure >= static_cast<std::int64_t>(input.maxQueueDays) * kSecondsPerDay;
}

// The note that belongs to this very file, if there is one.
const JournalNote* OwnNote(const FateInput& input) {
  if (input.journal.kind != JournalLookup::Kind::kFound) return nullptr;
  return input.journal.note.facts == input.facts ? &input.journal.note : nullptr;
}

// Whether an earlier attempt (or this one) may have put the message into the server's hands.
Delivered MayHaveGoneOut(const FateInput& input) {
  const JournalNote* note = OwnNote(input);
  if (note == nullptr) return Delivered::kNo;
  if (note->state == State::kAccepted) return Delivered::kYes;
  if (note->uncertain > 0 || note->state == State::kSending || note->state == State::kUncertain) {
    return Delivered::kMaybe;
  }
  return Delivered::kNo;
}

Fate Quarantine(const FateInput& input, Outcome outcome, Delivered delivered) {
  Fate fate;
  fate.action = FateAction::kQuarantine;
  fate.outcome = outcome;
  fate.delivered = std::max(delivered, MayHaveGoneOut(input));
  // The note goes with the file; one that is no file at all is moved out of the way instead.
  fate.noteChange = input.journal.kind == JournalLookup::Kind::kNotAFile ? NoteChange::kSetAside
                    : input.journal.kind == JournalLookup::Kind::kNone   ? NoteChange::kKeep
                                                                         : NoteChange::kRemove;
  return fate;
}

// The note after an attempt that left the file in the drop folder: it keeps only counts worth
// keeping, and goes when there are none.
void IdleNote(const FateInput& input, Fate& fate, JournalNote note) {
  if (note.killed == 0 && note.uncertain == 0) {
    fate.noteChange = input.journal.kind == JournalLookup::Kind::kNone ? NoteChange::kKeep : NoteChange::kRemove;
    return;
  }
  note.state = State::kIdle;
  fate.noteChange = NoteChange::kWrite;
  fate.note = note;
}

// One more temporary failure: the record grows, or, once the file has waited max_queue_days, it
// is set aside. An accepted file never expires: sending it again is never the remedy.
Fate Defer(const FateInput& input, Outcome outcome, bool accepted) {
  Deferral deferral = input.deferral.value_or(Deferral{input.facts, input.now, 0, 0, outcome, {}});
  // A first failure ahead of now was noted under a clock that has since stepped back.
  deferral.firstFailure = std::min(deferral.firstFailure, input.now);
  deferral.facts = input.facts;
  deferral.lastOutcome = outcome;
  ++deferral.attempts;
  if (!accepted && Expired(deferral, input)) {
    Fate fate = Quarantine(input, Outcome::kExpired, Delivered::kNo);
    fate.deferral = deferral;  // its last reason goes into the quarantine's
    return fate;
  }
  deferral.nextDue = input.now + RetryWaitSeconds(deferral.attempts);
  Fate fate;
  fate.action = FateAction::kDefer;
  fate.outcome = outcome;
  fate.deferral = deferral;
  return fate;
}

Fate BeforeAttempt(const FateInput& input) {
  if (!input.facts.regular) return Quarantine(input, Outcome::kNotRegular, Delivered::kNo);
  if (input.journal.kind == JournalLookup::Kind::kUnreadable || input.journal.kind == JournalLookup::Kind::kNotAFile) {
    // No proof either way: never disposed of as sent, never sent again without a person looking.
    return Quarantine(input, Outcome::kJournalUnreadable, Delivered::kMaybe);
  }
  const JournalNote* own = OwnNote(input);
  if (own != nullptr && own->state == State::kAccepted) {
    Fate fate;
    fate.action = FateAction::kDispose;
    if (input.deferral && input.deferral->nextDue > input.now) {
      // A disposal that failed before waits its turn like any deferral.
      fate.action = FateAction::kWait;
      fate.deferral = *input.deferral;
    }
    return fate;
  }
  if (input.deferral) {
    // No record makes a file wait longer than the longest wait from now (a hand-edited record,
    // a clock that jumped back).
    Deferral waiting = *input.deferral;
    waiting.nextDue = std::min(waiting.nextDue, input.now + RetryWaitSeconds(1000));
    if (waiting.nextDue > input.now) {
      Fate fate;
      fate.action = FateAction::kWait;
      fate.deferral = waiting;
      return fate;
    }
  }
  JournalNote note;
  note.facts = input.facts;
  if (own != nullptr) {
    note.killed = own->killed;
    note.uncertain = own->uncertain;
    if (own->state == State::kWorking) ++note.killed;      // the relay died while working on it
    if (own->state == State::kSending) ++note.uncertain;   // it died while the data may have been out
  }
  if (note.killed >= 2) return Quarantine(input, Outcome::kKilledTwice, Delivered::kNo);
  if (note.uncertain >= 2) return Quarantine(input, Outcome::kMaybeDelivered, Delivered::kMaybe);
  Fate fate;
  fate.action = FateAction::kAttempt;
  fate.noteChange = NoteChange::kWrite;
  // Noted before the file is even parsed: a file that kills the relay is known at the next run.
  fate.note = note;
  return fate;
}

Fate AfterAttempt(const FateInput& input, Outcome outcome) {
  const JournalNote* own = OwnNote(input);
  JournalNote note = own != nullptr ? *own : JournalNote{};
  note.facts = input.facts;
  const bool accepted = own != nullptr && own->state == State::kAccepted;
  const Disposition disposition = DispositionOf(outcome);

  if (disposition == Disposition::kDispose) {
    Fate fate;
    fate.action = FateAction::kDispose;
    fate.outcome = outcome;
    // The acceptance is on disk before the file is touched, so a crash cannot send it twice.
    if (!accepted) {
      note.state = State::kAccepted;
      fate.noteChange = NoteChange::kWrite;
      fate.note = note;
    }
    return fate;
  }
  if (outcome == Outcome::kNotDisposed || accepted) {
    // Handed over, but the file is still there: it waits, noted as accepted, and is disposed of
    // later without being sent again.
    return Defer(input, Outcome::kNotDisposed, true);
  }
  if (disposition == Disposition::kStop || outcome == Outcome::kJournalUnwritable) {
    // Not the message's fault: the file stays as it is, without a waiting time.
    Fate fate;
    fate.action = FateAction::kStopRun;
    fate.outcome = outcome;
    fate.exitStatus = outcome == Outcome::kJournalUnwritable ? kExitCantCreate : kExitConfig;
    IdleNote(input, fate, note);
    return fate;
  }
  if (outcome == Outcome::kUncertain) {
    ++note.uncertain;
    if (note.uncertain >= 2) return Quarantine(input, Outcome::kMaybeDelivered, Delivered::kMaybe);
    note.state = State::kUncertain;
    Fate fate = Defer(input, outcome, false);
    if (fate.action == FateAction::kQuarantine) {
      fate.delivered = Delivered::kMaybe;
      return fate;
    }
    fate.noteChange = NoteChange::kWrite;
    fate.note = note;
    return fate;
  }
  if (disposition == Disposition::kQuarantine) return Quarantine(input, outcome, Delivered::kNo);

  // Temporary: nothing went out, or the server said so.
  if (input.stopRequested) {
    // Cut short by a stop request: no failure, the file stays as it is for the next run.
    Fate fate;
    fate.action = FateAction::kKeep;
    fate.outcome = outcome;
    IdleNote(input, fate, note);
    return fate;
  }
  if (outcome == Outcome::kFileLocked && input.heldSince && input.now - *input.heldSince < kSettleLimitSeconds) {
    // Its writer still holds it: taken up again shortly, like a file modified just now.
    Fate fate;
    fate.action = FateAction::kRetrySoon;
    fate.outcome = outcome;
    IdleNote(input, fate, note);
    return fate;
  }
  Fate fate = Defer(input, outcome, false);
  if (fate.action == FateAction::kDefer) {
    IdleNote(input, fate, note);
    if (disposition == Disposition::kPause) {
      // The server takes nothing more for now: the other files are left for the next run.
      fate.endsRun = true;
      fate.exitStatus = kExitTempFail;
    }
  }
  return fate;
}

}  // namespace

Fate DecideFate(const FateInput& input) {
  return input.outcome ? AfterAttempt(input, *input.outcome) : BeforeAttempt(input);
}

const char* DeliveredToken(Delivered delivered) {
  switch (delivered) {
    case Delivered::kYes: return "yes";
    case Delivered::kMaybe: return "maybe";
    case Delivered::kNo: return "no";
  }
  return "maybe";
}

}  // namespace droprelay
