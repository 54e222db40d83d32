#include "uikit/SBDraggingTableView.h"

#include <QtGui/QContextMenuEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QHeaderView>

#include "uikit/NSTableView+Helpers.h"
#include "uikit/ZKTableCellView.h"

void zk_setUpKitItemView(QAbstractItemView* view) {
  if (auto* table = qobject_cast<QTableView*>(view)) {
    table->verticalHeader()->hide();
    table->setShowGrid(false);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->setDefaultSectionSize(24);
  }
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view->setMouseTracking(true);
  view->setItemDelegate(new ZKTableCellView(view));
}

SBDraggingTableView::SBDraggingTableView(QWidget* parent) : QTableView(parent) {
  zk_setUpKitItemView(this);
  hoverTimer_.setSingleShot(true);
  hoverTimer_.setInterval(kHoverDelayMs);
  connect(&hoverTimer_, &QTimer::timeout, this, &SBDraggingTableView::hoverTimerFired);
  connect(this, &QAbstractItemView::doubleClicked, this, [this] { Q_EMIT doubleAction(this); });
}

SBDraggingTableView::~SBDraggingTableView() { hoverTimer_.stop(); }

void SBDraggingTableView::awakeFromNib() {
  hoveredRow_ = -1;
  previouslyHoveredRow_ = -1;
}

bool SBDraggingTableView::isGroupRowIndex(const QModelIndex& index) const {
  return delegate_ && index.isValid() &&
         delegate_->tableViewIsGroupRow(const_cast<SBDraggingTableView*>(this), index.row());
}

QRect SBDraggingTableView::rowRectForIndex(const QModelIndex& index) const {
  return QRect(0, rowViewportPosition(index.row()), viewport()->width(), rowHeight(index.row()));
}

void SBDraggingTableView::mouseMoveEvent(QMouseEvent* event) {
  QTableView::mouseMoveEvent(event);
  updateRowCursor(indexAt(event->position().toPoint()));
  pointer_ = event->position();
  pointerInside_ = true;
  // Every movement restarts the wait: only a resting pointer is reported.
  hoverTimer_.start();
}

bool SBDraggingTableView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Leave) pointerInside_ = false;
  return QTableView::viewportEvent(event);
}

void SBDraggingTableView::hoverTimerFired() {
  // The row under the pointer now (the table may have scrolled since the pointer stopped).
  const int row = pointerInside_ ? rowAt(int(pointer_.y())) : -1;
  if (row != -1 && row != hoveredRow_ && hoverDelegate_) hoverDelegate_->tableViewDidHoverRow(row);
  hoveredRow_ = row;
}

void SBDraggingTableView::mousePressEvent(QMouseEvent* event) {
  if (window()) window()->activateWindow();
  QTableView::mousePressEvent(event);
}

void SBDraggingTableView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    Q_EMIT doubleAction(this);
    event->accept();
    return;
  }
  if (hoveredRow_ != -1 && model() && hoveredRow_ < model()->rowCount(rootIndex())) {
    // The keyboard goes on from the row under the pointer.
    const QModelIndex index =
        model()->index(int(hoveredRow_), std::max(0, currentIndex().column()), rootIndex());
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  hoveredRow_ = -1;
  QTableView::keyPressEvent(event);
}

QMenu* SBDraggingTableView::menuForEvent(const QPoint& viewportPoint) {
  const int row = rowAt(viewportPoint.y());
  if (row == -1 || !menu_) return nullptr;
  if (delegate_ && delegate_->tableViewIsGroupRow(this, row)) return nullptr;
  zk_setClickedRow(this, row);
  return menu_;
}

void SBDraggingTableView::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
  // Delivered from the viewport, in its coordinates.
  QMenu* menu = menuForEvent(event->pos());
  // The clicked row stays marked until the menu's action has run.
  if (menu) zk_popUpContextMenu(this, menu, event->globalPos());
}
