#include "uikit/ZKTableRowView.h"

#include <QtGui/QPainter>
#include <QtWidgets/QApplication>

void ZKTableRowView::drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds,
                              bool selected) const {
  drawBackgroundInRect(painter, dirty, bounds);
  if (selected) drawSelectionInRect(painter, dirty, bounds);
  drawSeparatorInRect(painter, dirty, bounds);
}

void ZKTableRowView::drawBackgroundInRect(QPainter&, const QRectF&, const QRectF&) const {}

void ZKTableRowView::drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF&) const {
  painter.fillRect(dirty, QApplication::palette().color(QPalette::Active, QPalette::Highlight));
}

QColor ZKTableRowView::selectionTint() const {
  return QApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

QColor DATableRowView::selectionTint() const { return SBTableRowView::selectionColor(); }

void ZKTableRowView::drawSeparatorInRect(QPainter&, const QRectF&, const QRectF&) const {}

void QVGroupRowView::drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds,
                              bool selected) const {
  ZKTableRowView::drawRect(painter, dirty, bounds, selected);
  painter.fillRect(dirty, Qt::white);
}

QColor SBTableRowView::selectionColor() { return QColor::fromRgbF(0.2199f, 0.4789f, 0.9542f, 1.0f); }

void SBTableRowView::drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF&) const {
  painter.fillRect(dirty, selectionColor());
}

void DATableRowView::drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds,
                              bool selected) const {
  if (selected) ZKTableRowView::drawRect(painter, dirty, bounds, selected);
}

void DATableRowView::drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF&) const {
  painter.fillRect(dirty, SBTableRowView::selectionColor());
}

ZKTableRowView* ZKRowViewHost::rowViewForIndex(const QModelIndex& index) const {
  if (groupRowView_ && isGroupRowIndex(index)) return groupRowView_.get();
  return rowView_.get();
}

void ZKTableRowView::setNeedsDisplay() const {
  for (const auto& view : displayingViews_)
    if (view) view->update();
}

void ZKTableRowView::addDisplayingView(QWidget* view) const {
  std::erase_if(displayingViews_, [](const QPointer<QWidget>& v) { return v.isNull(); });
  for (const auto& v : displayingViews_)
    if (v == view) return;
  displayingViews_.emplace_back(view);
}

void ZKRowViewHost::setRowViewForRows(std::shared_ptr<ZKTableRowView> rowView) {
  rowView_ = std::move(rowView);
  if (rowView_) rowView_->addDisplayingView(rowViewport());
  if (rowViewport()) rowViewport()->update();
}

void ZKRowViewHost::setRowViewForGroupRows(std::shared_ptr<ZKTableRowView> rowView) {
  groupRowView_ = std::move(rowView);
  if (groupRowView_) groupRowView_->addDisplayingView(rowViewport());
  if (rowViewport()) rowViewport()->update();
}

void ZKRowViewHost::updateRowCursor(const QModelIndex& indexUnderPointer) {
  QWidget* viewport = rowViewport();
  if (!viewport) return;
  const ZKTableRowView* rowView = indexUnderPointer.isValid() ? rowViewForIndex(indexUnderPointer) : nullptr;
  const Qt::CursorShape shape = rowView ? rowView->cursorShape() : Qt::ArrowCursor;
  if (viewport->cursor().shape() != shape) viewport->setCursor(shape);
}
