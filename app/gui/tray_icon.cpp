#include "app/gui/tray_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QStringList>
#include <algorithm>

#include "text/convert.h"
#include "text/texts.h"

namespace droprelay {
namespace {

QString Text(const std::string& cp1251) {
  const std::string utf8 = Cp1251ToUtf8(cp1251);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

constexpr const char* kProgramName = "droprelay";

}  // namespace

QIcon WarningIcon(const QIcon& base) {
  QIcon result;
  for (const int size : {16, 22, 24, 32, 48, 64, 128}) {
    QPixmap pixmap = base.pixmap(size, size);
    if (pixmap.isNull()) continue;
    pixmap.setDevicePixelRatio(1.0);
    const qreal side = pixmap.width();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // A red disc with a white "!" in the upper right corner: the icon's own arrow is lower right,
    // and the envelope stays recognisable.
    const qreal diameter = side * 0.56;
    const QRectF disc(side - diameter, 0, diameter, diameter);
    painter.setPen(QPen(Qt::white, std::max<qreal>(1.0, side / 32)));
    painter.setBrush(QColor(0xD3, 0x2F, 0x2F));
    painter.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    const qreal bar = diameter * 0.16;
    const QPointF centre = disc.center();
    painter.drawRect(QRectF(centre.x() - bar / 2, disc.top() + diameter * 0.18, bar, diameter * 0.42));
    painter.drawEllipse(QRectF(centre.x() - bar / 2, disc.top() + diameter * 0.68, bar, bar));
    painter.end();
    result.addPixmap(pixmap);
  }
  return result;
}

RelayTrayIcon::RelayTrayIcon(const QIcon& icon, QObject* parent)
    : QObject(parent), normal_(icon), warning_(WarningIcon(icon)) {
  toggleLog_ = menu_.addAction(Text(texts::TrayShowLog()));
  quit_ = menu_.addAction(Text(texts::TrayQuit()));
  connect(toggleLog_, &QAction::triggered, this, &RelayTrayIcon::ToggleLogRequested);
  connect(quit_, &QAction::triggered, this, &RelayTrayIcon::QuitRequested);
  icon_.setContextMenu(&menu_);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // A plain click; the context click opens the menu, and a double click is a click already.
    if (reason == QSystemTrayIcon::Trigger) emit ToggleLogRequested();
  });
  Update();
}

void RelayTrayIcon::Show() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) icon_.show();
}

void RelayTrayIcon::SetQueueState(int waiting, int quarantined) {
  if (waiting == waiting_ && quarantined == quarantined_) return;
  waiting_ = waiting;
  quarantined_ = quarantined;
  Update();
}

void RelayTrayIcon::SetStopping() {
  if (stopping_) return;
  stopping_ = true;
  quit_->setEnabled(false);
  Update();
}

void RelayTrayIcon::SetLogShown(bool shown) {
  const QString text = Text(shown ? texts::TrayHideLog() : texts::TrayShowLog());
  if (toggleLog_->text() == text) return;
  toggleLog_->setText(text);
  emit Changed();
}

QString RelayTrayIcon::ToolTip() const {
  QStringList lines{QString::fromLatin1(kProgramName)};
  lines << Text(stopping_ ? texts::TrayStopping() : texts::TrayRelaying());
  if (waiting_ > 0) lines << Text(texts::TrayWaiting()) + QString::number(waiting_);
  if (quarantined_ > 0) lines << Text(texts::TrayQuarantined()) + QString::number(quarantined_);
  return lines.join(QLatin1Char('\n'));
}

QString RelayTrayIcon::MenuText() const {
  QStringList entries;
  for (const QAction* action : menu_.actions()) entries << action->text();
  return entries.join(QLatin1Char('|'));
}

void RelayTrayIcon::Update() {
  icon_.setIcon(Warning() ? warning_ : normal_);
  icon_.setToolTip(ToolTip());
  emit Changed();
}

}  // namespace droprelay
