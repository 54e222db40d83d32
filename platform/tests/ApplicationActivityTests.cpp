#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ApplicationActivity.h"
#include "platform/NotificationCenter.h"

namespace {

TEST(ApplicationActivityTest, StateChangesBecomeActivityNotifications) {
  std::vector<std::string> posted;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto resign = center.addObserverForName(platform::kApplicationDidResignActiveNotification, nullptr,
                                          [&](const platform::Notification& n) { posted.push_back(n.name); });
  auto become = center.addObserverForName(platform::kApplicationWillBecomeActiveNotification, nullptr,
                                          [&](const platform::Notification& n) { posted.push_back(n.name); });
  platform::ApplicationActivity activity;
  // Inactive before ever being active resigns nothing; repeats post nothing.
  for (bool active : {false, true, true, false, false, true}) activity.applicationStateDidChange(active);
  EXPECT_EQ(posted, (std::vector<std::string>{"NSApplicationWillBecomeActiveNotification",
                                              "NSApplicationDidResignActiveNotification",
                                              "NSApplicationWillBecomeActiveNotification"}));
}

}  // namespace
