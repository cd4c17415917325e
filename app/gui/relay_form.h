// The main window: a thin Qt shell over RelayService. It shows the activity log, runs the cycle
// timer (cycle_interval_ms, five seconds by default), shows the notification-area icon, and ends
// the application when the run is over.
//
// The relay works on a thread of its own (RelayThread): start-up, every cycle and shutdown. The
// window's thread only draws, answers the user and starts the steps, so the window never freezes,
// whatever a step waits for. The service reaches the window through RelayHost and LogView from the
// relay's thread; those calls are handed over to the window's thread here.
#pragma once

#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "app/gui/relay_thread.h"
#include "app/gui/tray_icon.h"
#include "app/relay_service.h"
#include "platform/program_paths.h"

namespace droprelay {

class TRelayForm final : public QWidget, private RelayHost, private LogView {
  Q_OBJECT

 public:
  // The window's first size, in device-independent pixels; it never grows past the screen.
  static constexpr int kClientWidth = 590;
  static constexpr int kClientHeight = 283;
  static constexpr int kWorkTimerInterval = kDefaultCycleIntervalMs;  // until the setting is read

  // `mirror` (not owned, may be null) receives a copy of every log line from the first one on.
  // `configRequired`: the configuration file was named on the command line and must be readable.
  explicit TRelayForm(const platform::ProgramFiles& files, LogMirror* mirror = nullptr, bool configRequired = false);
  ~TRelayForm() override;

  // Runs FormCreate on the relay's thread. When it is done the window is shown (if configured)
  // and the timer starts; a failed start-up ends the application instead. Call once the
  // application object exists; the rest happens in its event loop.
  void Start();

  // The program's exit status once the loop has ended.
  int ExitStatus() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private slots:
  void WorkTimerTimer();

 private:
  // RelayHost, called on the relay's thread.
  void SetWorkTimerEnabled(bool enabled) override;
  void SetShowMainForm(bool show) override { showMainForm_ = show; }
  void CloseMainForm() override;
  void ReportQueueState(int waiting, int quarantined) override;
  // LogView, called on the relay's thread (or on this one once the loop has ended).
  void BeginUpdate() override {}
  void SetText(const std::string& utf8Text) override;
  void ScrollLinesDown(int count) override;
  void EndUpdate() override;

  void StartUpDone();
  void CycleDone();
  // The close button, the icon's menu, a stop signal and the end of the run all come here: the
  // window goes at once, the run ends after the step in progress.
  void RequestClose();
  void Finish();
  void ShowLog();
  void ToggleLog();
  void FitToScreen(bool centre);
  void RefreshLog();
  void FillBox();
  void WriteDebugDump();
  void WriteTrayDump();
  void WatchTerminationSignals();

  QPlainTextEdit LogMemo;
  QTimer WorkTimer;
  RelayTrayIcon TrayIcon;
  std::unique_ptr<QSocketNotifier> terminationNotifier_;
  std::unique_ptr<RelayService> service_;
  RelayThread relay_;

  // Set on the relay's thread, read on this one after the step is done.
  std::atomic<bool> showMainForm_ = false;
  std::atomic<bool> timerEnabled_ = true;
  int startInterval_ = kWorkTimerInterval;

  // The log's newest text, handed over from the relay's thread; one refresh at a time is queued.
  std::mutex logMutex_;
  std::string logText_;
  bool logChanged_ = false;
  bool refreshQueued_ = false;

  // This thread only.
  std::string boxText_;    // what the box shows (or will show once the window is shown)
  bool boxStale_ = false;  // the window was hidden when the text came
  bool started_ = false;
  bool closeRequested_ = false;
  bool finishing_ = false;
  bool everShown_ = false;
  QString debugDumpFolder_;
};

}  // namespace droprelay
