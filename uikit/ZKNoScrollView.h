#pragma once

#include <QtWidgets/QScrollArea>

// A scroll view whose wheel and swipe scrolling can be switched off (it is off until switched on);
// scrolling by code keeps working. Events refused while off are dropped, not handed to a parent.
class ZKNoScrollView : public QScrollArea {
  Q_OBJECT
  Q_PROPERTY(bool scrollingEnabled READ scrollingEnabled WRITE setScrollingEnabled)

 public:
  explicit ZKNoScrollView(QWidget* parent = nullptr);

  bool scrollingEnabled() const { return scrollingEnabled_; }
  void setScrollingEnabled(bool enabled) { scrollingEnabled_ = enabled; }

 protected:
  void wheelEvent(QWheelEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // True when the event is a wheel or swipe that scrolling-off must drop.
  bool isDroppedGesture(QEvent* event) const;

  bool scrollingEnabled_ = false;
};
