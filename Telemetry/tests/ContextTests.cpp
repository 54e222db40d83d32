#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLHistoryStorage.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "TelemetryTestSupport.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"

namespace {

using platform::Date;

// A clock the test moves by hand.
struct ManualClock {
  std::shared_ptr<std::atomic<double>> seconds = std::make_shared<std::atomic<double>>(1700000000.0);
  TLClock clock() const {
    auto s = seconds;
    return [s] { return Date::fromTimeIntervalSince1970(s->load()); };
  }
  Date now() const { return Date::fromTimeIntervalSince1970(seconds->load()); }
  void advance(double by) { *seconds = seconds->load() + by; }
};

class ContextTest : public qvtesting::SandboxTest {
 protected:
  std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::inMemoryStore();
  std::shared_ptr<TLUserDefaults> settings = TLUserDefaults::userDefaultsWithStore(store);
  ManualClock clock;

  template <typename T>
  std::vector<std::shared_ptr<T>> stored(const char* key) {
    return TLLoadHistory<T>(*settings, key);
  }
};

// ---- History entries ----

TEST_F(ContextTest, ValidityWindowsExpireSoon) {
  Date now = Date::fromTimeIntervalSince1970(1000);
  const std::pair<std::optional<Date>, bool> cases[] = {
      {std::nullopt, false},
      {now.addingTimeInterval(600), false},
      {now.addingTimeInterval(599.999), true},
      {now.addingTimeInterval(-10), true},
      {now.addingTimeInterval(3600), false},
  };
  for (const auto& [end, soon] : cases) {
    TLAuthTokenValidityInfo info("t", Date::fromTimeIntervalSince1970(0), end);
    EXPECT_EQ(info.expiresSoon(now), soon);
  }
}

TEST_F(ContextTest, EntriesRoundTripThroughArchives) {
  std::vector<std::shared_ptr<TLSessionHistoryInfo>> sessions = {
      TLSessionHistoryInfo::initWithTimestamp(Date::fromTimeIntervalSince1970(10), "A"),
      TLSessionHistoryInfo::initWithTimestamp(Date::fromTimeIntervalSince1970(20), std::nullopt),
      TLSessionHistoryInfo::initWithTimestamp(Date::fromTimeIntervalSince1970(30), "C")};
  TLStoreHistory(*settings, "h", sessions);
  auto back = stored<TLSessionHistoryInfo>("h");
  ASSERT_EQ(back.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back[i]->timestamp(), sessions[i]->timestamp());
    EXPECT_EQ(back[i]->sessionId(), sessions[i]->sessionId());
  }
  auto token = TLAuthTokenInfo::initWithAuthToken("tok", std::nullopt, Date::fromTimeIntervalSince1970(5),
                                                  std::nullopt);
  auto tokenBack = TLUnarchivedObject(TLArchivedData(token)).asObjectOfClass<TLAuthTokenInfo>();
  ASSERT_TRUE(tokenBack);
  EXPECT_EQ(tokenBack->authToken(), "tok");
  EXPECT_FALSE(tokenBack->accountId());
  EXPECT_EQ(tokenBack->startTime(), Date::fromTimeIntervalSince1970(5));
  EXPECT_FALSE(tokenBack->expiresOn());
}

TEST_F(ContextTest, DamagedHistoriesCountAsEmpty) {
  tltesting::MessageRecorder recorder;
  const std::optional<platform::PropertyList> values[] = {
      platform::PropertyList("not data"),
      platform::PropertyList(platform::dataFromString("garbage")),
      // An archive of the wrong entry class.
      platform::PropertyList(
          TLArchivedData(platform::ArchiveObject(std::vector<std::shared_ptr<TLUserIdHistoryInfo>>{
              TLUserIdHistoryInfo::initWithTimestamp(Date::now(), "u")}))),
      // An archive of a single entry, not an array.
      platform::PropertyList(TLArchivedData(TLSessionHistoryInfo::initWithTimestamp(Date::now(), "s"))),
  };
  for (const auto& value : values) {
    store->setObject(value, TLSessionContext::kHistoryKey);
    TLSessionContext context(settings, clock.clock());
    EXPECT_EQ(context.sessionHistory().size(), 1u);
  }
  EXPECT_EQ(recorder.texts(TLLogLevelWarning).size(), 4u);
}

// ---- Session context ----

TEST_F(ContextTest, SessionFirstLaunchAndSetting) {
  TLSessionContext context(settings, clock.clock());
  EXPECT_FALSE(context.sessionId());
  EXPECT_FALSE(store->objectForKey(TLSessionContext::kHistoryKey));  // nothing written at creation
  EXPECT_FALSE(context.sessionIdAt(clock.now().addingTimeInterval(-1)));
  clock.advance(5);
  context.setSessionId("S1");
  clock.advance(5);
  context.setSessionId("S2");
  auto history = stored<TLSessionHistoryInfo>(TLSessionContext::kHistoryKey);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]->sessionId(), "S2");
  EXPECT_EQ(history[0]->timestamp(), clock.now());
  EXPECT_EQ(context.sessionId(), "S2");
}

TEST_F(ContextTest, SessionLookupsAcrossLaunches) {
  Date a = clock.now();
  {
    TLSessionContext first(settings, clock.clock());
    first.setSessionId("A");
  }
  clock.advance(100);
  Date b = clock.now();
  {
    TLSessionContext second(settings, clock.clock());
    second.setSessionId("B");
  }
  clock.advance(100);
  TLSessionContext third(settings, clock.clock());
  EXPECT_EQ(third.sessionHistory().size(), 3u);
  const std::pair<Date, std::optional<std::string>> lookups[] = {
      {a, std::nullopt},
      {a.addingTimeInterval(50), "A"},
      {b, "A"},  // equal to B's timestamp: the entry before it
      {b.addingTimeInterval(1), "B"},
      {clock.now().addingTimeInterval(1), std::nullopt},  // this launch's entry, no id yet
  };
  for (const auto& [date, expected] : lookups)
    EXPECT_EQ(third.sessionIdAt(date), expected) << date.timeIntervalSince1970();
  third.clearSessionHistoryAndKeepCurrentSession(false);
  third.setSessionId("C");
  auto history = stored<TLSessionHistoryInfo>(TLSessionContext::kHistoryKey);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]->sessionId(), "C");
  third.clearSessionHistoryAndKeepCurrentSession(true);
  EXPECT_EQ(stored<TLSessionHistoryInfo>(TLSessionContext::kHistoryKey).size(), 1u);
}

TEST_F(ContextTest, SharedInstancesAreResettable) {
  platform::SettingsStore::setStandardUserDefaults(store);
  auto first = TLSessionContext::sharedInstance();
  EXPECT_EQ(first, TLSessionContext::sharedInstance());
  first->setSessionId("X");
  TLSessionContext::resetSharedInstance();
  auto second = TLSessionContext::sharedInstance();
  EXPECT_NE(first, second);
  EXPECT_FALSE(second->sessionId());
  EXPECT_EQ(second->sessionHistory().size(), 2u);
  TLSessionContext::resetSharedInstance();
  TLUserIdContext::resetSharedInstance();
  platform::SettingsStore::setStandardUserDefaults(nullptr);
}

// ---- User id context ----

struct Listener : TLUserIdContextDelegate {
  std::vector<std::optional<std::string>> seen;
  void userIdContextDidUpdateUserId(TLUserIdContext& context,
                                    const std::optional<std::string>& userId) override {
    seen.push_back(userId);
    EXPECT_EQ(context.userId(), userId);  // may call back in: no lock is held
  }
};

TEST_F(ContextTest, UserIdChangesTellListenersOnce) {
  TLUserIdContext context(settings, clock.clock());
  EXPECT_EQ(stored<TLUserIdHistoryInfo>(TLUserIdContext::kHistoryKey).size(), 1u);  // stored at creation
  auto listener = std::make_shared<Listener>();
  auto gone = std::make_shared<Listener>();
  context.addDelegate(listener);
  context.addDelegate(gone);
  gone.reset();
  context.setUserId(std::nullopt);
  clock.advance(1);
  context.setUserId("alice");
  Date set = clock.now();
  clock.advance(1);
  context.setUserId("alice");
  context.setUserId(std::nullopt);
  EXPECT_EQ(listener->seen, (std::vector<std::optional<std::string>>{"alice", std::nullopt}));
  auto history = stored<TLUserIdHistoryInfo>(TLUserIdContext::kHistoryKey);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_FALSE(history[0]->userId());
  EXPECT_EQ(history[0]->timestamp(), clock.now());
  EXPECT_NE(history[0]->timestamp(), set);
  context.removeDelegate(listener);
  context.setUserId("bob");
  EXPECT_EQ(listener->seen.size(), 2u);
}

TEST_F(ContextTest, UserIdLookupsAndClear) {
  Date first = clock.now();
  { TLUserIdContext(settings, clock.clock()).setUserId("u1"); }
  clock.advance(10);
  TLUserIdContext context(settings, clock.clock());
  EXPECT_EQ(context.historyCount(), 2u);
  EXPECT_EQ(context.userIdAt(first), std::nullopt);
  EXPECT_EQ(context.userIdAt(first.addingTimeInterval(1)), "u1");
  EXPECT_EQ(context.userIdAt(clock.now()), "u1");  // equal timestamp: the entry before
  EXPECT_EQ(context.userIdAt(clock.now().addingTimeInterval(1)), std::nullopt);
  context.clearUserIdHistory();
  EXPECT_EQ(context.historyCount(), 1u);
}

TEST_F(ContextTest, UserIdRules) {
  tltesting::MessageRecorder recorder;
  EXPECT_TRUE(TLUserIdContext::isUserIdValidForTelemetry(std::nullopt));
  EXPECT_TRUE(TLUserIdContext::isUserIdValidForTelemetry(std::string(256, 'a')));
  EXPECT_FALSE(TLUserIdContext::isUserIdValidForTelemetry(std::string(257, 'a')));
  std::string emoji;
  for (int i = 0; i < 128; ++i) emoji += "\xF0\x9F\x98\x80";
  EXPECT_TRUE(TLUserIdContext::isUserIdValidForTelemetry(emoji));  // 256 UTF-16 units
  EXPECT_FALSE(TLUserIdContext::isUserIdValidForTelemetry(emoji + "a"));
  EXPECT_EQ(recorder.texts(TLLogLevelError).back(), "userId is limited to 256 characters.");

  const std::tuple<std::optional<std::string>, bool, const char*> cases[] = {
      {std::nullopt, true, nullptr},
      {"alice", true, nullptr},
      {"c:alice", true, nullptr},
      {"c:", false, "userId must not be empty."},
      {":alice", false, "userId prefix must be 'c', '' is not supported."},
      {"d:alice", false, "userId prefix must be 'c', 'd' is not supported."},
      {"", false, "userId must not be empty."},
  };
  for (const auto& [id, valid, message] : cases) {
    tltesting::MessageRecorder each;
    EXPECT_EQ(TLUserIdContext::isUserIdValidForEventCollector(id), valid) << id.value_or("(nil)");
    auto errors = each.texts(TLLogLevelError);
    if (message) {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0], message);
    } else {
      EXPECT_TRUE(errors.empty());
    }
  }
  EXPECT_EQ(TLUserIdContext::prefixedUserIdFromUserId("alice"), "c:alice");
  EXPECT_EQ(TLUserIdContext::prefixedUserIdFromUserId("c:alice"), "c:alice");
  EXPECT_EQ(TLUserIdContext::prefixedUserIdFromUserId("d:alice"), "d:alice");
  EXPECT_EQ(TLUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
}

// ---- Device tracker ----

class DeviceTrackerTest : public ContextTest {
 protected:
  void TearDown() override {
    TLDeviceTracker::resetSharedInstance();
    ContextTest::TearDown();
  }
  TLDeviceFacts facts() {
    writeFile("machine/etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    writeFile("machine/etc/debian_version", "12.11\n");
    writeFile("machine/sys/class/dmi/id/product_name", "Standard PC\n");
    TLDeviceFacts::Source source;
    source.root = root() / "machine";
    source.environment = std::map<std::string, std::string>{{"LANG", "en_GB.UTF-8"}};
    source.machine = "x86_64";
    source.release = "6.1.0-18-amd64";
    return TLDeviceFacts(source);
  }
  std::unique_ptr<TLDeviceTracker> tracker() {
    return std::make_unique<TLDeviceTracker>(settings, clock.clock(), facts());
  }
};

TEST_F(DeviceTrackerTest, FirstLaunchBuildsAndStoresOneEntry) {
  auto t = tracker();
  EXPECT_EQ(stored<TLDeviceHistoryInfo>(TLDeviceTracker::kHistoryKey).size(), 1u);
  auto device = t->device();
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->isValid());
  EXPECT_EQ(device->sdkName(), "telemetry.macos");
  EXPECT_EQ(device->osName(), "Debian GNU/Linux");
  EXPECT_EQ(device->osVersion(), "12.11.0");
  EXPECT_EQ(device->osBuild(), "6.1.0-18-amd64");
  EXPECT_EQ(device->model(), "Standard PC");
  EXPECT_EQ(device->locale(), "en_GB");
  EXPECT_EQ(device->screenSize(), "0x0");
  EXPECT_EQ(device->appNamespace(), "com.quorvane.dashboard");
  EXPECT_FALSE(device->carrierCountry());
  EXPECT_EQ(t->device(), device);  // cached
  EXPECT_EQ(t->historyCount(), 1u);
}

TEST_F(DeviceTrackerTest, RefreshTriggersAndTheFiveEntryCap) {
  auto t = tracker();
  clock.advance(1);
  t->setCountryCode("GB");
  auto withCountry = t->device();
  EXPECT_EQ(withCountry->carrierCountry(), "GB");
  EXPECT_EQ(t->historyCount(), 2u);
  clock.advance(1);
  t->setWrapperSdk(TLWrapperSdk::initWithWrapperSdkVersion("1.0", "wrap", std::nullopt, std::nullopt,
                                                           std::nullopt, std::nullopt));
  EXPECT_EQ(t->device()->wrapperSdkName(), "wrap");
  for (int i = 0; i < 6; ++i) {
    clock.advance(1);
    TLDeviceTracker::refreshDeviceNextTime();
    t->device();
  }
  EXPECT_EQ(t->historyCount(), 5u);
  EXPECT_EQ(stored<TLDeviceHistoryInfo>(TLDeviceTracker::kHistoryKey).size(), 5u);
}

TEST_F(DeviceTrackerTest, LookupsByTimestamp) {
  // Three launches, each with its own app build told apart by the country code.
  Date first = clock.now();
  { tracker(); }
  clock.advance(100);
  Date second = clock.now();
  {
    auto t = tracker();
    t->setCountryCode("B");
    t->device();
  }
  clock.advance(100);
  Date third = clock.now();
  auto t = tracker();
  t->setCountryCode("C");
  t->device();
  ASSERT_EQ(t->historyCount(), 3u);
  const std::tuple<std::optional<Date>, std::optional<std::string>> cases[] = {
      {first.addingTimeInterval(-10), std::nullopt},  // before every entry: the oldest
      {first, std::nullopt},                          // equal to the first: the oldest
      {second, std::nullopt},                         // equal to an entry: the one before
      {second.addingTimeInterval(1), "B"},
      {third.addingTimeInterval(1), "C"},  // after all: the newest
      {std::nullopt, "C"},                 // no date: the current one
  };
  for (const auto& [date, country] : cases) EXPECT_EQ(t->deviceForTimestamp(date)->carrierCountry(), country);
}

TEST_F(DeviceTrackerTest, ClearDevicesStartsOver) {
  auto t = tracker();
  t->clearDevices();
  EXPECT_FALSE(store->objectForKey(TLDeviceTracker::kHistoryKey));
  EXPECT_EQ(t->historyCount(), 0u);
  EXPECT_TRUE(t->deviceForTimestamp(clock.now()));
  EXPECT_EQ(t->historyCount(), 1u);
}

// Contexts used from eight threads at once stay consistent.
TEST_F(DeviceTrackerTest, ContextsFromEightThreads) {
  auto t = tracker();
  TLSessionContext sessions(settings, clock.clock());
  TLUserIdContext users(settings, clock.clock());
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 100; ++k) {
        sessions.setSessionId(fmt::format("s{}-{}", i, k));
        users.setUserId(fmt::format("u{}", k % 3));
        EXPECT_TRUE(t->device());
        if (k % 10 == 0) TLDeviceTracker::refreshDeviceNextTime();
        EXPECT_TRUE(t->deviceForTimestamp(clock.now()));
        sessions.sessionIdAt(clock.now());
        users.userIdAt(clock.now());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sessions.sessionHistory().size(), 1u);
  EXPECT_LE(t->historyCount(), 5u);
}

}  // namespace
