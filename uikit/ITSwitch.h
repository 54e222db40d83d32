#pragma once

#include <QtCore/QPointer>
#include <QtCore/QVariantAnimation>
#include <QtGui/QColor>
#include <QtWidgets/QWidget>
#include <cstdint>
#include <functional>

#include "uikit/ZKAwakeFromNib.h"

// How a switch looks at one moment: what both the switch and a table cell that paints one draw.
struct ITSwitchLook {
  QRectF knob;       // in the switch's own coordinates
  QColor trackFill;  // clear for the off look
  QColor trackBorder;
  double opacity = 1.0;  // 0.5 while disabled
  bool focused = false;
};

// The on/off toggle: a rounded track with a knob, drawn by the switch itself. Every state change moves
// the knob and recolours the track with a 0.4 s animation on the GUI thread (the knob overshoots and
// settles). A click or a press-drag-release toggles the value and sends the action; Left and Right set
// the value off and on, Space toggles; accessibility sees a check box with a press action and a
// settable value. A disabled switch ignores the mouse, the keyboard and accessibility actions.
class ITSwitch : public QWidget, public ZKAwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(bool checked READ checked WRITE setChecked NOTIFY checkedChanged USER true)
  Q_PROPERTY(QColor tintColor READ tintColor WRITE setTintColor)
  Q_PROPERTY(QColor disabledBorderColor READ disabledBorderColor WRITE setDisabledBorderColor)

 public:
  explicit ITSwitch(QWidget* parent = nullptr);
  ~ITSwitch() override;

  bool checked() const { return checked_; }
  // Stores a new value (announced through checkedChanged, the binding write-back) and updates the
  // look, animated unless told otherwise. Setting the value in code never sends the action.
  void setChecked(bool checked) { setChecked(checked, true); }
  void setChecked(bool checked, bool animated);

  void setEnabled(bool enabled) { setEnabled(enabled, true); }
  void setEnabled(bool enabled, bool animated);

  // The on look's colour; the default green while none is set.
  QColor tintColor() const;
  void setTintColor(const QColor& color);
  // The off look's border; the default translucent black while none is set.
  QColor disabledBorderColor() const;
  void setDisabledBorderColor(const QColor& color);

  // Stored for the table cells that set it; the switch itself does not read it.
  std::int64_t backgroundStyle() const { return backgroundStyle_; }
  void setBackgroundStyle(std::int64_t style) { backgroundStyle_ = style; }

  bool isActive() const { return active_; }
  bool hasDragged() const { return dragged_; }
  bool isDraggingTowardsOn() const { return draggingTowardsOn_; }

  // The knob's place for the current state (where an animation ends).
  QRectF rectForKnob() const;
  static double knobHeightForSize(const QSizeF& size) { return size.height() - 2; }
  // The look the switch is drawn with now (during an animation, part of the way).
  const ITSwitchLook& displayedLook() const { return shown_; }
  // The look the current state ends in.
  ITSwitchLook targetLook() const;
  bool isAnimating() const { return animation_.state() == QAbstractAnimation::Running; }

  void reloadLayer() { reloadLayerAnimated(true); }
  void reloadLayerAnimated(bool animated);
  void reloadLayerSize();

  // The binding write-back: a user or code change of the value, as a property write on another object.
  // Without a binding nothing happens; a binding without an object or property name is logged and
  // writes nothing; a transformer that cannot reverse is logged and the value is written unchanged.
  struct Binding {
    QPointer<QObject> observedObject;
    QByteArray observedKeyPath;
    std::function<QVariant(const QVariant&)> reverseTransform;  // none: no transformer
    bool transformerAllowsReverse = true;
  };
  void bind(const QString& binding, Binding info);
  void unbind(const QString& binding);
  void propagateValue(const QVariant& value, const QString& binding);

  // The keyboard and accessibility entry points, also reached by the keys.
  void moveLeft();
  void moveRight();
  // Toggles and sends the action, as the press action and Space do; false when disabled.
  bool performPress();
  // Sets the value as the accessibility value attribute does (sending the action when it changed).
  void accessibilitySetValue(bool value);

  // Paints a switch of that size with the look (also used by table cells that draw switches).
  static void paintSwitch(QPainter& painter, const QRectF& bounds, const ITSwitchLook& look);
  // The look of a switch of that size in a resting state.
  static ITSwitchLook restingLook(const QSizeF& size, bool checked, bool enabled, const QColor& tint,
                                  const QColor& offBorder);
  static QColor defaultTintColor();
  static QColor defaultDisabledBorderColor();

  QSize sizeHint() const override { return {38, 22}; }
  void awakeFromNib() override {}

 Q_SIGNALS:
  // The action: the user changed the value (click, drag, keys, accessibility).
  void action(ITSwitch* sender);
  void checkedChanged(bool checked);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void invokeTargetAction();
  void animateTo(const ITSwitchLook& target, bool animated, bool overshoot);

  bool checked_ = false;
  bool active_ = false;
  bool dragged_ = false;
  bool draggingTowardsOn_ = false;
  QColor tintColor_;
  QColor disabledBorderColor_;
  std::int64_t backgroundStyle_ = 0;
  ITSwitchLook shown_;
  ITSwitchLook from_;
  ITSwitchLook to_;
  QVariantAnimation animation_;
  QHash<QString, Binding> bindings_;
};
