#include "uikit/SBOutlineView.h"

#include <QtGui/QContextMenuEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QHeaderView>

#include "uikit/NSTableView+Helpers.h"
#include "uikit/SBDraggingTableView.h"

SBOutlineView::SBOutlineView(QWidget* parent) : QTreeView(parent) {
  zk_setUpKitItemView(this);
  setRootIsDecorated(false);
  setIndentation(16);
  setUniformRowHeights(true);
  setHeaderHidden(true);
  setExpandsOnDoubleClick(false);
}

SBOutlineView::~SBOutlineView() {
  if (hoverTimer_) hoverTimer_->stop();
}

void SBOutlineView::awakeFromNib() {
  hoveredRow_ = -1;
  previouslyHoveredRow_ = -1;
}

bool SBOutlineView::isGroupRowIndex(const QModelIndex& index) const {
  return delegate_ && index.isValid() &&
         delegate_->outlineViewIsGroupItem(const_cast<SBOutlineView*>(this), index.siblingAtColumn(0));
}

QRect SBOutlineView::rowRectForIndex(const QModelIndex& index) const {
  const QRect item = visualRect(index);
  return QRect(0, item.y(), viewport()->width(), item.height());
}

int SBOutlineView::rowForItem(const QModelIndex& item) const {
  if (!item.isValid()) return -1;
  int row = 0;
  for (QModelIndex i = model()->index(0, 0, rootIndex()); i.isValid(); i = indexBelow(i), ++row) {
    if (i == item.siblingAtColumn(0)) return row;
  }
  return -1;
}

QModelIndex SBOutlineView::itemAtRow(int row) const {
  if (!model() || row < 0) return {};
  QModelIndex i = model()->index(0, 0, rootIndex());
  for (int r = 0; i.isValid() && r < row; ++r) i = indexBelow(i);
  return i;
}

void SBOutlineView::mousePressEvent(QMouseEvent* event) {
  if (window()) window()->activateWindow();
  QTreeView::mousePressEvent(event);
}

QMenu* SBOutlineView::menuForEvent(const QPoint& viewportPoint) {
  const QModelIndex item = indexAt(viewportPoint);
  if (!item.isValid() || !menu_) return nullptr;
  if (delegate_ && delegate_->outlineViewIsGroupItem(this, item.siblingAtColumn(0))) return nullptr;
  zk_setClickedRow(this, rowForItem(item));
  return menu_;
}

void SBOutlineView::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
  QMenu* menu = menuForEvent(event->pos());
  if (menu) zk_popUpContextMenu(this, menu, event->globalPos());
}

void SBOutlineView::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
  // No triangles: the indentation shows the row's own background.
  if (ZKTableRowView* rowView = rowViewForIndex(index)) {
    painter->save();
    rowView->drawRect(*painter, QRectF(rect), QRectF(rowRectForIndex(index)),
                      selectionModel() && selectionModel()->isSelected(index));
    painter->restore();
  }
}

void SBOutlineView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  if (!rowViewForIndex(index)) {
    QTreeView::drawRow(painter, option, index);
    return;
  }
  // The row views draw the selection; the tree's own row highlight stays off.
  QStyleOptionViewItem plain = option;
  plain.palette.setColor(QPalette::Highlight, Qt::transparent);
  plain.palette.setColor(QPalette::Inactive, QPalette::Highlight, Qt::transparent);
  QTreeView::drawRow(painter, plain, index);
}

void SBOutlineView::mouseMoveEvent(QMouseEvent* event) {
  QTreeView::mouseMoveEvent(event);
  updateRowCursor(indexAt(event->position().toPoint()));
}
