// The relay service: what the main window does, without the window. The Qt form owns one of these
// and drives it: FormCreate when the form is created, WorkTimerTimer on every tick of its timer,
// FormDestroy when it is destroyed. Everything the service needs from the window comes through
// RelayHost and LogView, so the whole relay runs and is tested without a display.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <vector>
#include <memory>
#include <string>

#include "app/activity_log.h"
#include "app/disposal.h"
#include "app/exit_status.h"
#include "app/file_fate.h"
#include "app/relay_config.h"
#include "app/relay_message.h"
#include "app/relay_queue.h"
#include "app/run_report.h"
#include "app/schedule_correction.h"
#include "app/substitution_table.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/program_paths.h"
#include "platform/state_files.h"

namespace droprelay {

// The window's side.
class RelayHost {
 public:
  virtual ~RelayHost() = default;
  // The form's WorkTimer: disabled while a cycle runs, enabled (restarting its interval) after.
  virtual void SetWorkTimerEnabled(bool enabled) = 0;
  // Whether the window is shown when the message loop starts.
  virtual void SetShowMainForm(bool show) = 0;
  // Closes the main window, which ends the application once the current cycle has returned.
  virtual void CloseMainForm() = 0;
  // After every cycle: how many files wait for a later attempt and how many messages lie in the
  // quarantine folder (the window's icon shows a warning while either is not 0).
  virtual void ReportQueueState(int /*waiting*/, int /*quarantined*/) {}
};

using RelayFunction = std::function<RelayOutcome(const RelayContext& context, const std::string& dropFolder,
                                                 const std::string& fileName)>;
using WallClock = std::function<std::chrono::system_clock::time_point()>;

using ScheduleCorrection = std::function<void(const std::string& connectionString, const LogFunction& log)>;

// The folders a run works on, fixed when it starts (each ends in "/"; archive may be empty when
// the setting names none).
struct RunFolders {
  std::string drop;
  std::string state;
  std::string failed;
  std::string archive;
  std::string temp;
  bool operator==(const RunFolders&) const = default;
};
// The folders the configuration names now.
RunFolders RunFoldersOf(const RelayConfig& config);

class RelayService {
 public:
  RelayService(platform::ProgramFiles files, RelayHost& host, LogView* view);
  ~RelayService();
  RelayService(const RelayService&) = delete;
  RelayService& operator=(const RelayService&) = delete;

  // Seams for tests; the defaults are the real clock, file system, relay step and schedule correction.
  // The wall clock is the relay's one clock: waits, due times, the log's timestamps (unless a
  // date-time source is set apart) and the schedule correction all read it.
  void SetDateTimeSource(DateTimeSource now);
  void SetFileSystem(platform::FileSystem& fileSystem) { fileSystem_ = &fileSystem; }
  void SetRelayFunction(RelayFunction relay) { relay_ = std::move(relay); }
  void SetScheduleCorrection(ScheduleCorrection correction) { correction_ = std::move(correction); }
  void SetWallClock(WallClock clock) { clock_ = std::move(clock); }
  // Where the start-up errors are told besides the log (standard error by default).
  void SetErrorStream(std::ostream& errors) { errors_ = &errors; }
  // A configuration file named on the command line must exist and be readable; the default one
  // beside the program may be absent.
  void SetConfigRequired(bool required) { configRequired_ = required; }
  // The folders missing keys stand for (the production folders by default).
  void SetFolderDefaults(FolderDefaults defaults) { folderDefaults_ = std::move(defaults); }
  // The log's copy for the journal or syslog (not owned; null for none).
  void SetLogMirror(LogMirror* mirror) { log_.SetMirror(mirror); }

  // Opens the configuration, reloads the log, logs the start, reads the start-up settings and
  // loads the substitution table; checks the configuration file, the drop folder and the folders
  // the relay writes, and takes the drop folder's run lock; runs the schedule correction when
  // configured. A failed check ends the run at once (RunEnded, ExitStatus) before any file is taken.
  void FormCreate();
  // Logs the end and releases the configuration. Runs once; later calls do nothing.
  void FormDestroy();
  // One relay cycle: at most one due file of the drop folder relayed and then disposed of, set
  // aside or deferred; a folder with no due file closes the main window. Never throws.
  void WorkTimerTimer();

  // Whether the run has ended (the main window was asked to close), and its exit status.
  bool RunEnded() const { return ended_; }
  int ExitStatus() const { return exitStatus_; }

  // Adds one message (Windows-1251) to the activity log. Never throws.
  void mainlog(const std::string& message);
  void mainlog(const std::string& message, LogSeverity severity);

  const ActivityLog& Log() const { return log_; }
  const std::string& TempFolder() const { return TempFolder_; }
  const SubstitutionTable& Substitutions() const { return SubstitutionTable_; }
  // The configuration between FormCreate and FormDestroy, otherwise null.
  const RelayConfig* Config() const { return config_.get(); }
  // What the run did so far; reported at its end (FormDestroy).
  RunReport& Report() { return report_; }

 private:
  void RunCycle();
  // Lists the drop folder anew into listing_; false when the run ended (the folder cannot be listed).
  bool ListDropFolder();
  // Walks listing_ from `start`: true when the cycle is done (a file taken, or, for a `complete`
  // walk, the wait for settling files or the end of the run).
  bool Walk(std::size_t start, bool complete);
  void ReportQueueState();
  bool StartUpChecks();
  void EndRun(int status);
  void StartUpFailure(int status, const std::string& logLine, const std::string& errorLine);
  // Looks at one listed file: true when the cycle took it up (it may have been set aside or
  // disposed of), false when it waits (then `waiting` holds it).
  bool TakeUp(const std::string& fileName, const platform::FileFacts& facts);
  // What the records say of a listed file now, before anything is tried.
  FateInput InputFor(const std::string& fileName, const platform::FileFacts& facts) const;
  // Relays the file (its note written first) and carries out what its outcome decides.
  void Attempt(const std::string& fileName, const platform::FileFacts& facts, const FateInput& before,
               const Fate& fate);
  // Carries out a decision. `reason` is the Windows-1251 reason for a deferral or quarantine;
  // `reply` the server's, when there was one.
  void Carry(const std::string& fileName, const FateInput& input, const Fate& fate, const std::string& reply,
             const std::string& systemError = std::string());
  bool ApplyNote(const std::string& fileName, const Fate& fate);
  void Dispose(const std::string& fileName, const FateInput& input);
  void Defer(const std::string& fileName, const Fate& fate, const std::string& reply, const std::string& systemError);
  void Quarantine(const std::string& fileName, const FateInput& input, const Fate& fate, const std::string& reply,
                  const std::string& systemError);
  void StopForConfiguration(Outcome outcome, const std::string& reply);
  // A journal note could not be written: the run takes no further file and ends with 73.
  void JournalFailure();
  // Removes what killed runs of this relay left behind (private folders, temporary notes).
  void RemoveLeftovers();
  // Logs once when the configuration names other folders than those the run started with.
  void NoteChangedFolders();
  // Logs once when the configuration file can no longer be read (its settings stay in effect).
  void NoteConfigReadFailure();
  DisposalPlace Place();
  // The name prefix of this relay's probes in the folders it may share with others.
  std::string OwnProbePrefix() const;
  std::string ReasonOf(const Fate& fate, const std::string& systemError = std::string()) const;
  std::int64_t Now() const;
  int MaxQueueDays() const;
  int MaxLogLength() const;

  platform::ProgramFiles files_;
  RelayHost& host_;
  platform::FileSystem* fileSystem_;
  RelayFunction relay_;
  ScheduleCorrection correction_;
  ActivityLog log_;
  LogFunction logFunction_;
  SeverityLogFunction severityLog_;

  std::unique_ptr<platform::IniFile> ConfigFile_;
  std::unique_ptr<RelayConfig> config_;
  FolderDefaults folderDefaults_;
  std::string TempFolder_;
  RunFolders folders_;
  bool foldersChangeLogged_ = false;
  bool configFailureTold_ = false;
  SubstitutionTable SubstitutionTable_;
  bool destroyed_ = false;

  WallClock clock_;
  std::ostream* errors_;
  bool configRequired_ = false;
  bool ended_ = false;
  int exitStatus_ = kExitOk;
  std::unique_ptr<RelayQueue> queue_;
  platform::FolderLock dropLock_;  // on the drop folder itself
  platform::FolderLock runLock_;   // on the state folder's lock file

  // Files found still being written (modified just now, or held by their writer), since when.
  std::map<std::string, std::int64_t> settlingSince_;
  std::set<std::string> futureTold_;  // files whose time ahead of now was logged
  RunReport report_;
  // Files held by their writer, not taken again before this moment.
  std::map<std::string, std::chrono::system_clock::time_point> heldUntil_;
  // The files this cycle found waiting, with their due time and whether they were accepted.
  struct Waiting {
    std::int64_t due = 0;
    bool accepted = false;
  };
  std::map<std::string, Waiting> waiting_;
  // The drop folder's listing kept between cycles, in name order, and where the walk goes on.
  std::vector<std::string> listing_;
  std::size_t cursor_ = 0;
  int takenSinceListing_ = 0;
  std::int64_t listedAt_ = 0;
  static constexpr int kRelistEveryFiles = 1000;
  static constexpr std::int64_t kRelistEverySeconds = 60;
  // Files deferred in this run, by name, with the time they are due: they are not taken again
  // before, even when their record could not be written.
  std::map<std::string, Waiting> deferredInRun_;
  bool scanLogged_ = false;  // the last cycle waited for a settling file and its scan is in the log
  DropFileRules dropRules_;
  std::string privatePrefix_ = "droprelay-";  // this relay's private folders in TempFolder
};

}  // namespace droprelay
