// The main window: a thin Qt shell over RelayService. It shows the activity log, runs the cycle
// timer (cycle_interval_ms, five seconds by default), shows the notification-area icon, and ends the application when the service closes it.
#pragma once

#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/relay_service.h"
#include "platform/program_paths.h"

namespace droprelay {

class TRelayForm final : public QWidget, private RelayHost, private LogView {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 590;
  static constexpr int kClientHeight = 283;
  static constexpr int kWorkTimerInterval = kDefaultCycleIntervalMs;  // until the setting is read

  // Creating the form runs FormCreate, as the window's creation does; `mirror` (not owned, may be
  // null) receives a copy of every log line from the first one on. `configRequired`: the
  // configuration file was named on the command line and must be readable.
  explicit TRelayForm(const platform::ProgramFiles& files, LogMirror* mirror = nullptr, bool configRequired = false);
  ~TRelayForm() override;

  // Whether start-up asked for the window to be shown.
  bool ShowMainForm() const { return showMainForm_; }
  // Whether the run already ended (a failed start-up check), and the program's exit status.
  bool RunEnded() const { return service_->RunEnded(); }
  int ExitStatus() const { return service_->ExitStatus(); }

  RelayService& Service() { return *service_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private slots:
  void WorkTimerTimer();

 private:
  // RelayHost
  void SetWorkTimerEnabled(bool enabled) override;
  void SetShowMainForm(bool show) override { showMainForm_ = show; }
  void CloseMainForm() override;
  // LogView
  void BeginUpdate() override;
  void SetText(const std::string& utf8Text) override;
  void ScrollLinesDown(int count) override;
  void EndUpdate() override;

  void WriteDebugDump();
  void ShowPendingText();
  void WatchTerminationSignals();

  QPlainTextEdit LogMemo;
  QTimer WorkTimer;
  QSystemTrayIcon TrayIcon;
  std::unique_ptr<QSocketNotifier> terminationNotifier_;
  std::unique_ptr<RelayService> service_;
  bool showMainForm_ = false;
  // The log's text while the window is hidden (see SetText).
  std::string pendingText_;
  bool textPending_ = false;
  QString debugDumpFolder_;
};

}  // namespace droprelay
