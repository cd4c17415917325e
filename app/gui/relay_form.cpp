#include "app/gui/relay_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QSaveFile>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

namespace droprelay {

TRelayForm::TRelayForm(const platform::ProgramFiles& files) : LogMemo(this), WorkTimer(this), TrayIcon(this) {
  // Close button only: no minimise or maximise, and the size is fixed.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString());
  setFixedSize(kClientWidth, kClientHeight);

  auto layout = std::make_unique<QVBoxLayout>();
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&LogMemo);
  setLayout(layout.release());  // the window owns its layout from here on

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

  WorkTimer.setInterval(kWorkTimerInterval);
  connect(&WorkTimer, &QTimer::timeout, this, &TRelayForm::WorkTimerTimer);
  WorkTimer.start();

  service_ = std::make_unique<RelayService>(files, static_cast<RelayHost&>(*this), static_cast<LogView*>(this));
  service_->FormCreate();
}

TRelayForm::~TRelayForm() {
  WorkTimer.stop();
  service_->FormDestroy();
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

void TRelayForm::BeginUpdate() { LogMemo.setUpdatesEnabled(false); }

void TRelayForm::SetText(const std::string& utf8Text) {
  LogMemo.setPlainText(QString::fromUtf8(utf8Text.data(), static_cast<qsizetype>(utf8Text.size())));
}

void TRelayForm::ScrollLinesDown(int /*count*/) {
  // Stepping a line down once per line lands on the last line; the scroll bar gets there at once.
  QScrollBar* bar = LogMemo.verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TRelayForm::EndUpdate() {
  LogMemo.setUpdatesEnabled(true);
  LogMemo.viewport()->update();
  if (!debugDumpFolder_.isEmpty()) WriteDebugDump();
}

// For tests of the real window: the box's own text and the window as Qt painted it.
void TRelayForm::WriteDebugDump() {
  // Written under temporary names and renamed, so a reader never sees half a file.
  QSaveFile text(debugDumpFolder_ + QStringLiteral("/logmemo.txt"));
  if (text.open(QIODevice::WriteOnly)) {
    text.write(LogMemo.toPlainText().toUtf8());
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
