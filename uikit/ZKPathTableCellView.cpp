#include "uikit/ZKPathTableCellView.h"

#include <QtGui/QPainter>

void ZKPathTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                      const QModelIndex& index, const QRect& rect) const {
  const QString path = index.data(ZKDetailTextRole).toString();
  if (path.isEmpty()) {
    ZKDetailTableCellView::drawContent(painter, option, index, rect);
    return;
  }
  const int line = option.fontMetrics.height();
  const int top = rect.y() + (rect.height() - 2 * line - 2) / 2;
  ZKButtonTableCellView::drawContent(painter, option, index, QRect(rect.x(), top, rect.width(), line));
  QFont small = option.font;
  small.setPixelSize(std::max(9, (small.pixelSize() > 0 ? small.pixelSize() : 13) - 2));
  painter->setFont(small);
  QColor color = textColorFor(option, index);
  color.setAlphaF(color.alphaF() * 0.7f);
  painter->setPen(color);
  const QRect lower(rect.x(), top + line + 2, rect.width(), line);
  painter->drawText(lower, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                    QFontMetrics(small).elidedText(path, Qt::ElideMiddle, lower.width()));
}
