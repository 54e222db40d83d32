#include "platform/MainQueue.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace platform {

namespace {
std::mutex gMainMutex;
std::shared_ptr<MainQueue> gMain;
}  // namespace

void MainQueue::install(std::shared_ptr<MainQueue> queue) {
  std::lock_guard lock(gMainMutex);
  gMain = std::move(queue);
}

std::shared_ptr<MainQueue> MainQueue::shared() {
  std::lock_guard lock(gMainMutex);
  return gMain;
}

bool MainQueue::isMainThread() {
  auto queue = shared();
  return queue && queue->isCurrent();
}

void MainQueue::sync(const std::function<void()>& fn) {
  if (isCurrent()) {
    fn();
    return;
  }
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  post([&] {
    fn();
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_one();
  });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return finished; });
}

void postToMain(std::function<void()> fn) {
  auto queue = MainQueue::shared();
  if (!queue) throw std::logic_error("no main queue is installed");
  queue->post(std::move(fn));
}

std::shared_ptr<TimerHandle> postToMainAfter(Seconds delay, std::function<void()> fn) {
  auto queue = MainQueue::shared();
  if (!queue) throw std::logic_error("no main queue is installed");
  return queue->postAfter(delay, std::move(fn));
}

}  // namespace platform
