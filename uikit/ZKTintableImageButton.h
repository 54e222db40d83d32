#pragma once

#include <cstdint>

#include "uikit/ZKButton.h"

// A flat image button that recolours its image: with the tint colour, or with the highlight colour
// while its table row is selected (background style 1). It holds only the tinted copy.
class ZKTintableImageButton : public ZKButton {
  Q_OBJECT
  Q_PROPERTY(QColor tintColor READ tintColor WRITE setTintColor)

 public:
  static constexpr std::int64_t BackgroundStyleEmphasized = 1;

  explicit ZKTintableImageButton(QWidget* parent = nullptr);

  void setImage(const QImage& image) override;
  QColor tintColor() const { return tintColor_; }
  // Stores the colour; a colour (not none) re-tints the image held.
  void setTintColor(const QColor& color);
  QColor highlightColor() const { return highlightColor_; }
  // Stores only: the next image or style takes it.
  void setHighlightColor(const QColor& color) { highlightColor_ = color; }
  std::int64_t backgroundStyle() const { return backgroundStyle_; }
  void setBackgroundStyle(std::int64_t style);

 private:
  QColor tintColor_;
  QColor highlightColor_;
  std::int64_t backgroundStyle_ = 0;
};
