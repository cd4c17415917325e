// The notification-area icon. The window is hidden unless configured, so the icon is how a desktop
// user sees the log and stops the run: a click shows or hides the window, its menu offers the same
// and the end of the run, its tooltip names the program and the run's state, and a badge warns
// while files wait for a later attempt or lie in the quarantine folder.
#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

namespace droprelay {

// The icon with a warning badge drawn onto it, at the sizes a notification area asks for.
QIcon WarningIcon(const QIcon& base);

class RelayTrayIcon final : public QObject {
  Q_OBJECT

 public:
  explicit RelayTrayIcon(const QIcon& icon, QObject* parent = nullptr);

  // Shown only where the desktop has a notification area; elsewhere nothing changes.
  void Show();
  bool Shown() const { return icon_.isVisible(); }

  void SetQueueState(int waiting, int quarantined);
  void SetStopping();
  // Whether the log window is shown: the menu offers the other.
  void SetLogShown(bool shown);

  QString ToolTip() const;
  bool Warning() const { return waiting_ > 0 || quarantined_ > 0; }
  QString MenuText() const;  // the menu's entries, "|" between them

 signals:
  void ToggleLogRequested();
  void QuitRequested();
  void Changed();  // tooltip, icon or menu

 private:
  void Update();

  QSystemTrayIcon icon_;
  QMenu menu_;
  QAction* toggleLog_;
  QAction* quit_;
  QIcon normal_;
  QIcon warning_;
  int waiting_ = 0;
  int quarantined_ = 0;
  bool stopping_ = false;
};

}  // namespace droprelay
