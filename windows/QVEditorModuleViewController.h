#pragma once

#include <QtCore/QPointer>
#include <QtCore/QSize>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "platform/NotificationCenter.h"
#include "uikit/ZKDeleteTableView.h"
#include "uikit/ZKModuleViewController.h"
#include "windows/QVEmojiPickerViewController.h"
#include "windows/QVRowListModel.h"

class EngineBridge;
class QAbstractButton;
class QFrame;
class QLineEdit;
class QVDashboardModuleManager;
class QVGroupDetailViewController;
class QVRowMenu;

// The "Module Config" pane of the preferences window: the user's groups on the left (emoji button and
// name, renamed in place), the selected group's detail pane on the right. Adds, duplicates, renames,
// reorders and deletes groups, sets a group's emoji through the picker, moves modules dropped from
// the detail pane onto another group, and turns "EditWithModule" into the selection of the module's
// group followed by "OpenEditWithModule". Every change goes through the manager. Main thread only.
//
// The preferences window makes it with `new QVEditorModuleViewController(parent)` followed by
// `loadFromInterface` through `ZKViewController::controller<QVEditorModuleViewController>(parent)`,
// or with `controllerWithManager` to name the manager and engine bridge.
class QVEditorModuleViewController : public ZKModuleViewController,
                                     public ZKDeleteTableViewDelegate,
                                     public QVEmojiPickerDelegate {
  Q_OBJECT
 public:
  static constexpr const char* kNewGroupName = "New Group";
  static constexpr const char* kEmojiToolTip = "Click to change the icon for this group.";

  explicit QVEditorModuleViewController(QObject* parent = nullptr);
  ~QVEditorModuleViewController() override;
  static QVEditorModuleViewController* controllerWithManager(
      std::shared_ptr<QVDashboardModuleManager> manager, EngineBridge* bridge = nullptr,
      QObject* parent = nullptr);

  std::vector<QVDashboardGroup::Pointer> groups() const;
  ZKDeleteTableView* tableView() const;
  QWidget* moduleContentView() const;
  QAbstractButton* addButton() const;
  QAbstractButton* removeButton() const;
  QVRowListModel* model() const { return model_; }
  // The rows' context menu: rename, duplicate, move up and down, delete, each with its shortcut.
  QVRowMenu* rowMenu() const { return rowMenu_; }
  QLineEdit* nameFieldAtRow(int row) const;
  QAbstractButton* emojiButtonAtRow(int row) const;
  QVGroupDetailViewController* currentViewController() const { return currentViewController_; }
  QVEmojiPickerViewController* emojiPickerViewController() const { return emojiPickerViewController_; }
  QFrame* popover() const { return popover_; }
  std::int64_t pendingRow() const { return pendingRow_; }

  void zk_viewDidLoad() override;
  QSize windowSizeWithController(ZKViewController* controller) const;
  bool resizeWindowIfNeededForViewController(ZKViewController* controller);
  void setCurrentViewController(QVGroupDetailViewController* controller);
  void reloadData();
  void tableViewSelectionDidChange();
  void validateAddRemoveButton();

  void addNewGroup();
  void duplicateGroup();
  void editName();
  void didChangeGroupName(int row);
  void moveUp() { move(true); }
  void moveDown() { move(false); }
  void removeSelectedItem();
  void tableViewDeleteFromKeyboard(ZKDeleteTableView*) override { removeSelectedItem(); }
  void selectEmoji(int row);
  void emojiPickerDidSelectEmoji(QVEmojiPickerViewController* picker, const std::string& emoji) override;
  void popoverDidClose();
  void editFromNotification(const QVDashboardModule::Pointer& module);
  // A module drop on a group row: the dragged rows of the group they came from move to that group.
  bool acceptModuleDrop(const QVRowListModel::Drop& drop);

 private:
  std::vector<int> rows() const;
  void move(bool up);
  void startNameEdit(int row);
  void reloadSelectingRow(int row);
  void setUpRowMenu();
  void save();
  void beep();
  bool validateDrop(const QVRowListModel::Drop& drop) const;
  bool acceptGroupDrop(const QVRowListModel::Drop& drop);

  std::shared_ptr<QVDashboardModuleManager> manager_;
  QPointer<EngineBridge> bridge_;
  QVRowListModel* model_ = nullptr;
  QVRowMenu* rowMenu_ = nullptr;
  QPointer<QVGroupDetailViewController> currentViewController_;
  QPointer<QVEmojiPickerViewController> emojiPickerViewController_;
  QPointer<QFrame> popover_;
  std::int64_t pendingRow_ = -1;
  std::vector<platform::ObserverToken> observers_;
};
