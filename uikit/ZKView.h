#pragma once

#include <QtCore/QPointer>
#include <QtGui/QColor>
#include <QtGui/QImage>
#include <QtWidgets/QWidget>
#include <cstdint>
#include <optional>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKBezierPath.h"

class QObject;

// A shadow cast by a drawn view's fill and border: colour, offset (Qt coordinates, y down) and blur.
struct ZKShadow {
  QColor color = QColor(0, 0, 0, 85);
  QPointF offset{0, 2};
  double blurRadius = 3;
  bool operator==(const ZKShadow&) const = default;
};

// The kit's drawn container view: a rounded background, a border and a background image, painted by
// the view itself. The properties can be set in Designer (as dynamic properties of a promoted widget).
class ZKView : public QWidget, public ZKAwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
  Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)
  Q_PROPERTY(double borderWidth READ borderWidth WRITE setBorderWidth)
  Q_PROPERTY(double cornerRadius READ cornerRadius WRITE setCornerRadius)
  Q_PROPERTY(qint64 roundedCorners READ roundedCorners WRITE setRoundedCorners)

 public:
  // Corner bits of roundedCorners, named as the corners look on screen; -1 rounds all four.
  enum Corner : std::int64_t { TopLeft = 1, TopRight = 2, BottomRight = 4, BottomLeft = 8, AllCorners = -1 };

  explicit ZKView(QWidget* parent = nullptr);

  // The controller that manages this view; not owned. Qt delivers actions through connections, so
  // there is no responder chain to keep: the view only remembers its controller.
  QObject* viewController() const { return viewController_; }
  void setViewController(QObject* controller) { viewController_ = controller; }

  // Invalid (the default) means no fill. Redraws only when the colour differs.
  QColor backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const QColor& color);
  // Null means no image. Always redraws.
  QImage backgroundImage() const { return backgroundImage_; }
  void setBackgroundImage(const QImage& image);
  // The border shows when it has a colour and a width other than 0; setting either only stores it,
  // the next redraw shows it.
  QColor borderColor() const { return borderColor_; }
  void setBorderColor(const QColor& color) { borderColor_ = color; }
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width) { borderWidth_ = width; }
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius);
  // A mask of Corner bits, -1 for all; 0 (a view made in code) draws square corners, and a view from
  // a form rounds all four.
  std::int64_t roundedCorners() const { return roundedCorners_; }
  void setRoundedCorners(std::int64_t corners);
  const std::optional<ZKShadow>& shadow() const { return shadow_; }
  void setShadow(std::optional<ZKShadow> shadow);
  // The opacity the background image is drawn with (1 by default).
  double alphaValue() const { return alphaValue_; }
  void setAlphaValue(double alpha);

  // The rectangle the drawing starts from, in the kit's y-up coordinates; the whole view here.
  virtual QRectF drawingBounds() const;
  // The outline the fill and border follow, in the kit's y-up coordinates.
  ZKBezierPath outlinePath() const;
  // The outline of `rect` with the given corners rounded by `radius` (the corner bits are in y-up
  // terms: top is the largest y).
  static ZKBezierPath outlinePath(const QRectF& rect, std::int64_t corners, double radius);

  void awakeFromNib() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  // Paints the drawing with the given background colour; subclasses swap the colour through this.
  void drawBackground(QPainter& painter, const QColor& background);

 private:
  bool drawsBorder() const { return borderColor_.isValid() && borderWidth_ != 0; }

  QPointer<QObject> viewController_;
  QColor backgroundColor_;
  QImage backgroundImage_;
  QColor borderColor_;
  double borderWidth_ = 0;
  double cornerRadius_ = 0;
  std::int64_t roundedCorners_ = 0;
  std::optional<ZKShadow> shadow_;
  double alphaValue_ = 1.0;
};
