#include "shell/STDockableWindowController.h"

#include <QtCore/QDateTime>
#include <QtCore/QMetaObject>
#include <QtCore/QPropertyAnimation>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QMouseEvent>
#include <QtGui/QScreen>
#include <QtGui/QShortcut>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include "engine/QVRunNotifications.h"
#include "platform/desktop/DesktopCompositor.h"
#include "platform/desktop/DesktopTaskbar.h"
#include "shell/QVUserDefaults.h"
#include "shell/ZKCore.h"
#include "uikit/NSWindow+ContentView.h"

namespace {

constexpr double kFadeSeconds = 0.2;
// Two clicks closer than this: the second toggles without a fade.
constexpr qint64 kDoubleClickMilliseconds = 200;
// A click of the status item this soon after the window hid because the click took the focus away
// meant to hide it, not to bring it back.
constexpr qint64 kClickAfterFocusLossMilliseconds = 300;

// When the last status-item click happened, shared by every dockable window.
qint64& lastClickTime() {
  static qint64 milliseconds = 0;
  return milliseconds;
}

// When the window last hid because it lost the focus.
qint64 lastFocusLossHide = 0;

qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

QVUserDefaults& defaults() { return *QVUserDefaults::standardUserDefaults(); }

}  // namespace

STDockableWindowController::STDockableWindowController(QObject* parent) : ZKWindowController(parent) {}

STDockableWindowController::~STDockableWindowController() {
  if (statusItem_ && statusItem_->delegate() == this) statusItem_->setDelegate(nullptr);
  if (animation_) animation_->stop();
}

std::vector<STScreenArea> STDockableWindowController::screenAreas() {
  std::vector<STScreenArea> areas;
  QScreen* primary = QGuiApplication::primaryScreen();
  if (primary) areas.push_back({primary->geometry(), primary->availableGeometry()});
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != primary) areas.push_back({screen->geometry(), screen->availableGeometry()});
  }
  return areas;
}

bool STDockableWindowController::fadesAreVisible() const { return platform::desktopHasCompositor(); }

double STDockableWindowController::fadeDuration(bool animated) const {
  return animated && fadesAreVisible() ? kFadeSeconds : 0.0;
}

bool STDockableWindowController::hasStatusItemHome() const { return statusItem_ && statusItem_->isInTray(); }

void STDockableWindowController::zk_viewDidLoad() {
  ZKWindowController::zk_viewDidLoad();
  canHide_ = true;
  auto& center = platform::NotificationCenter::defaultCenter();
  QPointer<STDockableWindowController> self(this);
  // Observers may be told on any thread; the window is the main thread's.
  auto onMain = [self](void (STDockableWindowController::*method)()) {
    return [self, method](const platform::Notification&) {
      QMetaObject::invokeMethod(
          qApp,
          [self, method] {
            if (self) (self.data()->*method)();
          },
          Qt::AutoConnection);
    };
  };
  observers_.push_back(center.addObserverForName(STDisableWindowClosingNotification, nullptr,
                                                 onMain(&STDockableWindowController::disableAutoHide)));
  observers_.push_back(center.addObserverForName(STEnableWindowClosingNotification, nullptr,
                                                 onMain(&STDockableWindowController::enableAutoHide)));
  keepAboveObservation_ = defaults().addObserverForKey(QVShouldKeepAboveKey, [self](const std::string&) {
    QMetaObject::invokeMethod(
        qApp,
        [self] {
          if (self) self->setWindowLevel();
        },
        Qt::AutoConnection);
  });

  QWidget* window = this->window();
  if (!window) return;
  window->setWindowOpacity(0.0);
  window->hide();
  window->installEventFilter(this);
  escapeShortcut_ = new QShortcut(QKeySequence(Qt::Key_Escape), window);
  escapeShortcut_->setContext(Qt::WindowShortcut);
  connect(escapeShortcut_, &QShortcut::activated, this, [this] { actuallyHideWindow(true); });
  floatingKind_ = !QSystemTrayIcon::isSystemTrayAvailable();
  applyWindowKind();
  setWindowLevel();
  docked_ = defaults().isDocked();
  if (docked_) {
    QTimer::singleShot(10, this, [this] { dockWindowAnimated(false); });
  } else {
    undockWindowAnimated(false);
  }
}

void STDockableWindowController::setStatusItem(MTStatusItem* item) {
  if (statusItem_ == item) return;
  if (statusItem_) {
    if (statusItem_->delegate() == this) statusItem_->setDelegate(nullptr);
    statusItem_->deleteLater();
  }
  lengthObserver_ = {};
  disconnect(menuCloseConnection_);
  disconnect(itemMoveConnection_);
  statusItem_ = item;
  if (!item) return;
  item->setParent(this);
  item->setDelegate(this);
  // The menu's closing is seen once the menu is gone and the focus has settled.
  menuCloseConnection_ = connect(item, &MTStatusItem::menuDidClose, this,
                                 &STDockableWindowController::statusItemMenuDidClose, Qt::QueuedConnection);
  // The tray moving the item moves a docked window with it.
  itemMoveConnection_ =
      connect(item, &MTStatusItem::frameDidChange, this, &STDockableWindowController::repositionDockedWindow);
  QPointer<STDockableWindowController> self(this);
  lengthObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      MTStatusItemLengthDidChangeNotification, item, [self](const platform::Notification&) {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
              if (self) self->repositionDockedWindow();
            },
            Qt::AutoConnection);
      });
  // The tray decides what kind of window this is; the kind changes only while the window is away.
  const bool floating = !hasStatusItemHome();
  if (floating != floatingKind_ && window() && !window()->isVisible()) {
    floatingKind_ = floating;
    applyWindowKind();
  }
}

void STDockableWindowController::applyWindowKind() {
  QWidget* window = this->window();
  if (!window) return;
  Qt::WindowFlags flags = Qt::FramelessWindowHint;
  // A tool window stays out of the task bar: the tray item is its way back. Without a tray the
  // window list of the desktop is.
  flags |= floatingKind_ ? Qt::Window : Qt::Tool;
  if (window->windowFlags() & Qt::WindowStaysOnTopHint) flags |= Qt::WindowStaysOnTopHint;
  const bool visible = window->isVisible();
  window->setWindowFlags(flags);
  if (visible) window->show();
}

void STDockableWindowController::setWindowLevel() {
  QWidget* window = this->window();
  if (!window) return;
  const bool above = defaults().shouldKeepAbove();
  Qt::WindowFlags flags = window->windowFlags();
  flags.setFlag(Qt::WindowStaysOnTopHint, above);
  if (flags == window->windowFlags()) return;
  if (window->windowHandle()) {
    // Changed on the platform window in place: the widget's own route would hide a shown window.
    window->overrideWindowFlags(flags);
    window->windowHandle()->setFlags(flags);
  } else {
    window->setWindowFlags(flags);
  }
}

bool STDockableWindowController::windowIsVisible() const {
  return window() && window()->isVisible() && !window()->isMinimized();
}

bool STDockableWindowController::preferencesWindowIsVisible() const {
  return preferencesWindow_ && preferencesWindow_->isVisible() && !preferencesWindow_->isMinimized();
}

QRect STDockableWindowController::dockedWindowFrame() const {
  const QSize size = window() ? window()->size() : QSize();
  return STDockingGeometry::dockedFrame(statusItem_ ? statusItem_->frame() : QRect(), size, screenAreas());
}

void STDockableWindowController::placeDockedWindow() {
  QWidget* window = this->window();
  if (!window) return;
  const QRect frame = dockedWindowFrame();
  window->setGeometry(frame);
  const auto arrow = STDockingGeometry::arrowPosition(statusItem_ ? statusItem_->frame() : QRect(), frame);
  if (arrow == dockedArrowPosition_) return;
  dockedArrowPosition_ = arrow;
  Q_EMIT dockedArrowPositionDidChange();
}

std::optional<std::string> STDockableWindowController::undockedFrameString() const {
  return defaults().undockedFrame();
}

void STDockableWindowController::saveUndockedFrame() {
  QWidget* window = this->window();
  if (!window) return;
  QScreen* screen = window->screen();
  defaults().setUndockedFrame(
      STDockingGeometry::frameString(window->geometry(), screen ? screen->availableGeometry() : QRect()));
}

void STDockableWindowController::fade(double alpha, bool animated, std::function<void()> done) {
  QWidget* window = this->window();
  if (!window) return;
  const unsigned generation = ++fadeGeneration_;
  if (animation_) {
    animation_->stop();
    animation_->deleteLater();
  }
  const double seconds = fadeDuration(animated);
  if (seconds <= 0.0) {
    window->setWindowOpacity(alpha);
    if (done) done();
    return;
  }
  auto* animation = new QPropertyAnimation(window, "windowOpacity", this);
  animation->setDuration(int(seconds * 1000));
  animation->setStartValue(window->windowOpacity());
  animation->setEndValue(alpha);
  connect(animation, &QPropertyAnimation::finished, this, [this, generation, done = std::move(done)] {
    if (generation != fadeGeneration_) return;
    if (done) done();
  });
  animation_ = animation;
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void STDockableWindowController::dockWindowAnimated(bool animated) {
  QWidget* window = this->window();
  if (!window) return;
  if (!hasStatusItemHome()) {
    // Nothing to hang from on a desktop without a tray: the window keeps its floating place.
    undockWindowAnimated(animated);
    return;
  }
  if (animated) {
    fade(0.0, true, [this] {
      placeDockedWindow();
      if (windowIsVisible()) fade(1.0, true, nullptr);
    });
  } else {
    placeDockedWindow();
    // A fade under way (a hide) keeps going; the docked place is taken either way.
    if (!animation_) window->setWindowOpacity(1.0);
  }
}

void STDockableWindowController::undockWindowAnimated(bool animated) {
  if (!window()) return;
  fade(0.0, animated, [this, animated] {
    if (auto saved = undockedFrameString(); saved && !saved->empty()) {
      if (auto frame = STDockingGeometry::frameFromString(*saved, screenAreas())) {
        this->window()->setGeometry(*frame);
      }
    }
    fade(1.0, animated, nullptr);
  });
}

void STDockableWindowController::toggleDocked() {
  if (!window()) return;
  docked_ = !docked_;
  if (docked_) {
    saveUndockedFrame();
    dockWindowAnimated(true);
  } else {
    undockWindowAnimated(true);
  }
  defaults().setIsDocked(docked_);
}

void STDockableWindowController::repositionDockedWindow() {
  QWidget* window = this->window();
  if (!window || !docked_ || hiding_ || !hasStatusItemHome()) return;
  if (window->windowOpacity() != 0.0 && windowIsVisible()) dockWindowAnimated(false);
}

void STDockableWindowController::orderFront(bool makeKey) {
  QWidget* window = this->window();
  if (window->isMinimized()) {
    window->showNormal();
  } else {
    window->show();
  }
  window->raise();
  if (makeKey) window->activateWindow();
}

void STDockableWindowController::activateApplication() {
  if (window() && windowIsVisible()) window()->activateWindow();
}

void STDockableWindowController::actuallyShowWindow(bool animated) {
  QWidget* window = this->window();
  if (!window) return;
  hiding_ = false;
  const bool dockedHere = docked_ && hasStatusItemHome();
  if (dockedHere) placeDockedWindow();
  if (statusItem_) statusItem_->setActive(true);
  windowWillShow();
  const bool preferences = preferencesWindowIsVisible();
  orderFront(!preferences);
  if (preferences) {
    preferencesWindow_->raise();
    preferencesWindow_->activateWindow();
  }
  if (zk_isFullScreen(window)) {
    activateApplication();
    return;
  }
  QScreen* itemScreen = statusItem_ ? statusItem_->screen() : nullptr;
  if (itemScreen && itemScreen != window->screen()) {
    if (dockedHere) {
      placeDockedWindow();
    } else {
      QRect frame = window->geometry();
      frame.moveCenter(itemScreen->availableGeometry().center());
      window->setGeometry(frame);
      undockWindowAnimated(false);
    }
  }
  if (statusItem_) statusItem_->setActive(true);
  if (preferences) {
    preferencesWindow_->raise();
    preferencesWindow_->activateWindow();
  } else {
    window->raise();
    window->activateWindow();
  }
  const bool fadeIn = animated && window->windowOpacity() != 1.0;
  fade(1.0, fadeIn, [this] { activateApplication(); });
}

void STDockableWindowController::actuallyHideWindow(bool animated) {
  QWidget* window = this->window();
  if (!window) return;
  if (statusItem_) statusItem_->setActive(false);
  if (!shown_ && !windowIsVisible()) return;
  hiding_ = true;
  if (!windowIsVisible()) {
    // Already gone from the screen (the desktop took it away): only the bookkeeping is left.
    finishHide();
    return;
  }
  fade(0.0, animated, [this] { finishHide(); });
}

void STDockableWindowController::finishHide() {
  QWidget* window = this->window();
  hiding_ = true;
  if (window && windowIsVisible()) {
    if (floatingKind_) {
      // Without a tray the desktop's window list brings it back.
      window->showMinimized();
    } else {
      window->hide();
    }
  }
  hiding_ = false;
  windowDidHide();
  // Where the framework's window may show and hiding is allowed, the application would give the
  // focus back to the previous one: the desktop does so itself when the window goes.
}

void STDockableWindowController::windowWillShow() {
  if (shown_) return;
  shown_ = true;
  platform::NotificationCenter::defaultCenter().postNotificationName(QVDockableWindowWillShowNotification,
                                                                     window(), window());
}

void STDockableWindowController::windowDidHide() {
  if (!shown_) return;
  shown_ = false;
  platform::NotificationCenter::defaultCenter().postNotificationName(QVDockableWindowDidHideNotification,
                                                                     window(), window());
}

void STDockableWindowController::menuIconWasClicked() {
  if (!ZKCore::canShowMainWindow()) {
    ZKCore::showWindow();
    return;
  }
  QWidget* window = this->window();
  if (!window) return;
  if (zk_isFullScreen(window)) {
    activateApplication();
    return;
  }
  const qint64 clickTime = now();
  const bool animated = clickTime - lastClickTime() >= kDoubleClickMilliseconds;
  lastClickTime() = clickTime;
  const bool preferences = preferencesWindowIsVisible();
  if (!preferences && window->isActiveWindow() && windowIsVisible()) {
    if (canHide_) actuallyHideWindow(animated);
  } else if (!preferences && !shown_ && clickTime - lastFocusLossHide < kClickAfterFocusLossMilliseconds) {
    // The press on the item took the focus and hid the window a moment ago: that was this click's
    // own toggle.
  } else {
    actuallyShowWindow(animated);
  }
  ZKCore::showAnyVisibleWindows();
  if (preferences) {
    preferencesWindow_->show();
    preferencesWindow_->raise();
    preferencesWindow_->activateWindow();
  }
}

bool STDockableWindowController::menuShouldShow() { return ZKCore::canShowMainWindow(); }

void STDockableWindowController::enableAutoHide() { canHide_ = true; }

void STDockableWindowController::disableAutoHide() {
  activateApplication();
  canHide_ = false;
}

void STDockableWindowController::windowDidMove() {
  if (!(docked_ && hasStatusItemHome())) saveUndockedFrame();
}

void STDockableWindowController::windowDidBecomeKey() {
  if (statusItem_) statusItem_->setActive(true);
}

void STDockableWindowController::statusItemMenuDidClose() {
  QWidget* window = this->window();
  if (statusItem_ && shown_ && !hiding_ && window && windowIsVisible() && window->isActiveWindow())
    statusItem_->setActive(true);
}

void STDockableWindowController::windowDidResignKey() {
  if (QWidget* key = QApplication::activeWindow()) {
    const QString title = key->windowTitle();
    if (title.startsWith(QLatin1String("Updating")) || title.startsWith(QLatin1String("Software Update")))
      return;
  }
  if (!canHide_ || ZKCHappinessManager::sharedInstance().ratingWindowIsVisible()) return;
  const bool preferences = preferencesWindowIsVisible();
  if (!preferences && statusItem_) statusItem_->setActive(false);
  if (!defaults().isBackgroundApp() && !preferences && shown_ && !hiding_) {
    lastFocusLossHide = now();
    actuallyHideWindow(false);
  }
}

void STDockableWindowController::windowDidDeminiaturize() {
  if (!shown_) {
    // Brought back from the desktop's window list: a show like any other.
    actuallyShowWindow(false);
    return;
  }
  orderFront(true);
}

bool STDockableWindowController::eventFilter(QObject* watched, QEvent* event) {
  QWidget* window = this->window();
  if (window && watched == window) {
    switch (event->type()) {
      case QEvent::Close:
        // The window manager's close (or the close button): the window hides, it is not destroyed.
        event->ignore();
        actuallyHideWindow(true);
        return true;
      case QEvent::Show:
        // Without a tray the desktop's window list is the way back to the window, whether or not
        // the application's other windows are listed. Told before the window is mapped.
        platform::setWindowAlwaysListedInTaskbar(window->windowHandle(), floatingKind_);
        break;
      case QEvent::Hide:
        if (shown_ && !hiding_) actuallyHideWindow(false);
        break;
      case QEvent::WindowStateChange: {
        const auto* change = static_cast<QWindowStateChangeEvent*>(event);
        const bool wasMinimized = change->oldState() & Qt::WindowMinimized;
        if (window->isMinimized() && !wasMinimized && shown_ && !hiding_) {
          actuallyHideWindow(false);
        } else if (wasMinimized && !window->isMinimized()) {
          windowDidDeminiaturize();
        }
        break;
      }
      case QEvent::WindowActivate:
        windowDidBecomeKey();
        break;
      case QEvent::WindowDeactivate:
        windowDidResignKey();
        break;
      case QEvent::Move:
        windowDidMove();
        break;
      case QEvent::MouseButtonPress: {
        // A floating window moves when dragged by its background.
        const auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() == Qt::LeftButton && !(docked_ && hasStatusItemHome()) &&
            window->windowHandle()) {
          window->windowHandle()->startSystemMove();
          return true;
        }
        break;
      }
      default:
        break;
    }
  }
  return ZKWindowController::eventFilter(watched, event);
}
