#pragma once

#include <QtGui/QColor>
#include <QtWidgets/QWidget>

#include "uikit/ZKAwakeFromNib.h"

// A view filled with a two-colour linear gradient: left to right, or top to bottom when vertical.
// Without both colours it draws nothing. Setting a property does not redraw by itself.
class ZKGradientView : public QWidget, public ZKAwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(QColor startColor READ startColor WRITE setStartColor)
  Q_PROPERTY(QColor endColor READ endColor WRITE setEndColor)
  Q_PROPERTY(bool isVertical READ isVertical WRITE setIsVertical)

 public:
  explicit ZKGradientView(QWidget* parent = nullptr);
  ZKGradientView(const QRect& frame, const QColor& startColor, const QColor& endColor,
                 QWidget* parent = nullptr);

  QColor startColor() const { return startColor_; }
  void setStartColor(const QColor& color) { startColor_ = color; }
  QColor endColor() const { return endColor_; }
  void setEndColor(const QColor& color) { endColor_ = color; }
  bool isVertical() const { return isVertical_; }
  void setIsVertical(bool vertical) { isVertical_ = vertical; }

  void awakeFromNib() override;
  // Where both ways of making the view meet; subclasses set themselves up here.
  virtual void configure() {}

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor startColor_;
  QColor endColor_;
  bool isVertical_ = false;
};
