#include "shell/MTStatusItem.h"

#include <QtCore/QMetaObject>
#include <QtGui/QCursor>
#include <QtGui/QFontMetricsF>
#include <QtGui/QGuiApplication>
#include <QtGui/QIcon>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenu>

#include "engine/ZKTimer.h"
#include "platform/NotificationCenter.h"
#include "platform/desktop/EmbeddedWindowPlace.h"
#include "shell/MTStatusItemAppearance.h"
#include "uikit/NSImage+TintColor.h"

namespace {

constexpr const char* kIconName = "icon-statusitem-normal";

// The application's icon image, at twice the resolution where the resources have it.
QImage loadIcon() {
  QImage sharp = zk_imageNamed(QStringLiteral("%1@2x").arg(QLatin1String(kIconName)));
  if (!sharp.isNull()) {
    sharp.setDevicePixelRatio(2.0);
    return sharp;
  }
  return zk_imageNamed(QLatin1String(kIconName));
}

// The windows Qt makes for the tray icons it puts into an XEmbed tray, one for each shown icon.
QList<QWidget*> embeddedTrayIconWindows() {
  QList<QWidget*> found;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0) found.append(widget);
  }
  return found;
}

}  // namespace

MTStatusItem::MTStatusItem(QObject* parent) : QObject(parent) {
  tray_ = new QSystemTrayIcon(this);
  connect(tray_, &QSystemTrayIcon::activated, this, &MTStatusItem::trayActivated);
  iconState_ = 0;
  iconVisible_ = true;
  updateDarkModeState();
  currentImage_ = iconImage();
  recalculateLength();
  // The tray gets its first icon before it shows the item.
  tray_->setIcon(QIcon(QPixmap::fromImage(render(qApp->devicePixelRatio()))));
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    const auto before = embeddedTrayIconWindows();
    tray_->show();
    followEmbeddedIcon(before);
  }
}

void MTStatusItem::followEmbeddedIcon(const QList<QWidget*>& iconWindowsBefore) {
  // The icon's window is the one that came with this icon's show.
  for (QWidget* window : embeddedTrayIconWindows()) {
    if (iconWindowsBefore.contains(window)) continue;
    embeddedIcon_ = window;
    window->installEventFilter(this);
    embeddedPlace_ = new platform::EmbeddedWindowPlace(this);
    connect(embeddedPlace_, &platform::EmbeddedWindowPlace::geometryChanged, this,
            &MTStatusItem::frameDidChange);
    embeddedPlace_->setWindow(window->windowHandle());
    return;
  }
}

bool MTStatusItem::eventFilter(QObject* watched, QEvent* event) {
  // The icon's window gets a new native window when the tray comes back.
  if (watched == embeddedIcon_ && embeddedPlace_ &&
      (event->type() == QEvent::Show || event->type() == QEvent::WinIdChange)) {
    embeddedPlace_->setWindow(embeddedIcon_->windowHandle());
  }
  return QObject::eventFilter(watched, event);
}

MTStatusItem::~MTStatusItem() {
  if (blinkTimer_) blinkTimer_->invalidate();
  if (contextMenu_) disconnect(menuConnection_);
}

void MTStatusItem::setContextMenu(QMenu* menu) {
  if (contextMenu_) disconnect(menuConnection_);
  contextMenu_ = menu;
  if (menu) {
    menuConnection_ = connect(menu, &QMenu::aboutToHide, this, [this] {
      setActive(false);
      Q_EMIT menuDidClose();
    });
  }
}

void MTStatusItem::setIconVisible(bool visible) {
  iconVisible_ = visible;
  recalculateLength();
}

void MTStatusItem::setIconState(std::int64_t state) {
  iconState_ = state;
  setNeedsDisplay();
}

void MTStatusItem::setActive(bool active) {
  active_ = active;
  setIconState(MTStatusItemLogic::withActive(iconState_, active));
}

void MTStatusItem::toggleActive() { setIconState(MTStatusItemLogic::toggledActive(iconState_)); }

void MTStatusItem::setBadge(const QString& badge) {
  badge_ = badge;
  recalculateLength();
  setNeedsDisplay();
}

void MTStatusItem::setBadgeFont(const std::optional<QFont>& font) {
  badgeFont_ = font;
  recalculateLength();
}

void MTStatusItem::startBlinking() {
  setIconState(MTStatusItemLogic::startedBlinking(iconState_));
  configureBlinkTimer();
}

void MTStatusItem::stopBlinking() {
  if (blinkTimer_) {
    blinkTimer_->invalidate();
    blinkTimer_.reset();
  }
  setIconState(MTStatusItemLogic::stoppedBlinking(iconState_));
}

void MTStatusItem::configureBlinkTimer() {
  if (blinkTimer_) return;
  QPointer<MTStatusItem> weakSelf(this);
  blinkTimer_ = ZKTimer::timerWithInterval(MTStatusItemBlinkInterval, true, [weakSelf](ZKTimer&) {
    if (!weakSelf) return;
    const std::int64_t next = MTStatusItemLogic::afterBlinkTick(weakSelf->iconState_);
    if (next != weakSelf->iconState_) weakSelf->setIconState(next);
  });
}

void MTStatusItem::updateDarkModeState() {
  const std::int64_t next = MTStatusItemLogic::withDarkAppearance(iconState_, isDarkMode());
  if (next != iconState_) setIconState(next);
}

bool MTStatusItem::isDarkMode() const { return MTStatusItemIsDarkAppearance(); }

void MTStatusItem::showMenu() {
  setActive(true);
  if (!delegate_ || !delegate_->menuShouldShow() || !contextMenu_) return;
  const QPoint at = lastClickPosition_ ? *lastClickPosition_ : frame().bottomLeft();
  contextMenu_->popup(at);
}

void MTStatusItem::mouseDown(std::uint64_t modifierFlags, std::optional<QPoint> position) {
  if (position) lastClickPosition_ = position;
  if (MTStatusItemLogic::clickOpensMenu(modifierFlags)) {
    rightMouseDown(position);
    return;
  }
  if (delegate_) {
    delegate_->menuIconWasClicked();
  } else {
    showMenu();
  }
}

void MTStatusItem::rightMouseDown(std::optional<QPoint> position) {
  if (position) lastClickPosition_ = position;
  showMenu();
}

void MTStatusItem::trayActivated(QSystemTrayIcon::ActivationReason reason) {
  const QPoint at = QCursor::pos();
  switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:  // the second press of a double click is a click of its own
      mouseDown(modifierFlags(QGuiApplication::queryKeyboardModifiers()), at);
      break;
    case QSystemTrayIcon::Context:
      rightMouseDown(at);
      break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
      break;
  }
}

std::uint64_t MTStatusItem::modifierFlags(Qt::KeyboardModifiers modifiers) {
  std::uint64_t flags = 0;
  if (modifiers & Qt::ShiftModifier) flags |= MTEventModifierFlagShift;
  if (modifiers & Qt::ControlModifier) flags |= MTEventModifierFlagControl;
  if (modifiers & Qt::AltModifier) flags |= MTEventModifierFlagOption;
  if (modifiers & Qt::MetaModifier) flags |= MTEventModifierFlagCommand;
  return flags;
}

QImage MTStatusItem::iconImage() {
  if (!iconVisible_) return QImage();
  const QString key = QLatin1String(MTStatusItemLogic::colorKey(iconState_));
  if (auto cached = iconCache_.constFind(key); cached != iconCache_.constEnd()) return *cached;
  const QColor tint = MTStatusItemLogic::iconIsWhite(iconState_) ? QColor(Qt::white) : QColor(Qt::black);
  QImage tinted = zk_imageWithTintColor(loadIcon(), tint);
  if (!tinted.isNull()) iconCache_.insert(key, tinted);
  return tinted;
}

QRectF MTStatusItem::imageDrawingRect() const {
  const QSizeF size = currentImage_.isNull() ? QSizeF() : currentImage_.deviceIndependentSize();
  return MTStatusItemLogic::imageDrawingRect(bounds(), size, !badge_.isEmpty());
}

QRectF MTStatusItem::badgeDrawingRect() const {
  if (badge_.isEmpty()) return QRectF();
  const QFontMetricsF metrics(badgeFont_ ? *badgeFont_ : QGuiApplication::font());
  const QSizeF text = metrics.size(Qt::TextSingleLine, badge_);
  const double imageWidth = currentImage_.isNull() ? 0.0 : currentImage_.deviceIndependentSize().width();
  return MTStatusItemLogic::badgeDrawingRect(bounds(), imageWidth, text, true);
}

void MTStatusItem::recalculateLength() {
  currentImage_ = iconImage();
  const double previous = length_;
  length_ = MTStatusItemLogic::length(badgeDrawingRect());
  if (length_ != previous) {
    platform::NotificationCenter::defaultCenter().postNotificationName(
        MTStatusItemLengthDidChangeNotification, this, this);
  }
  setNeedsDisplay();
}

QImage MTStatusItem::render(double devicePixelRatio) {
  updateDarkModeState();
  currentImage_ = iconImage();
  const QRectF area = bounds();
  QImage image((area.size() * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  if (active_) {
    // The highlighted background of an open menu or a key window.
    painter.setPen(Qt::NoPen);
    painter.setBrush(MTStatusItemHighlightColor());
    painter.drawRoundedRect(area.adjusted(1, 1, -1, -1), 4, 4);
  }
  if (!badge_.isEmpty()) {
    painter.save();
    const QColor color = (iconState_ & MTStatusItemStateDark) ? badgeColorDark_ : badgeColor_;
    if (color.isValid() && badgeFont_) {
      painter.setFont(*badgeFont_);
      painter.setPen(color);
    } else {
      // Without both a colour and a font the text takes the plain defaults.
      painter.setFont(QGuiApplication::font());
      painter.setPen(QGuiApplication::palette().color(QPalette::WindowText));
    }
    painter.drawText(badgeDrawingRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, badge_);
    painter.restore();
  }
  if (!currentImage_.isNull()) {
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setOpacity(1.0);
    painter.drawImage(imageDrawingRect(), currentImage_);
    painter.restore();
  }
  painter.end();
  return image;
}

void MTStatusItem::setNeedsDisplay() {
  if (redrawPending_) return;
  redrawPending_ = true;
  // Several changes in one turn of the loop give one new tray icon.
  QMetaObject::invokeMethod(
      this,
      [this] {
        redrawPending_ = false;
        QScreen* where = screen();
        const double ratio = where ? where->devicePixelRatio() : qApp->devicePixelRatio();
        tray_->setIcon(QIcon(QPixmap::fromImage(render(ratio))));
        Q_EMIT didRedraw();
      },
      Qt::QueuedConnection);
}

bool MTStatusItem::isInTray() const { return QSystemTrayIcon::isSystemTrayAvailable() && tray_->isVisible(); }

QRect MTStatusItem::frame() const {
  if (isInTray()) {
    if (embeddedIcon_) {
      // Qt's own account of an embedded window is its place inside the tray: the server tells.
      if (auto place = embeddedPlace_->geometry()) return *place;
    } else {
      const QRect slot = tray_->geometry();
      if (slot.isValid() && !slot.isEmpty()) return slot;
    }
  }
  if (lastClickPosition_) {
    // A slot of the item's size around the click.
    const int width = int(length_);
    const int height = int(MTStatusItemThickness);
    return QRect(lastClickPosition_->x() - width / 2, lastClickPosition_->y() - height / 2, width, height);
  }
  return QRect();
}

QScreen* MTStatusItem::screen() const {
  const QRect where = frame();
  if (where.isEmpty()) return nullptr;
  if (QScreen* found = QGuiApplication::screenAt(where.center())) return found;
  return QGuiApplication::primaryScreen();
}
