#pragma once

#include <QtCore/QPersistentModelIndex>
#include <QtCore/QPointer>
#include <QtWidgets/QMenu>
#include <memory>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "platform/NotificationCenter.h"
#include "uikit/SBOutlineView.h"
#include "uikit/ZKViewController.h"

class QVDashboardCellView;
class QVDashboardOutlineModel;
class QVDashboardModuleManager;
class EngineBridge;
struct QVModuleSnapshot;

// The heart of the dashboard window: an outline of the user's groups and their modules, one row per
// module with its name and current value. It follows the engine through the engine bridge (a result
// or updating change redraws that module's row alone; a change of the groups reloads the outline),
// opens a value's click target or asks for the module editor when a value is clicked, runs, edits
// and deletes modules from a module row's context menu, and sizes its view to its rows up to 0.8 of
// the screen's visible height, telling the module list to resize the window. GUI thread only.
class QVDashboardViewController : public ZKViewController, public SBOutlineViewDelegate {
  Q_OBJECT

 public:
  explicit QVDashboardViewController(QObject* parent = nullptr);
  ~QVDashboardViewController() override;

  void zk_viewDidLoad() override;

  SBOutlineView* outlineView() const { return outlineView_; }
  QVDashboardOutlineModel* model() const { return model_; }
  QVDashboardCellView* cellView() const { return cells_; }
  QMenu* contextMenu() const { return menu_; }
  const std::vector<QVDashboardGroup::Pointer>& groupsArray() const;

  // Reloads the groups from the manager now; reloadFromNotification does it on the next turn.
  void reloadData();
  void reloadFromNotification();
  // Expands or collapses each group as its stored state says, then adjusts the height.
  void autoExpandGroupsIfNeeded();
  // Sizes the view to its rows (up to the cap) and tells the module list.
  void autoAdjustHeight();
  void toggleGroup(const QVDashboardGroup::Pointer& group);

  // The click on a value: its click target in the browser, or the module editor.
  void valueWasClicked(const QModelIndex& index);
  // The context menu's actions on the first selected or clicked row.
  void refresh();
  void edit();
  void deleteModule();
  void manageModules();
  void findMore();

  // The item the row actions act on: the clicked row when the menu was opened on a row outside the
  // selection, else the first selected row; invalid when there is none.
  QModelIndex selectedOrClickedIndex() const;

  // The height rule: rows × row height (at least one row), capped; the view's height for a scroll
  // area of that height with the view's own margins, at least 28.
  static int neededHeight(int rows, int rowHeight);
  static int viewHeight(int currentViewHeight, int currentScrollHeight, int needed, int cap);
  // The rows the height rule counts: groups, plus the modules of expanded groups; at least 1.
  int countedRows() const;
  // 0.8 of the visible height of the window's screen (the primary screen without a window; 0 without
  // any screen).
  int heightCap() const;
  bool scrollingEnabled() const { return scrollingEnabled_; }

  // SBOutlineViewDelegate.
  bool outlineViewIsGroupItem(SBOutlineView* outline, const QModelIndex& item) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void applyTheme();
  void didClick(const QModelIndex& index);
  void moduleDidChange(const QVModuleSnapshot& snapshot);
  void moduleResultDidChange(const QVModuleSnapshot& snapshot);
  void scheduleReload();
  void beep();

  QPointer<SBOutlineView> outlineView_;
  QVDashboardOutlineModel* model_ = nullptr;
  QVDashboardCellView* cells_ = nullptr;
  QPointer<QMenu> menu_;
  std::shared_ptr<QVDashboardModuleManager> manager_;
  QPointer<EngineBridge> bridge_;
  bool ignoreCollapseExpand_ = false;
  bool reloadPending_ = false;
  // The row the context menu was opened on, and its item: the menu acts on that item even when
  // groups open or close (moving the rows) while it is open.
  int menuRow_ = -1;
  QPersistentModelIndex menuItem_;
  bool scrollingEnabled_ = false;
  std::vector<platform::ObserverToken> observers_;
};
