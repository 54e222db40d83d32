#pragma once

#include <QtCore/QPointer>
#include <memory>
#include <vector>

#include "platform/SettingsStore.h"
#include "shell/MTStatusItem.h"
#include "shell/STDockableWindowController.h"

class ZKViewController;
class QVModuleListViewController;
namespace platform {
class DesktopCompositorWatcher;
}

// The dashboard's status item: the application's tray item, nothing of its own.
class QVStatusItem : public MTStatusItem {
  Q_OBJECT

 public:
  using MTStatusItem::MTStatusItem;
};

// The dashboard window: the dockable window (docking, fades, auto-hide, the status item, Escape) with
// the dashboard's own set-up, its width rule, the module list as its content, and the rule that a
// click on the tray icon of an empty dashboard asks for the module editor instead of the window.
class QVDashboardWindowController : public STDockableWindowController {
  Q_OBJECT

 public:
  explicit QVDashboardWindowController(QObject* parent = nullptr);
  ~QVDashboardWindowController() override;

  void zk_viewDidLoad() override;

  QWidget* contentView() const { return contentView_; }
  QWidget* currentView() const { return currentView_; }
  ZKViewController* currentViewController() const { return currentViewController_; }
  QVModuleListViewController* moduleListViewController() const;

  // The width the "windowSize" setting gives: 350, 450 (the default, 1) or 550 points.
  static int windowWidthForSetting(std::int64_t windowSize);
  void updateWindowSize();
  // Shows the controller's view as the content (hooks around the swap).
  void setCurrentViewController(ZKViewController* controller);
  void setCurrentView(QWidget* view, bool animated = true);

  // Always on a later turn of the loop, never inside the caller.
  void actuallyShowWindow(bool animated) override;
  // An empty dashboard (no group with a configured module) asks for the module editor instead.
  void menuIconWasClicked() override;
  // A hook with no body: the icon setting reaches the window here.
  void updateStatusItem() {}

  // Where no compositor draws the desktop (so transparency cannot show), the window is shaped to its
  // outline: the margin beside the arrow and outside the rounded corners is cut away and the desktop
  // shows there. Where one does, the window has no shape and its transparent margin shows through.
  // Follows the outline (docking, resizing) and the compositor coming and going.
  void updateWindowShape();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The window's own colour follows the theme.
  void applyTheme();
  // updateWindowShape on the next turn of the loop, once for all the changes of this one.
  void scheduleWindowShapeUpdate();

 private:
  QPointer<QWidget> contentView_;
  QPointer<QWidget> currentView_;
  QPointer<ZKViewController> currentViewController_;
  std::vector<platform::SettingsStore::Observation> observations_;
  platform::ObserverToken themeObserver_;
  platform::DesktopCompositorWatcher* compositorWatcher_ = nullptr;
  bool shapeUpdatePending_ = false;
};
