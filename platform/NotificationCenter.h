#pragma once

#include <any>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/Connection.h"

namespace platform {

// One posted notification. `sender` identifies who posted it (observers may listen to one sender
// only); `object` carries a value for observers, typically the sender itself as a shared_ptr, read
// back with objectAs<T>() using the same T the poster stored.
struct Notification {
  std::string name;
  const void* sender = nullptr;
  std::any object;
  nlohmann::json userInfo;  // null when there is none

  template <typename T>
  std::shared_ptr<T> objectAs() const {
    if (auto* pointer = std::any_cast<std::shared_ptr<T>>(&object)) return *pointer;
    return nullptr;
  }
};

// Observers hold one of these: destroying it removes the observer.
using ObserverToken = Connection;

// Named notifications, delivered synchronously on the posting thread to the observers registered at
// the time of posting, in the order they were added. Observers may be added and removed from any
// thread, also from inside an observer; one removed while a post is under way is not called after
// its removal (see Connection for what removal waits for). No observer is called under a lock.
class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The application's centre, and the one for system events (sleep, wake).
  static NotificationCenter& defaultCenter();
  static NotificationCenter& workspaceCenter();

  // Calls `block` for notifications named `name` (every name when empty) posted by `sender` (any
  // sender when null), until the token is destroyed.
  [[nodiscard]] ObserverToken addObserverForName(std::string_view name, const void* sender, Block block);

  void postNotification(const Notification& notification);
  void postNotificationName(std::string_view name, const void* sender = nullptr, std::any object = {},
                            nlohmann::json userInfo = nullptr);

  std::size_t observerCount() const;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace platform
