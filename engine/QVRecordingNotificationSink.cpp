#include "engine/QVRecordingNotificationSink.h"

void QVRecordingNotificationSink::deliverNotification(const QVUserNotification& notification) {
  std::lock_guard lock(mutex_);
  notifications_.push_back(notification);
}

void QVRecordingNotificationSink::playSound(const platform::Data& sound, const std::string& path) {
  std::lock_guard lock(mutex_);
  sounds_.push_back({path, sound.size()});
}

void QVRecordingNotificationSink::requestUserAttention() {
  std::lock_guard lock(mutex_);
  ++attentionRequests_;
}

void QVRecordingNotificationSink::openURL(const std::string& url) {
  std::lock_guard lock(mutex_);
  openedURLs_.push_back(url);
}

std::vector<QVUserNotification> QVRecordingNotificationSink::notifications() const {
  std::lock_guard lock(mutex_);
  return notifications_;
}

std::vector<QVRecordingNotificationSink::Sound> QVRecordingNotificationSink::sounds() const {
  std::lock_guard lock(mutex_);
  return sounds_;
}

std::size_t QVRecordingNotificationSink::attentionRequests() const {
  std::lock_guard lock(mutex_);
  return attentionRequests_;
}

std::vector<std::string> QVRecordingNotificationSink::openedURLs() const {
  std::lock_guard lock(mutex_);
  return openedURLs_;
}
