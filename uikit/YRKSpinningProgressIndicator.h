#pragma once

#include <QtCore/QTimer>
#include <QtGui/QColor>
#include <QtWidgets/QWidget>
#include <array>
#include <memory>
#include <thread>

#include "uikit/ZKAwakeFromNib.h"

// The small activity indicator: twelve fins whose brightness runs clockwise (indeterminate), or a ring
// with a pie slice for the fraction done (determinate). It turns one step every 0.05 s, paced either by
// a GUI-thread timer or, with threaded animation, by a pacing thread of its own; either way every step
// and every drawing happens on the GUI thread, so the fin colours are never read while written.
class YRKSpinningProgressIndicator : public QWidget, public ZKAwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(QColor color READ color WRITE setColor)
  Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
  Q_PROPERTY(bool drawsBackground READ drawsBackground WRITE setDrawsBackground)
  Q_PROPERTY(bool displayedWhenStopped READ isDisplayedWhenStopped WRITE setDisplayedWhenStopped)
  Q_PROPERTY(bool usesThreadedAnimation READ usesThreadedAnimation WRITE setUsesThreadedAnimation)
  Q_PROPERTY(bool indeterminate READ isIndeterminate WRITE setIsIndeterminate)
  Q_PROPERTY(double currentValue READ currentValue WRITE setCurrentValue)
  Q_PROPERTY(double maxValue READ maxValue WRITE setMaxValue)

 public:
  static constexpr int kFinCount = 12;
  static constexpr int kFrameIntervalMs = 50;

  explicit YRKSpinningProgressIndicator(QWidget* parent = nullptr);
  ~YRKSpinningProgressIndicator() override;

  // Indeterminate only; nothing when already animating.
  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return isAnimating_; }

  QColor color() const { return color_; }
  void setColor(const QColor& color);
  QColor backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const QColor& color);
  bool drawsBackground() const { return drawsBackground_; }
  void setDrawsBackground(bool draws);
  bool isDisplayedWhenStopped() const { return displayedWhenStopped_; }
  void setDisplayedWhenStopped(bool displayed);
  bool usesThreadedAnimation() const { return usesThreadedAnimation_; }
  void setUsesThreadedAnimation(bool threaded);
  bool isIndeterminate() const { return indeterminate_; }
  // Stores; turning determinate while animating stops the animation; redraws.
  void setIsIndeterminate(bool indeterminate);
  // Stores only.
  void setIndeterminate(bool indeterminate) { indeterminate_ = indeterminate; }
  double currentValue() const { return currentValue_; }
  // Turns an indeterminate indicator determinate (a running animation keeps running).
  void setCurrentValue(double value);
  double maxValue() const { return maxValue_; }
  void setMaxValue(double value);
  void setStyle(unsigned) {}

  // The alpha of fin i now: 0.85 to the power of the fin's distance from the bright one, in [0, 1].
  double alphaValueForPosition(int position) const;
  int currentPosition() const { return currentPosition_; }
  QColor finColor(int fin) const { return finColors_.at(static_cast<size_t>(fin)); }
  // The part of the full circle drawn in determinate mode: the value over the maximum, kept within
  // [0, 1]; 0 when the maximum is not above 0.
  double fractionDone() const;

  // One animation step (GUI thread).
  void updateFrameFromTimer();
  // Steps taken since creation, and the thread of the last one (for checks).
  int frameCount() const { return frameCount_; }
  std::thread::id lastStepThread() const { return lastStepThread_; }
  // Whether a pacing thread runs now.
  bool hasAnimationThread() const { return ticker_ != nullptr; }

  // Draws an indicator in `bounds`: fins with the given colours (indeterminate) or ring and pie.
  struct Look {
    bool indeterminate = true;
    std::array<QColor, kFinCount> finColors;
    QColor color;
    double fraction = 0;
    QColor backgroundColor;  // invalid: no background
  };
  static void paintIndicator(QPainter& painter, const QRectF& bounds, const Look& look);
  // The fin colours of a step: fin i has alpha 0.85^((position + i) mod 12), at least `floor`.
  static std::array<QColor, kFinCount> finColorsForPosition(const QColor& color, int position, double floor);
  // Every fin at 0.15: the look of a stopped indicator.
  static std::array<QColor, kFinCount> stoppedFinColors(const QColor& color);

  QSize sizeHint() const override { return {16, 16}; }
  void awakeFromNib() override { setDefaults(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  class Ticker;
  void setDefaults();
  void actuallyStartAnimation();
  void actuallyStopAnimation();
  // Whether the indicator is inside a window (a top-level widget of its own counts once shown).
  bool hasWindow() const;

  int currentPosition_ = 0;
  std::array<QColor, kFinCount> finColors_;
  bool isAnimating_ = false;
  QTimer animationTimer_;
  std::unique_ptr<Ticker> ticker_;
  bool drawsBackground_ = false;
  bool displayedWhenStopped_ = true;
  bool usesThreadedAnimation_ = true;
  bool indeterminate_ = true;
  QColor color_;
  QColor backgroundColor_;
  double currentValue_ = 0;
  double maxValue_ = 100;
  int frameCount_ = 0;
  std::thread::id lastStepThread_;
};
