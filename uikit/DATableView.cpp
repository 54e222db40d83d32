#include "uikit/DATableView.h"

#include <QtGui/QMouseEvent>

#include "uikit/SBDraggingTableView.h"

DATableView::DATableView(QWidget* parent) : QTableView(parent) {
  zk_setUpKitItemView(this);
  setFocusPolicy(Qt::NoFocus);
  setSelectionMode(QAbstractItemView::SingleSelection);
}

QRect DATableView::rowRectForIndex(const QModelIndex& index) const {
  return QRect(0, rowViewportPosition(index.row()), viewport()->width(), rowHeight(index.row()));
}

void DATableView::mouseMoveEvent(QMouseEvent* event) {
  QTableView::mouseMoveEvent(event);
  updateRowCursor(indexAt(event->position().toPoint()));
}
