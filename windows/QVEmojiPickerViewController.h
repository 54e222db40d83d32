#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "uikit/ZKViewController.h"
#include "windows/QVEmojiManager.h"

class QLineEdit;
class QTableWidget;
class ZKButton;
class QVEmojiPickerViewController;

// Told which emoji the user picked.
class QVEmojiPickerDelegate {
 public:
  virtual ~QVEmojiPickerDelegate() = default;
  virtual void emojiPickerDidSelectEmoji(QVEmojiPickerViewController* picker, const std::string& emoji) = 0;
};

// One row of the picker: eight emoji buttons, those past the row's emoji hidden. A click is passed on
// to the row's action with the clicked button.
class QVEmojiRowTableCellView : public QWidget {
  Q_OBJECT
 public:
  explicit QVEmojiRowTableCellView(QWidget* parent = nullptr);
  const std::array<ZKButton*, QVEmojiManager::kRowLength>& buttonArray() const { return buttons_; }
  std::function<void(ZKButton*)> action;
  void configureWithArray(const QVEmojiManager::Row& row);

 private:
  std::array<ZKButton*, QVEmojiManager::kRowLength> buttons_{};
};

// The emoji picker the group editor shows in a popover: a search field over section headers and rows
// of eight emoji; a click tells the delegate the emoji. Main thread only.
class QVEmojiPickerViewController : public ZKViewController {
  Q_OBJECT
 public:
  static constexpr int kGroupRowHeight = 17;
  static constexpr int kEmojiRowHeight = 34;

  explicit QVEmojiPickerViewController(QObject* parent = nullptr) : ZKViewController(parent) {}
  // A picker over the given catalogue (the shared one when null), its view loaded.
  static QVEmojiPickerViewController* controllerWithManager(std::shared_ptr<QVEmojiManager> manager,
                                                            QObject* parent = nullptr);

  QVEmojiPickerDelegate* delegate = nullptr;
  QTableWidget* tableView() const;
  QLineEdit* searchField() const;
  const std::vector<QVEmojiManager::Entry>& filteredDataArray() const { return filteredDataArray_; }
  bool hasPredicate() const { return predicate_.has_value(); }

  void zk_viewDidLoad() override;
  void searchDidChange();
  void reloadData();
  void didClickItem(ZKButton* sender);

 private:
  std::shared_ptr<QVEmojiManager> manager_;
  std::vector<QVEmojiManager::Entry> filteredDataArray_;
  std::optional<std::string> predicate_;
};
