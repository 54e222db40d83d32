#pragma once

#include <QtCore/QPointer>
#include <memory>

#include "platform/MainQueue.h"

class QObject;
class QThread;

namespace platform {

// The application's main queue on the Qt event loop: posted functions run as queued invocations
// and timers are QTimers, all on the thread of the QCoreApplication (the GUI thread), so that the
// engine, the HTTP server and the timers keep running unchanged beside the windows. Any thread may
// post and schedule; timers are created, fired and stopped on the GUI thread only.
class QtMainQueue : public MainQueue {
 public:
  // A queue on the running QCoreApplication's thread; the application must exist.
  static std::shared_ptr<QtMainQueue> make();
  // Makes one and installs it as the process's main queue.
  static std::shared_ptr<QtMainQueue> install();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> fn) override;
  std::shared_ptr<TimerHandle> postAfter(Seconds delay, std::function<void()> fn) override;
  std::shared_ptr<TimerHandle> scheduleTimer(Seconds interval, bool repeats,
                                             std::function<void()> fn) override;
  bool isCurrent() const override;

 private:
  QtMainQueue();

  // Lives on the GUI thread; queued invocations and timers hang off it, so that they are dropped
  // with it.
  QPointer<QObject> context_;
  QThread* thread_ = nullptr;
};

}  // namespace platform
