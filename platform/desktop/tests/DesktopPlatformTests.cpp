#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/desktop/DesktopPlatform.h"
#include "platform/desktop/QtText.h"

namespace {

struct PlatformCase {
  std::optional<std::string> before;
  std::string expected;
};

TEST(DesktopPlatform, ChoosesX11UnlessTheUserChoseAnotherPlatform) {
  const PlatformCase cases[] = {
      {std::nullopt, "xcb"}, {"", "xcb"}, {"wayland", "wayland"}, {"offscreen", "offscreen"}, {"xcb", "xcb"}};
  const char* saved = std::getenv("QT_QPA_PLATFORM");
  std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
  for (const auto& c : cases) {
    if (c.before) {
      ::setenv("QT_QPA_PLATFORM", c.before->c_str(), 1);
    } else {
      ::unsetenv("QT_QPA_PLATFORM");
    }
    EXPECT_EQ(platform::prepareDesktopPlatform(), c.expected) << c.before.value_or("(unset)");
    EXPECT_EQ(std::getenv("QT_QPA_PLATFORM"), c.expected);
  }
  if (restore) {
    ::setenv("QT_QPA_PLATFORM", restore->c_str(), 1);
  } else {
    ::unsetenv("QT_QPA_PLATFORM");
  }
}

TEST(QtText, CrossesTheBoundaryAsUtf8BothWays) {
  const std::string texts[] = {"",      "plain", "Grüße", "🌤️ 12 °C", std::string("nul\0inside", 10),
                               "日本語"};
  for (const auto& text : texts) {
    QString converted = platform::toQString(text);
    EXPECT_EQ(platform::toStdString(converted), text);
  }
  EXPECT_EQ(platform::toQString("🌤").size(), 2);  // one code point, two UTF-16 units
}

}  // namespace
