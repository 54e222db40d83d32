#include "uikit/ZKTintableImageView.h"

#include <QtGui/QPixmap>

#include "uikit/NSImage+TintColor.h"

ZKTintableImageView::ZKTintableImageView(QWidget* parent) : QLabel(parent) { setAlignment(Qt::AlignCenter); }

void ZKTintableImageView::setImage(const QImage& image) {
  image_ = tintColor_.isValid() ? zk_imageWithTintColor(image, tintColor_) : image;
  setPixmap(image_.isNull() ? QPixmap() : QPixmap::fromImage(image_));
}

void ZKTintableImageView::setTintColor(const QColor& color) {
  tintColor_ = color;
  if (color.isValid()) setImage(image_);
}
