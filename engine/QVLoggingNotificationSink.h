#pragma once

#include "engine/QVNotificationSink.h"

// A notification sink that only writes what it is asked to do to the diagnostic log: for headless
// runs and for the time before the desktop's sink is installed.
class QVLoggingNotificationSink : public QVNotificationSink {
 public:
  void deliverNotification(const QVUserNotification& notification) override;
  void playSound(const platform::Data& sound, const std::string& path) override;
  void requestUserAttention() override;
  void openURL(const std::string& url) override;
};
