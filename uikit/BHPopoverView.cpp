#include "uikit/BHPopoverView.h"

#include <QtCore/QEvent>

#include "uikit/NSProcessInfo+OSVersionHelper.h"
#include "uikit/ZKAutoresizing.h"

BHPopoverView::BHPopoverView(QWidget* parent) : ZKView(parent) {}

bool BHPopoverView::event(QEvent* event) {
  const bool handled = ZKView::event(event);
  if (event->type() == QEvent::ParentChange || event->type() == QEvent::Show) {
    QWidget* frame = window();
    if (frame != this && frame != backedWindow_) viewDidMoveToWindow();
  }
  return handled;
}

void BHPopoverView::viewDidMoveToWindow() {
  if (!zk_isOperatingSystemAtLeast10_10()) return;
  QWidget* frame = window();
  // One backing per window: the one left in an earlier window goes, so moves never pile them up.
  delete backgroundView_.data();
  auto* backing = new ZKView(frame);
  backing->setObjectName(QStringLiteral("popoverBackground"));
  backing->setBackgroundColor(Qt::white);
  zk_fillParent(backing);
  backing->lower();
  backing->show();
  backgroundView_ = backing;
  backedWindow_ = frame;
}
