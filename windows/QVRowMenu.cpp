#include "windows/QVRowMenu.h"

#include <QtWidgets/QMenu>

#include "uikit/NSTableView+Helpers.h"
#include "uikit/ZKDeleteTableView.h"

QVRowMenu::QVRowMenu(ZKDeleteTableView* table) : QObject(table), table_(table) {
  menu_ = new QMenu(table);
  table->setMenu(menu_);
  connect(menu_, &QMenu::aboutToShow, this, &QVRowMenu::validate);
  // The chosen entry is triggered after the menu has hidden; it was enabled, and stays so.
  connect(menu_, &QMenu::aboutToHide, this, &QVRowMenu::enableAll);
}

QAction* QVRowMenu::addItem(const QString& title, const QKeySequence& shortcut, std::function<void()> action,
                            Applies applies) {
  auto* item = menu_->addAction(title);
  connect(item, &QAction::triggered, this, [action = std::move(action)] { action(); });
  if (!shortcut.isEmpty()) {
    item->setShortcut(shortcut);
    item->setShortcutContext(Qt::WidgetShortcut);
    item->setShortcutVisibleInContextMenu(true);
    table_->addAction(item);
  }
  items_.emplace_back(item, std::move(applies));
  return item;
}

void QVRowMenu::addSeparator() { menu_->addSeparator(); }

void QVRowMenu::validate() {
  const auto rows = table_ ? zk_selectedOrClickedIndexes(table_) : std::vector<int>{};
  for (auto& [item, applies] : items_) item->setEnabled(!applies || applies(rows));
}

void QVRowMenu::enableAll() {
  for (auto& item : items_) item.first->setEnabled(true);
}

bool QVRowMenu::hasRow(const std::vector<int>& rows, int count) {
  return !rows.empty() && rows.front() >= 0 && rows.front() < count;
}

bool QVRowMenu::canMoveUp(const std::vector<int>& rows, int count) {
  return hasRow(rows, count) && rows.front() > 0;
}

bool QVRowMenu::canMoveDown(const std::vector<int>& rows, int count) {
  return hasRow(rows, count) && rows.front() < count - 1;
}
