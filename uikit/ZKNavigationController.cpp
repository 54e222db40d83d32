#include "uikit/ZKNavigationController.h"

#include <QtCore/QEasingCurve>
#include <QtCore/QMetaObject>
#include <QtCore/QParallelAnimationGroup>
#include <QtCore/QPropertyAnimation>
#include <QtWidgets/QWidget>

#include "platform/Log.h"
#include "platform/desktop/QtText.h"
#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKAutoresizing.h"
#include "uikit/ZKViewController.h"
#include "uikit/ZKWindowController.h"
#include "uikit/ZKYosemiteWindow.h"

ZKNavigationController::ZKNavigationController(QObject* parent) : QObject(parent) {}

ZKNavigationController::~ZKNavigationController() {
  if (transition_) transition_->stop();
  transitionEnd_ = nullptr;
}

ZKWindowController* ZKNavigationController::windowController() const { return windowController_; }
void ZKNavigationController::setWindowController(ZKWindowController* controller) {
  windowController_ = controller;
}
ZKViewController* ZKNavigationController::currentViewController() const { return current_; }

QWidget* ZKNavigationController::window() const {
  if (windowController_ && windowController_->window()) return windowController_->window();
  return window_;
}

void ZKNavigationController::setIsVisible(bool visible) {
  isVisible_ = visible;
  for (const auto& controller : stack_) {
    if (controller) controller->zk_setIsVisible(visible);
  }
}

QList<ZKViewController*> ZKNavigationController::viewControllers() const {
  QList<ZKViewController*> controllers;
  for (const auto& controller : stack_) {
    if (controller) controllers.push_back(controller);
  }
  return controllers;
}

bool ZKNavigationController::isTransitioning() const { return transition_ != nullptr; }

void ZKNavigationController::adopt(ZKViewController* controller) {
  controller->setNavigationController(this);
  if (!controller->parent()) controller->setParent(this);
}

void ZKNavigationController::releaseRemoved(const QList<QPointer<ZKViewController>>& removed) {
  for (const auto& controller : removed) {
    if (!controller || controller->parent() != this) continue;
    if (controller == current_ || stack_.contains(controller)) continue;
    // A view still sliding out goes when the slide ends.
    if (transition_) {
      QPointer<ZKViewController> later = controller;
      connect(transition_, &QObject::destroyed, this, [later] {
        if (later) later->deleteLater();
      });
    } else {
      controller->deleteLater();
    }
  }
}

void ZKNavigationController::setViewControllers(const QList<ZKViewController*>& controllers, bool animated) {
  auto removed = stack_;
  stack_.clear();
  for (auto* controller : controllers) {
    if (!controller) continue;
    adopt(controller);
    stack_.push_back(controller);
  }
  if (!stack_.isEmpty()) setCurrentViewController(stack_.last(), animated, false);
  releaseRemoved(removed);
}

void ZKNavigationController::configureViewController(ZKViewController* controller) {
  if (!controller) return;
  if (windowController_) controller->setParentWindowController(windowController_);
  if (QWidget* w = window()) controller->setParentWindow(w);
  if (view_) controller->view()->setGeometry(view_->rect());
}

void ZKNavigationController::finishTransition() {
  if (!transition_) return;
  transition_->stop();
  transition_->deleteLater();
  transition_ = nullptr;
  if (auto end = std::exchange(transitionEnd_, nullptr)) end();
}

void ZKNavigationController::setCurrentViewController(ZKViewController* next, bool animated, bool isPop) {
  if (!next || next == current_) return;
  finishTransition();
  QPointer<ZKViewController> previous = current_;
  if (!previous) animated = false;

  if (QWidget* w = window()) {
    if (originalMinSize_ == QSize(0, 0)) {
      originalMinSize_ = w->minimumSize();
    }
    w->setMinimumSize(originalMinSize_);
  }
  configureViewController(next);
  if (previous) previous->zk_viewWillDisappear();
  next->zk_viewWillAppear();

  QWidget* nextView = next->view();
  if (!previous) {
    if (view_) {
      nextView->setParent(view_);
      zk_fillParent(nextView);
      nextView->show();
    }
    current_ = next;
    next->zk_viewDidAppear();
    return;
  }

  QPointer<ZKViewController> incoming = next;
  QPointer<QWidget> outgoingView = previous->view();
  QPointer<QWidget> incomingView = nextView;
  auto end = [this, previous, incoming, outgoingView, incomingView] {
    if (outgoingView && outgoingView != incomingView) {
      outgoingView->hide();
      outgoingView->setParent(nullptr);
    }
    if (incomingView && view_) incomingView->setGeometry(view_->rect());
    if (incoming) incoming->zk_setIsVisible(isVisible_);
    if (previous) previous->zk_viewDidDisappear();
    if (incoming) incoming->zk_viewDidAppear();
  };

  resizeWindowIfNeededForViewController(next, animated);
  current_ = next;
  if (!view_) {
    end();
    return;
  }
  nextView->setParent(view_);
  zk_fillParent(nextView);
  if (!animated) {
    nextView->show();
    end();
    return;
  }
  // A push slides the new view in from the right and the old one out to the left; a pop the other way.
  const int width = view_->width();
  const int from = isPop ? -width : width;
  nextView->move(from, 0);
  nextView->show();
  nextView->raise();
  auto* group = new QParallelAnimationGroup(this);
  auto slide = [&](QWidget* target, QPoint start, QPoint finish) {
    auto* animation = new QPropertyAnimation(target, "pos", group);
    animation->setDuration(kTransitionMilliseconds);
    animation->setEasingCurve(QEasingCurve::Linear);
    animation->setStartValue(start);
    animation->setEndValue(finish);
    group->addAnimation(animation);
  };
  slide(nextView, QPoint(from, 0), QPoint(0, 0));
  if (outgoingView) slide(outgoingView, QPoint(0, 0), QPoint(-from, 0));
  transition_ = group;
  transitionEnd_ = end;
  connect(group, &QAbstractAnimation::finished, this, [this, group] {
    if (transition_ != group) return;
    transition_ = nullptr;
    group->deleteLater();
    if (auto finish = std::exchange(transitionEnd_, nullptr)) finish();
  });
  group->start();
}

void ZKNavigationController::pushViewController(ZKViewController* controller, bool animated) {
  QPointer<ZKViewController> pushed = controller;
  QMetaObject::invokeMethod(
      this,
      [this, pushed, animated] {
        if (!pushed) return;
        adopt(pushed);
        stack_.push_back(pushed);
        setCurrentViewController(pushed, animated, false);
      },
      Qt::QueuedConnection);
}

ZKViewController* ZKNavigationController::popViewControllerAnimated(bool animated) {
  stack_.removeAll(QPointer<ZKViewController>());
  // Popping the last controller would leave nothing to show: the stack stays as it is.
  if (stack_.size() <= 1) return stack_.isEmpty() ? nullptr : stack_.last().data();
  QPointer<ZKViewController> removed = stack_.takeLast();
  QPointer<ZKViewController> top = stack_.last();
  QMetaObject::invokeMethod(
      this,
      [this, top, removed, animated] {
        if (top && stack_.contains(top)) setCurrentViewController(top, animated, true);
        releaseRemoved({removed});
      },
      Qt::QueuedConnection);
  return top;
}

ZKViewController* ZKNavigationController::popToRootViewControllerAnimated(bool animated) {
  stack_.removeAll(QPointer<ZKViewController>());
  if (stack_.isEmpty()) return nullptr;
  QPointer<ZKViewController> root = stack_.first();
  QMetaObject::invokeMethod(
      this,
      [this, root, animated] {
        if (!root) return;
        auto removed = stack_;
        stack_ = {root};
        setCurrentViewController(root, animated, true);
        releaseRemoved(removed);
      },
      Qt::QueuedConnection);
  return root;
}

void ZKNavigationController::popToController(ZKViewController* controller, bool animated) {
  if (controller && controller == current_) {
    platform::log("View controller is already the top item");
    return;
  }
  const qsizetype index = controller ? stack_.indexOf(controller) : -1;
  if (index < 0) {
    platform::log("Could not find in stack: {}",
                  controller ? platform::toStdString(controller->description()) : std::string("(null)"));
    QStringList descriptions;
    for (const auto& entry : stack_) {
      if (entry) descriptions.push_back(entry->description());
    }
    platform::log("Stack: ({})", platform::toStdString(descriptions.join(QStringLiteral(", "))));
    return;
  }
  auto removed = stack_.mid(index + 1);
  stack_ = stack_.mid(0, index + 1);
  QPointer<ZKViewController> target = controller;
  QMetaObject::invokeMethod(
      this,
      [this, target, removed, animated] {
        if (target && stack_.contains(target)) setCurrentViewController(target, animated, true);
        releaseRemoved(removed);
      },
      Qt::QueuedConnection);
}

bool ZKNavigationController::resizeWindowIfNeededForViewController(ZKViewController* controller,
                                                                   bool animated) {
  QWidget* w = window();
  if (!controller || !w || !view_) return false;
  const QSizeF wanted = controller->viewMinSize();
  if (wanted.width() == 0 && wanted.height() == 0) return false;
  if (!controller->forceResize() && view_->width() > wanted.width() && view_->height() > wanted.height()) {
    return false;
  }
  QWidget* content = w;
  if (auto* yosemite = qobject_cast<ZKYosemiteWindow*>(w)) content = yosemite->contentView();
  const QPoint origin = view_->mapTo(content, QPoint(0, 0));
  // The container keeps its offset from the content's left edge and the content's height beyond it.
  const QSizeF size(wanted.width() + origin.x(), wanted.height() + (content->height() - view_->height()));
  zk_setContentSize(w, size, animated);
  w->setMinimumSize(size.toSize());
  return true;
}
