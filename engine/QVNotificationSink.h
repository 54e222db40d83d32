#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Data.h"

// One user notification as the notification centre builds it for the desktop.
struct QVUserNotification {
  // The module's display name.
  std::string title;
  // The module's message.
  std::string informativeText;
  // {"url": "..."} when the notification opens a link on a click, else null.
  nlohmann::json userInfo;
  // The action button's title; none means no action button.
  std::optional<std::string> actionButtonTitle;
  // The sound file that goes with the notification, when the module asked for one: the sink makes it
  // heard once, as the notification's own sound or by playing it itself.
  std::optional<std::string> soundPath;
};

// Where the notification centre's actions go: the desktop (with the application shell), the log, or a
// recording for tests. Called on the module runs' output threads, from several runs at once.
class QVNotificationSink {
 public:
  virtual ~QVNotificationSink() = default;
  // Shows the notification, with its sound when it has one.
  virtual void deliverNotification(const QVUserNotification& notification) = 0;
  // Plays the sound whose file (read whole) is `sound` by itself, for a notification that is not
  // shown; `path` is where it was read from.
  virtual void playSound(const platform::Data& sound, const std::string& path) = 0;
  // Asks for the user's attention (informational, not critical).
  virtual void requestUserAttention() = 0;
  // Opens the link of a clicked notification.
  virtual void openURL(const std::string& url) = 0;
};
