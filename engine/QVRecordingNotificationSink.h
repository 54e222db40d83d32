#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "engine/QVNotificationSink.h"

// A notification sink that keeps everything it is asked to do, for tests. Safe from any thread.
class QVRecordingNotificationSink : public QVNotificationSink {
 public:
  struct Sound {
    std::string path;
    std::size_t size = 0;
  };

  void deliverNotification(const QVUserNotification& notification) override;
  void playSound(const platform::Data& sound, const std::string& path) override;
  void requestUserAttention() override;
  void openURL(const std::string& url) override;

  std::vector<QVUserNotification> notifications() const;
  std::vector<Sound> sounds() const;
  std::size_t attentionRequests() const;
  std::vector<std::string> openedURLs() const;

 private:
  mutable std::mutex mutex_;
  std::vector<QVUserNotification> notifications_;
  std::vector<Sound> sounds_;
  std::size_t attentionRequests_ = 0;
  std::vector<std::string> openedURLs_;
};
