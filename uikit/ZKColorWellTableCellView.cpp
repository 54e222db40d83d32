#include "uikit/ZKColorWellTableCellView.h"

#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>

QRect ZKColorWellTableCellView::colorWellRect(const QStyleOptionViewItem& option) const {
  const int height = std::min(18, option.rect.height() - 6);
  return QRect(option.rect.right() - 6 - 16 - 4 - 36 + 1,
               option.rect.y() + (option.rect.height() - height) / 2, 36, height);
}

void ZKColorWellTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                           const QModelIndex& index, const QRect& rect) const {
  const QColor color = index.data(ZKColorRole).value<QColor>();
  if (!color.isValid()) {
    ZKTableCellView::drawContent(painter, option, index, rect);
    return;
  }
  const QRect well = colorWellRect(option);
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(QPen(QColor(0, 0, 0, 60), 1));
  painter->setBrush(color);
  painter->drawRoundedRect(QRectF(well).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
  painter->restore();
  // The expand mark after the well.
  const QIcon mark = index.data(Qt::DecorationRole).value<QIcon>();
  if (!mark.isNull()) mark.paint(painter, QRect(well.right() + 4, well.center().y() - 8, 16, 16));
  QStyleOptionViewItem textOption = option;
  textOption.icon = QIcon();
  ZKTableCellView::drawContent(painter, textOption, index,
                               QRect(rect.x(), rect.y(), well.left() - 6 - rect.x(), rect.height()));
}

bool ZKColorWellTableCellView::editorEvent(QEvent* event, QAbstractItemModel* model,
                                           const QStyleOptionViewItem& option, const QModelIndex& index) {
  const bool hasWell = index.data(ZKColorRole).value<QColor>().isValid();
  if (hasWell && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton && colorWellRect(option).contains(mouse->position().toPoint())) {
      if (event->type() == QEvent::MouseButtonRelease && (index.flags() & Qt::ItemIsEnabled))
        Q_EMIT colorWellClicked(index);
      return true;
    }
  }
  return ZKTableCellView::editorEvent(event, model, option, index);
}
