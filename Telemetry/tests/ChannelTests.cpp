#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "PipelineTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Channel/TLEventCollectorChannelDelegate.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "testing/TelemetryIngestionServer.h"

using namespace tltesting;
using qvtesting::ScriptedAnswer;

namespace {

const std::vector<double> kFastRetries{2, 2, 2};

// Every delegate callback, as "<event> <service name>" ("<event> <error code>" for failures).
class ChannelRecorder : public TLChannelDelegate {
 public:
  void channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) override {
    add("prepare", log);
  }
  void channelDidPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log, const std::string&,
                            std::uint64_t) override {
    add("didPrepare", log);
  }
  void channelDidCompleteEnqueueingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                       const std::string&) override {
    add("complete", log);
  }
  void channelWillSendLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) override {
    add("willSend", log);
  }
  void channelDidSucceedSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) override {
    add("succeed", log);
  }
  void channelDidFailSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                const std::optional<platform::Error>& error) override {
    add("fail " + std::to_string(error ? error->code : 0), log);
  }
  void channelDidSetEnabled(TLChannelProtocol& channel, bool enabled, bool deleteData) override {
    auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel);
    add(std::string(unit ? "unit" : "group") + (enabled ? " enabled" : " disabled") +
            (deleteData ? " delete" : ""),
        nullptr);
  }
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol&, const std::shared_ptr<TLLog>& log) override {
    return serviceOf(log).rfind("filtered", 0) == 0;
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> eventsFor(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& event : events())
      if (event.size() > name.size() &&
          event.compare(event.size() - name.size() - 1, std::string::npos, " " + name) == 0)
        out.push_back(event.substr(0, event.size() - name.size() - 1));
    return out;
  }
  std::size_t count(const std::string& prefix) const {
    auto all = events();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
  }

 private:
  void add(const std::string& event, const std::shared_ptr<TLLog>& log) {
    std::lock_guard lock(mutex_);
    events_.push_back(log ? event + " " + serviceOf(log) : event);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

class ChannelTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    ASSERT_TRUE(server.start());
    reference = std::make_shared<TestReachabilityReference>();
    reachability = TL_Reachability::reachabilityWithReference(reference);
    recorder = std::make_shared<ChannelRecorder>();
  }
  void TearDown() override {
    if (group) {
      group->logsDispatchQueue()->sync([] {});
      group.reset();
    }
    PipelineTest::TearDown();
  }
  // A group over the loopback service with its own store and token context.
  void makeGroup(bool withSecret = true) {
    ingestion = TLTelemetryIngestion::make(server.baseURL(), "INSTALL-ID", reachability, kFastRetries);
    if (withSecret) ingestion->setAppSecret("secret");
    storage = std::make_shared<TLLogDBStorage>();
    auto context = std::make_shared<TLAuthTokenContext>(TLUserDefaults::shared(),
                                                        std::make_shared<TLEncrypter>(), TLSystemClock());
    group = TLChannelGroupDefault::initWithIngestion(ingestion, storage, context);
    group->addDelegate(recorder);
    ASSERT_TRUE(waitFor([&] { return !ingestion->isPaused(); }));
  }
  std::shared_ptr<TLChannelUnitDefault> addUnit(const std::string& id, std::uint64_t interval,
                                                std::uint64_t batch = 50, std::uint64_t pending = 3) {
    return std::static_pointer_cast<TLChannelUnitDefault>(group->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::initWithGroupId(id, 1, interval, batch, pending)));
  }
  template <typename T>
  T onQueue(const std::function<T()>& read) {
    return group->logsDispatchQueue()->sync(read);
  }
  std::uint64_t rows(const std::string& groupId) {
    return onQueue<std::uint64_t>([&] { return storage->countLogsWithGroupId(groupId).value_or(999); });
  }
  std::vector<std::string> sentServices() const {
    std::vector<std::string> names;
    for (const auto& log : server.allLogs())
      if (log.contains("services")) names.push_back(log["services"][0]);
    return names;
  }

  qvtesting::TelemetryIngestionServer server;
  std::shared_ptr<TestReachabilityReference> reference;
  std::shared_ptr<TL_Reachability> reachability;
  std::shared_ptr<ChannelRecorder> recorder;
  std::shared_ptr<TLTelemetryIngestion> ingestion;
  std::shared_ptr<TLLogDBStorage> storage;
  std::shared_ptr<TLChannelGroupDefault> group;
};

// ---- One log, end to end ----

TEST_F(ChannelTest, OneLogIsStoredSentAndDeletedWithCallbacksInOrder) {
  makeGroup();
  auto unit = addUnit("Analytics", 0);
  // The group hears the unit from the first log on, right after adding it.
  unit->enqueueItem(testLog("one"), 1);
  ASSERT_TRUE(server.waitForRequests(1));
  ASSERT_TRUE(waitFor([&] { return recorder->eventsFor("one").size() == 5; }));
  EXPECT_EQ(recorder->eventsFor("one"),
            (std::vector<std::string>{"prepare", "didPrepare", "complete", "willSend", "succeed"}));
  EXPECT_TRUE(waitFor([&] { return rows("Analytics") == 0; }));
  EXPECT_EQ(sentServices(), std::vector<std::string>{"one"});
  // A filtered log and an invalid one never reach the store.
  unit->enqueueItem(testLog("filtered"), 1);
  auto invalid = testLog("invalid");
  invalid->setType(std::nullopt);
  unit->enqueueItem(invalid, 1);
  ASSERT_TRUE(waitFor([&] { return recorder->eventsFor("filtered").size() == 3; }));
  EXPECT_EQ(recorder->eventsFor("filtered"), (std::vector<std::string>{"prepare", "didPrepare", "complete"}));
  EXPECT_TRUE(recorder->eventsFor("invalid").empty());
  EXPECT_EQ(rows("Analytics"), 0u);
}

// While the sender has no secret, logs are dropped rather than kept.
TEST_F(ChannelTest, LogsAreDroppedWhileTheIngestionIsNotReady) {
  makeGroup(false);
  auto unit = addUnit("Analytics", 0);
  unit->enqueueItem(testLog("early"), 1);
  ASSERT_TRUE(waitFor([&] { return recorder->eventsFor("early").size() == 3; }));
  EXPECT_EQ(rows("Analytics"), 0u);
}

// An earlier run's logs are sent without any new log.
TEST_F(ChannelTest, AnEarlierRunsLogsAreSent) {
  {
    TLLogDBStorage earlier;
    ASSERT_TRUE(earlier.saveLog(testLog("left-1"), "Crashes", 1));
    ASSERT_TRUE(earlier.saveLog(testLog("left-2"), "Crashes", 2));
  }
  makeGroup();
  addUnit("Crashes", 1, 1);
  ASSERT_TRUE(waitFor([&] { return sentServices().size() == 2; }));
  // Two batches of one travel side by side, so they may arrive in either order.
  auto sent = sentServices();
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"left-1", "left-2"}));
  EXPECT_TRUE(waitFor([&] { return rows("Crashes") == 0; }));
}

// A stored log that reads back invalid is deleted and reported failed; the rest of its batch goes out.
TEST_F(ChannelTest, InvalidStoredLogsAreReportedAndNeverBlockTheirBatch) {
  {
    TLLogDBStorage earlier;
    auto invalid = testLog("broken");
    invalid->setDevice(nullptr);
    ASSERT_TRUE(earlier.saveLog(invalid, "Analytics", 1));
    ASSERT_TRUE(earlier.saveLog(testLog("fine"), "Analytics", 1));
  }
  makeGroup();
  addUnit("Analytics", 0);
  ASSERT_TRUE(waitFor([&] { return sentServices().size() == 1; }));
  EXPECT_EQ(sentServices(), std::vector<std::string>{"fine"});
  EXPECT_EQ(recorder->eventsFor("broken"), (std::vector<std::string>{"willSend", "fail 1"}));
  EXPECT_TRUE(waitFor([&] { return rows("Analytics") == 0; }));
  // The service can go away and come back on the same port; logs wait for it meanwhile.
  auto port = server.port();
  server.stop();
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.port(), port);
}

// ---- Answers, as a unit sees them (cases run side by side) ----

struct AnswerCase {
  std::string name;
  std::vector<ScriptedAnswer> answers;
  std::vector<std::string> events;  // after willSend
  std::uint64_t rowsAfter;
  bool unitEnabled;
  bool ingestionEnabled;
};
std::ostream& operator<<(std::ostream& out, const AnswerCase& c) { return out << c.name; }

class ChannelAnswerTest : public ChannelTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ChannelAnswerTest, AnswerDecidesRowsAndStates) {
  const auto& c = GetParam();
  server.script(c.answers);
  makeGroup();
  auto unit = addUnit("Analytics", 0);
  unit->enqueueItem(testLog("a"), 1);
  ASSERT_TRUE(waitFor([&] { return recorder->eventsFor("a").size() >= 4 + c.events.size(); }));
  ASSERT_TRUE(waitFor([&] { return onQueue<bool>([&] { return unit->pendingBatchIds().empty(); }); }));
  auto events = recorder->eventsFor("a");
  EXPECT_EQ(std::vector<std::string>(events.begin() + 4, events.end()), c.events);
  EXPECT_TRUE(waitFor([&] { return rows("Analytics") == c.rowsAfter; }));
  EXPECT_TRUE(waitFor([&] { return onQueue<bool>([&] { return unit->isEnabled(); }) == c.unitEnabled; }));
  EXPECT_EQ(ingestion->isEnabled(), c.ingestionEnabled);
  if (!c.ingestionEnabled) {
    EXPECT_TRUE(waitFor([&] { return onQueue<bool>([&] { return unit->isPaused(); }); }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, ChannelAnswerTest,
    ::testing::Values(
        AnswerCase{"ok", {{200, "", 0, false}}, {"succeed"}, 0, true, true},
        // A final failure: the logs are reported failed, then deleted by the disable.
        AnswerCase{
            "badRequest", {{400, "", 0, false}}, {"fail 101", "willSend", "fail 100"}, 0, false, false},
        AnswerCase{"serverError",
                   {{500, "", 0, false}, {500, "", 0, false}, {500, "", 0, false}, {500, "", 0, false}},
                   {"fail 101"},
                   1,
                   true,
                   false}),
    [](const auto& info) { return info.param.name; });

// ---- Flush triggers ----

// Interval 3 with a full batch sends at once; interval 1 waits for its timer even after one log.
TEST_F(ChannelTest, CountAndTimerTriggers) {
  makeGroup();
  auto counted = addUnit("Counted", 3, 3);
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) counted->enqueueItem(testLog("c" + std::to_string(i)), 1);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  EXPECT_EQ(server.requests()[0].logs.size(), 3u);

  auto timed = addUnit("Timed", 1, 1);
  started = std::chrono::steady_clock::now();
  timed->enqueueItem(testLog("t"), 1);
  ASSERT_TRUE(waitFor([&] { return rows("Timed") == 1; }));
  EXPECT_TRUE(onQueue<bool>([&] { return timed->hasPendingTimer(); }));
  ASSERT_TRUE(server.waitForRequests(2));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
}

// A stream of logs closer together than the interval never postpones the send.
TEST_F(ChannelTest, AStreamNeverPostponesTheTimer) {
  makeGroup();
  auto unit = addUnit("Stream", 2);
  auto started = std::chrono::steady_clock::now();
  bool sent = false;
  for (int i = 0; i < 12 && !sent; ++i) {
    unit->enqueueItem(testLog("s" + std::to_string(i)), 1);
    runFor(0.25);
    sent = server.requestCount() > 0;
  }
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
}

// Intervals of 4 s and more keep their window in the settings across restarts.
TEST_F(ChannelTest, PersistedWindowForLongIntervals) {
  makeGroup();
  auto settings = TLUserDefaults::shared();
  const std::string key = "TLChannelStartTimer:Long";
  auto now = platform::Date::now();
  struct Case {
    std::string name;
    std::optional<double> startOffset;  // seconds from now
    std::uint64_t expected;
    bool keyKept;
  };
  auto unit = addUnit("Long", 10);
  for (const auto& c : std::vector<Case>{{"none", std::nullopt, 10, true},
                                         {"restart in window", -7.5, 3, true},
                                         {"future", 3600, 10, true},
                                         {"expired", -20, 0, false}}) {
    SCOPED_TRACE(c.name);
    if (c.startOffset) {
      settings->setObject(platform::PropertyList(platform::Date::fromTimeIntervalSince1970(
                              now.timeIntervalSince1970() + *c.startOffset)),
                          key);
    } else {
      settings->removeObjectForKey(key);
    }
    auto seconds = onQueue<std::uint64_t>([&] { return unit->resolveFlushInterval(); });
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(c.expected), 1.0);
    auto stored = settings->objectForKey(key);
    EXPECT_EQ(stored.has_value(), c.keyKept);
    if (c.keyKept && stored && stored->asDate()) {
      EXPECT_LE(stored->asDate()->timeIntervalSince1970(), now.timeIntervalSince1970() + 60);
    }
  }
  // A log within a window that is nearly over goes out when the window ends.
  settings->setObject(platform::PropertyList(platform::Date::fromTimeIntervalSince1970(
                          platform::Date::now().timeIntervalSince1970() - 8.5)),
                      key);
  unit->enqueueItem(testLog("late"), 1);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_TRUE(waitFor([&] { return !settings->objectForKey(key).has_value(); }));
}

// ---- Pending limit, pause lanes, disable ----

TEST_F(ChannelTest, AtMostTheLimitOfBatchesIsInFlight) {
  // Answers take 2 s, so the batches in flight can be counted while they wait.
  server.setDefaultAnswer(ScriptedAnswer{200, "", 2.0, false});
  makeGroup();
  auto unit = addUnit("Limited", 0, 1, 2);
  for (int i = 0; i < 5; ++i) unit->enqueueItem(testLog("l" + std::to_string(i)), 1);
  ASSERT_TRUE(waitFor([&] { return rows("Limited") == 5 || server.requestCount() > 0; }));
  ASSERT_TRUE(server.waitForRequests(2));
  runFor(0.5);
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_TRUE(onQueue<bool>([&] { return unit->pendingBatchIds().size() <= 2; }));
  ASSERT_TRUE(waitFor([&] { return sentServices().size() == 5; }));
  EXPECT_TRUE(waitFor([&] { return rows("Limited") == 0; }));
}

TEST_F(ChannelTest, PauseLanesHoldUntilTheLastObjectResumes) {
  makeGroup();
  auto unit = addUnit("Lanes", 0);
  auto first = std::make_shared<int>(1), second = std::make_shared<int>(2);
  unit->pauseWithIdentifyingObject(first);
  unit->pauseWithIdentifyingObject(second);
  unit->enqueueItem(testLog("held"), 1);
  ASSERT_TRUE(waitFor([&] { return rows("Lanes") == 1; }));
  unit->resumeWithIdentifyingObject(first);
  runFor(0.5);
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_TRUE(onQueue<bool>([&] { return unit->isPaused(); }));
  unit->resumeWithIdentifyingObject(second);
  ASSERT_TRUE(server.waitForRequests(1));
  // The group pauses its sender and every unit; resuming sends what waited.
  group->pauseWithIdentifyingObject(first);
  unit->enqueueItem(testLog("group-held"), 1);
  ASSERT_TRUE(waitFor([&] { return rows("Lanes") == 1; }));
  runFor(0.3);
  EXPECT_EQ(server.requestCount(), 1u);
  group->resumeWithIdentifyingObject(first);
  ASSERT_TRUE(server.waitForRequests(2));
}

// Disabling with deletion reports every stored log as failed (code 100), discards new logs, and
// drops the batches in flight; enabling again leaves discard mode.
TEST_F(ChannelTest, DisableWithDeletionReportsDropsAndDiscards) {
  server.setDefaultAnswer(ScriptedAnswer{200, "", 30.0, false});
  makeGroup();
  auto unit = addUnit("Disabled", 0, 1, 1);
  unit->enqueueItem(testLog("in-flight"), 1);
  ASSERT_TRUE(server.waitForRequests(1));
  unit->enqueueItem(testLog("stored"), 1);
  ASSERT_TRUE(waitFor([&] { return rows("Disabled") == 2; }));
  group->setEnabled(false, true);
  ASSERT_TRUE(waitFor([&] { return onQueue<bool>([&] { return unit->discardLogs(); }); }));
  EXPECT_EQ(rows("Disabled"), 0u);
  EXPECT_TRUE(onQueue<bool>([&] { return unit->pendingBatchIds().empty(); }));
  EXPECT_EQ(recorder->eventsFor("stored").back(), "fail 100");
  unit->enqueueItem(testLog("discarded"), 1);
  ASSERT_TRUE(waitFor([&] { return recorder->eventsFor("discarded").size() == 5; }));
  EXPECT_EQ(recorder->eventsFor("discarded"),
            (std::vector<std::string>{"prepare", "didPrepare", "willSend", "fail 100", "complete"}));
  EXPECT_EQ(recorder->count("group disabled delete"), 1u);
  EXPECT_TRUE(waitFor([&] { return recorder->count("unit disabled delete") == 1; }));
  group->setEnabled(true, false);
  ASSERT_TRUE(waitFor([&] { return !onQueue<bool>([&] { return unit->discardLogs(); }); }));
  server.setDefaultAnswer(ScriptedAnswer{});
  ASSERT_TRUE(waitFor([&] { return !ingestion->isPaused(); }));
  unit->enqueueItem(testLog("after"), 1);
  ASSERT_TRUE(waitFor([&] {
    auto names = sentServices();
    return std::find(names.begin(), names.end(), "after") != names.end();
  }));
}

// Logs enqueued on many threads at once: each thread's logs are taken in its order, each before
// any queue task its thread queues afterwards, and a disable from another thread comes after the
// logs enqueued before it returned and before those enqueued after, even while all of them wait
// for the queue together. The store file is left empty and whole.
TEST_F(ChannelTest, ManyThreadsKeepTheirOrderAndMeetADisableInOrder) {
  makeGroup();
  auto unit = addUnit("Racing", 3600, 100000);
  constexpr int kThreads = 8;
  constexpr int kLogs = 300;
  // Each thread's first logs are followed now and then by a task of its own on the queue; the next
  // ones are enqueued while the queue is held, half of them before the disable.
  constexpr int kSyncedLogs = 100;
  constexpr int kBeforeDisable = 200;
  auto nameOf = [](int t, int i) { return "t" + std::to_string(t) + "-" + std::to_string(i); };
  std::atomic<bool> held{false};
  std::atomic<bool> disabled{false};
  std::vector<std::atomic<int>> progress(kThreads);
  auto waitUntil = [](const std::atomic<bool>& flag) {
    while (!flag.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  auto allReached = [&](int count) {
    return std::all_of(progress.begin(), progress.end(), [&](const auto& p) { return p.load() >= count; });
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLogs; ++i) {
        if (i == kSyncedLogs) waitUntil(held);
        if (i == kBeforeDisable) waitUntil(disabled);
        unit->enqueueItem(testLog(nameOf(t, i)), 1);
        progress[t] = i + 1;
        if (i < kSyncedLogs && i % 25 == 24) {
          unit->logsDispatchQueue()->sync([] {});
          auto seen = recorder->eventsFor(nameOf(t, i));
          EXPECT_FALSE(seen.empty());
          if (!seen.empty()) {
            EXPECT_EQ(seen.back(), "complete") << nameOf(t, i);
          }
        }
      }
    });
  }
  ASSERT_TRUE(waitFor([&] { return allReached(kSyncedLogs); }));
  std::atomic<bool> release{false};
  unit->logsDispatchQueue()->async([&] {
    held = true;
    waitUntil(release);
  });
  ASSERT_TRUE(waitFor([&] { return allReached(kBeforeDisable); }));
  unit->setEnabled(false, true);
  disabled = true;
  ASSERT_TRUE(waitFor([&] { return allReached(kLogs); }));
  release = true;
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitFor([&] { return recorder->count("complete ") == std::size_t{kThreads * kLogs}; }));

  std::vector<int> next(kThreads, 0);
  for (const auto& event : recorder->events()) {
    int t = 0;
    int i = 0;
    if (std::sscanf(event.c_str(), "complete t%d-%d", &t, &i) != 2) continue;
    ASSERT_TRUE(t >= 0 && t < kThreads) << event;
    EXPECT_EQ(i, next[t]) << event;
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(next[t], kLogs);
    // Stored, then deleted by the disable; or discarded, never stored.
    EXPECT_EQ(recorder->eventsFor(nameOf(t, kBeforeDisable - 1)),
              (std::vector<std::string>{"prepare", "didPrepare", "complete", "willSend", "fail 100"}));
    for (int i = kBeforeDisable; i < kLogs; ++i) {
      EXPECT_EQ(recorder->eventsFor(nameOf(t, i)),
                (std::vector<std::string>{"prepare", "didPrepare", "willSend", "fail 100", "complete"}))
          << nameOf(t, i);
    }
  }
  EXPECT_EQ(rows("Racing"), 0u);
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA integrity_check"), "ok");
}

TEST_F(ChannelTest, GroupAddsFindsAndForwards) {
  makeGroup();
  EXPECT_EQ(group->addChannelUnitWithConfiguration(nullptr), nullptr);
  auto a = addUnit("Same", 3);
  auto b = addUnit("Same", 3);
  EXPECT_EQ(group->channelUnitForGroupId("Same"), a);
  EXPECT_EQ(group->channelUnitForGroupId("Other"), nullptr);
  EXPECT_FALSE(group->channelUnitShouldFilterLog(*a, testLog()));
  bool answered = false, success = false;
  group->setMaxStorageSize(40961, [&](bool ok) {
    answered = true;
    success = ok;
  });
  group->logsDispatchQueue()->sync([] {});
  EXPECT_TRUE(answered);
  EXPECT_TRUE(success);
  EXPECT_EQ(storage->maxSizeInBytes(), 45056);
  (void)b;
}

// ---- Event Collector ----

class EventCollectorTest : public ChannelTest {
 protected:
  void makeCollector() {
    makeGroup();
    collectorIngestion = TLEventCollectorIngestion::make(server.baseURL(), reachability, kFastRetries);
    collector = std::make_shared<TLEventCollectorChannelDelegate>("00000000-0000-0000-0000-0000000000CD",
                                                                  collectorIngestion);
    group->addDelegate(collector);
  }
  std::shared_ptr<TLEventCollectorIngestion> collectorIngestion;
  std::shared_ptr<TLEventCollectorChannelDelegate> collector;
};

// A log kind whose Event Schema form carries an event name, as analytics events do.
class TestEventLog : public TLStartServiceLog {
 public:
  std::shared_ptr<TLEventSchemaLog> toEventSchemaLogForTargetToken(const std::string& token,
                                                                   std::uint64_t flags) const override {
    auto log = TLStartServiceLog::toEventSchemaLogForTargetToken(token, flags);
    log->setName("test.event");
    return log;
  }
};

std::shared_ptr<TLEventSchemaLog> schemaLog(const std::string& name, const std::string& iKey = "o:tenant") {
  auto log = TLEventSchemaLog::init();
  log->setTimestamp(platform::Date::now());
  log->setVer("3.0");
  log->setName(name);
  log->setIKey(iKey);
  log->addTransmissionTargetToken("tenant-token");
  return log;
}

TEST_F(EventCollectorTest, TwinsAreMadeOnceWithTheBaseInterval) {
  makeCollector();
  auto base = addUnit("Analytics", 7);
  auto twin = group->channelUnitForGroupId("Analytics/one");
  ASSERT_TRUE(twin);
  EXPECT_EQ(twin->configuration()->flushInterval(), 7u);
  EXPECT_EQ(twin->configuration()->batchSizeLimit(), 50u);
  EXPECT_EQ(twin->configuration()->pendingBatchesLimit(), 3u);
  EXPECT_EQ(group->channels().size(), 2u);
  addUnit("Crashes/one", 1);
  EXPECT_EQ(group->channels().size(), 3u);
  EXPECT_EQ(collector->eventCollectorChannel("Analytics"), twin);
  (void)base;
}

// A log with two target tokens leaves its unit as two Event Schema lines with their own numbers; a
// log without tokens never reaches the twin.
TEST_F(EventCollectorTest, TargetLogsAreRoutedStampedAndSentAsJsonLines) {
  makeCollector();
  auto unit = addUnit("Analytics", 0);
  auto targeted = std::make_shared<TestEventLog>();
  targeted->setTimestamp(platform::Date::now());
  targeted->setDevice(testDevice());
  targeted->setServices(std::vector<std::string>{"targeted"});
  targeted->addTransmissionTargetToken("aaaa-first-token");
  targeted->addTransmissionTargetToken("bbbb-second-token");
  unit->enqueueItem(targeted, 1);
  unit->enqueueItem(testLog("plain"), 1);
  ASSERT_TRUE(waitFor([&] { return server.allLogs().size() == 3; }));
  std::vector<nlohmann::json> lines;
  for (const auto& request : server.requests()) {
    if (request.isJsonLines) {
      EXPECT_EQ(request.url, server.baseURL() + "/EventCollector/1.0");
      for (const auto& line : request.logs) lines.push_back(line);
    } else {
      ASSERT_EQ(request.logs.size(), 1u);
      EXPECT_EQ(request.logs[0]["services"][0], "plain");
    }
  }
  ASSERT_EQ(lines.size(), 2u);
  std::set<std::string> iKeys;
  for (const auto& line : lines) {
    iKeys.insert(line.value("iKey", ""));
    EXPECT_EQ(line["ext"]["sdk"]["seq"], 1);
    EXPECT_EQ(line["ext"]["sdk"]["installId"], "00000000-0000-0000-0000-0000000000CD");
  }
  EXPECT_EQ(iKeys, (std::set<std::string>{"o:aaaa", "o:bbbb"}));
  EXPECT_TRUE(waitFor([&] { return rows("Analytics") == 0 && rows("Analytics/one") == 0; }));
}

TEST_F(EventCollectorTest, EventNamesAreValidated) {
  MessageRecorder messages;
  const std::vector<std::pair<std::string, bool>> cases{{"abcd", true},
                                                        {"abc", false},
                                                        {"a.b.c.d", true},
                                                        {"a..bcd", false},
                                                        {"abcd.", false},
                                                        {"", false},
                                                        {"a_b9", true},
                                                        {"_abc", false},
                                                        {"ab cd", false},
                                                        {std::string(100, 'a'), true},
                                                        {std::string(101, 'a'), false}};
  for (const auto& [name, valid] : cases)
    EXPECT_EQ(TLEventCollectorChannelDelegate::validateLogName(name), valid) << name;
  EXPECT_FALSE(TLEventCollectorChannelDelegate::validateLogName(std::nullopt));
  auto errors = messages.texts(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(),
                      std::string("Log validation failed. Name must match '") + kTLLogNameRegex +
                          "' but was 'abc'"),
            errors.end());

  makeCollector();
  auto unit = addUnit("Analytics", 0);
  unit->enqueueItem(schemaLog("bad"), 1);
  unit->enqueueItem(schemaLog("good.name"), 1);
  ASSERT_TRUE(waitFor([&] { return server.allLogs().size() == 1; }));
  EXPECT_EQ(server.allLogs()[0]["name"], "good.name");
  // The Event Schema log was stamped in its unit and again in the twin.
  EXPECT_EQ(server.allLogs()[0]["ext"]["sdk"]["seq"], 4);
}

// Sequence numbers stay unique per iKey when logs are prepared on many threads at once.
TEST_F(EventCollectorTest, SequenceNumbersAreUniqueAcrossThreads) {
  makeCollector();
  auto unit = addUnit("Analytics", 3);
  std::vector<std::shared_ptr<TLEventSchemaLog>> logs(8 * 200);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto log = schemaLog("name.x");
        collector->channelPrepareLog(*unit, log);
        logs[static_cast<std::size_t>(t * 200 + i)] = log;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> seqs;
  std::set<std::string> epochs;
  for (const auto& log : logs) {
    seqs.insert(log->ext()->sdkExt()->seq());
    epochs.insert(log->ext()->sdkExt()->epoch().value_or(""));
  }
  EXPECT_EQ(seqs.size(), logs.size());
  EXPECT_EQ(*seqs.begin(), 1);
  EXPECT_EQ(*seqs.rbegin(), static_cast<std::int64_t>(logs.size()));
  EXPECT_EQ(epochs.size(), 1u);
  // Disabling the whole group with deletion starts new epochs.
  group->setEnabled(false, true);
  auto again = schemaLog("name.x");
  collector->channelPrepareLog(*unit, again);
  EXPECT_EQ(again->ext()->sdkExt()->seq(), 1);
  EXPECT_NE(again->ext()->sdkExt()->epoch(), *epochs.begin());
}

// Disabling a base unit with deletion disables its twin the same way; pausing it pauses the twin.
TEST_F(EventCollectorTest, TwinsMirrorTheirBaseUnit) {
  makeCollector();
  auto base = addUnit("Analytics", 0);
  auto twin = std::static_pointer_cast<TLChannelUnitDefault>(group->channelUnitForGroupId("Analytics/one"));
  auto holder = std::make_shared<int>(0);
  base->pauseWithIdentifyingObject(holder);
  ASSERT_TRUE(waitFor([&] { return onQueue<bool>([&] { return twin->isPaused(); }); }));
  base->resumeWithIdentifyingObject(holder);
  ASSERT_TRUE(waitFor([&] { return !onQueue<bool>([&] { return twin->isPaused(); }); }));
  base->setEnabled(false, true);
  ASSERT_TRUE(waitFor([&] { return onQueue<bool>([&] { return twin->discardLogs(); }); }));
}

}  // namespace
