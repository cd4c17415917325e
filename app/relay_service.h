// The relay service: what the main window does, without the window. The Qt form owns one of these
// and drives it: FormCreate when the form is created, WorkTimerTimer on every tick of its timer,
// FormDestroy when it is destroyed. Everything the service needs from the window comes through
// RelayHost and LogView, so the whole relay runs and is tested without a display.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/activity_log.h"
#include "app/relay_config.h"
#include "app/relay_message.h"
#include "app/schedule_correction.h"
#include "app/substitution_table.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/program_paths.h"

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
};

using RelayFunction =
    std::function<bool(const RelayContext& context, const std::string& dropFolder, const std::string& fileName)>;
using ScheduleCorrection = std::function<void(const std::string& connectionString, const LogFunction& log)>;

class RelayService {
 public:
  static constexpr int kDisposalAttempts = 100;
  static constexpr std::uint32_t kDisposalWaitMs = 1000;

  RelayService(platform::ProgramFiles files, RelayHost& host, LogView* view);
  ~RelayService();
  RelayService(const RelayService&) = delete;
  RelayService& operator=(const RelayService&) = delete;

  // Seams for tests; the defaults are the real clock, file system, relay step and schedule correction.
  void SetDateTimeSource(DateTimeSource now);
  void SetFileSystem(platform::FileSystem& fileSystem) { fileSystem_ = &fileSystem; }
  void SetRelayFunction(RelayFunction relay) { relay_ = std::move(relay); }
  void SetScheduleCorrection(ScheduleCorrection correction) { correction_ = std::move(correction); }
  // The log's copy for the journal or syslog (not owned; null for none).
  void SetLogMirror(LogMirror* mirror) { log_.SetMirror(mirror); }

  // Opens the configuration, reloads the log, logs the start, reads the start-up settings and
  // loads the substitution table; runs the schedule correction when configured.
  void FormCreate();
  // Logs the end and releases the configuration. Runs once; later calls do nothing.
  void FormDestroy();
  // One relay cycle: at most one file of the drop folder relayed and disposed of; an empty folder
  // closes the main window. Never throws.
  void WorkTimerTimer();

  // Adds one message (Windows-1251) to the activity log. Never throws.
  void mainlog(const std::string& message);

  const ActivityLog& Log() const { return log_; }
  const std::string& TempFolder() const { return TempFolder_; }
  const SubstitutionTable& Substitutions() const { return SubstitutionTable_; }
  // The configuration between FormCreate and FormDestroy, otherwise null.
  const RelayConfig* Config() const { return config_.get(); }

 private:
  void RunCycle();
  void DisposeOfFile(const std::string& dropFolder, const std::string& fileName);
  int MaxLogLength() const;

  platform::ProgramFiles files_;
  RelayHost& host_;
  platform::FileSystem* fileSystem_;
  RelayFunction relay_;
  ScheduleCorrection correction_;
  ActivityLog log_;
  LogFunction logFunction_;

  std::unique_ptr<platform::IniFile> ConfigFile_;
  std::unique_ptr<RelayConfig> config_;
  std::string TempFolder_;
  SubstitutionTable SubstitutionTable_;
  bool destroyed_ = false;
};

}  // namespace droprelay
