#pragma once

#include <QtCore/QPointer>

#include "uikit/ZKEffectView.h"
#include "uikit/ZKView.h"

// A drawn view with an effect view (the desktop's backdrop material) behind its content. A view from a
// form adds its effect view when it wakes; one made in code calls addVisualEffectViewIfNeeded.
class ZKVisualEffectView : public ZKView {
  Q_OBJECT
  Q_PROPERTY(bool withinWindow READ withinWindow WRITE setWithinWindow)

 public:
  explicit ZKVisualEffectView(QWidget* parent = nullptr);

  // Blend with the window's content instead of what lies behind the window.
  bool withinWindow() const { return withinWindow_; }
  void setWithinWindow(bool within) { withinWindow_ = within; }

  // A new effect view over this view's bounds, following its size, light material; subclasses style
  // it. Each call makes a new one.
  virtual ZKEffectView* makeVisualEffectView();
  // The effect view that was added, if any.
  ZKEffectView* visualEffectView() const { return visualEffectView_; }
  // Puts a new effect view below every child and clears the background colour (the material is the
  // background now).
  void addVisualEffectViewIfNeeded();

  void awakeFromNib() override;

 private:
  bool withinWindow_ = false;
  QPointer<ZKEffectView> visualEffectView_;
};

// An effect view with a dark material and a flat tint of the view's background colour at 30 %
// opacity laid over it; it draws with the alternate background colour when one is set.
class ZKTintedVisualEffectView : public ZKVisualEffectView {
  Q_OBJECT
  Q_PROPERTY(QColor alternateBackgroundColor READ alternateBackgroundColor WRITE setAlternateBackgroundColor)

 public:
  explicit ZKTintedVisualEffectView(QWidget* parent = nullptr);

  QColor alternateBackgroundColor() const { return alternateBackgroundColor_; }
  void setAlternateBackgroundColor(const QColor& color) { alternateBackgroundColor_ = color; }

  ZKEffectView* makeVisualEffectView() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor alternateBackgroundColor_;
};
