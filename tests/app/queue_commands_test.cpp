#include "app/queue_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/command_line.h"
#include "app/run_report.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "../common/temp_folder.h"
#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

void Write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

// A drop folder with its state and quarantine folders beside it.
struct Folders {
  testing::TempFolder root;
  QueueFolders folders{root / "drop/", root / "state/", root / "failed/"};
  Folders() {
    for (const std::string& folder : {folders.drop, folders.failed}) platform::RealFileSystem().CreateFolderPath(folder);
    EXPECT_TRUE(RelayQueue(folders.state).Prepare());
  }
  // A drop file with a deferral record for it.
  void Waiting(const std::string& name, std::int64_t firstFailure, std::int64_t nextDue, int attempts = 1) {
    Write(folders.drop + name, "message " + name);
    Deferral deferral{*platform::EntryFacts(folders.drop + name), firstFailure, nextDue, attempts,
                      Outcome::kServerBusy, texts::ReasonSendFailed()};
    ASSERT_TRUE(RelayQueue(folders.state).SaveDeferral(name, deferral));
  }
};

TEST(DeferralRecord, ReadsItsOwnAndEarlierLayouts) {
  Folders f;
  Write(f.folders.drop + "m.eml", "x");
  const platform::FileFacts facts = *platform::EntryFacts(f.folders.drop + "m.eml");
  const std::string factsText = std::to_string(facts.device) + " " + std::to_string(facts.inode) + " " +
                                std::to_string(facts.size) + " " + std::to_string(facts.mtimeNs);
  struct Case {
    const char* what;
    std::string record;
    bool readable;
    Outcome outcome;
    std::string reason;
  };
  const Case cases[] = {
      {"before the last outcome was kept", factsText + " 100 160 2\n", true, Outcome::kSendFailed, ""},
      {"current", factsText + " 100 160 2 server-busy\n\xEE\xF2\xEA\xE0\xE7\n", true, Outcome::kServerBusy,
       "\xEE\xF2\xEA\xE0\xE7"},
      {"a token of a later version", factsText + " 100 160 2 over-quota\nwhy\n", true, Outcome::kSendFailed, "why"},
      {"without its reason line", factsText + " 100 160 2 no-connection", true, Outcome::kNoConnection, ""},
      {"cut short", factsText + " 100", false, Outcome::kSendFailed, ""},
  };
  const RelayQueue queue(f.folders.state);
  for (const Case& c : cases) {
    Write(f.folders.state + "queue/m.eml", c.record);
    const std::optional<Deferral> found = queue.FindDeferral("m.eml", facts);
    ASSERT_EQ(found.has_value(), c.readable) << c.what;
    if (!found) continue;
    EXPECT_EQ(found->firstFailure, 100) << c.what;
    EXPECT_EQ(found->nextDue, 160) << c.what;
    EXPECT_EQ(found->attempts, 2) << c.what;
    EXPECT_EQ(found->lastOutcome, c.outcome) << c.what;
    EXPECT_EQ(found->lastReason, c.reason) << c.what;
  }

  // Written and read back; a reason with line breaks stays one line and does not cut the record.
  Deferral saved{facts, 5, 65, 1, Outcome::kLogonRefused, "535 bad\r\nMAIL FROM"};
  ASSERT_TRUE(queue.SaveDeferral("m.eml", saved));
  saved.lastReason = "535 bad  MAIL FROM";
  const std::optional<Deferral> back = queue.FindDeferral("m.eml", facts);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->lastOutcome, saved.lastOutcome);
  EXPECT_EQ(back->lastReason, saved.lastReason);
  EXPECT_EQ(back->attempts, 1);
}

TEST(QueueSnapshot, ListsWaitingFilesWhoseRecordStillFitsAndEveryQuarantinedFile) {
  Folders f;
  f.Waiting("b.eml", 1000, 1060);
  f.Waiting("a.eml", 900, 1100, 3);
  f.Waiting("replaced.eml", 900, 1100);
  Write(f.folders.drop + "replaced.eml", "a new message under the old name");
  f.Waiting("gone.eml", 900, 1100);
  std::remove((f.folders.drop + "gone.eml").c_str());
  Write(f.folders.state + "queue/broken.eml", "not a record");
  Write(f.folders.drop + "broken.eml", "x");
  Write(f.folders.state + "queue/.tmp-123", "a writer's temporary file");

  Write(f.folders.failed + "q.eml", "12345");
  Write(f.folders.failed + "q.eml.reason", "time=1700000000\nlocal_time=14.11.2023 22:13:20\noutcome=refused\r\n"
                                           "reason=сервер окончательно отказал в приеме\nreply=550 no=such\n");
  Write(f.folders.failed + "bare.eml", "x");
  Write(f.folders.failed + "named.reason", "a message that happens to end in .reason");
  Write(f.folders.failed + "released.eml.reason", "time=1\noutcome=refused\n");  // left by a release by hand
  Write(f.folders.failed + ".q.eml.reason.tmp", "time=");

  const QueueSnapshot snapshot = ReadQueueSnapshot(f.folders);
  ASSERT_EQ(snapshot.waiting.size(), 2u);
  EXPECT_EQ(snapshot.waiting[0].name, "a.eml");
  EXPECT_EQ(snapshot.waiting[0].deferral.attempts, 3);
  EXPECT_EQ(snapshot.waiting[0].size, std::string("message a.eml").size());
  EXPECT_EQ(snapshot.waiting[1].name, "b.eml");
  EXPECT_EQ(snapshot.waiting[1].deferral.lastOutcome, Outcome::kServerBusy);

  ASSERT_EQ(snapshot.quarantined.size(), 3u);
  EXPECT_EQ(snapshot.quarantined[0].name, "bare.eml");
  EXPECT_TRUE(snapshot.quarantined[0].time.has_value()) << "the time of the move stands in";
  EXPECT_EQ(snapshot.quarantined[0].outcome, "");
  EXPECT_EQ(snapshot.quarantined[1].name, "named.reason");
  const QuarantinedFile& q = snapshot.quarantined[2];
  EXPECT_EQ(q.name, "q.eml");
  EXPECT_EQ(q.size, 5u);
  EXPECT_EQ(q.time, 1700000000);
  EXPECT_EQ(q.outcome, "refused");
  EXPECT_EQ(q.reason, "сервер окончательно отказал в приеме");
  EXPECT_EQ(q.reply, "550 no=such") << "only the first '=' separates";

  std::ostringstream json;
  PrintQueueJson(snapshot, json);
  EXPECT_NE(json.str().find("{\"name\":\"a.eml\",\"size\":13,\"first_failure\":900,\"attempts\":3,\"next_attempt\":1100,"
                            "\"last_outcome\":\"server-busy\",\"last_reason\":\"временная ошибка отправки\",\"accepted\":false}"),
            std::string::npos)
      << json.str();
  EXPECT_NE(json.str().find("{\"name\":\"named.reason\",\"size\":40,\"time\":"), std::string::npos) << json.str();
}

TEST(QueueCheck, ThresholdsAndQuarantine) {
  const std::int64_t now = 1'000'000;
  struct Case {
    std::vector<std::int64_t> ages;  // seconds since each waiting file's first failure
    int quarantined;
    int warn, crit;  // minutes
    int status;
  };
  const Case cases[] = {
      {{}, 0, 60, 1440, kCheckOk},
      {{59 * 60 + 59}, 0, 60, 1440, kCheckOk},
      {{60 * 60}, 0, 60, 1440, kCheckWarning},
      {{10, 1440 * 60}, 0, 60, 1440, kCheckCritical},
      {{}, 1, 60, 1440, kCheckWarning},
      {{1440 * 60}, 1, 60, 1440, kCheckCritical},
      {{0}, 0, 0, 1440, kCheckWarning},
      {{0}, 0, 0, 0, kCheckCritical},
      {{}, 0, 0, 0, kCheckOk},
      {{-30}, 0, 1, 2, kCheckOk},  // a first failure ahead of this clock counts as just now
  };
  for (const Case& c : cases) {
    QueueSnapshot snapshot;
    for (const std::int64_t age : c.ages) snapshot.waiting.push_back({"w", 1, Deferral{{}, now - age, now, 1, Outcome::kSendFailed, {}}});
    snapshot.quarantined.resize(static_cast<std::size_t>(c.quarantined));
    const CheckResult result = EvaluateQueue(snapshot, now, c.warn, c.crit);
    EXPECT_EQ(result.status, c.status) << result.line;
    EXPECT_EQ(result.line.find('\n'), std::string::npos);
  }
  QueueSnapshot snapshot;
  snapshot.waiting.push_back({"w", 1, Deferral{{}, now - 7200, now, 1, Outcome::kSendFailed, {}}});
  EXPECT_EQ(EvaluateQueue(snapshot, now, 60, 1440).line,
            "DROPRELAY WARNING - 1 waiting (oldest 120 min), 0 quarantined | waiting=1 quarantined=0 "
            "oldest_age=7200s;3600;86400;0");
}

TEST(QueueFlush, MakesWaitingFilesDueAndKeepsTheirAttempts) {
  Folders f;
  f.Waiting("later.eml", 100, 5000, 4);
  f.Waiting("due.eml", 100, 150, 2);
  int flushed = 0;
  ASSERT_TRUE(FlushQueue(f.folders, 1000, flushed));
  EXPECT_EQ(flushed, 2);
  const QueueSnapshot snapshot = ReadQueueSnapshot(f.folders);
  ASSERT_EQ(snapshot.waiting.size(), 2u);
  EXPECT_EQ(snapshot.waiting[0].deferral.nextDue, 150) << "due already: left alone";
  EXPECT_EQ(snapshot.waiting[1].deferral.nextDue, 1000);
  EXPECT_EQ(snapshot.waiting[1].deferral.attempts, 4);
  EXPECT_EQ(snapshot.waiting[1].deferral.firstFailure, 100);
  EXPECT_EQ(snapshot.waiting[1].deferral.lastOutcome, Outcome::kServerBusy);
}

TEST(QueueRelease, NeverReplacesAndRefusesNamesOutsideTheQuarantine) {
  Folders f;
  Write(f.folders.failed + "q.eml", "quarantined");
  Write(f.folders.failed + "q.eml.reason", "time=1\noutcome=refused\ndelivered=no\n");
  // Whether a message may have been delivered: its reason file says so, or (written by an earlier
  // version) its outcome does; a file without any reason was put there by hand.
  Write(f.folders.failed + "maybe.eml", "quarantined");
  Write(f.folders.failed + "maybe.eml.reason", "time=1\noutcome=refused\ndelivered=maybe\n");
  Write(f.folders.failed + "old.eml", "quarantined");
  Write(f.folders.failed + "old.eml.reason", "time=1\noutcome=maybe-delivered\n");
  Write(f.folders.failed + "bare.eml", "quarantined");
  Write(f.folders.failed + "taken.eml", "quarantined");
  Write(f.folders.failed + "taken.eml.reason", "time=1\n");
  Write(f.folders.drop + "taken.eml", "new mail");
  Write(f.root / "outside.eml", "not quarantined");
  struct Case {
    std::string name;
    bool force;
    ReleaseResult result;
  };
  const Case cases[] = {
      {"q.eml", false, ReleaseResult::kReleased},          {"q.eml", false, ReleaseResult::kNotFound},
      {"taken.eml", false, ReleaseResult::kNameTaken},     {"../outside.eml", false, ReleaseResult::kBadName},
      {".hidden", false, ReleaseResult::kBadName},         {"", false, ReleaseResult::kBadName},
      {"taken.eml.reason", false, ReleaseResult::kBadName},
      {"maybe.eml", false, ReleaseResult::kMayBeDelivered}, {"old.eml", false, ReleaseResult::kMayBeDelivered},
      {"bare.eml", false, ReleaseResult::kReleased},        {"maybe.eml", true, ReleaseResult::kReleased},
      {"old.eml", true, ReleaseResult::kReleased},
  };
  for (const Case& c : cases) EXPECT_EQ(ReleaseQuarantined(f.folders, c.name, c.force), c.result) << c.name;
  EXPECT_TRUE(platform::IsExistingFile(f.folders.drop + "bare.eml"));
  std::string content;
  ASSERT_TRUE(platform::ReadWholeFile(f.folders.drop + "taken.eml", content));
  EXPECT_EQ(content, "new mail");
  EXPECT_TRUE(platform::IsExistingFile(f.folders.drop + "q.eml"));
  EXPECT_FALSE(platform::IsExistingFile(f.folders.failed + "q.eml.reason"));
  EXPECT_TRUE(platform::IsExistingFile(f.root / "outside.eml"));
}

TEST(RunReport, OneLinePerReasonAndMetricsInTheExpositionFormat) {
  RunReport report;
  EXPECT_TRUE(FailureLines(report).empty()) << "a clean run prints nothing";
  const std::string busy = Utf8ToCp1251("временная ошибка отправки");
  for (const char* name : {"g.eml", "a.eml", "b.eml", "c.eml", "d.eml", "e.eml", "f.eml", "a.eml"}) {
    report.NoteDeferred(name, busy);
  }
  report.NoteQuarantined("x.eml", "550 no\r\nsuch");
  EXPECT_EQ(FailureLines(report),
            (std::vector<std::string>{"droprelay: quarantined 1 file (x.eml): 550 no  such",
                                      "droprelay: deferred 7 files (a.eml, b.eml, c.eml, d.eml, e.eml, ...): "
                                      "временная ошибка отправки"}));
  const std::vector<std::string> journal = FailureLines(report, true);
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0].rfind("<3>droprelay: quarantined", 0), 0u) << "a quarantine is an error in the journal";
  EXPECT_EQ(journal[1].rfind("<4>droprelay: deferred", 0), 0u) << "a deferral a warning";

  const std::string text = MetricsText({"/var/spool/a \"b\"\\c/", 2, 1, 3, 1700000000, 75});
  EXPECT_NE(text.find("# TYPE droprelay_waiting_files gauge\n"
                      "droprelay_waiting_files{drop_folder=\"/var/spool/a \\\"b\\\"\\\\c/\"} 2\n"),
            std::string::npos)
      << text;
  for (const char* line : {"droprelay_quarantined_files{", "} 1\n", "droprelay_last_run_relayed_files{", "} 3\n",
                           "droprelay_last_run_end_timestamp_seconds{", "} 1700000000\n",
                           "droprelay_last_run_exit_status{", "} 75\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.back(), '\n');
}

TEST(QueueCommandLine, CommandsAndTheirOptions) {
  using Kind = QueueRequest::Kind;
  struct Case {
    std::vector<std::string> arguments;
    bool ok;
    Kind kind;
    int warn, crit;
  };
  const Case cases[] = {
      {{"--queue"}, true, Kind::kList, 60, 1440},
      {{"--queue", "--json"}, true, Kind::kList, 60, 1440},
      {{"--flush"}, true, Kind::kFlush, 60, 1440},
      {{"--release", "a.eml", "b.eml"}, true, Kind::kRelease, 60, 1440},
      {{"--release", "--all"}, true, Kind::kRelease, 60, 1440},
      {{"--check"}, true, Kind::kCheck, 60, 1440},
      {{"--warn-age", "5", "--check", "--crit-age", "10"}, true, Kind::kCheck, 5, 10},
      {{"--release"}, false, Kind::kRelease, 0, 0},
      {{"--release", "a.eml", "--all"}, false, Kind::kRelease, 0, 0},
      {{"--check", "--warn-age", "20", "--crit-age", "10"}, false, Kind::kCheck, 0, 0},
      {{"--check", "--warn-age", "-1"}, false, Kind::kCheck, 0, 0},
      {{"--check", "--crit-age"}, false, Kind::kCheck, 0, 0},
      {{"--queue", "--flush"}, false, Kind::kList, 0, 0},
      {{"--flush", "--json"}, false, Kind::kList, 0, 0},
      {{"--queue", "--warn-age", "5"}, false, Kind::kList, 0, 0},
      {{"--queue", "x.eml"}, false, Kind::kList, 0, 0},
      {{"--inspect", "--queue"}, false, Kind::kList, 0, 0},
      {{"--queue", "--check-config"}, false, Kind::kList, 0, 0},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.arguments) joined += a + " ";
    const CommandLine line = ParseCommandLine(c.arguments);
    if (!c.ok) {
      EXPECT_EQ(line.action, CommandLine::Action::Error) << joined;
      continue;
    }
    ASSERT_EQ(line.action, CommandLine::Action::Queue) << joined << line.error;
    EXPECT_EQ(line.queue.kind, c.kind) << joined;
    EXPECT_EQ(line.queue.warnAgeMinutes, c.warn) << joined;
    EXPECT_EQ(line.queue.critAgeMinutes, c.crit) << joined;
  }
  EXPECT_TRUE(ParseCommandLine({"--check", "--warn-age", "x"}).check) << "a monitor's usage error is UNKNOWN";
  EXPECT_EQ(ParseCommandLine({"--release", "a", "b"}).queue.names, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace droprelay
