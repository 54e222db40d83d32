#pragma once

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSize>
#include <QtWidgets/QWidget>
#include <functional>

class QAbstractAnimation;
class ZKViewController;
class ZKWindowController;

// A stack of view controllers shown one at a time in one container view. Pushing slides the new view
// in from the right in 0.15 s, popping from the left; the window grows when a controller wants more
// room than the container has. Pushes and pops take effect on the next turn of the loop, in call
// order. Controllers without a parent become the navigation controller's, and those are deleted once
// they have left the stack.
class ZKNavigationController : public QObject {
  Q_OBJECT

 public:
  static constexpr int kTransitionMilliseconds = 150;

  explicit ZKNavigationController(QObject* parent = nullptr);
  ~ZKNavigationController() override;

  ZKWindowController* windowController() const;
  void setWindowController(ZKWindowController* controller);
  // The window controller's window, else the window set here.
  QWidget* window() const;
  void setWindow(QWidget* window) { window_ = window; }
  // The container whose one visible child is the current controller's view.
  QWidget* view() const { return view_; }
  void setView(QWidget* view) { view_ = view; }

  bool isVisible() const { return isVisible_; }
  // Stores it and passes it to every controller of the stack.
  void setIsVisible(bool visible);

  ZKViewController* currentViewController() const;
  // The stack, bottom first.
  QList<ZKViewController*> viewControllers() const;
  QSize originalMinSize() const { return originalMinSize_; }
  bool isTransitioning() const;

  // Replaces the stack and shows its last controller at once (not as a pop).
  void setViewControllers(const QList<ZKViewController*>& controllers, bool animated = true);
  void setCurrentViewController(ZKViewController* controller) {
    setCurrentViewController(controller, true, false);
  }
  void setCurrentViewController(ZKViewController* controller, bool animated, bool isPop);

  void pushViewController(ZKViewController* controller, bool animated);
  // Removes the top controller at once and shows the new top on the next turn; answers the new top.
  // The last controller is never popped: the stack stays as it is and the answer is that controller.
  ZKViewController* popViewControllerAnimated(bool animated);
  // Answers the root; on the next turn the stack becomes the root alone, shown as a pop.
  ZKViewController* popToRootViewControllerAnimated(bool animated);
  // Removes every controller above `controller` at once and shows it on the next turn, as a pop.
  void popToController(ZKViewController* controller, bool animated);

  // Grows the window when the controller wants more than the container has; answers whether it did.
  bool resizeWindowIfNeededForViewController(ZKViewController* controller, bool animated);
  // Gives the controller its window controller, window and a view filling the container.
  void configureViewController(ZKViewController* controller);

  // Ends a running transition at once (its end steps run now).
  void finishTransition();

 private:
  void adopt(ZKViewController* controller);
  // Deletes the given controllers that this object owns and that are no longer in use.
  void releaseRemoved(const QList<QPointer<ZKViewController>>& removed);

  QPointer<ZKWindowController> windowController_;
  QPointer<QWidget> window_;
  QPointer<QWidget> view_;
  bool isVisible_ = false;
  QPointer<ZKViewController> current_;
  QList<QPointer<ZKViewController>> stack_;
  QSize originalMinSize_{0, 0};
  QPointer<QAbstractAnimation> transition_;
  std::function<void()> transitionEnd_;
};
