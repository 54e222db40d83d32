#include "uikit/QVEmojiButtonCell.h"

#include <QtGui/QFontMetricsF>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtGui/QPixmapCache>
#include <cmath>

#include "uikit/ZKFontFamilies.h"

QFont QVEmojiButtonCell::emojiFont() const {
  QFont font;
  const QString family = zk_installedFontFamily(QStringLiteral("Apple Color Emoji"));
  if (!family.isEmpty()) font.setFamilies({family});
  font.setPixelSize(std::max(1, int(std::lround(effectiveFontSize()))));
  return font;
}

QRectF QVEmojiButtonCell::titleRectForFrame(const QRectF& frame, const QString& title) const {
  const QFontMetricsF metrics(emojiFont());
  const double h = metrics.boundingRect(title.isEmpty() ? QStringLiteral(" ") : title).height();
  const double y = std::floor(frame.height() / 2 - h / 2) - 1;
  // Integral: the smallest rectangle on whole points that holds it.
  const double left = std::floor(frame.x()), top = std::floor(frame.y() + y);
  const double right = std::ceil(frame.x() + frame.width()),
               bottom = std::ceil(frame.y() + y + frame.height());
  return QRectF(left, top, right - left, bottom - top);
}

void QVEmojiButtonCell::drawInteriorWithFrame(QPainter& painter, const QRectF& frame,
                                              const QString& title) const {
  if (title.isEmpty()) return;
  painter.save();
  painter.setFont(emojiFont());
  painter.drawText(titleRectForFrame(frame, title), Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine,
                   title);
  painter.restore();
}
