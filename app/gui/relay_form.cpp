#include "app/gui/relay_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <iostream>

#include "app/program_start.h"
#include "platform/termination_signal.h"

namespace droprelay {
namespace {

// The smallest the window may be made; still enough for a few words of a few lines.
constexpr int kMinimumWidth = 200;
constexpr int kMinimumHeight = 80;

// The log begins with an empty line when its first run starts: the separator that start-up writes
// before "Начало работы..." separates runs, and before the first one there is nothing to
// separate. The box does not show such a line at its top; the file keeps it.
std::string WithoutLeadingEmptyLine(const std::string& text) {
  return !text.empty() && text.front() == '\n' ? text.substr(1) : text;
}

}  // namespace

TRelayForm::TRelayForm(const platform::ProgramFiles& files, LogMirror* mirror, bool configRequired)
    : LogMemo(this),
      WorkTimer(this),
      TrayIcon(QIcon(QStringLiteral(":/droprelay/droprelay.png")), this),
      relay_(*this) {
  // Close button only: no minimise or maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString());
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(kClientWidth, kClientHeight);

  auto layout = std::make_unique<QVBoxLayout>();
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&LogMemo);
  setLayout(layout.release());  // the window owns its layout from here on

  // An 8-point sans-serif face, as the box was designed for; the line count of the log assumes it.
  QFont font(QStringLiteral("MS Sans Serif"), 8);
  font.setStyleHint(QFont::SansSerif);
  setFont(font);

  LogMemo.setReadOnly(true);
  // Lines wrap at the box's width (inside a word when it is longer than a line), so a horizontal
  // scroll bar would never have anything to scroll.
  LogMemo.setLineWrapMode(QPlainTextEdit::WidgetWidth);
  LogMemo.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  LogMemo.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMemo.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  debugDumpFolder_ = qEnvironmentVariable("DROPRELAY_DEBUG_DUMP");

  // FormCreate step 1: the window's icon and the tray icon are the application's.
  setWindowIcon(QIcon(QStringLiteral(":/droprelay/droprelay.png")));
  connect(&TrayIcon, &RelayTrayIcon::ToggleLogRequested, this, &TRelayForm::ToggleLog);
  connect(&TrayIcon, &RelayTrayIcon::QuitRequested, this, &TRelayForm::RequestClose);
  connect(&TrayIcon, &RelayTrayIcon::Changed, this, &TRelayForm::WriteTrayDump);
  TrayIcon.Show();
  WriteTrayDump();

  WatchTerminationSignals();

  WorkTimer.setInterval(kWorkTimerInterval);
  connect(&WorkTimer, &QTimer::timeout, this, &TRelayForm::WorkTimerTimer);

  service_ = std::make_unique<RelayService>(files, static_cast<RelayHost&>(*this), static_cast<LogView*>(this));
  service_->SetLogMirror(mirror);
  service_->SetConfigRequired(configRequired);
}

TRelayForm::~TRelayForm() {
  WorkTimer.stop();
  relay_.Stop();
  // Normally done on the relay's thread before the loop ended; once more does nothing.
  service_->FormDestroy();
}

void TRelayForm::Start() {
  relay_.Run(
      [this] {
        service_->FormCreate();
        if (service_->RunEnded()) return;
        // Read once, at start-up. With 0 the timer fires whenever the event loop is idle.
        if (const RelayConfig* config = service_->Config()) startInterval_ = config->cycle_interval_ms();
      },
      [this] { StartUpDone(); });
}

void TRelayForm::StartUpDone() {
  started_ = true;
  if (service_->RunEnded() || closeRequested_) {
    Finish();
    return;
  }
  if (showMainForm_) ShowLog();
  WorkTimer.setInterval(startInterval_);
  WorkTimer.start();
}

int TRelayForm::ExitStatus() const { return service_->ExitStatus(); }

// A stop request ends the run like the close button: after the current step, with the last log
// line. The descriptor stays readable, which is what cuts the relay's own waits short; it is not
// drained here, or a wait starting just after could miss the request.
void TRelayForm::WatchTerminationSignals() {
  const int descriptor = platform::TerminationSignalDescriptor();
  if (descriptor < 0) return;
  terminationNotifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  connect(terminationNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    terminationNotifier_->setEnabled(false);
    RequestClose();
  });
}

void TRelayForm::WorkTimerTimer() {
  if (!started_ || closeRequested_ || finishing_ || relay_.Busy()) return;
  WorkTimer.stop();  // disabled for the whole cycle; CycleDone enables it again
  relay_.Run([this] { service_->WorkTimerTimer(); }, [this] { CycleDone(); });
}

void TRelayForm::CycleDone() {
  if (closeRequested_ || service_->RunEnded()) {
    Finish();
    return;
  }
  // The next cycle comes a full interval after this one ended.
  if (timerEnabled_) WorkTimer.start();
}

void TRelayForm::SetWorkTimerEnabled(bool enabled) { timerEnabled_ = enabled; }

void TRelayForm::CloseMainForm() {
  QMetaObject::invokeMethod(this, [this] { RequestClose(); }, Qt::QueuedConnection);
}

void TRelayForm::ReportQueueState(int waiting, int quarantined) {
  QMetaObject::invokeMethod(
      this, [this, waiting, quarantined] { TrayIcon.SetQueueState(waiting, quarantined); }, Qt::QueuedConnection);
}

void TRelayForm::closeEvent(QCloseEvent* event) {
  event->accept();
  RequestClose();
}

void TRelayForm::RequestClose() {
  if (!closeRequested_) {
    closeRequested_ = true;
    WorkTimer.stop();
    TrayIcon.SetStopping();
  }
  hide();
  // Between two steps the run ends now; during one, when it is done (StartUpDone, CycleDone).
  if (started_ && !relay_.Busy()) Finish();
}

void TRelayForm::Finish() {
  if (finishing_) return;
  finishing_ = true;
  WorkTimer.stop();
  // FormDestroy closes the mail session, which may wait for the server: on the relay's thread too.
  relay_.Run([this] { service_->FormDestroy(); }, [] { QApplication::quit(); });
}

void TRelayForm::ToggleLog() {
  if (isVisible() && !isMinimized()) {
    hide();
  } else {
    ShowLog();
  }
}

void TRelayForm::ShowLog() {
  if (closeRequested_) return;
  if (!everShown_) FitToScreen(true);
  showNormal();
  raise();
  activateWindow();
}

void TRelayForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!everShown_) {
    everShown_ = true;
    // Follows the screen the window is on: a screen of another size or scale, a panel that takes
    // part of it.
    if (QWindow* window = windowHandle()) {
      connect(window, &QWindow::screenChanged, this, [this](QScreen* screen) {
        if (screen) connect(screen, &QScreen::availableGeometryChanged, this, [this] { FitToScreen(false); });
        FitToScreen(false);
      });
      if (QScreen* screen = window->screen()) {
        connect(screen, &QScreen::availableGeometryChanged, this, [this] { FitToScreen(false); });
      }
    }
  }
  // The frame a window manager adds is known only once the window is mapped.
  QMetaObject::invokeMethod(this, [this] { FitToScreen(false); }, Qt::QueuedConnection);
  TrayIcon.SetLogShown(true);
  if (boxStale_) FillBox();
  if (!debugDumpFolder_.isEmpty()) QMetaObject::invokeMethod(this, [this] { WriteDebugDump(); }, Qt::QueuedConnection);
}

void TRelayForm::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  TrayIcon.SetLogShown(false);
}

// The whole frame on the available area (without panels) of the window's screen, in
// device-independent pixels, so the same holds at every scale factor; `centre` puts it in the
// middle, otherwise it moves only as far as needed.
void TRelayForm::FitToScreen(bool centre) {
  QScreen* screen = windowHandle() && windowHandle()->screen() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  const int frameWidth = std::max(0, frame.width() - client.width());
  const int frameHeight = std::max(0, frame.height() - client.height());
  // At a fractional scale the screen's size in device-independent pixels is rounded, perhaps up:
  // one pixel less is on the screen whichever way it went.
  const qreal ratio = screen->devicePixelRatio();
  const int slack = ratio == std::floor(ratio) ? 0 : 1;
  const int maxWidth = std::max(1, area.width() - frameWidth - slack);
  const int maxHeight = std::max(1, area.height() - frameHeight - slack);
  setMinimumSize(std::min(kMinimumWidth, maxWidth), std::min(kMinimumHeight, maxHeight));
  setMaximumSize(maxWidth, maxHeight);
  const QSize size(std::min(width(), maxWidth), std::min(height(), maxHeight));
  if (size != this->size()) resize(size);
  const int outerWidth = size.width() + frameWidth;
  const int outerHeight = size.height() + frameHeight;
  QPoint position = frame.topLeft();
  if (centre) {
    position = QPoint(area.x() + (area.width() - outerWidth) / 2, area.y() + (area.height() - outerHeight) / 2);
  } else {
    position.setX(std::clamp(position.x(), area.left(), area.left() + area.width() - outerWidth));
    position.setY(std::clamp(position.y(), area.top(), area.top() + area.height() - outerHeight));
  }
  if (position != frame.topLeft()) move(position);
}

void TRelayForm::SetText(const std::string& utf8Text) {
  const std::lock_guard<std::mutex> lock(logMutex_);
  logText_ = utf8Text;
  logChanged_ = true;
}

// Every text is shown scrolled to its last line (RefreshLog), which is where stepping down once
// per line lands.
void TRelayForm::ScrollLinesDown(int /*count*/) {}

// The box is refilled on the window's thread, with the newest text only: a burst of log lines
// while the window's thread is busy costs one refill.
void TRelayForm::EndUpdate() {
  if (QThread::currentThread() == thread()) {
    RefreshLog();
    return;
  }
  const std::lock_guard<std::mutex> lock(logMutex_);
  if (refreshQueued_) return;
  refreshQueued_ = true;
  QMetaObject::invokeMethod(this, [this] { RefreshLog(); }, Qt::QueuedConnection);
}

void TRelayForm::RefreshLog() {
  {
    const std::lock_guard<std::mutex> lock(logMutex_);
    refreshQueued_ = false;
    if (!logChanged_) return;
    logChanged_ = false;
    boxText_ = WithoutLeadingEmptyLine(logText_);
  }
  // Refilling the box lays out the whole log again, which costs more than relaying a message. A
  // hidden box is never seen, so its text waits until the window is shown.
  if (isVisible()) {
    FillBox();
  } else {
    boxStale_ = true;
  }
  if (!debugDumpFolder_.isEmpty()) WriteDebugDump();
}

void TRelayForm::FillBox() {
  boxStale_ = false;
  LogMemo.setPlainText(QString::fromUtf8(boxText_.data(), static_cast<qsizetype>(boxText_.size())));
  QScrollBar* bar = LogMemo.verticalScrollBar();
  bar->setValue(bar->maximum());
}

// For tests of the real window: the box's own text and the window as Qt painted it.
void TRelayForm::WriteDebugDump() {
  // Written under temporary names and renamed, so a reader never sees half a file.
  QSaveFile text(debugDumpFolder_ + QStringLiteral("/logmemo.txt"));
  if (text.open(QIODevice::WriteOnly)) {
    text.write(QByteArray::fromStdString(boxText_));
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

// For tests of the icon: whether it is shown, which variant, its menu and its tooltip.
void TRelayForm::WriteTrayDump() {
  if (debugDumpFolder_.isEmpty()) return;
  QSaveFile file(debugDumpFolder_ + QStringLiteral("/tray.txt"));
  if (!file.open(QIODevice::WriteOnly)) return;
  const QString text = QStringLiteral("shown=%1\nicon=%2\nmenu=%3\n%4\n")
                           .arg(TrayIcon.Shown() ? 1 : 0)
                           .arg(TrayIcon.Warning() ? QStringLiteral("warning") : QStringLiteral("normal"))
                           .arg(TrayIcon.MenuText(), TrayIcon.ToolTip());
  file.write(text.toUtf8());
  file.commit();
}

}  // namespace droprelay
