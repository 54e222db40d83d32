#include "platform/DispatchTimer.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Log.h"

namespace platform {

using Clock = std::chrono::steady_clock;

// What the scheduled firings refer to (weakly): it outlives the timer object only while a handler
// is still running.
struct DispatchTimer::State : std::enable_shared_from_this<State> {
  // Plans the firing of the current generation at `when`. Called with the mutex held.
  std::shared_ptr<TimerHandle> scheduleLocked(Clock::time_point when) {
    auto target = queue.lock();
    if (!target) return nullptr;
    std::weak_ptr<State> weak = weak_from_this();
    auto current = generation;
    return target->after(Seconds(when - Clock::now()), [weak, current] {
      if (auto state = weak.lock()) state->fire(current);
    });
  }

  void start(Seconds delay, Seconds every) {
    std::shared_ptr<TimerHandle> replaced;
    {
      std::lock_guard lock(mutex);
      if (cancelled) return;
      ++generation;
      interval = every > Seconds(0) ? steadyDuration(every) : Clock::duration::zero();
      deadline = Clock::now() + steadyDuration(delay);
      firePending = false;
      replaced = std::exchange(next, scheduleLocked(deadline));
    }
    if (replaced) replaced->cancel();
  }

  void fire(std::uint64_t firing) {
    {
      std::lock_guard lock(mutex);
      if (cancelled || firing != generation) return;
      if (running) {
        // Restarted while the handler runs on another worker: fire once it has returned.
        firePending = true;
        return;
      }
      running = true;
      runner = std::this_thread::get_id();
    }
    try {
      handler();
    } catch (const std::exception& error) {
      platform::log("Timer handler on queue {} threw: {}", label, error.what());
    } catch (...) {
      platform::log("Timer handler on queue {} threw an unknown exception", label);
    }
    std::function<void()> released;
    {
      std::lock_guard lock(mutex);
      running = false;
      runner = std::thread::id();
      bool pendingNow = std::exchange(firePending, false);
      if (cancelled) {
        released = std::move(handler);  // cancelled from inside the handler
      } else if (pendingNow) {
        next = scheduleLocked(Clock::now());
      } else if (firing == generation && interval > Clock::duration::zero()) {
        deadline += interval;
        auto now = Clock::now();
        if (deadline < now) deadline = now;
        next = scheduleLocked(deadline);
      }
      idle.notify_all();
    }
  }

  void cancel() {
    std::shared_ptr<TimerHandle> pending;
    std::function<void()> released;
    {
      std::unique_lock lock(mutex);
      if (!cancelled) {
        cancelled = true;
        ++generation;
        pending = std::move(next);
      }
      if (running && runner != std::this_thread::get_id()) {
        idle.wait(lock, [this] { return !running; });
      }
      if (!running) released = std::move(handler);
    }
    if (pending) pending->cancel();
    // The handler and what it captured are released here, outside the lock.
  }

  std::mutex mutex;
  std::condition_variable idle;
  std::function<void()> handler;
  std::weak_ptr<DispatchQueue> queue;
  std::string label;
  Clock::duration interval{};
  Clock::time_point deadline{};
  // Bumped by every start and by cancel, so that firings planned before are ignored.
  std::uint64_t generation = 0;
  bool cancelled = false;
  bool running = false;
  bool firePending = false;
  std::thread::id runner;
  std::shared_ptr<TimerHandle> next;
};

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue, std::shared_ptr<State> state)
    : queue_(std::move(queue)), state_(std::move(state)) {}

std::shared_ptr<DispatchTimer> DispatchTimer::make(std::shared_ptr<DispatchQueue> queue,
                                                   std::function<void()> handler) {
  if (!queue) queue = DispatchQueue::global();
  auto state = std::make_shared<State>();
  state->handler = handler ? std::move(handler) : [] {};
  state->queue = queue;
  state->label = queue->label();
  return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue), std::move(state)));
}

DispatchTimer::~DispatchTimer() { state_->cancel(); }

void DispatchTimer::start(Seconds interval, Seconds /*leeway*/) { state_->start(interval, interval); }

void DispatchTimer::startAfter(Seconds delay, Seconds interval, Seconds /*leeway*/) {
  state_->start(delay, interval);
}

void DispatchTimer::cancel() { state_->cancel(); }

bool DispatchTimer::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

}  // namespace platform
