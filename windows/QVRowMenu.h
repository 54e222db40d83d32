#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtGui/QKeySequence>
#include <functional>
#include <vector>

class QAction;
class QMenu;
class ZKDeleteTableView;

// The context menu of an editor's rows (the group list, a group's module list). Each entry is also a
// shortcut of the table, shown beside the entry in the menu; the shortcut works while the table itself
// has the keyboard focus, so that a name being edited in a row keeps its keys. While the menu is open,
// the entries that cannot act on its rows (the clicked row, or the selection) are disabled; otherwise
// every entry stays enabled and its action answers a missing row itself (with a beep).
class QVRowMenu : public QObject {
  Q_OBJECT
 public:
  // The rows an entry would act on; whether it can.
  using Applies = std::function<bool(const std::vector<int>& rows)>;

  // The same keys in every list.
  static QKeySequence renameShortcut() { return QKeySequence(Qt::Key_F2); }
  static QKeySequence duplicateShortcut() { return QKeySequence(Qt::CTRL | Qt::Key_D); }
  static QKeySequence runNowShortcut() { return QKeySequence(Qt::CTRL | Qt::Key_R); }
  static QKeySequence moveUpShortcut() { return QKeySequence(Qt::ALT | Qt::Key_Up); }
  static QKeySequence moveDownShortcut() { return QKeySequence(Qt::ALT | Qt::Key_Down); }
  static QKeySequence deleteShortcut() { return QKeySequence(QKeySequence::Delete); }

  // The menu of the table; it becomes the table's context menu.
  explicit QVRowMenu(ZKDeleteTableView* table);

  QMenu* menu() const { return menu_; }
  // Adds an entry (its title may mark its mnemonic with "&"); an empty shortcut gives none.
  QAction* addItem(const QString& title, const QKeySequence& shortcut, std::function<void()> action,
                   Applies applies);
  void addSeparator();

  // Enables the entries that can act on the rows the menu is for; `validate` runs as the menu opens,
  // `enableAll` once it has closed.
  void validate();
  void enableAll();

  // Whether the first of the rows is one of `count` rows, and whether it can move up or down.
  static bool hasRow(const std::vector<int>& rows, int count);
  static bool canMoveUp(const std::vector<int>& rows, int count);
  static bool canMoveDown(const std::vector<int>& rows, int count);

 private:
  QPointer<ZKDeleteTableView> table_;
  QMenu* menu_ = nullptr;
  std::vector<std::pair<QAction*, Applies>> items_;
};
