#include "uikit/YRKSpinningProgressIndicator.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

// The pacing thread of threaded animation: every 0.05 s it posts one step to the GUI thread. It never
// touches the indicator itself; stopping wakes it and waits for it to end.
class YRKSpinningProgressIndicator::Ticker {
 public:
  explicit Ticker(YRKSpinningProgressIndicator* owner)
      : thread_([this, owner] {
          std::unique_lock lock(mutex_);
          while (!cancelled_) {
            if (wake_.wait_for(lock, std::chrono::milliseconds(kFrameIntervalMs),
                               [this] { return cancelled_; }))
              break;
            // Queued to the indicator: a step posted just before the indicator goes is dropped with it.
            QMetaObject::invokeMethod(
                owner, [owner] { owner->updateFrameFromTimer(); }, Qt::QueuedConnection);
          }
        }) {}
  ~Ticker() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::thread thread_;
};

YRKSpinningProgressIndicator::YRKSpinningProgressIndicator(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground, false);
  setAccessibleName(QStringLiteral("Progress"));
  animationTimer_.setInterval(kFrameIntervalMs);
  animationTimer_.setTimerType(Qt::PreciseTimer);
  connect(&animationTimer_, &QTimer::timeout, this, &YRKSpinningProgressIndicator::updateFrameFromTimer);
  setDefaults();
}

YRKSpinningProgressIndicator::~YRKSpinningProgressIndicator() {
  ticker_.reset();
  animationTimer_.stop();
}

void YRKSpinningProgressIndicator::setDefaults() {
  if (isAnimating_) actuallyStopAnimation();
  currentPosition_ = 0;
  isAnimating_ = false;
  color_ = QColor();  // so that setColor fills the fins
  setColor(Qt::black);
  backgroundColor_ = Qt::transparent;
  drawsBackground_ = false;
  displayedWhenStopped_ = true;
  usesThreadedAnimation_ = true;
  indeterminate_ = true;
  currentValue_ = 0;
  maxValue_ = 100;
  update();
}

double YRKSpinningProgressIndicator::alphaValueForPosition(int position) const {
  // A true modulo, so that no fin is ever brighter than full or below zero.
  const int distance = ((currentPosition_ + position) % kFinCount + kFinCount) % kFinCount;
  return std::clamp(std::pow(0.85, distance), 0.0, 1.0);
}

double YRKSpinningProgressIndicator::fractionDone() const {
  if (!(maxValue_ > 0) || !std::isfinite(maxValue_) || !std::isfinite(currentValue_)) return 0.0;
  return std::clamp(currentValue_ / maxValue_, 0.0, 1.0);
}

void YRKSpinningProgressIndicator::setColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  for (int i = 0; i < kFinCount; ++i) {
    QColor fin = color;
    fin.setAlphaF(float(alphaValueForPosition(i)));
    finColors_[static_cast<size_t>(i)] = fin;
  }
  update();
}

void YRKSpinningProgressIndicator::setBackgroundColor(const QColor& color) {
  if (color == backgroundColor_) return;
  backgroundColor_ = color;
  update();
}

void YRKSpinningProgressIndicator::setDrawsBackground(bool draws) {
  drawsBackground_ = draws;
  update();
}

void YRKSpinningProgressIndicator::setIsIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  if (!indeterminate && isAnimating_) stopAnimation();
  update();
}

void YRKSpinningProgressIndicator::setCurrentValue(double value) {
  if (indeterminate_) setIndeterminate(false);
  currentValue_ = value;
  update();
}

void YRKSpinningProgressIndicator::setMaxValue(double value) {
  maxValue_ = value;
  update();
}

void YRKSpinningProgressIndicator::setUsesThreadedAnimation(bool threaded) {
  if (threaded == usesThreadedAnimation_) return;
  usesThreadedAnimation_ = threaded;
  if (isAnimating_) {
    stopAnimation();
    startAnimation();
  }
}

void YRKSpinningProgressIndicator::setDisplayedWhenStopped(bool displayed) {
  displayedWhenStopped_ = displayed;
  // A spinner of its own (no parent) is never shown as a window by this.
  if (!isAnimating_ && (parentWidget() || !displayed)) setVisible(displayed);
}

void YRKSpinningProgressIndicator::startAnimation() {
  if (!indeterminate_ || isAnimating_) return;
  actuallyStartAnimation();
}

void YRKSpinningProgressIndicator::stopAnimation() { actuallyStopAnimation(); }

bool YRKSpinningProgressIndicator::hasWindow() const {
  return parentWidget() != nullptr || (isWindow() && testAttribute(Qt::WA_WState_Visible));
}

void YRKSpinningProgressIndicator::actuallyStartAnimation() {
  actuallyStopAnimation();
  isAnimating_ = true;
  currentPosition_ = 0;
  if (!displayedWhenStopped_ && parentWidget()) setVisible(true);
  if (!hasWindow()) return;  // begins when the indicator enters a window
  if (usesThreadedAnimation_)
    ticker_ = std::make_unique<Ticker>(this);
  else
    animationTimer_.start();
}

void YRKSpinningProgressIndicator::actuallyStopAnimation() {
  isAnimating_ = false;
  if (!displayedWhenStopped_) setVisible(false);
  // Ends the pacing thread; steps it already posted are harmless (they only redraw).
  ticker_.reset();
  animationTimer_.stop();
  update();
}

void YRKSpinningProgressIndicator::updateFrameFromTimer() {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!isAnimating_) return;
  finColors_ = finColorsForPosition(color_, currentPosition_, displayedWhenStopped_ ? 0.15 : 0.0);
  ++frameCount_;
  lastStepThread_ = std::this_thread::get_id();
  update();
  currentPosition_ = (currentPosition_ + 1) % kFinCount;
}

bool YRKSpinningProgressIndicator::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::ParentChange) {
    if (!parentWidget())
      actuallyStopAnimation();
    else if (isAnimating_)
      actuallyStartAnimation();
  }
  return handled;
}

std::array<QColor, YRKSpinningProgressIndicator::kFinCount>
YRKSpinningProgressIndicator::finColorsForPosition(const QColor& color, int position, double floor) {
  std::array<QColor, kFinCount> fins;
  for (int i = 0; i < kFinCount; ++i) {
    const int distance = ((position + i) % kFinCount + kFinCount) % kFinCount;
    QColor fin = color;
    fin.setAlphaF(float(std::clamp(std::max(std::pow(0.85, distance), floor), 0.0, 1.0)));
    fins[static_cast<size_t>(i)] = fin;
  }
  return fins;
}

std::array<QColor, YRKSpinningProgressIndicator::kFinCount> YRKSpinningProgressIndicator::stoppedFinColors(
    const QColor& color) {
  std::array<QColor, kFinCount> fins;
  QColor dim = color;
  dim.setAlphaF(0.15f);
  fins.fill(dim);
  return fins;
}

void YRKSpinningProgressIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Look look;
  look.indeterminate = indeterminate_;
  look.finColors = isAnimating_ ? finColors_ : stoppedFinColors(color_);
  look.color = color_;
  look.fraction = fractionDone();
  if (drawsBackground_) look.backgroundColor = backgroundColor_;
  paintIndicator(painter, QRectF(rect()), look);
}

void YRKSpinningProgressIndicator::paintIndicator(QPainter& painter, const QRectF& bounds, const Look& look) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  if (look.backgroundColor.isValid()) painter.fillRect(bounds, look.backgroundColor);
  const double size = std::min(bounds.width(), bounds.height());
  if (size <= 0) {
    painter.restore();
    return;
  }
  painter.translate(bounds.x() + bounds.width() / 2, bounds.y() + bounds.height() / 2);

  if (look.indeterminate) {
    QPainterPath fin;
    fin.moveTo(0, -0.234375 * size);
    fin.lineTo(0, -0.421875 * size);
    QPen pen;
    pen.setWidthF(0.0859375 * size);
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < kFinCount; ++i) {
      pen.setColor(look.finColors[static_cast<size_t>(i)]);
      painter.strokePath(fin, pen);
      // Each next fin sits 30 degrees counter-clockwise.
      painter.rotate(-30.0);
    }
    painter.restore();
    return;
  }

  const double lineWidth = 0.01 * size + 1;
  const double radius = (size - lineWidth) / 2.1;
  painter.setPen(QPen(look.color, lineWidth));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(QRectF(-radius, -radius, 2 * radius, 2 * radius));
  if (look.fraction > 0) {
    QPainterPath pie;
    pie.moveTo(0, 0);
    // From twelve o'clock, clockwise.
    pie.arcTo(QRectF(-radius, -radius, 2 * radius, 2 * radius), 90.0, -360.0 * std::min(1.0, look.fraction));
    pie.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(look.color);
    painter.drawPath(pie);
  }
  painter.restore();
}
