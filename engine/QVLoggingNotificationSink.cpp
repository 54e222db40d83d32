#include "engine/QVLoggingNotificationSink.h"

#include "platform/Json.h"
#include "platform/Log.h"

void QVLoggingNotificationSink::deliverNotification(const QVUserNotification& notification) {
  platform::log(
      "Notification: title={} text={} userInfo={} actionButtonTitle={} sound={}",
      platform::json::dump(notification.title), platform::json::dump(notification.informativeText),
      platform::json::dump(notification.userInfo),
      notification.actionButtonTitle ? platform::json::dump(*notification.actionButtonTitle) : "(none)",
      notification.soundPath ? platform::json::dump(*notification.soundPath) : "(none)");
}

void QVLoggingNotificationSink::playSound(const platform::Data& sound, const std::string& path) {
  platform::log("Notification sound: {} ({} bytes)", path, sound.size());
}

void QVLoggingNotificationSink::requestUserAttention() { platform::log("Notification asks for attention"); }

void QVLoggingNotificationSink::openURL(const std::string& url) {
  platform::log("Notification link: {}", platform::json::dump(url));
}
