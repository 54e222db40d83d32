#include "uikit/ITSwitch.h"

#include <QtGui/QAccessible>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QAccessibleWidget>
#include <algorithm>
#include <mutex>

#include "platform/Log.h"

namespace {

constexpr double kGoldenRatio = double(1.61803400516510009765625f);  // single-precision constant
constexpr double kPressedRatio = 1.38;
constexpr int kAnimationMs = 400;

QColor mix(const QColor& a, const QColor& b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  return QColor::fromRgbF(
      float(a.redF() + (b.redF() - a.redF()) * t), float(a.greenF() + (b.greenF() - a.greenF()) * t),
      float(a.blueF() + (b.blueF() - a.blueF()) * t), float(a.alphaF() + (b.alphaF() - a.alphaF()) * t));
}

QRectF mix(const QRectF& a, const QRectF& b, double t) {
  auto m = [t](double x, double y) { return x + (y - x) * t; };
  return QRectF(m(a.x(), b.x()), m(a.y(), b.y()), std::max(0.0, m(a.width(), b.width())),
                std::max(0.0, m(a.height(), b.height())));
}

// What accessibility sees of a switch: a check box whose value (1 or 0) can be set and which answers
// the press action. A disabled switch reports itself disabled and performs nothing.
class ITSwitchAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit ITSwitchAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::CheckBox) {}
  ITSwitch* control() const { return static_cast<ITSwitch*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = control()->checked();
    return s;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return control()->checked() ? QStringLiteral("1") : QStringLiteral("0");
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (!names.contains(pressAction())) names << pressAction();
    return names;
  }
  void doAction(const QString& name) override {
    if (name == pressAction() || name == toggleAction())
      control()->performPress();
    else
      QAccessibleWidget::doAction(name);
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

  QVariant currentValue() const override { return control()->checked() ? 1 : 0; }
  void setCurrentValue(const QVariant& value) override { control()->accessibilitySetValue(value.toBool()); }
  QVariant maximumValue() const override { return 1; }
  QVariant minimumValue() const override { return 0; }
  QVariant minimumStepSize() const override { return 1; }
};

QAccessibleInterface* switchAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("ITSwitch") && object && object->isWidgetType())
    return new ITSwitchAccessible(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

ITSwitch::ITSwitch(QWidget* parent) : QWidget(parent) {
  static std::once_flag accessibleOnce;
  std::call_once(accessibleOnce, [] { QAccessible::installFactory(switchAccessibleFactory); });
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover, false);
  setAccessibleName(QStringLiteral("Switch"));
  animation_.setDuration(kAnimationMs);
  animation_.setStartValue(0.0);
  animation_.setEndValue(1.0);
  connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    const double t = value.toDouble();
    shown_.knob = mix(from_.knob, to_.knob, t);
    shown_.trackFill = mix(from_.trackFill, to_.trackFill, t);
    shown_.trackBorder = mix(from_.trackBorder, to_.trackBorder, t);
    shown_.opacity = std::clamp(from_.opacity + (to_.opacity - from_.opacity) * t, 0.0, 1.0);
    update();
  });
  shown_ = targetLook();
}

ITSwitch::~ITSwitch() { animation_.stop(); }

QColor ITSwitch::defaultTintColor() { return QColor::fromRgbF(0.27f, 0.86f, 0.36f, 1.0f); }
QColor ITSwitch::defaultDisabledBorderColor() { return QColor::fromRgbF(0, 0, 0, 0.2f); }

QColor ITSwitch::tintColor() const { return tintColor_.isValid() ? tintColor_ : defaultTintColor(); }
QColor ITSwitch::disabledBorderColor() const {
  return disabledBorderColor_.isValid() ? disabledBorderColor_ : defaultDisabledBorderColor();
}

void ITSwitch::setTintColor(const QColor& color) {
  tintColor_ = color;
  reloadLayer();
}

void ITSwitch::setDisabledBorderColor(const QColor& color) {
  disabledBorderColor_ = color;
  reloadLayer();
}

void ITSwitch::setChecked(bool checked, bool animated) {
  if (checked != checked_) {
    checked_ = checked;
    propagateValue(checked, QStringLiteral("checked"));
    Q_EMIT checkedChanged(checked);
  }
  reloadLayerAnimated(animated);
}

void ITSwitch::setEnabled(bool enabled, bool animated) {
  QWidget::setEnabled(enabled);
  reloadLayerAnimated(animated);
}

QRectF ITSwitch::rectForKnob() const {
  const double w = width(), h = height();
  const double knobHeight = knobHeightForSize(QSizeF(w, h));
  const double knobWidth = (w - 2) / (active_ ? kPressedRatio : kGoldenRatio);
  const bool left = (!dragged_ && !checked_) || (dragged_ && !draggingTowardsOn_);
  const double x = left ? 1 : w - knobWidth - 1;
  return QRectF(x, 1, std::max(0.0, knobWidth), std::max(0.0, knobHeight));
}

ITSwitchLook ITSwitch::targetLook() const {
  ITSwitchLook look;
  const bool on = (dragged_ && draggingTowardsOn_) || (!dragged_ && checked_);
  look.trackFill = on ? tintColor() : QColor(Qt::transparent);
  look.trackBorder = on ? tintColor() : disabledBorderColor();
  look.opacity = isEnabled() ? 1.0 : 0.5;
  look.knob = rectForKnob();
  look.focused = hasFocus();
  return look;
}

ITSwitchLook ITSwitch::restingLook(const QSizeF& size, bool checked, bool enabled, const QColor& tint,
                                   const QColor& offBorder) {
  ITSwitchLook look;
  const QColor on = tint.isValid() ? tint : defaultTintColor();
  look.trackFill = checked ? on : QColor(Qt::transparent);
  look.trackBorder = checked ? on : (offBorder.isValid() ? offBorder : defaultDisabledBorderColor());
  look.opacity = enabled ? 1.0 : 0.5;
  const double knobWidth = (size.width() - 2) / kGoldenRatio;
  look.knob = QRectF(checked ? size.width() - knobWidth - 1 : 1, 1, std::max(0.0, knobWidth),
                     std::max(0.0, knobHeightForSize(size)));
  return look;
}

void ITSwitch::animateTo(const ITSwitchLook& target, bool animated, bool overshoot) {
  animation_.stop();
  to_ = target;
  from_ = shown_;
  shown_.focused = target.focused;
  if (!animated || !isVisible()) {
    shown_ = target;
    update();
    return;
  }
  QEasingCurve curve(QEasingCurve::OutCubic);
  if (overshoot) {
    // The knob overshoots its place and settles.
    curve = QEasingCurve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.25, 1.5), QPointF(0.5, 1.0), QPointF(1.0, 1.0));
  }
  animation_.setEasingCurve(curve);
  animation_.start();
}

void ITSwitch::reloadLayerAnimated(bool animated) { animateTo(targetLook(), animated, !dragged_); }

void ITSwitch::reloadLayerSize() {
  // Size changes are never animated; the colours keep where they are.
  to_.knob = rectForKnob();
  shown_.knob = to_.knob;
  from_.knob = to_.knob;
  update();
}

void ITSwitch::paintSwitch(QPainter& painter, const QRectF& bounds, const ITSwitchLook& look) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(bounds.topLeft());
  painter.setOpacity(painter.opacity() * look.opacity);
  const QRectF track(0.5, 0.5, bounds.width() - 1, bounds.height() - 1);
  const double trackRadius = bounds.height() / 2 - 0.5;
  painter.setPen(QPen(look.trackBorder, 1.0));
  painter.setBrush(look.trackFill);
  painter.drawRoundedRect(track, trackRadius, trackRadius);

  const QRectF knob = look.knob;
  const double radius = knob.height() / 2;
  if (!knob.isEmpty()) {
    // The knob's shadow: black at 0.3 opacity, two points down, a point of blur.
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 2; ++i) {
      const double grow = 1.0 - i * 0.5;
      painter.setBrush(QColor(0, 0, 0, i == 0 ? 30 : 45));
      painter.drawRoundedRect(knob.translated(0, 2 - i).adjusted(-grow, -grow, grow, grow), radius + grow,
                              radius + grow);
    }
    painter.setBrush(Qt::white);
    painter.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
    painter.drawRoundedRect(knob, radius, radius);
  }
  if (look.focused) {
    QPen ring(QColor(0, 122, 255, 160), 2.0);
    painter.setPen(ring);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(1, 1, bounds.width() - 2, bounds.height() - 2), bounds.height() / 2 - 1,
                            bounds.height() / 2 - 1);
  }
  painter.restore();
}

void ITSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  paintSwitch(painter, QRectF(rect()), shown_);
}

void ITSwitch::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  reloadLayerSize();
}

void ITSwitch::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) reloadLayer();
}

void ITSwitch::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  shown_.focused = to_.focused = true;
  update();
}

void ITSwitch::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  shown_.focused = to_.focused = false;
  update();
}

void ITSwitch::mousePressEvent(QMouseEvent* event) {
  if (!isEnabled() || event->button() != Qt::LeftButton) return;
  active_ = true;
  reloadLayer();
}

void ITSwitch::mouseMoveEvent(QMouseEvent* event) {
  if (!isEnabled() || !active_) return;
  dragged_ = true;
  draggingTowardsOn_ = event->position().x() >= width() / 2.0;
  reloadLayer();
}

void ITSwitch::mouseReleaseEvent(QMouseEvent* event) {
  if (!isEnabled() || event->button() != Qt::LeftButton || !active_) return;
  active_ = false;
  // A release always toggles: the drag only steers the knob while the button is held.
  setChecked(!checked_);
  invokeTargetAction();
  dragged_ = false;
  draggingTowardsOn_ = false;
  reloadLayer();
}

void ITSwitch::keyPressEvent(QKeyEvent* event) {
  if (!isEnabled()) {
    event->ignore();
    return;
  }
  switch (event->key()) {
    case Qt::Key_Left:
      moveLeft();
      break;
    case Qt::Key_Right:
      moveRight();
      break;
    case Qt::Key_Space:
      if (event->modifiers() & ~Qt::KeypadModifier) {
        QWidget::keyPressEvent(event);
        return;
      }
      performPress();
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void ITSwitch::moveLeft() {
  if (!isEnabled() || !checked_) return;
  setChecked(false);
  invokeTargetAction();
}

void ITSwitch::moveRight() {
  if (!isEnabled() || checked_) return;
  setChecked(true);
  invokeTargetAction();
}

bool ITSwitch::performPress() {
  if (!isEnabled()) return false;
  setChecked(!checked_);
  invokeTargetAction();
  return true;
}

void ITSwitch::accessibilitySetValue(bool value) {
  if (!isEnabled()) return;
  const bool before = checked_;
  setChecked(value);
  if (before != value) invokeTargetAction();
}

void ITSwitch::invokeTargetAction() {
  Q_EMIT action(this);
  QAccessibleStateChangeEvent event(this, [] {
    QAccessible::State s;
    s.checked = true;
    return s;
  }());
  QAccessible::updateAccessibility(&event);
}

void ITSwitch::bind(const QString& binding, Binding info) { bindings_.insert(binding, std::move(info)); }
void ITSwitch::unbind(const QString& binding) { bindings_.remove(binding); }

void ITSwitch::propagateValue(const QVariant& value, const QString& binding) {
  const auto found = bindings_.constFind(binding);
  if (found == bindings_.constEnd()) return;
  const Binding& info = *found;
  QVariant written = value;
  if (info.reverseTransform) {
    if (info.transformerAllowsReverse) {
      written = info.reverseTransform(value);
    } else {
      platform::log(
          "WARNING: binding \"{}\" has value transformer, but it doesn't allow reverse transformations in {}",
          binding.toStdString(), "ITSwitch::propagateValue");
    }
  }
  if (!info.observedObject) {
    platform::log("ERROR: NSObservedObjectKey was nil for binding \"{}\" in {}", binding.toStdString(),
                  "ITSwitch::propagateValue");
    return;
  }
  if (info.observedKeyPath.isEmpty()) {
    platform::log("ERROR: NSObservedKeyPathKey was nil for binding \"{}\" in {}", binding.toStdString(),
                  "ITSwitch::propagateValue");
    return;
  }
  info.observedObject->setProperty(info.observedKeyPath.constData(), written);
}
