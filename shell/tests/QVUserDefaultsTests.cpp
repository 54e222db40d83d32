#include <gtest/gtest.h>

#include <functional>

#include "engine/QVNotificationCenter.h"
#include "engine/QVRecordingNotificationSink.h"
#include "platform/Files.h"
#include "shell/QVUserDefaults.h"
#include "testing/Sandbox.h"

namespace fs = std::filesystem;
using nlohmann::json;
using platform::PropertyList;
using platform::SettingsStore;

namespace {

// A login item that remembers its calls and fails when told to.
class FakeLoginItem : public QVLoginItem {
 public:
  bool setEnabled(bool enabled, platform::Error* error) override {
    calls.push_back(enabled);
    if (failing) return platform::fail(error, platform::Error::make("Fake", 7, "refused"));
    enabled_ = enabled;
    return true;
  }
  bool isEnabled() const override { return enabled_; }
  std::string identifier() const override { return "fake-login-item"; }

  std::vector<bool> calls;
  bool failing = false;

 private:
  bool enabled_ = false;
};

class UserDefaultsTest : public qvtesting::SandboxTest {
 protected:
  fs::path settingsPath() const { return root() / "config" / "settings.plist"; }
  std::shared_ptr<SettingsStore> fileStore() const { return SettingsStore::storeWithPath(settingsPath()); }
  QVUserDefaults::Pointer defaultsOver(std::shared_ptr<SettingsStore> store,
                                       std::shared_ptr<QVLoginItem> loginItem = nullptr) {
    return QVUserDefaults::make(std::move(store), std::move(loginItem));
  }
};

}  // namespace

TEST_F(UserDefaultsTest, FreshStoreReadsTheRegisteredDefaults) {
  auto defaults = defaultsOver(SettingsStore::inMemoryStore());
  EXPECT_EQ(defaults->theme(), 2);
  EXPECT_FALSE(defaults->isDocked());
  EXPECT_TRUE(defaults->showDockIcon());
  EXPECT_TRUE(defaults->firstLaunch());
  EXPECT_TRUE(defaults->menuBarShowIcon());
  EXPECT_EQ(defaults->windowSize(), 1);
  EXPECT_FALSE(defaults->serverEnabled());
  EXPECT_EQ(defaults->serverPort(), 8080);
  EXPECT_FALSE(defaults->hideWindowAtStartup());
  EXPECT_FALSE(defaults->isBackgroundApp());
  EXPECT_FALSE(defaults->shouldKeepAbove());
  EXPECT_EQ(defaults->undockedFrame(), std::nullopt);
  EXPECT_FALSE(defaults->loadedDefaults());
  EXPECT_FALSE(defaults->startAtLogin());
  EXPECT_EQ(defaults->hotKeyCombo(), (_KeyCombo{0, 0}));
  EXPECT_TRUE(defaults->seenNotificationIDs().empty());
  // Registered defaults are never written to the file.
  auto store = fileStore();
  defaultsOver(store);
  EXPECT_TRUE(store->synchronize());
  EXPECT_FALSE(fs::exists(settingsPath()));
}

TEST_F(UserDefaultsTest, EveryTypedSettingRoundTripsThroughTheFile) {
  struct Case {
    const char* key;
    std::function<void(QVUserDefaults&)> set;
    std::function<void(const QVUserDefaults&)> check;
    PropertyList stored;  // what the file holds under the key afterwards
  };
  const std::vector<Case> cases = {
      {"theme", [](auto& d) { d.setTheme(1); }, [](const auto& d) { EXPECT_EQ(d.theme(), 1); }, 1},
      {"isDocked", [](auto& d) { d.setIsDocked(true); }, [](const auto& d) { EXPECT_TRUE(d.isDocked()); },
       true},
      {"showDockIcon", [](auto& d) { d.setShowDockIcon(false); },
       [](const auto& d) { EXPECT_FALSE(d.showDockIcon()); }, false},
      {"firstLaunch", [](auto& d) { d.setFirstLaunch(false); },
       [](const auto& d) { EXPECT_FALSE(d.firstLaunch()); }, false},
      {"menuBarShowIcon", [](auto& d) { d.setMenuBarShowIcon(false); },
       [](const auto& d) { EXPECT_FALSE(d.menuBarShowIcon()); }, false},
      {"windowSize", [](auto& d) { d.setWindowSize(2); }, [](const auto& d) { EXPECT_EQ(d.windowSize(), 2); },
       2},
      {"serverEnabled", [](auto& d) { d.setServerEnabled(true); },
       [](const auto& d) { EXPECT_TRUE(d.serverEnabled()); }, true},
      {"serverPort", [](auto& d) { d.setServerPort(-5); },
       [](const auto& d) { EXPECT_EQ(d.serverPort(), -5); }, -5},
      {"hideWindowAtStartup", [](auto& d) { d.setHideWindowAtStartup(true); },
       [](const auto& d) { EXPECT_TRUE(d.hideWindowAtStartup()); }, true},
      {"isBackgroundApp", [](auto& d) { d.setIsBackgroundApp(true); },
       [](const auto& d) { EXPECT_TRUE(d.isBackgroundApp()); }, true},
      {"shouldKeepAbove", [](auto& d) { d.setShouldKeepAbove(true); },
       [](const auto& d) { EXPECT_TRUE(d.shouldKeepAbove()); }, true},
      {"undockedFrame", [](auto& d) { d.setUndockedFrame("10 20 300 400 0 0 1920 1080 "); },
       [](const auto& d) { EXPECT_EQ(d.undockedFrame(), "10 20 300 400 0 0 1920 1080 "); },
       "10 20 300 400 0 0 1920 1080 "},
      {"loadedDefaults", [](auto& d) { d.setLoadedDefaults(true); },
       [](const auto& d) { EXPECT_TRUE(d.loadedDefaults()); }, true},
      // All 64 bits of the modifier flags survive the signed integer they are stored as.
      {"hotKeyModifier",
       [](auto& d) {
         d.setHotKeyCombo({0x8000000000180000ull, 49});
       },
       [](const auto& d) {
         EXPECT_EQ(d.hotKeyCombo(), (_KeyCombo{0x8000000000180000ull, 49}));
       },
       static_cast<std::int64_t>(0x8000000000180000ull)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    fs::remove(settingsPath());
    {
      auto defaults = defaultsOver(fileStore());
      c.set(*defaults);
      c.check(*defaults);
    }
    // Each setter has put the value on disk; the next launch reads it back.
    auto bytes = platform::files::readFile(settingsPath());
    ASSERT_TRUE(bytes);
    auto plist = PropertyList::read(*bytes);
    ASSERT_TRUE(plist && plist->asDictionary());
    auto found = plist->asDictionary()->find(c.key);
    ASSERT_NE(found, plist->asDictionary()->end());
    EXPECT_EQ(found->second, c.stored);
    c.check(*defaultsOver(fileStore()));
  }
}

TEST_F(UserDefaultsTest, ObjectSettingSetToNoneRemovesItsKey) {
  auto store = SettingsStore::inMemoryStore();
  auto defaults = defaultsOver(store);
  defaults->setUndockedFrame("1 2 3 4");
  defaults->setUndockedFrame(std::nullopt);
  EXPECT_EQ(store->objectForKey(QVUndockedFrameKey), std::nullopt);
  EXPECT_EQ(defaults->undockedFrame(), std::nullopt);
  // A value of another kind under the key is no frame.
  store->setInteger(3, QVUndockedFrameKey);
  EXPECT_EQ(defaults->undockedFrame(), std::nullopt);
}

TEST_F(UserDefaultsTest, SeenNotificationIdsKeepTheirStoredForm) {
  auto store = SettingsStore::inMemoryStore();
  auto defaults = defaultsOver(store);
  const std::vector<json> ids = {"a", 2, json::array({true})};
  defaults->setSeenNotificationIDs(ids);
  EXPECT_EQ(defaults->seenNotificationIDs(), ids);
  EXPECT_EQ(QVReadSeenNotificationIDs(*store), ids);
  // Stored data of zero length reads as no ids.
  store->setObject(PropertyList(platform::Data{}), QVSeenNotificationIDsPropertyKey);
  EXPECT_TRUE(defaults->seenNotificationIDs().empty());
}

TEST_F(UserDefaultsTest, ObserversHearEveryWriteOfTheirProperty) {
  auto store = SettingsStore::inMemoryStore();
  auto defaults = defaultsOver(store);
  std::vector<std::string> heard;
  std::vector<_KeyCombo> combos;
  auto theme = defaults->addObserverForKey(QVThemeKey, [&](const std::string& p) { heard.push_back(p); });
  auto server =
      defaults->addObserverForKey(QVServerEnabledKey, [&](const std::string& p) { heard.push_back(p); });
  auto hotKey = defaults->addObserverForKey(QVHotKeyComboProperty, [&](const std::string& p) {
    heard.push_back(p);
    combos.push_back(defaults->hotKeyCombo());
  });
  defaults->setTheme(0);
  defaults->setHotKeyCombo({1 << 20, 12});
  defaults->setWindowSize(3);  // not observed
  // Web sharing writes its own key through its own place: observers of the property still hear it.
  QVServerSettings::setServerEnabled(*store, true);
  EXPECT_EQ(heard, (std::vector<std::string>{"theme", "hotKeyCombo", "serverEnabled"}));
  // The hot key's observer runs once, when both halves are written.
  EXPECT_EQ(combos, (std::vector<_KeyCombo>{{1 << 20, 12}}));
  theme.invalidate();
  defaults->setTheme(1);
  EXPECT_EQ(heard.size(), 3u);
}

TEST_F(UserDefaultsTest, EngineAndWebSharingReadTheSameStore) {
  auto store = SettingsStore::inMemoryStore();
  SettingsStore::setStandardUserDefaults(store);
  auto defaults = defaultsOver(store);
  defaults->setLoadedDefaults(true);
  EXPECT_TRUE(QVEngineSettings::loadedDefaults());
  QVEngineSettings::setLoadedDefaults(false);
  EXPECT_FALSE(defaults->loadedDefaults());

  defaults->setServerPort(9091);
  defaults->setServerEnabled(true);
  EXPECT_EQ(QVServerSettings::serverPort(), 9091);
  EXPECT_TRUE(QVServerSettings::serverEnabled());
  QVServerSettings::setServerPort(7000);
  EXPECT_EQ(defaults->serverPort(), 7000);

  // The notification centre starts from the ids the settings object stored, and what it delivers
  // shows in the settings object.
  defaults->setSeenNotificationIDs({"seen"});
  auto center = QVNotificationCenter::make(std::make_shared<QVRecordingNotificationSink>(), store);
  EXPECT_EQ(center->deliveredNotificationIDs(), (std::vector<json>{"seen"}));
  SettingsStore::setStandardUserDefaults(nullptr);
}

TEST_F(UserDefaultsTest, FilesWrittenBeforeStayReadable) {
  {
    // What the engine and web sharing wrote through their own places before the settings object
    // existed, and keys an earlier version of the application stored.
    auto store = fileStore();
    QVEngineSettings::setLoadedDefaults(*store, true);
    QVServerSettings::setServerEnabled(*store, true);
    QVServerSettings::setServerPort(*store, 8181);
    QVWriteSeenNotificationIDs(*store, {"n1", "n2"});
    store->setInteger(0, QVThemeKey);
    store->setInteger(1 << 19, QVHotKeyModifierKey);
    store->setInteger(3, QVHotKeyCodeKey);
    ASSERT_TRUE(store->synchronize());
  }
  auto defaults = defaultsOver(fileStore());
  EXPECT_TRUE(defaults->loadedDefaults());
  EXPECT_TRUE(defaults->serverEnabled());
  EXPECT_EQ(defaults->serverPort(), 8181);
  EXPECT_EQ(defaults->seenNotificationIDs(), (std::vector<json>{"n1", "n2"}));
  EXPECT_EQ(defaults->theme(), 0);
  EXPECT_EQ(defaults->hotKeyCombo(), (_KeyCombo{1 << 19, 3}));
  EXPECT_TRUE(defaults->showDockIcon());
}

TEST_F(UserDefaultsTest, UnreadableFileIsMovedAsideAndDefaultsApply) {
  writeFile("config/settings.plist", "bplist00 this is no property list");
  qvtesting::LogCapture log;
  auto defaults = defaultsOver(fileStore());
  EXPECT_EQ(defaults->theme(), 2);
  EXPECT_EQ(defaults->serverPort(), 8080);
  EXPECT_TRUE(fs::exists(root() / "config" / "settings.plist.corrupt"));
  defaults->setTheme(1);
  EXPECT_EQ(defaultsOver(fileStore())->theme(), 1);
}

TEST_F(UserDefaultsTest, StandardObjectIsMadeOnce) {
  SettingsStore::setStandardUserDefaults(SettingsStore::inMemoryStore());
  QVUserDefaults::setStandardUserDefaults(nullptr);
  auto first = QVUserDefaults::standardUserDefaults();
  EXPECT_EQ(first, QVUserDefaults::standardUserDefaults());
  EXPECT_EQ(&first->userDefaults(), SettingsStore::standardUserDefaults().get());
  QVUserDefaults::setStandardUserDefaults(nullptr);
  SettingsStore::setStandardUserDefaults(nullptr);
}

TEST_F(UserDefaultsTest, StartAtLoginDrivesTheLoginItem) {
  auto store = SettingsStore::inMemoryStore();
  auto item = std::make_shared<FakeLoginItem>();
  auto defaults = defaultsOver(store, item);
  EXPECT_TRUE(item->calls.empty());
  // The current value changes nothing.
  EXPECT_TRUE(defaults->setStartAtLogin(false));
  EXPECT_TRUE(item->calls.empty());
  EXPECT_TRUE(defaults->setStartAtLogin(true));
  EXPECT_TRUE(defaults->setStartAtLogin(true));
  EXPECT_EQ(item->calls, (std::vector<bool>{true}));
  EXPECT_TRUE(store->boolForKey(QVStartAtLoginKey));
  // A stored "on" adds the login item again at the next launch.
  auto relaunched = std::make_shared<FakeLoginItem>();
  auto again = defaultsOver(store, relaunched);
  EXPECT_TRUE(again->startAtLogin());
  EXPECT_EQ(relaunched->calls, (std::vector<bool>{true}));
  EXPECT_TRUE(defaults->setStartAtLogin(false));
  EXPECT_FALSE(store->boolForKey(QVStartAtLoginKey));
}

TEST_F(UserDefaultsTest, FailedLoginItemChangeRevertsTheSettingAndSaysSo) {
  for (bool enabling : {true, false}) {
    SCOPED_TRACE(enabling ? "enabling" : "disabling");
    auto store = SettingsStore::inMemoryStore();
    auto item = std::make_shared<FakeLoginItem>();
    auto defaults = defaultsOver(store, item);
    if (!enabling) {
      ASSERT_TRUE(defaults->setStartAtLogin(true));
    }
    item->failing = true;
    int heard = 0;
    auto observation = defaults->addObserverForKey(QVStartAtLoginKey, [&](const std::string&) { ++heard; });
    qvtesting::LogCapture log;
    platform::Error error;
    EXPECT_FALSE(defaults->setStartAtLogin(enabling, &error));
    EXPECT_EQ(error.description, "refused");
    EXPECT_EQ(defaults->startAtLogin(), !enabling);
    EXPECT_EQ(store->boolForKey(QVStartAtLoginKey), !enabling);
    // A switch bound to the setting is told to show the unchanged value.
    EXPECT_EQ(heard, 1);
    EXPECT_TRUE(log.contains(std::string("DEBUG: Could not ") + (enabling ? "add" : "remove") +
                             " fake-login-item to the login items"));
  }
  // A stored "on" whose login item cannot be added at launch does not stay "on".
  auto store = SettingsStore::inMemoryStore();
  store->setBool(true, QVStartAtLoginKey);
  auto item = std::make_shared<FakeLoginItem>();
  item->failing = true;
  auto defaults = defaultsOver(store, item);
  EXPECT_FALSE(defaults->startAtLogin());
  EXPECT_FALSE(store->boolForKey(QVStartAtLoginKey));
}
