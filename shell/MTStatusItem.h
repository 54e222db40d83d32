#pragma once

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QPoint>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtGui/QImage>
#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>
#include <cstdint>
#include <memory>
#include <optional>

#include "shell/MTStatusItemState.h"

class QScreen;
class ZKTimer;
namespace platform {
class EmbeddedWindowPlace;
}

// Posted on the default centre, the item as sender and object (MTStatusItem*), when the item's width
// changed; a docked window is placed again.
inline constexpr const char* MTStatusItemLengthDidChangeNotification = "MTStatusItemLengthDidChange";

// Told about the status item's clicks. Not owned by the item.
class MTStatusItemDelegate {
 public:
  virtual ~MTStatusItemDelegate() = default;
  // A plain click (or the global hot key, through the application).
  virtual void menuIconWasClicked() = 0;
  // Whether the context menu may open now.
  virtual bool menuShouldShow() { return false; }
};

// The application's item in the desktop's system tray: it draws the application's icon in the state
// colours (normal, active, dark, a blink phase), optionally with a short text badge to its right,
// tells its delegate about clicks and shows its context menu on a right click or a Control click.
// The item's frame is where the desktop shows the icon: in an XEmbed tray the icon's window as the X
// server places it (Qt knows only its place inside the tray), elsewhere the place the tray tells; where
// neither is known the position of the last click stands in. Where the desktop has no tray the item is
// not shown (isInTray() is false) and the dockable window floats instead.
class MTStatusItem : public QObject {
  Q_OBJECT

 public:
  explicit MTStatusItem(QObject* parent = nullptr);
  ~MTStatusItem() override;

  MTStatusItemDelegate* delegate() const { return delegate_; }
  void setDelegate(MTStatusItemDelegate* delegate) { delegate_ = delegate; }

  QMenu* contextMenu() const { return contextMenu_; }
  // The menu is not owned; it reports its closing to the item.
  void setContextMenu(QMenu* menu);

  bool iconVisible() const { return iconVisible_; }
  void setIconVisible(bool visible);
  std::int64_t iconState() const { return iconState_; }
  void setIconState(std::int64_t state);
  bool active() const { return active_; }
  void setActive(bool active);
  // Flips the highlight without touching `active`.
  void toggleActive();

  const QString& badge() const { return badge_; }
  void setBadge(const QString& badge);
  const QColor& badgeColor() const { return badgeColor_; }
  void setBadgeColor(const QColor& color) { badgeColor_ = color; }
  const QColor& badgeColorDark() const { return badgeColorDark_; }
  void setBadgeColorDark(const QColor& color) { badgeColorDark_ = color; }
  const std::optional<QFont>& badgeFont() const { return badgeFont_; }
  void setBadgeFont(const std::optional<QFont>& font);

  void startBlinking();
  void stopBlinking();
  bool isBlinking() const { return blinkTimer_ != nullptr; }

  // Follows the desktop's appearance: sets or clears the dark bit only when it changed.
  void updateDarkModeState();
  bool isDarkMode() const;

  // Opens the context menu at the item when the delegate allows it; marks the item active.
  void showMenu();
  // A primary click with the given modifier flags (MTEventModifierFlag...) at a desktop position.
  void mouseDown(std::uint64_t modifierFlags, std::optional<QPoint> position = std::nullopt);
  // A secondary click at a desktop position.
  void rightMouseDown(std::optional<QPoint> position = std::nullopt);

  // The icon to draw in the current state (cached by colour key), null when the icon is hidden or the
  // application has no icon image.
  QImage iconImage();
  const QImage& currentImage() const { return currentImage_; }
  // The item's width, and its bounds at the status bar's thickness.
  double length() const { return length_; }
  QRectF bounds() const { return QRectF(0, 0, length_, MTStatusItemThickness); }
  QRectF imageDrawingRect() const;
  QRectF badgeDrawingRect() const;
  // Refreshes the icon, sets the width from the badge and tells when it changed.
  void recalculateLength();
  // The item as drawn now (its bounds at the given pixel ratio).
  QImage render(double devicePixelRatio = 1.0);
  // How many tinted icons were made so far (at most one per colour key).
  int iconCacheSize() const { return int(iconCache_.size()); }

  // Whether the item lives in a tray on this desktop (virtual, as the tray is what tests stand in for).
  virtual bool isInTray() const;
  // Where the item is on the desktop: the tray's slot, or a slot around the last click where the tray
  // tells none; an empty rectangle when neither is known.
  virtual QRect frame() const;
  // The screen the item is on (null when unknown).
  QScreen* screen() const;
  QSystemTrayIcon* trayIcon() const { return tray_; }

  // The Qt modifiers as the item's modifier flags.
  static std::uint64_t modifierFlags(Qt::KeyboardModifiers modifiers);

 Q_SIGNALS:
  // The item was drawn anew (its icon changed).
  void didRedraw();
  // The context menu closed, however it was opened (here or elsewhere); the highlight is off now.
  void menuDidClose();
  // The item moved on the desktop (the tray rearranged its icons, or took the icon in): frame() is
  // new. A docked window is placed again.
  void frameDidChange();

 private:
  void setNeedsDisplay();
  void configureBlinkTimer();
  void trayActivated(QSystemTrayIcon::ActivationReason reason);
  // Finds the window the tray embedded for this item, once the tray icon is shown.
  void followEmbeddedIcon(const QList<QWidget*>& iconWindowsBefore);
  bool eventFilter(QObject* watched, QEvent* event) override;

  QSystemTrayIcon* tray_ = nullptr;
  MTStatusItemDelegate* delegate_ = nullptr;
  QPointer<QMenu> contextMenu_;
  QMetaObject::Connection menuConnection_;
  bool iconVisible_ = true;
  std::int64_t iconState_ = 0;
  bool active_ = false;
  QString badge_;
  QColor badgeColor_;
  QColor badgeColorDark_;
  std::optional<QFont> badgeFont_;
  QHash<QString, QImage> iconCache_;
  std::shared_ptr<ZKTimer> blinkTimer_;
  QImage currentImage_;
  double length_ = MTStatusItemBaseLength;
  std::optional<QPoint> lastClickPosition_;
  QPointer<QWidget> embeddedIcon_;  // the icon's window in an XEmbed tray
  platform::EmbeddedWindowPlace* embeddedPlace_ = nullptr;
  bool redrawPending_ = false;
};
