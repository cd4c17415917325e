#include "app/gui/relay_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QSaveFile>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include "platform/termination_signal.h"

namespace droprelay {

TRelayForm::TRelayForm(const platform::ProgramFiles& files, LogMirror* mirror, bool configRequired)
    : LogMemo(this), WorkTimer(this), TrayIcon(this) {
  // Close button only: no minimise or maximise, and the size is fixed.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString());
  setFixedSize(kClientWidth, kClientHeight);

  auto layout = std::make_unique<QVBoxLayout>();
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&LogMemo);
  setLayout(layout.release());  // the window owns its layout from here on

  // An 8-point sans-serif face, as the box was designed for; the line count of the log assumes it.
  QFont font(QStringLiteral("MS Sans Serif"), 8);
  font.setStyleHint(QFont::SansSerif);
  setFont(font);

  LogMemo.setReadOnly(true);
  LogMemo.setLineWrapMode(QPlainTextEdit::WidgetWidth);
  LogMemo.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMemo.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMemo.setPlainText(QStringLiteral("LogMemo"));

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }

  debugDumpFolder_ = qEnvironmentVariable("DROPRELAY_DEBUG_DUMP");

  // FormCreate step 1: the window's icon and the tray icon are the application's.
  const QIcon icon(QStringLiteral(":/droprelay/droprelay.png"));
  setWindowIcon(icon);
  TrayIcon.setIcon(icon);
  // Plain X servers and the offscreen platform have no notification area.
  if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon.show();

  WatchTerminationSignals();

  WorkTimer.setInterval(kWorkTimerInterval);
  connect(&WorkTimer, &QTimer::timeout, this, &TRelayForm::WorkTimerTimer);
  WorkTimer.start();

  service_ = std::make_unique<RelayService>(files, static_cast<RelayHost&>(*this), static_cast<LogView*>(this));
  service_->SetLogMirror(mirror);
  service_->SetConfigRequired(configRequired);
  service_->FormCreate();
  // The interval is read once, at start-up. With 0 the timer fires whenever the event loop is idle,
  // so window events and stop requests are still handled between two cycles.
  if (const RelayConfig* config = service_->Config()) WorkTimer.setInterval(config->cycle_interval_ms());
}

TRelayForm::~TRelayForm() {
  WorkTimer.stop();
  service_->FormDestroy();
}

// A stop request ends the run like the close button: after the current cycle, with the last log line.
void TRelayForm::WatchTerminationSignals() {
  const int descriptor = platform::TerminationSignalDescriptor();
  if (descriptor < 0) return;
  terminationNotifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  connect(terminationNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    platform::DrainTerminationSignals();
    close();
  });
}

void TRelayForm::closeEvent(QCloseEvent* event) {
  event->accept();
  QApplication::quit();
}

void TRelayForm::WorkTimerTimer() { service_->WorkTimerTimer(); }

void TRelayForm::SetWorkTimerEnabled(bool enabled) {
  if (enabled) {
    WorkTimer.start();  // the next cycle comes a full interval after this one ended
  } else {
    WorkTimer.stop();
  }
}

void TRelayForm::CloseMainForm() {
  close();
  // A hidden window's close does not end the loop by itself; the loop ends once the cycle returns.
  QApplication::quit();
}

// The box is refilled and scrolled inside one call on the main thread, which paints nothing until
// the call returns; no paint can show a half-updated box, so updates need not be suspended.
void TRelayForm::BeginUpdate() {}

void TRelayForm::SetText(const std::string& utf8Text) {
  // Refilling the box lays out the whole log again, which costs more than relaying a message. A
  // hidden box is never seen, so its text waits until the window is shown.
  if (!isVisible()) {
    pendingText_ = utf8Text;
    textPending_ = true;
    return;
  }
  textPending_ = false;
  pendingText_.clear();
  LogMemo.setPlainText(QString::fromUtf8(utf8Text.data(), static_cast<qsizetype>(utf8Text.size())));
}

void TRelayForm::ScrollLinesDown(int /*count*/) {
  if (textPending_) return;  // scrolled when the text is shown
  // Stepping a line down once per line lands on the last line; the scroll bar gets there at once.
  QScrollBar* bar = LogMemo.verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TRelayForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ShowPendingText();
}

void TRelayForm::ShowPendingText() {
  if (!textPending_) return;
  textPending_ = false;
  LogMemo.setPlainText(QString::fromUtf8(pendingText_.data(), static_cast<qsizetype>(pendingText_.size())));
  pendingText_.clear();
  ScrollLinesDown(0);
}

void TRelayForm::EndUpdate() {
  // Painted now, not when the loop next runs: the cycle may go on to block this thread (a wait of
  // one second per disposal attempt), and the box should show the line meanwhile.
  LogMemo.viewport()->repaint();
  if (!debugDumpFolder_.isEmpty()) WriteDebugDump();
}

// For tests of the real window: the box's own text and the window as Qt painted it.
void TRelayForm::WriteDebugDump() {
  // Written under temporary names and renamed, so a reader never sees half a file.
  QSaveFile text(debugDumpFolder_ + QStringLiteral("/logmemo.txt"));
  if (text.open(QIODevice::WriteOnly)) {
    text.write(textPending_ ? QByteArray::fromStdString(pendingText_) : LogMemo.toPlainText().toUtf8());
    text.commit();
  }
  if (isVisible()) {
    const QString image = debugDumpFolder_ + QStringLiteral("/window.png");
    if (grab().save(image + QStringLiteral(".tmp.png"))) {
      QFile::remove(image);
      QFile::rename(image + QStringLiteral(".tmp.png"), image);
    }
  }
}

}  // namespace droprelay
