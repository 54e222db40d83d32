#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "TelemetryTestSupport.h"
#include "platform/Date.h"

namespace {

using platform::PropertyList;
using Dictionary = PropertyList::Dictionary;

class UserDefaultsTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::inMemoryStore();
  std::shared_ptr<TLUserDefaults> defaults = TLUserDefaults::userDefaultsWithStore(store);

  Dictionary stored(const std::string& key) { return *store->dictionaryForKey(key); }
  double now() { return platform::Date::now().timeIntervalSinceReferenceDate(); }
};

TEST_F(UserDefaultsTest, PlainGetSetRemove) {
  EXPECT_FALSE(defaults->objectForKey("TLInstallId"));
  defaults->setObject(PropertyList("abc"), "TLInstallId");
  EXPECT_EQ(*defaults->objectForKey("TLInstallId"), PropertyList("abc"));
  defaults->removeObjectForKey("TLInstallId");
  EXPECT_FALSE(store->objectForKey("TLInstallId"));
}

TEST_F(UserDefaultsTest, FlagsReadBooleansAndNumbers) {
  struct Case {
    std::optional<PropertyList> stored;
    std::optional<bool> flag;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {PropertyList(true), true},
      {PropertyList(false), false},
      {PropertyList(std::int64_t{2}), true},
      {PropertyList(std::int64_t{0}), false},
      {PropertyList(0.5), true},
      {PropertyList(0.0), false},
      {PropertyList("YES"), std::nullopt},
  };
  for (const auto& c : cases) {
    defaults->removeObjectForKey("flag");
    if (c.stored) defaults->setObject(*c.stored, "flag");
    EXPECT_EQ(defaults->flagForKey("flag"), c.flag);
  }
}

TEST_F(UserDefaultsTest, SharedInstanceFollowsTheInstalledStore) {
  platform::SettingsStore::setStandardUserDefaults(store);
  TLUserDefaults::shared()->setObject(PropertyList(true), "TLTelemetryIsEnabled");
  EXPECT_EQ(*store->objectForKey("TLTelemetryIsEnabled"), PropertyList(true));
  platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
  EXPECT_FALSE(TLUserDefaults::shared()->objectForKey("TLTelemetryIsEnabled"));
  platform::SettingsStore::setStandardUserDefaults(nullptr);
}

TEST_F(UserDefaultsTest, FirstUpdateStoresEntriesAndStamp) {
  double before = now();
  auto written = defaults->updateDictionary({{"a", 1}, {"b", "x"}}, "key");
  EXPECT_EQ(written, (Dictionary{{"a", 1}, {"b", "x"}}));
  auto value = stored("key");
  EXPECT_EQ(value.size(), 3u);
  ASSERT_TRUE(value["_ts"].asReal());
  EXPECT_GE(*value["_ts"].asReal(), before - 0.001);
  EXPECT_LE(*value["_ts"].asReal(), now() + 0.001);
}

struct MergeCase {
  const char* name;
  Dictionary storedValue;  // without "_ts"
  double stampAge;         // seconds before now; 0 for no stamp
  Dictionary update;
  double expiration;
  Dictionary expectedWritten;
  Dictionary expectedStored;  // without "_ts"
};

TEST_F(UserDefaultsTest, MergingUpdates) {
  const MergeCase cases[] = {
      {"same values write nothing", {{"a", 1}}, 10, {{"a", 1}}, 0, {}, {{"a", 1}}},
      {"changed value written, others kept",
       {{"a", 1}, {"b", 2}},
       10,
       {{"a", 3}},
       0,
       {{"a", 3}},
       {{"a", 3}, {"b", 2}}},
      {"expired stamp writes all again", {{"a", 1}}, 10, {{"a", 1}}, 5, {{"a", 1}}, {{"a", 1}}},
      {"fresh stamp within expiration", {{"a", 1}}, 2, {{"a", 1}}, 5, {}, {{"a", 1}}},
      {"no stamp never expires", {{"a", 1}}, 0, {{"a", 1}}, 5, {}, {{"a", 1}}},
      {"integer and real differ", {{"a", 1}}, 10, {{"a", 1.0}}, 0, {{"a", 1.0}}, {{"a", 1.0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictionary initial = c.storedValue;
    if (c.stampAge > 0) initial["_ts"] = now() - c.stampAge;
    store->setObject(PropertyList(initial), "key");
    tltesting::MessageRecorder recorder;
    TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
    auto written = defaults->updateDictionary(c.update, "key", c.expiration);
    EXPECT_EQ(written, c.expectedWritten);
    auto value = stored("key");
    bool restamped = !c.expectedWritten.empty();
    if (restamped) {
      EXPECT_GT(*value["_ts"].asReal(), now() - 1);
    }
    value.erase("_ts");
    EXPECT_EQ(value, c.expectedStored);
    // One verbose line with the stored dictionary; a debug line only when something is written.
    // Only this key's lines count: work left running by earlier tests may log meanwhile.
    auto linesOfKey = [&recorder](TLLogLevel level, const std::string& prefix) {
      auto texts = recorder.texts(level);
      return std::count_if(texts.begin(), texts.end(),
                           [&prefix](const std::string& text) { return text.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(linesOfKey(TLLogLevelVerbose, "Settings:store[key]="), 1);
    EXPECT_EQ(linesOfKey(TLLogLevelDebug, "Settings:update[key]="), restamped ? 1 : 0);
  }
}

TEST_F(UserDefaultsTest, UpdateObjectWrapsInV) {
  EXPECT_TRUE(defaults->updateObject(PropertyList("token"), "obj"));
  auto value = stored("obj");
  EXPECT_EQ(value["v"], PropertyList("token"));
  EXPECT_FALSE(defaults->updateObject(PropertyList("token"), "obj"));
  EXPECT_TRUE(defaults->updateObject(PropertyList("other"), "obj"));
}

TEST_F(UserDefaultsTest, NonDictionaryValueIsReplaced) {
  store->setObject(PropertyList("text"), "key");
  EXPECT_EQ(defaults->updateDictionary({{"a", 1}}, "key").size(), 1u);
  EXPECT_EQ(stored("key").size(), 2u);
}

// Eight threads merge different entries into one key: every entry arrives.
TEST_F(UserDefaultsTest, MergesFromEightThreadsLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        defaults->updateDictionary({{fmt::format("{}-{}", t, i), i}}, "shared");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stored("shared").size(), static_cast<std::size_t>(kThreads * kPerThread + 1));
}

}  // namespace
