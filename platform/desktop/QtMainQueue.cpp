#include "platform/desktop/QtMainQueue.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace platform {

namespace {

// Intervals of a second and more use Qt's coarse timers, which let the system group wake-ups; the
// short ones (debounced saves, retries) keep their exact time.
Qt::TimerType timerTypeFor(Seconds interval) {
  return interval >= Seconds(1) ? Qt::CoarseTimer : Qt::PreciseTimer;
}

int millisecondsFor(Seconds interval) {
  double ms = std::ceil(interval.count() * 1000.0);
  if (!(ms > 0)) return 0;  // also NaN
  return ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms);
}

// A QTimer made on the GUI thread for one schedule. cancel() may come from any thread; the timer
// itself is only touched on the GUI thread.
class QtTimerHandle : public TimerHandle, public std::enable_shared_from_this<QtTimerHandle> {
 public:
  QtTimerHandle(QObject* context, bool repeats, std::function<void()> fn)
      : context_(context), repeats_(repeats), fn_(std::move(fn)) {}

  // GUI thread: creates and starts the timer unless cancelled meanwhile. The timer's connection
  // holds the handle, so a timer keeps running when its caller drops the handle without cancelling.
  void start(Seconds interval) {
    if (cancelled_.load() || !context_) return;
    timer_ = new QTimer(context_);
    timer_->setTimerType(timerTypeFor(interval));
    timer_->setSingleShot(!repeats_);
    auto self = shared_from_this();
    QObject::connect(timer_, &QTimer::timeout, timer_, [self] { self->fire(); });
    timer_->start(millisecondsFor(interval));
  }

  void cancel() override {
    if (cancelled_.exchange(true)) return;
    if (context_ && context_->thread() == QThread::currentThread()) {
      stopTimer();
    } else if (context_) {
      // The timer may not even exist yet; both orders end with no timer and no call.
      auto self = shared_from_this();
      QMetaObject::invokeMethod(
          context_, [self] { self->stopTimer(); }, Qt::QueuedConnection);
    }
  }

  bool isValid() const override { return !cancelled_.load() && !finished_.load(); }

 private:
  void fire() {
    if (cancelled_.load()) return;
    if (!repeats_) {
      finished_ = true;
      stopTimer();
    }
    // A copy: the function may cancel this very timer.
    auto fn = fn_;
    if (fn) fn();
  }

  void stopTimer() {
    if (timer_) {
      timer_->stop();
      timer_->deleteLater();
      timer_ = nullptr;
    }
  }

  QPointer<QObject> context_;
  const bool repeats_;
  std::function<void()> fn_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
  QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue() {
  auto* app = QCoreApplication::instance();
  if (!app) throw std::logic_error("QtMainQueue needs a QCoreApplication");
  thread_ = app->thread();
  auto* context = new QObject;
  context->moveToThread(thread_);
  context_ = context;
}

std::shared_ptr<QtMainQueue> QtMainQueue::make() { return std::shared_ptr<QtMainQueue>(new QtMainQueue); }

std::shared_ptr<QtMainQueue> QtMainQueue::install() {
  auto queue = make();
  MainQueue::install(queue);
  return queue;
}

QtMainQueue::~QtMainQueue() {
  if (!context_) return;
  if (isCurrent()) {
    delete context_.data();
  } else {
    context_->deleteLater();
  }
}

void QtMainQueue::post(std::function<void()> fn) {
  if (!context_) return;
  QMetaObject::invokeMethod(context_, std::move(fn), Qt::QueuedConnection);
}

std::shared_ptr<TimerHandle> QtMainQueue::postAfter(Seconds delay, std::function<void()> fn) {
  return scheduleTimer(delay, false, std::move(fn));
}

std::shared_ptr<TimerHandle> QtMainQueue::scheduleTimer(Seconds interval, bool repeats,
                                                        std::function<void()> fn) {
  auto handle = std::make_shared<QtTimerHandle>(context_, repeats, std::move(fn));
  if (isCurrent()) {
    handle->start(interval);
  } else if (context_) {
    QMetaObject::invokeMethod(
        context_, [handle, interval] { handle->start(interval); }, Qt::QueuedConnection);
  }
  return handle;
}

bool QtMainQueue::isCurrent() const { return QThread::currentThread() == thread_; }

}  // namespace platform
