#pragma once

#include <mutex>
#include <optional>

namespace platform {

// The application's activity as the platform names it, posted on the default notification centre.
inline constexpr const char* kApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
inline constexpr const char* kApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";

// Turns the desktop's application state into the two activity notifications: becoming active posts
// "will become active", leaving the active state posts "did resign active"; a state reported again
// posts nothing. The desktop layer feeds it from Qt's application state.
class ApplicationActivity {
 public:
  static ApplicationActivity& shared();
  void applicationStateDidChange(bool active);

 private:
  std::mutex mutex_;
  std::optional<bool> active_;
};

}  // namespace platform
