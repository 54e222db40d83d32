#include "platform/ApplicationActivity.h"

#include "platform/NotificationCenter.h"

namespace platform {

ApplicationActivity& ApplicationActivity::shared() {
  static ApplicationActivity activity;
  return activity;
}

void ApplicationActivity::applicationStateDidChange(bool active) {
  {
    std::lock_guard lock(mutex_);
    bool wasActive = active_.value_or(false);
    bool known = active_.has_value();
    active_ = active;
    if (known && wasActive == active) return;
    if (!known && !active) return;  // never active yet: nothing was resigned
  }
  NotificationCenter::defaultCenter().postNotificationName(active ? kApplicationWillBecomeActiveNotification
                                                                  : kApplicationDidResignActiveNotification);
}

}  // namespace platform
