#include "platform/AsioMainQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace platform {

namespace {

// One timer on the io_context. The cancelled flag is checked on the main thread before each firing,
// so a cancel made on the main thread wins over any firing still queued.
class AsioTimer : public TimerHandle, public std::enable_shared_from_this<AsioTimer> {
 public:
  AsioTimer(asio::io_context& context, Seconds interval, bool repeats, std::function<void()> fn)
      : context_(context),
        timer_(context),
        interval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval)),
        repeats_(repeats),
        fn_(std::move(fn)) {}

  void start() {
    next_ = std::chrono::steady_clock::now() + interval_;
    arm();
  }

  void cancel() override {
    if (cancelled_.exchange(true)) return;
    // The Asio timer may only be touched on the context's thread.
    asio::post(context_, [self = shared_from_this()] {
      self->timer_.cancel();
      self->fn_ = nullptr;
    });
  }

  bool isValid() const override { return !cancelled_.load(); }

 private:
  void arm() {
    timer_.expires_at(next_);
    timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (ec || self->cancelled_.load()) return;
      if (!self->repeats_) self->cancelled_.store(true);
      auto fn = self->fn_;  // the callback may cancel this timer
      if (fn) fn();
      if (self->repeats_ && !self->cancelled_.load()) {
        // Keep the cadence; after a long stall start again from now rather than firing a burst.
        self->next_ += self->interval_;
        auto now = std::chrono::steady_clock::now();
        if (self->next_ < now) self->next_ = now + self->interval_;
        self->arm();
      } else if (!self->repeats_) {
        self->fn_ = nullptr;
      }
    });
  }

  asio::io_context& context_;
  asio::steady_timer timer_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point next_{};
  bool repeats_;
  std::function<void()> fn_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

// Marks the calling thread as the one running the queue for the duration of a run call.
class AsioMainQueue::RunningScope {
 public:
  explicit RunningScope(AsioMainQueue& queue) : queue_(queue) {
    previous_ = queue_.runner_.exchange(std::this_thread::get_id());
  }
  ~RunningScope() { queue_.runner_.store(previous_); }

 private:
  AsioMainQueue& queue_;
  std::thread::id previous_;
};

AsioMainQueue::AsioMainQueue() : work_(asio::make_work_guard(context_)) {}

AsioMainQueue::~AsioMainQueue() {
  work_.reset();
  context_.stop();
}

std::shared_ptr<AsioMainQueue> AsioMainQueue::make() {
  return std::shared_ptr<AsioMainQueue>(new AsioMainQueue());
}

void AsioMainQueue::post(std::function<void()> fn) { asio::post(context_, std::move(fn)); }

std::shared_ptr<TimerHandle> AsioMainQueue::postAfter(Seconds delay, std::function<void()> fn) {
  return scheduleTimer(delay, false, std::move(fn));
}

std::shared_ptr<TimerHandle> AsioMainQueue::scheduleTimer(Seconds interval, bool repeats,
                                                          std::function<void()> fn) {
  if (interval < Seconds(0)) interval = Seconds(0);
  auto timer = std::make_shared<AsioTimer>(context_, interval, repeats, std::move(fn));
  // Arming touches the Asio timer, which belongs to the queue's thread.
  if (isCurrent()) {
    timer->start();
  } else {
    asio::post(context_, [timer] { timer->start(); });
  }
  return timer;
}

bool AsioMainQueue::isCurrent() const { return runner_.load() == std::this_thread::get_id(); }

void AsioMainQueue::run() {
  RunningScope scope(*this);
  if (context_.stopped()) context_.restart();
  context_.run();
}

bool AsioMainQueue::runUntil(const std::function<bool()>& predicate, Seconds timeout) {
  RunningScope scope(*this);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  if (context_.stopped()) context_.restart();
  while (!predicate()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return predicate();
    // Wake at least every 10 ms so that predicates over other threads' state are seen promptly.
    auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10));
    context_.run_one_for(slice);
    if (context_.stopped()) context_.restart();
  }
  return true;
}

void AsioMainQueue::runFor(Seconds duration) {
  runUntil([] { return false; }, duration);
}

void AsioMainQueue::stop() { context_.stop(); }

}  // namespace platform
