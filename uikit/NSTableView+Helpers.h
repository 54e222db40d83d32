#pragma once

#include <vector>

class QAbstractItemView;
class QLineEdit;
class QMenu;
class QPoint;

// Row helpers shared by the tables and outlines of the editors. Rows are the rows of the view's model
// under its root index. The "clicked row" is the row a context menu was opened on, kept on the view
// while the menu is open (-1 otherwise) by the kit's table and outline views.

int zk_clickedRow(const QAbstractItemView* view);
void zk_setClickedRow(QAbstractItemView* view, int row);
// A text field of a cell that is edited on demand stays read-only, letting clicks through to its row,
// until an edit begins: the edit makes it editable, focuses it and selects its text, and ends with
// the field read-only again.
void zk_beginFieldEdit(QLineEdit* field);
void zk_endFieldEdit(QLineEdit* field);
// Pops the menu up at the screen point as the view's context menu; the clicked row, set by the
// caller beforehand, is cleared once the menu has closed and the action chosen from it has run.
void zk_popUpContextMenu(QAbstractItemView* view, QMenu* menu, const QPoint& globalPosition);
// The selected rows, ascending.
std::vector<int> zk_selectedRows(const QAbstractItemView* view);
// The rows an action applies to: the clicked row alone when there is one outside the selection, else
// the selected rows (possibly none).
std::vector<int> zk_selectedOrClickedIndexes(const QAbstractItemView* view);

// Redraws the selected row (nothing when none is selected), or the given row, in every column, so that
// the delegates ask the model again.
void zk_reloadCurrentRow(QAbstractItemView* view);
void zk_reloadRow(QAbstractItemView* view, int row);
// Selects exactly the given rows (rows outside the model are left out); the first becomes current.
void zk_selectRows(QAbstractItemView* view, const std::vector<int>& rows);
void zk_selectFirstRow(QAbstractItemView* view);
// Lays the view out again from its model and selects exactly the rows selected before.
void zk_reloadDataMaintainingSelection(QAbstractItemView* view);
// Lays the view out again from its model and selects that row alone.
void zk_reloadDataSelectingRow(QAbstractItemView* view, int row);
void zk_reloadDataAndSelectFirstRow(QAbstractItemView* view);
