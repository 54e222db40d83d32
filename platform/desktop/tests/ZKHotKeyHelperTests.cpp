#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/desktop/ZKHotKeyHelper.h"
#include "platform/desktop/ZKX11HotKeyGrabber.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/X11OtherClient.h"

namespace {

// A desktop that grants every key except the ones another program is said to hold.
class FakeGrabber : public ZKHotKeyGrabber {
 public:
  struct Grab {
    std::uint32_t keysym;
    std::uint16_t modifiers;
    bool operator<(const Grab& other) const {
      return std::tie(keysym, modifiers) < std::tie(other.keysym, other.modifiers);
    }
  };
  bool grab(std::uint64_t id, std::uint32_t keysym, std::uint16_t modifiers,
            platform::Error* error) override {
    ++grabCalls;
    if (heldElsewhere.count({keysym, modifiers})) {
      return platform::fail(error, platform::Error::make("Fake", 1, "held by another program"));
    }
    grabs[id] = {keysym, modifiers};
    return true;
  }
  void ungrab(std::uint64_t id) override { grabs.erase(id); }
  void setHandler(Handler handler) override { this->handler = std::move(handler); }

  std::map<std::uint64_t, Grab> grabs;
  std::set<Grab> heldElsewhere;
  int grabCalls = 0;
  Handler handler;
};

constexpr std::uint64_t kCommand = 1ull << 20;
constexpr std::uint64_t kOption = 1ull << 19;
constexpr std::uint64_t kControl = 1ull << 18;
constexpr std::uint64_t kShift = 1ull << 17;

using HotKeyTest = qvtesting::GuiTest;

}  // namespace

TEST_F(HotKeyTest, ModifierFlagsTranslateThroughOneTable) {
  struct Case {
    std::uint64_t flags;
    std::uint32_t classic;
    std::uint16_t x11;
  } cases[] = {
      {0, 0, 0},
      {kCommand | kShift, 0x300, 0x41},
      {kControl | kOption, 0x1800, 0x0C},
      {kCommand, 0x100, 0x40},
      // Caps Lock, the function key and other bits have no part in a hot key.
      {kShift | (1ull << 16) | (1ull << 23) | 0xFF, 0x200, 0x01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(ZKHotKeyHelper::translateModifierFlags(c.flags), c.classic);
    EXPECT_EQ(ZKHotKeyHelper::x11ModifierMask(c.flags), c.x11);
  }
}

TEST_F(HotKeyTest, KeyCodesTranslateToKeysyms) {
  struct Case {
    std::int64_t code;
    std::optional<std::uint32_t> keysym;
  } cases[] = {
      {0x00, 'a'},        {0x04, 'h'},          {0x1D, '0'},
      {0x31, ' '},        {0x24, 0xFF0D},       {0x35, 0xFF1B},
      {0x7A, 0xFFBE},     {0x6F, 0xFFC9},       {0x7E, 0xFF52},
      {0x52, 0xFFB0},     {0x0A, std::nullopt}, {0x34, std::nullopt},
      {-1, std::nullopt}, {0x80, std::nullopt}, {1ll << 40, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(ZKHotKeyHelper::keysymForKeyCode(c.code), c.keysym);
  }
}

TEST_F(HotKeyTest, RegistrationsGetGrowingIdsAndFireTheBlocks) {
  auto grabber = std::make_shared<FakeGrabber>();
  ZKHotKeyHelper helper(grabber);
  std::vector<std::pair<std::string, std::uint64_t>> fired;
  helper.setPressedBlock([&](std::uint64_t id) { fired.emplace_back("pressed", id); });

  // An empty combination is not registered and the desktop is not asked.
  EXPECT_EQ(helper.registerHotKey({0, 0}), ZKHotKeyHelper::kInvalidID);
  EXPECT_EQ(grabber->grabCalls, 0);

  const std::uint64_t first = helper.registerHotKey({kControl | kOption, 0x04});
  ASSERT_NE(first, ZKHotKeyHelper::kInvalidID);
  EXPECT_EQ(grabber->grabs[first].keysym, std::uint32_t('h'));
  EXPECT_EQ(grabber->grabs[first].modifiers, 0x0C);

  // A key another program holds is refused and said so; the next success takes the next id.
  grabber->heldElsewhere.insert({'q', 0x40});
  platform::Error error;
  qvtesting::LogCapture log;
  EXPECT_EQ(helper.registerHotKey({kCommand, 0x0C}, &error), ZKHotKeyHelper::kInvalidID);
  EXPECT_EQ(error.description, "held by another program");
  EXPECT_TRUE(log.contains("[DEBUG] Error registering hotkey"));
  const std::uint64_t second = helper.registerHotKey({kCommand, 0x0D});
  EXPECT_EQ(second, first + 1);

  // A stored code of no known key is ignored with a line in the log.
  EXPECT_EQ(helper.registerHotKey({kCommand, 0x0A}), ZKHotKeyHelper::kInvalidID);
  EXPECT_TRUE(log.contains("Ignoring the hot key with the unknown key code 10"));

  grabber->handler(second, true);
  grabber->handler(second, false);  // no released block: nothing happens
  EXPECT_EQ(fired, (std::vector<std::pair<std::string, std::uint64_t>>{{"pressed", second}}));

  // Unregistering an unknown id, -1 included, changes nothing.
  helper.unregisterHotkeyWithID(ZKHotKeyHelper::kInvalidID);
  helper.unregisterHotkeyWithID(second + 100);
  EXPECT_EQ(grabber->grabs.size(), 2u);
  helper.unregisterHotkeyWithID(first);
  EXPECT_EQ(grabber->grabs.size(), 1u);
}

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

// The X key grabs need an X server: these run under scripts/xvfb-run-desktop and skip elsewhere.
TEST_F(HotKeyTest, XvfbGrabFiresOnTheTypedKeyWithAnyLockState) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  auto grabber = ZKX11HotKeyGrabber::applicationGrabber();
  ASSERT_NE(grabber, nullptr) << "the tests run on " << QGuiApplication::platformName().toStdString();
  ZKHotKeyHelper helper(grabber);
  std::vector<std::uint64_t> pressed;
  std::vector<std::uint64_t> released;
  helper.setPressedBlock([&](std::uint64_t id) { pressed.push_back(id); });
  helper.setReleasedBlock([&](std::uint64_t id) { released.push_back(id); });

  platform::Error error;
  const std::uint64_t id = helper.registerHotKey({kControl | kOption, 0x04}, &error);
  ASSERT_NE(id, ZKHotKeyHelper::kInvalidID) << error.description;
  ASSERT_TRUE(run("xdotool key ctrl+alt+h"));
  // xdotool lets go of the modifiers before the key: the release still belongs to the hot key.
  ASSERT_TRUE(runUntil([&] { return released.size() == 1; }));
  EXPECT_EQ(pressed, (std::vector<std::uint64_t>{id}));
  EXPECT_EQ(released, (std::vector<std::uint64_t>{id}));
  // With Caps Lock on, then Num Lock too, the same key still fires.
  ASSERT_TRUE(run("xdotool key Caps_Lock"));
  ASSERT_TRUE(run("xdotool key ctrl+alt+h"));
  ASSERT_TRUE(runUntil([&] { return pressed.size() == 2; }));
  ASSERT_TRUE(run("xdotool key Num_Lock"));
  ASSERT_TRUE(run("xdotool key ctrl+alt+h"));
  ASSERT_TRUE(runUntil([&] { return pressed.size() == 3; }));
  ASSERT_TRUE(run("xdotool key Caps_Lock Num_Lock"));
  // Other modifiers do not.
  ASSERT_TRUE(run("xdotool key ctrl+h shift+ctrl+alt+h"));
  runFor(0.3);
  EXPECT_EQ(pressed.size(), 3u);

  // Another program cannot have the key while it is registered, in any lock state.
  qvtesting::X11OtherClient other;
  const auto held = other.tryGrab('h', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
  EXPECT_GT(held.tried, 0);
  EXPECT_EQ(held.refused, held.tried);

  // Unregistered, the key is the desktop's again: it no longer fires, and another program may have
  // it in every lock state.
  helper.unregisterHotkeyWithID(id);
  ASSERT_TRUE(run("xdotool key ctrl+alt+h"));
  runFor(0.3);
  EXPECT_EQ(pressed.size(), 3u);
  const auto freed = other.tryGrab('h', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
  EXPECT_EQ(freed.tried, held.tried);
  EXPECT_EQ(freed.refused, 0);
}

TEST_F(HotKeyTest, XvfbKeyHeldByAnotherProgramIsRefused) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  auto grabber = ZKX11HotKeyGrabber::applicationGrabber();
  ASSERT_NE(grabber, nullptr);
  ZKHotKeyHelper helper(grabber);
  // Another program takes Super+J.
  qvtesting::X11OtherClient other;
  const std::uint8_t keycode = other.keycodeFor('j');
  ASSERT_NE(keycode, 0);
  ASSERT_TRUE(other.grab(keycode, XCB_MOD_MASK_4));
  platform::Error error;
  EXPECT_EQ(helper.registerHotKey({kCommand, 0x26}, &error), ZKHotKeyHelper::kInvalidID);
  EXPECT_EQ(error.description, "Another program already uses this hot key.");
  // The refusal left no half-made grab behind, and another combination of the key is free.
  EXPECT_NE(helper.registerHotKey({kCommand | kShift, 0x26}), ZKHotKeyHelper::kInvalidID);
}
