#pragma once

#include <QtCore/QPointer>

#include "uikit/ZKView.h"

// The content view of a popover: when it comes into a window, that window gets a plain white backing
// view under everything else, so the popover's frame is white whatever the desktop's style draws.
class BHPopoverView : public ZKView {
  Q_OBJECT

 public:
  explicit BHPopoverView(QWidget* parent = nullptr);

  // The backing it inserted into its present window, if any.
  ZKView* backgroundView() const { return backgroundView_; }

 protected:
  bool event(QEvent* event) override;

 private:
  // Called each time the view comes into a (new) window.
  void viewDidMoveToWindow();

  QPointer<ZKView> backgroundView_;
  QPointer<QWidget> backedWindow_;
};
