#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/QVDashboardModule.h"
#include "engine/QVNotificationCenter.h"
#include "engine/QVRecordingNotificationSink.h"
#include "engine/QVSeenNotificationIDs.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/SettingsStore.h"

using namespace enginetest;
using nlohmann::json;

namespace {

json notificationLine(json first) {
  return {{"type", "notification"}, {"options", json::array({std::move(first)})}};
}

class NotificationCenterTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    settingsPath_ = root() / "settings" / "defaults.plist";
    settings_ = platform::SettingsStore::storeWithPath(settingsPath_);
    sink_ = std::make_shared<QVRecordingNotificationSink>();
    center_ = QVNotificationCenter::make(sink_, settings_);
    module_ = QVDashboardModule::moduleWithPath(writePackage(root() / "Modules" / "Notes.quorvanemodule",
                                                             [] {
                                                               auto manifest = minimalManifest();
                                                               manifest["name"] = "Notes";
                                                               manifest["hasNotifications"] = true;
                                                               return manifest;
                                                             }())
                                                    .string());
    ASSERT_TRUE(module_);
  }

  void setNotificationOption(const std::string& name, const json& value) {
    auto option = module_->notificationOptionWithKey(name);
    ASSERT_TRUE(option) << name;
    option->value()->setObjectValue(value);
  }

  // A new centre on the same settings file, as at the next launch.
  std::shared_ptr<QVNotificationCenter> nextLaunch() {
    center_->waitUntilStored();
    settings_ = platform::SettingsStore::storeWithPath(settingsPath_);
    return QVNotificationCenter::make(sink_, settings_);
  }

  fs::path settingsPath_;
  std::shared_ptr<platform::SettingsStore> settings_;
  std::shared_ptr<QVRecordingNotificationSink> sink_;
  std::shared_ptr<QVNotificationCenter> center_;
  std::shared_ptr<QVDashboardModule> module_;
};

TEST_F(NotificationCenterTest, ChecksEachLineBeforeDelivering) {
  struct Case {
    std::string name;
    json line;
    bool delivered;
    bool recorded;  // whether the line's id counts as seen afterwards
  };
  const std::vector<Case> cases = {
      {"unseen", notificationLine({{"id", "a"}, {"message", "Hello"}}), true, true},
      {"seen", notificationLine({{"id", "a"}, {"message", "Hello again"}}), false, true},
      {"options not an array",
       {{"type", "notification"}, {"options", {{"id", "b"}, {"message", "m"}}}},
       false,
       false},
      {"no options", {{"type", "notification"}}, false, false},
      {"empty options", {{"type", "notification"}, {"options", json::array()}}, false, false},
      {"first element not an object",
       {{"type", "notification"}, {"options", json::array({"c", {{"id", "c"}}})}},
       false,
       false},
      {"no id", notificationLine({{"message", "m"}}), false, false},
      {"no message", notificationLine({{"id", "d"}}), false, false},
      {"empty message", notificationLine({{"id", "e"}, {"message", ""}}), false, false},
      {"message not a text", notificationLine({{"id", "f"}, {"message", 5}}), false, false},
      {"the number 1", notificationLine({{"id", 1}, {"message", "m"}}), true, true},
      {"the text 1 is another id", notificationLine({{"id", "1"}, {"message", "m"}}), true, true},
      {"1.0 is the number 1", notificationLine({{"id", 1.0}, {"message", "m"}}), false, true},
      {"true is the number 1", notificationLine({{"id", true}, {"message", "m"}}), false, true},
      {"an object id", notificationLine({{"id", {{"k", json::array({1, "x"})}}}, {"message", "m"}}), true,
       true},
      {"the same object id", notificationLine({{"id", {{"k", json::array({1.0, "x"})}}}, {"message", "m"}}),
       false, true},
      {"null is an id too", notificationLine({{"id", nullptr}, {"message", "m"}}), true, true},
  };
  std::size_t shown = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(center_->deliverNotificationForModule(module_, c.line), c.delivered);
    if (c.delivered) ++shown;
    EXPECT_EQ(sink_->notifications().size(), shown);
    const json* options = c.line.contains("options") ? &c.line["options"] : nullptr;
    if (options && options->is_array() && !options->empty() && options->front().is_object() &&
        options->front().contains("id")) {
      auto ids = center_->deliveredNotificationIDs();
      std::string key = QVNotificationCenter::keyForNotificationID(options->front()["id"]);
      bool seen = std::any_of(ids.begin(), ids.end(), [&](const json& id) {
        return QVNotificationCenter::keyForNotificationID(id) == key;
      });
      EXPECT_EQ(seen, c.recorded);
    }
  }
}

TEST_F(NotificationCenterTest, AnIdIsDeliveredOnceAcrossLaunches) {
  EXPECT_TRUE(
      center_->deliverNotificationForModule(module_, notificationLine({{"id", 7}, {"message", "m"}})));
  auto later = nextLaunch();
  EXPECT_FALSE(later->deliverNotificationForModule(module_, notificationLine({{"id", 7}, {"message", "m"}})));
  EXPECT_TRUE(
      later->deliverNotificationForModule(module_, notificationLine({{"id", "7"}, {"message", "m"}})));
  EXPECT_EQ(sink_->notifications().size(), 2u);

  // Stored as a keyed archive of the ids under the setting's key.
  later->waitUntilStored();
  auto data = settings_->dataForKey("seenNotificationIDs");
  ASSERT_TRUE(data);
  auto root = platform::KeyedUnarchiver::unarchiveObjectWithData(*data);
  ASSERT_TRUE(root.asArray());
  EXPECT_EQ(root.toJson(), json::array({7, "7"}));
}

TEST_F(NotificationCenterTest, StoredIdsReadBack) {
  struct Case {
    std::string name;
    std::function<void(platform::SettingsStore&)> store;
    std::optional<std::vector<json>> ids;
  };
  const std::vector<Case> cases = {
      {"nothing stored", [](platform::SettingsStore&) {}, std::nullopt},
      {"zero-length data",
       [](platform::SettingsStore& s) {
         s.setObject(platform::PropertyList(platform::Data{}), "seenNotificationIDs");
       },
       std::vector<json>{}},
      {"data that is no archive",
       [](platform::SettingsStore& s) {
         s.setObject(platform::PropertyList(platform::dataFromString("junk")), "seenNotificationIDs");
       },
       std::vector<json>{}},
      {"written ids",
       [](platform::SettingsStore& s) {
         QVWriteSeenNotificationIDs(s, {"a", 2, json::array({true})});
       },
       std::vector<json>{"a", 2, json::array({true})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = platform::SettingsStore::inMemoryStore();
    c.store(*store);
    EXPECT_EQ(QVReadSeenNotificationIDs(*store), c.ids);
    // A centre starts from whatever could be read.
    auto center = QVNotificationCenter::make(sink_, store);
    EXPECT_EQ(center->deliveredNotificationIDs(), c.ids.value_or(std::vector<json>{}));
  }
}

TEST_F(NotificationCenterTest, KeepsOnlyTheNewestTenThousandIds) {
  const std::size_t limit = QVNotificationCenter::kMaximumSeenNotificationIDs;
  // A stored list that grew past the limit before is cut on loading.
  std::vector<json> stored;
  for (std::size_t i = 0; i < limit + 50; ++i) stored.push_back(fmt::format("old-{}", i));
  QVWriteSeenNotificationIDs(*settings_, stored);
  auto center = QVNotificationCenter::make(sink_, settings_);
  auto ids = center->deliveredNotificationIDs();
  ASSERT_EQ(ids.size(), limit);
  EXPECT_EQ(ids.front(), "old-50");
  EXPECT_EQ(ids.back(), fmt::format("old-{}", limit + 49));

  // Each new id pushes the oldest out, in memory and in the setting.
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(
        center->deliverNotificationForModule(module_, notificationLine({{"id", i}, {"message", "m"}})));
  }
  ids = center->deliveredNotificationIDs();
  ASSERT_EQ(ids.size(), limit);
  EXPECT_EQ(ids.front(), "old-55");
  EXPECT_EQ(ids.back(), 4);
  center->waitUntilStored();
  auto read = QVReadSeenNotificationIDs(*settings_);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, ids);
  // An id that dropped out is new again; one still kept is not.
  EXPECT_TRUE(
      center->deliverNotificationForModule(module_, notificationLine({{"id", "old-0"}, {"message", "m"}})));
  EXPECT_FALSE(
      center->deliverNotificationForModule(module_, notificationLine({{"id", "old-60"}, {"message", "m"}})));
}

TEST_F(NotificationCenterTest, OptionsChooseTheActions) {
  struct Case {
    std::string name;
    json options;  // notification option values by name
    json first;    // the line's first options element
    bool popup;
    bool sound;  // played by itself
    bool attention;
    json userInfo;
    std::optional<std::string> actionButtonTitle;
    bool popupSound = false;  // the pop-up carries the sound
  };
  const json defaults = {{"showPopup", true}, {"playSound", false}, {"bounceDock", false}};
  const std::vector<Case> cases = {
      {"pop-up with link and button",
       defaults,
       {{"message", "Hi"}, {"url", "  https://example.org/a\n"}, {"actionButtonTitle", "\tOpen  "}},
       true,
       false,
       false,
       {{"url", "https://example.org/a"}},
       "Open"},
      {"a link of spaces gives no user info, a title of spaces no button",
       defaults,
       {{"message", "Hi"}, {"url", "   "}, {"actionButtonTitle", " \n "}},
       true,
       false,
       false,
       nullptr,
       std::nullopt},
      {"link and title that are not texts",
       defaults,
       {{"message", "Hi"}, {"url", 5}, {"actionButtonTitle", true}},
       true,
       false,
       false,
       nullptr,
       std::nullopt},
      {"sound without pop-up",
       {{"showPopup", false}, {"playSound", true}, {"bounceDock", false}},
       {{"message", "Hi"}},
       false,
       true,
       false,
       nullptr,
       std::nullopt},
      {"sound with pop-up goes with the pop-up, not by itself",
       {{"showPopup", true}, {"playSound", true}, {"bounceDock", false}},
       {{"message", "Hi"}},
       true,
       false,
       false,
       nullptr,
       std::nullopt,
       true},
      {"attention only",
       {{"showPopup", false}, {"playSound", false}, {"bounceDock", true}},
       {{"message", "Hi"}},
       false,
       false,
       true,
       nullptr,
       std::nullopt},
      {"everything off still records the id",
       {{"showPopup", false}, {"playSound", false}, {"bounceDock", false}},
       {{"message", "Hi"}},
       false,
       false,
       false,
       nullptr,
       std::nullopt},
  };
  int id = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, value] : c.options.items()) setNotificationOption(name, value);
    auto before = sink_->notifications().size();
    auto soundsBefore = sink_->sounds().size();
    auto attentionBefore = sink_->attentionRequests();
    json first = c.first;
    first["id"] = ++id;
    EXPECT_TRUE(center_->deliverNotificationForModule(module_, notificationLine(first)));
    auto notifications = sink_->notifications();
    ASSERT_EQ(notifications.size() - before, c.popup ? 1u : 0u);
    if (c.popup) {
      EXPECT_EQ(notifications.back().title, "Notes");
      EXPECT_EQ(notifications.back().informativeText, "Hi");
      EXPECT_EQ(notifications.back().userInfo, c.userInfo);
      EXPECT_EQ(notifications.back().actionButtonTitle, c.actionButtonTitle);
      if (c.popupSound) {
        EXPECT_EQ(notifications.back().soundPath,
                  module_->notificationOptionWithKey("soundName")->value()->stringValue());
      } else {
        EXPECT_EQ(notifications.back().soundPath, std::nullopt);
      }
    }
    auto sounds = sink_->sounds();
    ASSERT_EQ(sounds.size() - soundsBefore, c.sound ? 1u : 0u);
    if (c.sound) {
      // The module's sound option names a sound file of the resources, read whole.
      auto soundName = module_->notificationOptionWithKey("soundName")->value()->stringValue();
      ASSERT_TRUE(soundName);
      EXPECT_EQ(sounds.back().path, *soundName);
      EXPECT_EQ(sounds.back().size, fs::file_size(*soundName));
    }
    EXPECT_EQ(sink_->attentionRequests() - attentionBefore, c.attention ? 1u : 0u);
    EXPECT_EQ(center_->deliveredNotificationIDs().back(), id);
  }
}

TEST_F(NotificationCenterTest, AFileThatIsNoSoundIsSkipped) {
  setNotificationOption("playSound", true);
  auto notSound = writeFile("not-a-sound.wav", "plain text");
  module_->notificationOptionWithKey("soundName")
      ->value()
      ->setStringValue(std::optional<std::string>(notSound.string()));
  // Neither by itself nor with the pop-up.
  setNotificationOption("showPopup", false);
  EXPECT_TRUE(
      center_->deliverNotificationForModule(module_, notificationLine({{"id", "s"}, {"message", "m"}})));
  setNotificationOption("showPopup", true);
  EXPECT_TRUE(
      center_->deliverNotificationForModule(module_, notificationLine({{"id", "t"}, {"message", "m"}})));
  EXPECT_TRUE(sink_->sounds().empty());
  ASSERT_EQ(sink_->notifications().size(), 1u);
  EXPECT_EQ(sink_->notifications()[0].soundPath, std::nullopt);
}

TEST_F(NotificationCenterTest, ClickOpensTheLinkWhenThereIsOne) {
  qvtesting::LogCapture log;
  center_->userNotificationCenterDidActivateNotification(
      {"Notes", "Hi", {{"url", "https://example.org/b"}}, std::nullopt, std::nullopt});
  center_->userNotificationCenterDidActivateNotification(
      {"Notes", "Hi", nullptr, std::nullopt, std::nullopt});
  EXPECT_EQ(sink_->openedURLs(), std::vector<std::string>{"https://example.org/b"});
  EXPECT_TRUE(log.contains("Activate"));
  EXPECT_TRUE(center_->userNotificationCenterShouldPresentNotification({}));
}

TEST_F(NotificationCenterTest, LinesFromManyRunsAtOnceAreDeliveredOnceEach) {
  // Eight threads send the same 200 ids: each id is delivered once, and the stored list holds all.
  std::vector<std::thread> threads;
  std::atomic<int> delivered{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (center_->deliverNotificationForModule(module_, notificationLine({{"id", i}, {"message", "m"}}))) {
          ++delivered;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), 200);
  EXPECT_EQ(sink_->notifications().size(), 200u);
  center_->waitUntilStored();
  auto read = QVReadSeenNotificationIDs(*settings_);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), 200u);
}

}  // namespace
