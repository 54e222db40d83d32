#include "TelemetryCrashes/Internals/TLMemoryPressureSource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "platform/MainQueue.h"

TLMemoryPressureSource::TLMemoryPressureSource(std::function<void()> handler)
    : shared_(std::make_shared<Shared>()) {
  shared_->handler = std::move(handler);
}

TLMemoryPressureSource::~TLMemoryPressureSource() { cancel(); }

void TLMemoryPressureSource::resume() {
  if (watcher_.joinable() || shared_->cancelled.load()) return;
  const int fd = ::open("/proc/pressure/memory", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  static const char kTrigger[] = "some 150000 1000000";
  if (::write(fd, kTrigger, std::strlen(kTrigger) + 1) < 0) {
    ::close(fd);
    return;
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    ::close(fd);
    return;
  }
  triggerFd_ = fd;
  wakeFd_ = wake;
  watcher_ = std::thread([this, shared = shared_, fd, wake] {
    pollfd fds[2] = {{fd, POLLPRI, 0}, {wake, POLLIN, 0}};
    while (!shared->cancelled.load()) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLNVAL)) != 0) break;
      if ((fds[0].revents & POLLPRI) != 0) deliver();
    }
  });
}

void TLMemoryPressureSource::deliver() {
  auto shared = shared_;
  auto post = [shared] {
    if (!shared->cancelled.load() && shared->handler) shared->handler();
  };
  if (auto queue = platform::MainQueue::shared()) {
    queue->post(post);
  } else {
    post();
  }
}

void TLMemoryPressureSource::injectEvent() { deliver(); }

void TLMemoryPressureSource::cancel() {
  shared_->cancelled.store(true);
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
  if (watcher_.joinable()) watcher_.join();
  if (triggerFd_ >= 0) ::close(triggerFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  triggerFd_ = wakeFd_ = -1;
}
