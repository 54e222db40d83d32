#include <QtGui/QFontMetricsF>

#include "uikit/NSString+SizeCalculation.h"

double zk_stringWidthWithFont(const QString& text, const QFont& font) {
  return QFontMetricsF(font).horizontalAdvance(text);
}
