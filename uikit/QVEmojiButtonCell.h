#pragma once

#include "uikit/ZKButton.h"

// A button cell that draws its title as one emoji in the colour-emoji font, centred; the glyphs keep
// their own colours. Also drawn by the emoji rows of tables, which have no button per row.
class QVEmojiButtonCell : public ZKButtonCell {
 public:
  static constexpr double kDefaultFontSize = 14.0;

  // 0 means the default 14 points.
  double fontSize() const { return fontSize_; }
  void setFontSize(double size) { fontSize_ = size; }
  double effectiveFontSize() const { return fontSize_ > 0 ? fontSize_ : kDefaultFontSize; }

  // The colour-emoji font at the cell's size (a point is one device-independent pixel).
  QFont emojiFont() const;
  // Where the title goes: the frame's width and height, centred vertically one point up, on whole
  // points.
  QRectF titleRectForFrame(const QRectF& frame, const QString& title) const;

  bool drawsTitle() const override { return true; }
  void drawInteriorWithFrame(QPainter& painter, const QRectF& frame, const QString& title) const override;

 private:
  double fontSize_ = 0;
};
