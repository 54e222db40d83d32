#include "platform/NotificationCenter.h"

#include <mutex>
#include <vector>

namespace platform {

namespace {

struct Observer : detail::SlotState {
  std::string name;
  const void* sender = nullptr;
  NotificationCenter::Block block;

  bool matches(const Notification& notification) const {
    return (name.empty() || name == notification.name) && (!sender || sender == notification.sender);
  }
};

}  // namespace

struct NotificationCenter::Core : detail::SlotOwner {
  void removeSlot(const detail::SlotState* slot) override {
    std::shared_ptr<Observer> removed;  // released after the lock
    std::lock_guard lock(mutex);
    for (auto it = observers.begin(); it != observers.end(); ++it) {
      if (it->get() == slot) {
        removed = std::move(*it);
        observers.erase(it);
        break;
      }
    }
  }

  mutable std::mutex mutex;
  std::vector<std::shared_ptr<Observer>> observers;
};

NotificationCenter::NotificationCenter() : core_(std::make_shared<Core>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: objects torn down at exit may still remove their observers or post.
  static auto* center = new NotificationCenter();
  return *center;
}

NotificationCenter& NotificationCenter::workspaceCenter() {
  static auto* center = new NotificationCenter();
  return *center;
}

ObserverToken NotificationCenter::addObserverForName(std::string_view name, const void* sender, Block block) {
  auto observer = std::make_shared<Observer>();
  observer->name = std::string(name);
  observer->sender = sender;
  observer->block = std::move(block);
  {
    std::lock_guard lock(core_->mutex);
    core_->observers.push_back(observer);
  }
  return ObserverToken(observer, std::weak_ptr<detail::SlotOwner>(core_));
}

void NotificationCenter::postNotification(const Notification& notification) {
  // An observer may destroy this centre: hold on to the list, not to `this`.
  auto core = core_;
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard lock(core->mutex);
    for (const auto& observer : core->observers) {
      if (observer->matches(notification)) matching.push_back(observer);
    }
  }
  for (const auto& observer : matching) {
    detail::callSlot(*observer, [&] {
      if (observer->block) observer->block(notification);
    });
  }
}

void NotificationCenter::postNotificationName(std::string_view name, const void* sender, std::any object,
                                              nlohmann::json userInfo) {
  postNotification(Notification{std::string(name), sender, std::move(object), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->observers.size();
}

}  // namespace platform
