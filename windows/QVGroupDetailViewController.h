#pragma once

#include <QtCore/QPointer>
#include <memory>
#include <optional>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "platform/NotificationCenter.h"
#include "uikit/ZKDeleteTableView.h"
#include "uikit/ZKViewController.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVRowListModel.h"

class EngineBridge;
class QAbstractButton;
class QLineEdit;
class QVDashboardModuleManager;
class QVRowMenu;

inline constexpr const char* ZKModuleDraggingType = "ZKModuleDraggingType";
inline constexpr const char* ZKGroupDraggingType = "ZKGroupDraggingType";
inline constexpr const char* QVOpenEditWithModuleNotification = "OpenEditWithModule";
inline constexpr const char* QVEditWithModuleNotification = "EditWithModule";

// The modules of one group inside the group editor: added through the add-module sheet, removed after
// a confirmation (with their files), duplicated with their options, renamed in place, reordered by
// actions or by dragging, run on request and edited in the edit-module sheet. Dragged rows carry the
// group, so the group editor can move them to another group. Every change is saved through the
// manager. Main thread only.
class QVGroupDetailViewController : public ZKViewController, public ZKDeleteTableViewDelegate {
  Q_OBJECT
 public:
  static constexpr const char* kIncompleteModuleLine =
      "This module is missing required fields, double click here to edit it.";

  explicit QVGroupDetailViewController(QObject* parent = nullptr) : ZKViewController(parent) {}
  ~QVGroupDetailViewController() override;
  // The pane of the group; `manager` null: the shared manager; `bridge` for the edit sheet's log.
  static QVGroupDetailViewController* controllerWithGroup(
      const QVDashboardGroup::Pointer& group, std::shared_ptr<QVDashboardModuleManager> manager = nullptr,
      EngineBridge* bridge = nullptr, QObject* parent = nullptr);

  QVDashboardGroup::Pointer group() const { return group_.lock(); }
  QVDashboardGroup::Modules modules() const;
  ZKDeleteTableView* tableView() const;
  QAbstractButton* addButton() const;
  QAbstractButton* removeButton() const;
  QVRowListModel* model() const { return model_; }
  // The rows' context menu: run now, edit, rename, duplicate, move up and down, delete, each with its
  // shortcut where it has one.
  QVRowMenu* rowMenu() const { return rowMenu_; }
  QLineEdit* nameFieldAtRow(int row) const;
  QVAddModuleWindowController* addWindowController() const { return addWindowController_; }
  QVEditModuleWindowController* editWindowController() const { return editWindowController_; }
  // The drag identity of this pane's group.
  static std::string identityOfGroup(const QVDashboardGroup::Pointer& group);

  void zk_viewDidLoad() override;
  void reloadData();
  void validateAddRemoveButton();
  // The rows' names and descriptions in the theme's text colour, and in its selected-text colour on
  // selected rows.
  void updateCellColors();

  void showAddModule();
  void handleAddCompletion(const std::vector<QVDashboardModule::Pointer>& modules);
  void edit(int row);
  void editSelectedRow();
  void editName();
  void didChangeModuleName(int row);
  void runModule();
  void duplicate();
  void moveUp() { move(true); }
  void moveDown() { move(false); }
  void removeSelectedItem();
  void tableViewDeleteFromKeyboard(ZKDeleteTableView*) override { removeSelectedItem(); }
  void didDoubleClickTableView(const QModelIndex& index);
  void editFromNotification(const QVDashboardModule::Pointer& module);

 private:
  std::vector<int> rows() const;
  void move(bool up);
  void startNameEdit(int row);
  void setUpRowMenu();
  void save();
  void beep();
  bool acceptDrop(const QVRowListModel::Drop& drop);

  std::weak_ptr<QVDashboardGroup> group_;
  std::shared_ptr<QVDashboardModuleManager> manager_;
  QPointer<EngineBridge> bridge_;
  QVRowListModel* model_ = nullptr;
  QVRowMenu* rowMenu_ = nullptr;
  QPointer<QVAddModuleWindowController> addWindowController_;
  QPointer<QVEditModuleWindowController> editWindowController_;
  std::vector<platform::ObserverToken> observers_;
};
