#pragma once

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QPointer>
#include <QtGui/QPainterPath>
#include <QtWidgets/QMenu>
#include <vector>

#include "platform/NotificationCenter.h"
#include "uikit/ZKViewController.h"

class QVHeaderViewController;
class QVDashboardViewController;
class STDockableWindowController;

// The dashboard window's content: the header over the dashboard outline, stacked. It keeps each row's
// height (the header's once, the outline's measured again at every reload), sizes the window to their
// sum plus 10 points, owns the settings menu (from the header's settings button and as the status
// item's context menu) and switches between docked and floating.
class QVModuleListViewController : public ZKViewController {
  Q_OBJECT

 public:
  explicit QVModuleListViewController(QObject* parent = nullptr);
  ~QVModuleListViewController() override;

  void zk_viewDidLoad() override;

  QMenu* settingsMenu() const { return settingsMenu_; }
  QAction* dockMenuItem() const { return dockMenuItem_; }
  QAction* checkForUpdatesMenuItem() const { return checkForUpdatesMenuItem_; }
  const std::vector<ZKViewController*>& modulesArray() const { return modulesArray_; }
  QVHeaderViewController* headerViewController() const;
  QVDashboardViewController* dashboardViewController() const;

  // The cached height of a row controller's class, measured when missing (at least 1).
  double heightOfRow(int row);
  const QHash<QString, double>& moduleViewHeights() const { return moduleViewHeights_; }

  void reloadData() { reloadDataAnimated(true); }
  void reloadDataFromNotification() { reloadDataAnimated(false); }
  void reloadDataAnimated(bool animated);
  void autoAdjustHeight();
  void resizeWindowAnimated(bool animated);
  // The window's height the rows ask for: their heights + 10.
  double totalHeight();
  // The window's outline in this view's coordinates, as the pieces that paint it: the body below the
  // header's arrow with rounded corners, and the header's own outline (its rounded top and, while
  // docked, the arrow). Filled one after the other they cover what the window shows.
  QList<QPainterPath> windowOutline();

  void showSettingsMenu();
  void updateMenuItems();

  // Settings-menu actions.
  void toggleDocked();
  void resetAppWindow();
  void manageModules();
  void openPreferences();
  void openCustomerSupport();
  void openMailingList();
  void checkForUpdates();
  void findMore();
  void quit();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  STDockableWindowController* dockableWindowController() const;
  void addNotificationListeners();

  QPointer<QMenu> settingsMenu_;
  QPointer<QAction> dockMenuItem_;
  QPointer<QAction> checkForUpdatesMenuItem_;
  std::vector<ZKViewController*> modulesArray_;
  QHash<QString, double> moduleViewHeights_;
  std::vector<platform::ObserverToken> observers_;
};
