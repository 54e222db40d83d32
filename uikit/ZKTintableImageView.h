#pragma once

#include <QtGui/QImage>
#include <QtWidgets/QLabel>

#include "uikit/ZKAwakeFromNib.h"

// An image view that recolours its image with its tint colour; it holds only the tinted copy.
class ZKTintableImageView : public QLabel, public ZKAwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(QColor tintColor READ tintColor WRITE setTintColor)

 public:
  explicit ZKTintableImageView(QWidget* parent = nullptr);

  QImage image() const { return image_; }
  void setImage(const QImage& image);
  QColor tintColor() const { return tintColor_; }
  // Stores the colour; a colour (not none) re-tints the image held.
  void setTintColor(const QColor& color);

  void awakeFromNib() override {}

 private:
  QImage image_;
  QColor tintColor_;
};
