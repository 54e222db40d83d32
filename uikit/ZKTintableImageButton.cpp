#include "uikit/ZKTintableImageButton.h"

#include "uikit/NSImage+TintColor.h"

ZKTintableImageButton::ZKTintableImageButton(QWidget* parent) : ZKButton(parent) { setFlat(true); }

void ZKTintableImageButton::setImage(const QImage& image) {
  QColor tint = tintColor_;
  if (backgroundStyle_ == BackgroundStyleEmphasized && highlightColor_.isValid()) tint = highlightColor_;
  ZKButton::setImage(tint.isValid() ? zk_imageWithTintColor(image, tint) : image);
}

void ZKTintableImageButton::setTintColor(const QColor& color) {
  tintColor_ = color;
  if (color.isValid()) setImage(image());
}

void ZKTintableImageButton::setBackgroundStyle(std::int64_t style) {
  backgroundStyle_ = style;
  setImage(image());
}
