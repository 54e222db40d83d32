#include "platform/DispatchQueue.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Log.h"

namespace platform {

using Clock = std::chrono::steady_clock;

namespace {

void runGuarded(const std::function<void()>& fn, const std::string& label) {
  try {
    fn();
  } catch (const std::exception& error) {
    platform::log("Task on queue {} threw: {}", label, error.what());
  } catch (...) {
    platform::log("Task on queue {} threw an unknown exception", label);
  }
}

}  // namespace

struct DispatchQueue::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string label, std::size_t width) : label(std::move(label)), width(width == 0 ? 1 : width) {}

  ~Impl() {
    // Only reached once every worker has left; a worker that dropped the last reference itself
    // cannot join its own thread, so it is detached.
    for (auto& thread : exited) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else if (thread.joinable()) {
        thread.join();
      }
    }
  }

  // Queues a task; false when the queue is closing and takes no more work.
  bool enqueue(std::function<void()> task) {
    std::vector<std::thread> finished;
    {
      std::lock_guard lock(mutex);
      if (closing) return false;
      tasks.push_back(std::move(task));
      if (tasks.size() > idle && workers.size() < width) {
        spawnLocked();
      } else if (idle > 0) {
        workAvailable.notify_one();
      }
      finished.swap(exited);
    }
    for (auto& thread : finished) thread.join();
    return true;
  }

  void spawnLocked() {
    try {
      std::thread thread([self = shared_from_this()] { self->workerLoop(); });
      auto id = thread.get_id();
      workers.emplace(id, std::move(thread));
    } catch (const std::system_error& error) {
      // Out of threads: the task stays queued for the workers there are, or the next async.
      platform::log("Queue {} could not start a worker: {}", label, error.what());
    }
  }

  void workerLoop();

  const std::string label;
  const std::size_t width;
  mutable std::mutex mutex;
  std::condition_variable workAvailable;
  std::condition_variable workersGone;
  std::deque<std::function<void()>> tasks;
  std::unordered_map<std::thread::id, std::thread> workers;
  // Workers that have left, waiting for someone to join them.
  std::vector<std::thread> exited;
  std::size_t idle = 0;
  Clock::duration idleTimeout = std::chrono::seconds(5);
  // The queue's last handle is gone: no new work, workers leave once the queue is empty.
  bool closing = false;
};

namespace {
thread_local const DispatchQueue::Impl* tCurrentQueue = nullptr;
}

void DispatchQueue::Impl::workerLoop() {
  tCurrentQueue = this;
  std::string name = label.substr(0, 15);  // the kernel keeps 15 characters
  pthread_setname_np(pthread_self(), name.c_str());

  std::unique_lock lock(mutex);
  for (;;) {
    if (!tasks.empty()) {
      {
        auto task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        runGuarded(task, label);
        // The task and what it captured are released here, outside the lock.
      }
      lock.lock();
      continue;
    }
    if (closing) break;
    ++idle;
    bool woken = workAvailable.wait_for(lock, idleTimeout, [this] { return !tasks.empty() || closing; });
    --idle;
    if (!woken) break;
  }
  auto node = workers.extract(std::this_thread::get_id());
  if (!node.empty()) exited.push_back(std::move(node.mapped()));
  if (workers.empty()) workersGone.notify_all();
  tCurrentQueue = nullptr;
}

namespace {

// The one timer thread of all queues: holds calls scheduled with after() until their time and
// then hands them to their queue. It runs for the life of the process.
class Scheduler {
 public:
  static Scheduler& shared() {
    // Never destroyed: queues and timers may still cancel entries while statics are torn down.
    static Scheduler* scheduler = new Scheduler();
    return *scheduler;
  }

  std::uint64_t schedule(Clock::time_point when, std::weak_ptr<DispatchQueue::Impl> queue,
                         std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    std::uint64_t id = ++lastId_;
    auto position = byTime_.emplace(when, id);
    const void* owner = queue.lock().get();
    entries_.emplace(id, Entry{std::move(queue), owner, std::move(fn), position});
    if (position == byTime_.begin()) changed_.notify_one();
    return id;
  }

  // Drops every call still waiting for a queue that is going away, with what the calls hold.
  void cancelAll(const DispatchQueue::Impl* queue) {
    std::vector<std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->second.owner == queue) {
        dropped.push_back(std::move(it->second.fn));
        byTime_.erase(it->second.position);
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void cancel(std::uint64_t id) {
    std::function<void()> dropped;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(id);
      if (it == entries_.end()) return;
      dropped = std::move(it->second.fn);
      byTime_.erase(it->second.position);
      entries_.erase(it);
    }
  }

 private:
  struct Entry {
    std::weak_ptr<DispatchQueue::Impl> queue;
    const void* owner;
    std::function<void()> fn;
    std::multimap<Clock::time_point, std::uint64_t>::iterator position;
  };

  Scheduler() = default;

  void run() {
    pthread_setname_np(pthread_self(), "qv-dispatch-tmr");
    std::unique_lock lock(mutex_);
    for (;;) {
      if (byTime_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto now = Clock::now();
      // A copy: the entry may be cancelled while we wait.
      Clock::time_point first = byTime_.begin()->first;
      if (first > now) {
        changed_.wait_until(lock, first);
        continue;
      }
      std::vector<Entry> due;
      while (!byTime_.empty() && byTime_.begin()->first <= now) {
        auto it = entries_.find(byTime_.begin()->second);
        due.push_back(std::move(it->second));
        entries_.erase(it);
        byTime_.erase(byTime_.begin());
      }
      lock.unlock();
      for (auto& entry : due) {
        if (auto queue = entry.queue.lock()) queue->enqueue(std::move(entry.fn));
      }
      due.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<Clock::time_point, std::uint64_t> byTime_;
  std::unordered_map<std::uint64_t, Entry> entries_;
  std::uint64_t lastId_ = 0;
  std::thread thread_;
};

// The handle of one call scheduled with after(): pending until it starts or is cancelled.
class AfterHandle : public TimerHandle {
 public:
  enum : int { kPending, kStarted, kCancelled };

  AfterHandle() : state_(std::make_shared<std::atomic<int>>(kPending)) {}

  void cancel() override {
    int expected = kPending;
    if (state_->compare_exchange_strong(expected, kCancelled) && id_ != 0) {
      Scheduler::shared().cancel(id_);
    }
  }
  bool isValid() const override { return state_->load() == kPending; }

  std::shared_ptr<std::atomic<int>> state() const { return state_; }
  void setId(std::uint64_t id) { id_ = id; }

 private:
  std::shared_ptr<std::atomic<int>> state_;
  std::uint64_t id_ = 0;
};

}  // namespace

DispatchQueue::DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::make_shared<Impl>(std::move(label), 1)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(std::string label, std::size_t maxThreads) {
  return std::shared_ptr<DispatchQueue>(
      new DispatchQueue(std::make_shared<Impl>(std::move(label), maxThreads)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
  // Never destroyed, so that work queued while statics are torn down still has a queue.
  static auto* queue = new std::shared_ptr<DispatchQueue>(concurrent("com.quorvane.global"));
  return *queue;
}

DispatchQueue::~DispatchQueue() {
  Scheduler::shared().cancelAll(impl_.get());
  std::vector<std::thread> finished;
  {
    std::unique_lock lock(impl_->mutex);
    impl_->closing = true;
    impl_->workAvailable.notify_all();
    if (isCurrent()) return;  // our own worker: the others drain and leave without being joined
    impl_->workersGone.wait(lock, [this] { return impl_->workers.empty(); });
    finished.swap(impl_->exited);
  }
  for (auto& thread : finished) thread.join();
}

const std::string& DispatchQueue::label() const { return impl_->label; }

bool DispatchQueue::isSerial() const { return impl_->width == 1; }

std::size_t DispatchQueue::maxThreads() const { return impl_->width; }

void DispatchQueue::async(std::function<void()> fn) {
  if (fn) impl_->enqueue(std::move(fn));
}

void DispatchQueue::syncCall(const std::function<void()>& fn) {
  if (isCurrent()) {
    fn();
    return;
  }
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::exception_ptr error;
  impl_->enqueue([&] {
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_one();
  });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return finished; });
  if (error) std::rethrow_exception(error);
}

std::shared_ptr<TimerHandle> DispatchQueue::after(Seconds delay, std::function<void()> fn) {
  auto handle = std::make_shared<AfterHandle>();
  if (!fn) {
    handle->cancel();
    return handle;
  }
  auto state = handle->state();
  auto id =
      Scheduler::shared().schedule(Clock::now() + steadyDuration(delay), impl_, [state, fn = std::move(fn)] {
        int expected = AfterHandle::kPending;
        if (state->compare_exchange_strong(expected, AfterHandle::kStarted)) {
          fn();
        }
      });
  handle->setId(id);  // no other thread has the handle yet
  return handle;
}

bool DispatchQueue::isCurrent() const { return tCurrentQueue == impl_.get(); }

void DispatchQueue::setIdleTimeout(Seconds timeout) {
  std::lock_guard lock(impl_->mutex);
  impl_->idleTimeout = steadyDuration(timeout);
}

std::size_t DispatchQueue::threadCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->workers.size();
}

}  // namespace platform
