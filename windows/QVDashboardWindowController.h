#pragma once

#include <QtCore/QPointer>
#include <memory>
#include <vector>

#include "platform/SettingsStore.h"
#include "shell/MTStatusItem.h"
#include "shell/STDockableWindowController.h"

class ZKViewController;
class QVModuleListViewController;

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

 private:
  // The window's own fill (seen where the desktop shows no transparency) follows the theme.
  void applyTheme();

 private:
  QPointer<QWidget> contentView_;
  QPointer<QWidget> currentView_;
  QPointer<ZKViewController> currentViewController_;
  std::vector<platform::SettingsStore::Observation> observations_;
  platform::ObserverToken themeObserver_;
};
