// The fate of a drop file, row by row as the README's "When things go wrong" tells it: every
// journal note a file can have, before an attempt and after each outcome an attempt can give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/file_fate.h"

namespace droprelay {
namespace {

using State = JournalNote::State;
constexpr std::int64_t kNow = 1'000'000'000;
constexpr std::int64_t kDay = 86400;

platform::FileFacts Facts() {
  platform::FileFacts facts;
  facts.device = 1;
  facts.inode = 42;
  facts.size = 100;
  facts.mtimeNs = 5;
  facts.regular = true;
  return facts;
}

// What the journal holds for the name: nothing, a note (for this file or another), or no proof.
struct Journal {
  enum Kind { kNone, kNote, kOtherFile, kUnreadable, kNotAFile } kind = kNone;
  State state = State::kWorking;
  int killed = 0;
  int uncertain = 0;
};

JournalLookup LookupOf(const Journal& journal) {
  JournalLookup lookup;
  switch (journal.kind) {
    case Journal::kNone: return lookup;
    case Journal::kUnreadable: lookup.kind = JournalLookup::Kind::kUnreadable; return lookup;
    case Journal::kNotAFile: lookup.kind = JournalLookup::Kind::kNotAFile; return lookup;
    case Journal::kNote:
    case Journal::kOtherFile: break;
  }
  lookup.kind = JournalLookup::Kind::kFound;
  lookup.note.state = journal.state;
  lookup.note.killed = journal.killed;
  lookup.note.uncertain = journal.uncertain;
  lookup.note.facts = Facts();
  if (journal.kind == Journal::kOtherFile) lookup.note.facts.inode = 7;
  return lookup;
}

// A deferral record: none, due now, due later, failing since longer than max_queue_days (5), its
// first failure ahead of now (noted under a clock that stepped back), or its first failure
// past max_queue_days after a single attempt (the clock stepped forward since).
enum class Record { kNone, kDue, kLater, kExpired, kExpiredLater, kFarAhead, kFirstAhead, kJumped };

std::optional<Deferral> DeferralOf(Record record) {
  if (record == Record::kNone) return std::nullopt;
  Deferral deferral;
  deferral.facts = Facts();
  deferral.attempts = 3;
  deferral.firstFailure = kNow - kDay;
  deferral.nextDue = kNow - 1;
  deferral.lastOutcome = Outcome::kServerBusy;
  if (record == Record::kLater) deferral.nextDue = kNow + 600;
  if (record == Record::kFarAhead) deferral.nextDue = kNow + 30 * kDay;
  if (record == Record::kExpired || record == Record::kExpiredLater) deferral.firstFailure = kNow - 6 * kDay;
  if (record == Record::kExpiredLater) deferral.nextDue = kNow + 600;
  if (record == Record::kFirstAhead) deferral.firstFailure = kNow + 10 * kDay;
  if (record == Record::kJumped) {
    deferral.firstFailure = kNow - 10 * kDay;
    deferral.attempts = 0;  // written by a failure that did not count as an attempt
  }
  return deferral;
}

struct Expected {
  FateAction action;
  NoteChange note = NoteChange::kKeep;
  State written = State::kWorking;  // the state of a written note
  int killed = 0, uncertain = 0;    // its counts
  Outcome outcome = Outcome::kDelivered;
  Delivered delivered = Delivered::kNo;
  int exitStatus = 0;
  bool endsRun = false;
};

void Check(const FateInput& input, const Expected& want, const std::string& row) {
  const Fate fate = DecideFate(input);
  EXPECT_EQ(fate.action, want.action) << row;
  EXPECT_EQ(fate.noteChange, want.note) << row;
  if (want.note == NoteChange::kWrite && fate.noteChange == NoteChange::kWrite) {
    EXPECT_EQ(fate.note.state, want.written) << row;
    EXPECT_EQ(fate.note.killed, want.killed) << row;
    EXPECT_EQ(fate.note.uncertain, want.uncertain) << row;
    EXPECT_EQ(fate.note.facts, input.facts) << row;
  }
  if (want.action == FateAction::kQuarantine || want.action == FateAction::kDefer || want.action == FateAction::kStopRun) {
    EXPECT_EQ(fate.outcome, want.outcome) << row;
  }
  if (want.action == FateAction::kQuarantine) {
    EXPECT_EQ(fate.delivered, want.delivered) << row;
  }
  if (want.action == FateAction::kStopRun || want.endsRun) {
    EXPECT_EQ(fate.exitStatus, want.exitStatus) << row;
  }
  EXPECT_EQ(fate.endsRun, want.endsRun) << row;
}

FateInput Input(const Journal& journal, Record record, std::optional<Outcome> outcome = std::nullopt) {
  FateInput input;
  input.facts = Facts();
  input.journal = LookupOf(journal);
  input.deferral = DeferralOf(record);
  input.outcome = outcome;
  input.now = kNow;
  input.maxQueueDays = 5;
  return input;
}

TEST(FileFate, BeforeAnAttempt) {
  using A = FateAction;
  using N = NoteChange;
  const Journal none;
  struct Row {
    const char* name;
    Journal journal;
    Record record;
    Expected want;
  };
  const Row rows[] = {
      {"new file", none, Record::kNone, {A::kAttempt, N::kWrite, State::kWorking}},
      {"deferred, due", none, Record::kDue, {A::kAttempt, N::kWrite, State::kWorking}},
      {"deferred, not due", none, Record::kLater, {A::kWait}},
      // The age counts only between attempts: looking at a file (after a clock that jumped
      // forward, say) expires nothing, the next failure does.
      {"deferred past max_queue_days, due: tried once more", none, Record::kExpired,
       {A::kAttempt, N::kWrite, State::kWorking}},
      {"deferred past max_queue_days, not due", none, Record::kExpiredLater, {A::kWait}},
      {"relay died working on it once", {Journal::kNote, State::kWorking}, Record::kNone,
       {A::kAttempt, N::kWrite, State::kWorking, 1, 0}},
      {"relay died working on it twice", {Journal::kNote, State::kWorking, 1}, Record::kNone,
       {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kKilledTwice}},
      {"died while the data may have been out", {Journal::kNote, State::kSending}, Record::kNone,
       {A::kAttempt, N::kWrite, State::kWorking, 0, 1}},
      {"the second time its fate is unknown", {Journal::kNote, State::kSending, 0, 1}, Record::kNone,
       {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kMaybeDelivered, Delivered::kMaybe}},
      {"sent once without an answer: tried once more", {Journal::kNote, State::kUncertain, 0, 1}, Record::kDue,
       {A::kAttempt, N::kWrite, State::kWorking, 0, 1}},
      {"sent without an answer, past max_queue_days", {Journal::kNote, State::kUncertain, 0, 1}, Record::kExpired,
       {A::kAttempt, N::kWrite, State::kWorking, 0, 1}},
      {"idle note keeps its counts", {Journal::kNote, State::kIdle, 1, 0}, Record::kDue,
       {A::kAttempt, N::kWrite, State::kWorking, 1, 0}},
      {"accepted: disposed of, never sent again", {Journal::kNote, State::kAccepted}, Record::kNone, {A::kDispose}},
      {"accepted, past max_queue_days and due: still only disposed of", {Journal::kNote, State::kAccepted},
       Record::kExpired, {A::kDispose}},
      {"accepted, past max_queue_days, not due: waits, never expires", {Journal::kNote, State::kAccepted},
       Record::kExpiredLater, {A::kWait}},
      {"note of another file of that name", {Journal::kOtherFile, State::kAccepted}, Record::kNone,
       {A::kAttempt, N::kWrite, State::kWorking}},
      {"note unreadable: no proof either way", {Journal::kUnreadable}, Record::kNone,
       {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kJournalUnreadable, Delivered::kMaybe}},
      {"note is a folder", {Journal::kNotAFile}, Record::kNone,
       {A::kQuarantine, N::kSetAside, State::kWorking, 0, 0, Outcome::kJournalUnreadable, Delivered::kMaybe}},
  };
  for (const Row& row : rows) Check(Input(row.journal, row.record), row.want, row.name);

  FateInput link = Input(none, Record::kNone);
  link.facts.regular = false;
  Check(link, {A::kQuarantine, N::kKeep, State::kWorking, 0, 0, Outcome::kNotRegular}, "not a regular file");

  // A record parked far ahead (a clock that jumped back, a hand edit) waits at most an hour.
  const Fate parked = DecideFate(Input(none, Record::kFarAhead));
  EXPECT_EQ(parked.action, A::kWait);
  EXPECT_EQ(parked.deferral.nextDue, kNow + 3600);
}

// The outcome classes as the README lists them; every outcome belongs to exactly one.
enum class Class { kDone, kTemporary, kUnknownFate, kPermanent, kConfiguration, kJournal, kQuota, kNotDisposed };

Class ClassOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDelivered:
    case Outcome::kNotSent:
      return Class::kDone;
    case Outcome::kUncertain:
      return Class::kUnknownFate;
    case Outcome::kJournalUnwritable:
      return Class::kJournal;
    case Outcome::kNotDisposed:
      return Class::kNotDisposed;
    case Outcome::kQuotaExceeded:
      return Class::kQuota;
    case Outcome::kNoMailProfile:
    case Outcome::kSenderRefused:
    case Outcome::kAccountRefused:
      return Class::kConfiguration;
    case Outcome::kNoConnection:
    case Outcome::kLogonRefused:
    case Outcome::kServerBusy:
    case Outcome::kSendFailed:
    case Outcome::kAttachmentMissing:
    case Outcome::kAttachmentNotSaved:
    case Outcome::kFileLocked:
    case Outcome::kInternalError:
    case Outcome::kSystemError:
      return Class::kTemporary;
    default:
      return Class::kPermanent;
  }
}

TEST(FileFate, AfterEveryOutcomeOfAnAttempt) {
  using A = FateAction;
  using N = NoteChange;
  // The note as the attempt left it: working (nothing went out), sending (the data may have gone
  // out), sending after an earlier unanswered attempt, or accepted by the server.
  const Journal working{Journal::kNote, State::kWorking};
  const Journal sending{Journal::kNote, State::kSending};
  const Journal sendingAgain{Journal::kNote, State::kSending, 0, 1};
  const Journal accepted{Journal::kNote, State::kAccepted};
  for (int value = 0; value <= static_cast<int>(kLastOutcome); ++value) {
    const auto outcome = static_cast<Outcome>(value);
    const std::string row = std::string(OutcomeToken(outcome));
    switch (ClassOf(outcome)) {
      case Class::kDone:
        Check(Input(working, Record::kDue, outcome), {A::kDispose, N::kWrite, State::kAccepted}, row + " noted now");
        Check(Input(accepted, Record::kNone, outcome), {A::kDispose}, row + " noted already");
        break;
      case Class::kTemporary:
        Check(Input(working, Record::kNone, outcome), {A::kDefer, N::kRemove, State::kWorking, 0, 0, outcome}, row);
        Check(Input(sendingAgain, Record::kDue, outcome),
              {A::kDefer, N::kWrite, State::kIdle, 0, 1, outcome}, row + " keeps the count of an unanswered attempt");
        Check(Input(working, Record::kExpired, outcome),
              {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kExpired}, row + " past max_queue_days");
        break;
      case Class::kUnknownFate:
        Check(Input(sending, Record::kNone, outcome), {A::kDefer, N::kWrite, State::kUncertain, 0, 1, outcome}, row);
        Check(Input(sendingAgain, Record::kDue, outcome),
              {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kMaybeDelivered, Delivered::kMaybe},
              row + " twice");
        Check(Input(sending, Record::kExpired, outcome),
              {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kExpired, Delivered::kMaybe},
              row + " past max_queue_days");
        break;
      case Class::kPermanent:
        Check(Input(working, Record::kDue, outcome),
              {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, outcome, Delivered::kNo}, row);
        Check(Input(sendingAgain, Record::kNone, outcome),
              {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, outcome, Delivered::kMaybe},
              row + " after an unanswered attempt");
        break;
      case Class::kConfiguration:
        Check(Input(working, Record::kDue, outcome),
              {A::kStopRun, N::kRemove, State::kWorking, 0, 0, outcome, Delivered::kNo, kExitConfig}, row);
        Check(Input(sendingAgain, Record::kExpired, outcome),
              {A::kStopRun, N::kWrite, State::kIdle, 0, 1, outcome, Delivered::kNo, kExitConfig},
              row + " never expires a file, keeps the counts");
        break;
      case Class::kJournal:
        Check(Input(working, Record::kNone, outcome),
              {A::kStopRun, N::kRemove, State::kWorking, 0, 0, outcome, Delivered::kNo, kExitCantCreate}, row);
        break;
      case Class::kQuota:
        Check(Input(working, Record::kDue, outcome),
              {A::kDefer, N::kRemove, State::kWorking, 0, 0, outcome, Delivered::kNo, kExitTempFail, true}, row);
        break;
      case Class::kNotDisposed:
        Check(Input(accepted, Record::kExpired, outcome),
              {A::kDefer, N::kKeep, State::kWorking, 0, 0, Outcome::kNotDisposed}, row + " never expires");
        break;
    }
    // An accepted message whose step went wrong afterwards is never quarantined nor sent again.
    if (ClassOf(outcome) != Class::kDone) {
      Check(Input(accepted, Record::kExpired, outcome), {A::kDefer, N::kKeep, State::kWorking, 0, 0, Outcome::kNotDisposed},
            row + " after acceptance");
    }
  }
}

TEST(FileFate, StopRequestsAndWritersThatHoldTheFile) {
  using A = FateAction;
  using N = NoteChange;
  const Journal working{Journal::kNote, State::kWorking};
  const Journal sending{Journal::kNote, State::kSending};

  // A stop cuts an attempt short: nothing is counted and the file stays as it was.
  FateInput stopped = Input(working, Record::kDue, Outcome::kNoConnection);
  stopped.stopRequested = true;
  Check(stopped, {A::kKeep, N::kRemove}, "stopped before the data went out");
  FateInput killedBefore = Input({Journal::kNote, State::kWorking, 1}, Record::kNone, Outcome::kSendFailed);
  killedBefore.stopRequested = true;
  Check(killedBefore, {A::kKeep, N::kWrite, State::kIdle, 1, 0}, "stopped, the count of a killed run kept");
  // Only an attempt that may have delivered counts even when a stop came.
  FateInput unanswered = Input(sending, Record::kNone, Outcome::kUncertain);
  unanswered.stopRequested = true;
  Check(unanswered, {A::kDefer, N::kWrite, State::kUncertain, 0, 1, Outcome::kUncertain}, "stopped after the data");
  FateInput refused = Input(working, Record::kNone, Outcome::kRefused);
  refused.stopRequested = true;
  Check(refused, {A::kQuarantine, N::kRemove, State::kWorking, 0, 0, Outcome::kRefused}, "stopped, refused");

  // A writer that holds the file is waited for up to the settle limit, then the file is deferred.
  FateInput held = Input(working, Record::kNone, Outcome::kFileLocked);
  held.heldSince = kNow - (kSettleLimitSeconds - 1);
  Check(held, {A::kRetrySoon, N::kRemove}, "held briefly");
  held.heldSince = kNow - kSettleLimitSeconds;
  Check(held, {A::kDefer, N::kRemove, State::kWorking, 0, 0, Outcome::kFileLocked}, "held too long");
}

TEST(FileFate, ClocksThatStepNeitherHoldNorExpireMail) {
  const Journal working{Journal::kNote, State::kWorking};
  // A first failure ahead of now is reset to now: the record ages from here on.
  const Fate ahead = DecideFate(Input(working, Record::kFirstAhead, Outcome::kServerBusy));
  EXPECT_EQ(ahead.action, FateAction::kDefer);
  EXPECT_EQ(ahead.deferral.firstFailure, kNow);
  // Ten days after a first failure but at the first attempt that counts: not expired.
  const Fate jumped = DecideFate(Input(working, Record::kJumped, Outcome::kServerBusy));
  EXPECT_EQ(jumped.action, FateAction::kDefer);
  EXPECT_EQ(jumped.deferral.attempts, 1);
  // A single failure never expires, whatever max_queue_days says.
  FateInput once = Input(working, Record::kNone, Outcome::kServerBusy);
  once.maxQueueDays = 0;
  EXPECT_EQ(DecideFate(once).action, FateAction::kDefer);
  once.deferral = DecideFate(once).deferral;
  EXPECT_EQ(DecideFate(once).action, FateAction::kQuarantine) << "the second failure does";
}

TEST(FileFate, DeferralsGrowAndKeepTheirFirstFailure) {
  const Journal working{Journal::kNote, State::kWorking};
  Fate first = DecideFate(Input(working, Record::kNone, Outcome::kServerBusy));
  EXPECT_EQ(first.deferral.attempts, 1);
  EXPECT_EQ(first.deferral.firstFailure, kNow);
  EXPECT_EQ(first.deferral.nextDue, kNow + 60);
  EXPECT_EQ(first.deferral.lastOutcome, Outcome::kServerBusy);
  Fate fourth = DecideFate(Input(working, Record::kDue, Outcome::kNoConnection));
  EXPECT_EQ(fourth.deferral.attempts, 4);
  EXPECT_EQ(fourth.deferral.firstFailure, kNow - kDay);
  EXPECT_EQ(fourth.deferral.nextDue, kNow + 480);
  EXPECT_EQ(fourth.deferral.lastOutcome, Outcome::kNoConnection);
  EXPECT_EQ(fourth.deferral.facts, Facts());
}

}  // namespace
}  // namespace droprelay
