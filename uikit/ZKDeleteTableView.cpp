#include "uikit/ZKDeleteTableView.h"

#include <QtGui/QContextMenuEvent>
#include <QtGui/QDragMoveEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>

#include "uikit/NSTableView+Helpers.h"
#include "uikit/SBDraggingTableView.h"

ZKDeleteTableView::ZKDeleteTableView(QWidget* parent) : QTableView(parent) {
  zk_setUpKitItemView(this);
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::DoubleClicked);
}

QRect ZKDeleteTableView::rowRectForIndex(const QModelIndex& index) const {
  return QRect(0, rowViewportPosition(index.row()), viewport()->width(), rowHeight(index.row()));
}

void ZKDeleteTableView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) {
    if (deleteDelegate_) deleteDelegate_->tableViewDeleteFromKeyboard(this);
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void ZKDeleteTableView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    rightMouseDown(event->position().toPoint());
    event->accept();
    return;
  }
  delegateTookPress_ = false;
  QTableView::mousePressEvent(event);
  // A text cell edits with one click, unless the press was for a control drawn in the cell.
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && (index.flags() & Qt::ItemIsEditable) &&
      event->modifiers() == Qt::NoModifier && state() != EditingState && !delegateTookPress_)
    QTableView::edit(index);
}

bool ZKDeleteTableView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  const bool handled = QTableView::edit(index, trigger, event);
  if (handled && trigger == NoEditTriggers && event && event->type() == QEvent::MouseButtonPress)
    delegateTookPress_ = true;
  return handled;
}

void ZKDeleteTableView::rightMouseDown(const QPoint& viewportPoint) {
  const int row = rowAt(viewportPoint.y());
  if (row != -1 && !selectionModel()->isRowSelected(row, rootIndex())) {
    const QModelIndex index = model()->index(row, 0, rootIndex());
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  setFocus(Qt::MouseFocusReason);
}

void ZKDeleteTableView::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
  if (event->reason() != QContextMenuEvent::Mouse) {
    // The keyboard's menu key: the menu of the selection.
    if (menu_) menu_->popup(event->globalPos());
    return;
  }
  const int row = rowAt(event->pos().y());
  if (!menu_) return;
  zk_setClickedRow(this, row);
  zk_popUpContextMenu(this, menu_, event->globalPos());
}

void ZKDeleteTableView::mouseMoveEvent(QMouseEvent* event) {
  QTableView::mouseMoveEvent(event);
  updateRowCursor(indexAt(event->position().toPoint()));
}

QPoint ZKDeleteTableView::dropPoint(const QDropEvent* event) const {
  const QPoint point = event->position().toPoint();
  const QModelIndex index = indexAt(point);
  if (!index.isValid() || !model() ||
      model()->canDropMimeData(event->mimeData(), event->dropAction(), -1, -1, index))
    return point;
  // The row's top or bottom line, which the view takes as a drop above or below the row.
  const QRect rect = visualRect(index);
  return QPoint(point.x(), point.y() < rect.center().y() ? rect.top() : rect.bottom());
}

void ZKDeleteTableView::dragMoveEvent(QDragMoveEvent* event) {
  const QPoint point = dropPoint(event);
  if (point == event->position().toPoint()) return QTableView::dragMoveEvent(event);
  QDragMoveEvent moved(point, event->possibleActions(), event->mimeData(), event->buttons(),
                       event->modifiers());
  moved.setDropAction(event->dropAction());
  QTableView::dragMoveEvent(&moved);
  event->setDropAction(moved.dropAction());
  event->setAccepted(moved.isAccepted());
}

void ZKDeleteTableView::dropEvent(QDropEvent* event) {
  const QPoint point = dropPoint(event);
  if (point == event->position().toPoint()) return QTableView::dropEvent(event);
  QDropEvent moved(QPointF(point), event->possibleActions(), event->mimeData(), event->buttons(),
                   event->modifiers());
  moved.setDropAction(event->dropAction());
  QTableView::dropEvent(&moved);
  event->setDropAction(moved.dropAction());
  event->setAccepted(moved.isAccepted());
}
