#pragma once

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace detail {

// The bookkeeping of one connected callback (a signal's slot, a notification observer): whether it
// is still connected, and which threads are inside it right now.
class SlotState {
 public:
  virtual ~SlotState() = default;

  // Called before the callback runs: false when it is disconnected and must not run.
  bool enter() {
    std::lock_guard lock(mutex_);
    if (!connected_) return false;
    active_.push_back(std::this_thread::get_id());
    return true;
  }

  void leave() {
    std::lock_guard lock(mutex_);
    auto it = std::find(active_.begin(), active_.end(), std::this_thread::get_id());
    if (it != active_.end()) active_.erase(it);
    left_.notify_all();
  }

  // No call starts after this returns, and calls running on other threads have returned. Calls on
  // this thread (disconnecting from inside the callback) go on to their end.
  void disconnect() {
    std::unique_lock lock(mutex_);
    connected_ = false;
    auto self = std::this_thread::get_id();
    left_.wait(lock, [&] {
      return std::all_of(active_.begin(), active_.end(), [&](auto id) { return id == self; });
    });
  }

  bool isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable left_;
  bool connected_ = true;
  std::vector<std::thread::id> active_;
};

// Runs `fn` when the slot is still connected, keeping the slot marked busy meanwhile.
template <typename F>
void callSlot(SlotState& slot, F&& fn) {
  if (!slot.enter()) return;
  struct Leave {
    SlotState& slot;
    ~Leave() { slot.leave(); }
  } leave{slot};
  fn();
}

// What holds the connected callbacks (a signal, a notification centre): forgets one.
class SlotOwner {
 public:
  virtual ~SlotOwner() = default;
  virtual void removeSlot(const SlotState* slot) = 0;
};

}  // namespace detail

// Keeps a callback connected for as long as it lives: destroying or resetting the token
// disconnects it. Once disconnect() returns the callback does not start again and no call of it is
// running on another thread, so a callback may use the object that owns its token. Called from
// inside the callback, it returns at once and the current call goes on to its end. A callback must
// therefore not block on the thread that disconnects it. Tokens may outlive what they connect to.
class Connection {
 public:
  Connection() = default;
  Connection(std::shared_ptr<detail::SlotState> slot, std::weak_ptr<detail::SlotOwner> owner)
      : slot_(std::move(slot)), owner_(std::move(owner)) {}
  Connection(Connection&& other) noexcept = default;
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      disconnect();
      slot_ = std::move(other.slot_);
      owner_ = std::move(other.owner_);
    }
    return *this;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { disconnect(); }

  void disconnect() {
    auto slot = std::move(slot_);
    if (!slot) return;
    slot->disconnect();
    if (auto owner = owner_.lock()) owner->removeSlot(slot.get());
    owner_.reset();
  }

  bool isConnected() const { return slot_ && !owner_.expired() && slot_->isConnected(); }
  explicit operator bool() const { return isConnected(); }

 private:
  std::shared_ptr<detail::SlotState> slot_;
  std::weak_ptr<detail::SlotOwner> owner_;
};

}  // namespace platform
