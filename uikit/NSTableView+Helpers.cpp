#include <QtCore/QItemSelectionModel>
#include <QtCore/QTimer>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <algorithm>

#include "uikit/NSTableView+Helpers.h"

namespace {
constexpr const char* kClickedRowProperty = "zkClickedRow";

int columnCount(const QAbstractItemView* view) {
  return view->model() ? view->model()->columnCount(view->rootIndex()) : 0;
}

int rowCount(const QAbstractItemView* view) {
  return view->model() ? view->model()->rowCount(view->rootIndex()) : 0;
}

void relayout(QAbstractItemView* view) {
  view->doItemsLayout();
  view->viewport()->update();
}
}  // namespace

int zk_clickedRow(const QAbstractItemView* view) {
  const QVariant value = view->property(kClickedRowProperty);
  return value.isValid() ? value.toInt() : -1;
}

void zk_setClickedRow(QAbstractItemView* view, int row) { view->setProperty(kClickedRowProperty, row); }

void zk_beginFieldEdit(QLineEdit* field) {
  field->setReadOnly(false);
  field->setAttribute(Qt::WA_TransparentForMouseEvents, false);
  field->setFocus();
  field->selectAll();
}

void zk_endFieldEdit(QLineEdit* field) {
  field->setReadOnly(true);
  field->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void zk_popUpContextMenu(QAbstractItemView* view, QMenu* menu, const QPoint& globalPosition) {
  QObject::connect(
      menu, &QMenu::aboutToHide, view,
      [view] { QTimer::singleShot(0, view, [view] { zk_setClickedRow(view, -1); }); },
      Qt::SingleShotConnection);
  menu->popup(globalPosition);
}

std::vector<int> zk_selectedRows(const QAbstractItemView* view) {
  std::vector<int> rows;
  const auto* selection = view->selectionModel();
  if (!selection) return rows;
  for (const QModelIndex& index : selection->selectedIndexes()) {
    if (index.parent() == view->rootIndex()) rows.push_back(index.row());
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

std::vector<int> zk_selectedOrClickedIndexes(const QAbstractItemView* view) {
  const int clicked = zk_clickedRow(view);
  auto selected = zk_selectedRows(view);
  if (clicked != -1 && !std::binary_search(selected.begin(), selected.end(), clicked)) return {clicked};
  return selected;
}

void zk_reloadCurrentRow(QAbstractItemView* view) {
  auto selected = zk_selectedRows(view);
  if (selected.empty()) return;
  zk_reloadRow(view, selected.front());
}

void zk_reloadRow(QAbstractItemView* view, int row) {
  if (!view->model() || row < 0 || row >= rowCount(view)) return;
  for (int column = 0; column < columnCount(view); ++column) {
    view->update(view->model()->index(row, column, view->rootIndex()));
  }
}

void zk_selectRows(QAbstractItemView* view, const std::vector<int>& rows) {
  auto* selection = view->selectionModel();
  if (!selection || !view->model()) return;
  const int count = rowCount(view);
  const int lastColumn = std::max(0, columnCount(view) - 1);
  QItemSelection wanted;
  QModelIndex first;
  for (int row : rows) {
    if (row < 0 || row >= count) continue;
    auto left = view->model()->index(row, 0, view->rootIndex());
    if (!first.isValid()) first = left;
    wanted.select(left, view->model()->index(row, lastColumn, view->rootIndex()));
  }
  selection->select(wanted, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  if (first.isValid()) selection->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
}

void zk_selectFirstRow(QAbstractItemView* view) { zk_selectRows(view, {0}); }

void zk_reloadDataMaintainingSelection(QAbstractItemView* view) {
  const auto selected = zk_selectedRows(view);
  relayout(view);
  zk_selectRows(view, selected);
}

void zk_reloadDataSelectingRow(QAbstractItemView* view, int row) {
  relayout(view);
  zk_selectRows(view, {row});
}

void zk_reloadDataAndSelectFirstRow(QAbstractItemView* view) { zk_reloadDataSelectingRow(view, 0); }
