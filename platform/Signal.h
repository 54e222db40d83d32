#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Connection.h"

namespace platform {

// A list of callbacks to tell about a change: a property, a setting by key. connect() answers a
// token that keeps the slot connected while it lives (see Connection). emit() calls the slots
// connected at that moment, in the order they were connected, synchronously on the emitting
// thread and never under a lock, so slots may connect, disconnect and emit again. A slot
// disconnected while an emit is under way is not called after its disconnection.
template <typename... Args>
class Signal {
 public:
  using Slot = std::function<void(Args...)>;

  Signal() : core_(std::make_shared<Core>()) {}
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  [[nodiscard]] Connection connect(Slot slot) {
    auto entry = std::make_shared<Entry>();
    entry->slot = std::move(slot);
    {
      std::lock_guard lock(core_->mutex);
      core_->entries.push_back(entry);
    }
    return Connection(entry, std::weak_ptr<detail::SlotOwner>(core_));
  }

  void emit(Args... args) const {
    // The emitting object may go away inside a slot: hold on to the list, not to `this`.
    auto core = core_;
    std::vector<std::shared_ptr<Entry>> snapshot;
    {
      std::lock_guard lock(core->mutex);
      snapshot = core->entries;
    }
    for (const auto& entry : snapshot) {
      detail::callSlot(*entry, [&] {
        if (entry->slot) entry->slot(args...);
      });
    }
  }
  void operator()(Args... args) const { emit(args...); }

  std::size_t slotCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->entries.size();
  }

 private:
  struct Entry : detail::SlotState {
    Slot slot;
  };

  struct Core : detail::SlotOwner {
    void removeSlot(const detail::SlotState* slot) override {
      std::shared_ptr<Entry> removed;  // released after the lock
      std::lock_guard lock(mutex);
      for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->get() == slot) {
          removed = std::move(*it);
          entries.erase(it);
          break;
        }
      }
    }

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;
  };

  std::shared_ptr<Core> core_;
};

}  // namespace platform
