#include "uikit/ZKThemableTableRowView.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

void ZKThemableTableRowView::applyTheme() {
  applyColor(selectedBackgroundColorKey_, [this](const QColor& c) { selectedBackgroundColor_ = c; });
  applyColor(backgroundColorKey_, [this](const QColor& c) { internalBackgroundColor_ = c; });
  applyColor(separatorColorKey_, [this](const QColor& c) { separatorFillColor_ = c; });
  if (!selectedBackgroundColorKey_.isNull() || !backgroundColorKey_.isNull() || !separatorColorKey_.isNull())
    setNeedsDisplay();
}

void ZKThemableTableRowView::drawBackgroundInRect(QPainter& painter, const QRectF& dirty,
                                                  const QRectF& bounds) const {
  if (internalBackgroundColor_.isValid())
    painter.fillRect(dirty, internalBackgroundColor_);
  else
    ZKTableRowView::drawBackgroundInRect(painter, dirty, bounds);
}

void ZKThemableTableRowView::drawSelectionInRect(QPainter& painter, const QRectF& dirty,
                                                 const QRectF& bounds) const {
  if (!selectedBackgroundColor_.isValid()) return;
  painter.save();
  painter.setClipRect(dirty, Qt::IntersectClip);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(bounds.x(), bounds.y(), bounds.width() - 2, bounds.height()), 3.0, 3.0);
  painter.fillPath(path, selectedBackgroundColor_);
  painter.restore();
}

void ZKThemableTableRowView::drawSeparatorInRect(QPainter& painter, const QRectF& dirty,
                                                 const QRectF& bounds) const {
  if (!separatorFillColor_.isValid()) {
    ZKTableRowView::drawSeparatorInRect(painter, dirty, bounds);
    return;
  }
  const QRectF line(bounds.x(), bounds.y() + bounds.height() - 1.0, bounds.width(), 1.0);
  painter.fillRect(line.intersected(dirty), separatorFillColor_);
}

void QVThemedGroupRow::drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds,
                                bool selected) const {
  QVGroupRowView::drawRect(painter, dirty, bounds, selected);
  const QColor window = themeManager().colorForKey(QStringLiteral("windowColor"));
  if (window.isValid()) painter.fillRect(dirty, window);
}
