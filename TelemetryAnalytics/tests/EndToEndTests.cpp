#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "AnalyticsTestSupport.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "platform/AsioMainQueue.h"
#include "platform/UUID.h"
#include "testing/TelemetryIngestionServer.h"

extern char** environ;

namespace {

using namespace tltesting;

constexpr const char* kDashedSecret = "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26";
constexpr const char* kChildRootVariable = "QV_TLSVC_E2E_ROOT";
constexpr const char* kChildUrlVariable = "QV_TLSVC_E2E_URL";
constexpr const char* kChildFdVariable = "QV_TLSVC_E2E_FD";
constexpr int kFreshEvents = 20;

std::shared_ptr<platform::SettingsStore> persistentStore() {
  return platform::SettingsStore::storeWithPath(platform::SettingsStore::standardPath());
}

// Tracks one event of each typed kind, one critical event and one page.
void trackSampleLogs(const std::string& prefix) {
  auto properties = TLEventProperties::init();
  properties->setString("blue", "colour")
      .setBool(true, "pro")
      .setInt64(42, "count")
      .setDouble(2.5, "ratio")
      .setDate(platform::Date::fromTimeIntervalSince1970(1700000000.25), "when");
  TLAnalytics::trackEvent(prefix + "typed", properties);
  TLAnalytics::trackEvent(prefix + "critical", TLAnalytics::StringProperties{{"level", "high"}},
                          kTLFlagsCritical);
  // Long values make a batch large enough to be compressed.
  auto padded = TLEventProperties::init();
  for (int i = 0; i < 12; ++i)
    padded->setString(std::string(120, static_cast<char>('a' + i)), "pad" + std::to_string(i));
  TLAnalytics::trackEvent(prefix + "padded", padded);
  TLAnalytics::trackPage(prefix + "Home", TLAnalytics::StringProperties{{"from", "menu"}});
}

class EndToEndTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    unsetenv(kTLDisableVariable);
    resetAnalyticsState(persistentStore());
    ASSERT_TRUE(server.start());
  }
  void TearDown() override {
    drainPipeline();
    resetAnalyticsState(platform::SettingsStore::inMemoryStore());
    server.stop();
    PipelineTest::TearDown();
  }

  std::vector<nlohmann::json> logsOfType(const std::string& type) const {
    std::vector<nlohmann::json> out;
    for (const auto& log : server.allLogs())
      if (log.value("type", "") == type) out.push_back(log);
    return out;
  }
  std::size_t storedRows() {
    auto group =
        std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
    return group->logsDispatchQueue()->sync([&] { return group->storage()->countLogs().value_or(99); });
  }

  qvtesting::TelemetryIngestionServer server;
};

TEST_F(EndToEndTest, ApplicationLogsReachTheServiceInTheirJsonForms) {
  TLTelemetry::setLogUrl(server.baseURL());
  onMain([] {
    TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass(), TestHigh::serviceClass()});
    trackSampleLogs("");
  });
  ASSERT_TRUE(waitFor([&] { return server.allLogs().size() >= 6; })) << server.allLogs().size();
  std::string installId = *TLUserDefaults::shared()->objectForKey(kTLInstallIdKey)->asString();
  std::string sessionId = *TLSessionContext::sharedInstance()->sessionId();

  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, server.baseURL() + "/logs?api-version=1.0.0");
    EXPECT_EQ(request.header("Install-ID"), installId);
    EXPECT_EQ(request.header("App-Secret"), kDashedSecret);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    bool large = request.body.size() >= 1400;
    EXPECT_EQ(request.header("Content-Encoding").has_value(), large) << request.body.size();
    if (large) {
      ASSERT_GE(request.raw.size(), 2u);
      EXPECT_EQ(static_cast<unsigned char>(request.raw[0]), 0x1f);
      EXPECT_EQ(static_cast<unsigned char>(request.raw[1]), 0x8b);
      EXPECT_LT(request.raw.size(), request.body.size());
    }
  }
  bool sawCompressed = false;
  for (const auto& request : server.requests()) sawCompressed = sawCompressed || request.body.size() >= 1400;
  EXPECT_TRUE(sawCompressed);

  auto starts = logsOfType("startService");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]["services"], nlohmann::json({"TestHigh", "Analytics"}));
  EXPECT_FALSE(starts[0].contains("sid"));
  EXPECT_TRUE(TLUtility::dateFromISO8601(starts[0].value("timestamp", "")));
  EXPECT_TRUE(starts[0]["device"].is_object());

  auto sessions = logsOfType("startSession");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["sid"], sessionId);

  auto events = logsOfType("event");
  ASSERT_EQ(events.size(), 3u);
  std::map<std::string, nlohmann::json> byName;
  for (const auto& event : events) byName[event.value("name", "")] = event;
  const auto& typed = byName["typed"];
  EXPECT_TRUE(platform::parseUUID(typed.value("id", "")));
  EXPECT_EQ(typed["sid"], sessionId);
  EXPECT_TRUE(typed["device"].is_object());
  // The stored form keeps the properties by name; their order on the wire is the store's.
  auto sortedByName = [](nlohmann::json array) {
    std::sort(array.begin(), array.end(),
              [](const auto& a, const auto& b) { return a.value("name", "") < b.value("name", ""); });
    return array;
  };
  EXPECT_EQ(sortedByName(typed["typedProperties"]), sortedByName(nlohmann::json::parse(R"([
      {"type":"string","name":"colour","value":"blue"},
      {"type":"boolean","name":"pro","value":true},
      {"type":"long","name":"count","value":42},
      {"type":"double","name":"ratio","value":2.5},
      {"type":"dateTime","name":"when","value":"2023-11-14T22:13:20.250Z"}])")));
  EXPECT_EQ(byName["critical"]["typedProperties"],
            nlohmann::json::parse(R"([{"type":"string","name":"level","value":"high"}])"));
  EXPECT_EQ(byName["padded"]["typedProperties"].size(), 12u);

  auto pages = logsOfType("page");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0]["name"], "Home");
  EXPECT_EQ(pages[0]["properties"], nlohmann::json({{"from", "menu"}}));
  EXPECT_EQ(pages[0]["sid"], sessionId);
  EXPECT_FALSE(pages[0].contains("id"));

  EXPECT_TRUE(waitFor([&] { return storedRows() == 0; }));
}

// Runs only as the child of the kill test: tracks logs while the service cannot be reached, waits
// until they are stored, keeps its settings, and kills itself before any send.
TEST(EndToEndKillChild, TracksThenDiesBeforeSending) {
  const char* root = std::getenv(kChildRootVariable);
  const char* url = std::getenv(kChildUrlVariable);
  if (!root || !url) GTEST_SKIP() << "runs as the child of the kill test only";
  auto queue = platform::AsioMainQueue::make();
  platform::MainQueue::install(queue);
  resetAnalyticsState(persistentStore());
  TLTelemetry::setLogUrl(url);
  auto done = std::make_shared<std::atomic<bool>>(false);
  platform::postToMain([done] {
    TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass()});
    trackSampleLogs("killed-");
    *done = true;
  });
  queue->runUntil([done] { return done->load(); }, platform::Seconds(60));
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  // The start-service and start-session logs, three events and the page.
  queue->runUntil(
      [&] {
        return group->logsDispatchQueue()->sync([&] { return group->storage()->countLogs().value_or(0); }) >=
               6;
      },
      platform::Seconds(60));
  platform::SettingsStore::standardUserDefaults()->synchronize();
  ::raise(SIGKILL);
}

TEST_F(EndToEndTest, LogsStoredBeforeAKillArriveAfterTheRestart) {
  server.stop();  // unreachable while the child runs
  // The child owns the settings file while it runs: this process's own store writes what it holds
  // now and then nothing more, so a late write of ours cannot replace what the child leaves.
  resetAnalyticsState(platform::SettingsStore::inMemoryStore());
  setenv(kChildRootVariable, root().c_str(), 1);
  setenv(kChildUrlVariable, server.baseURL().c_str(), 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string filter = "--gtest_filter=EndToEndKillChild.TracksThenDiesBeforeSending";
  char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  unsetenv(kChildRootVariable);
  unsetenv(kChildUrlVariable);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(server.requestCount(), 0u);

  // The next launch: same settings, same store, the service reachable.
  resetAnalyticsState(persistentStore());
  auto childInstallId = TLUserDefaults::shared()->objectForKey(kTLInstallIdKey);
  ASSERT_TRUE(childInstallId && childInstallId->asString());
  ASSERT_TRUE(server.start());
  TLTelemetry::setLogUrl(server.baseURL());
  onMain([] { TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass()}); });
  std::set<std::string> expected = {"killed-typed", "killed-critical", "killed-padded", "killed-Home"};
  // The start-service logs may come in a batch of their own, after the events.
  ASSERT_TRUE(waitFor([&] {
    std::set<std::string> seen;
    for (const auto& log : server.allLogs()) seen.insert(log.value("name", ""));
    return std::includes(seen.begin(), seen.end(), expected.begin(), expected.end()) &&
           logsOfType("startService").size() >= 2;
  }));
  for (const auto& request : server.requests())
    EXPECT_EQ(request.header("Install-ID"), *childInstallId->asString());
  // Both launches' start-service logs arrive; nothing is sent twice.
  EXPECT_EQ(logsOfType("startService").size(), 2u);
  std::multiset<std::string> ids;
  for (const auto& log : logsOfType("event")) ids.insert(log.value("id", ""));
  for (const auto& id : ids) EXPECT_EQ(ids.count(id), 1u) << id;
  EXPECT_TRUE(waitFor([&] { return storedRows() == 0; }));
}

// Runs only as the child of the start test: starts over the store an earlier run left, tracks
// events at once, says so on its pipe and goes on running until it is killed.
TEST(EndToEndKillChild, TracksRightAfterStartingUntilKilled) {
  const char* root = std::getenv(kChildRootVariable);
  const char* url = std::getenv(kChildUrlVariable);
  const char* fd = std::getenv(kChildFdVariable);
  if (!root || !url || !fd) GTEST_SKIP() << "runs as the child of the start test only";
  auto queue = platform::AsioMainQueue::make();
  platform::MainQueue::install(queue);
  resetAnalyticsState(persistentStore());
  TLTelemetry::setLogUrl(url);
  const int pipe = std::atoi(fd);
  platform::postToMain([pipe] {
    TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass()});
    for (int i = 0; i < kFreshEvents; ++i) TLAnalytics::trackEvent("fresh-" + std::to_string(i));
    if (::write(pipe, "tracked\n", 8) != 8) ::raise(SIGKILL);
  });
  queue->runUntil([] { return false; }, platform::Seconds(120));
  ::raise(SIGKILL);
}

// Events tracked right after a start are stored before the SDK sends anything, even when an earlier
// run left more logs than a batch holds: a kill at the first request of the new run keeps them all.
TEST_F(EndToEndTest, EventsTrackedRightAfterAStartAreStoredBeforeAnythingIsSent) {
  {
    TLLogDBStorage earlier;
    std::vector<TLStorage::Item> items;
    for (int i = 0; i < 120; ++i) items.push_back({testLog("earlier-" + std::to_string(i)), 1});
    auto stored = earlier.saveLogs(items, "Analytics");
    ASSERT_EQ(std::count(stored.begin(), stored.end(), true), 120);
  }
  // The child owns the settings file while it runs (see LogsStoredBeforeAKillArriveAfterTheRestart).
  resetAnalyticsState(platform::SettingsStore::inMemoryStore());
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  setenv(kChildRootVariable, root().c_str(), 1);
  setenv(kChildUrlVariable, server.baseURL().c_str(), 1);
  setenv(kChildFdVariable, std::to_string(fds[1]).c_str(), 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string filter = "--gtest_filter=EndToEndKillChild.TracksRightAfterStartingUntilKilled";
  char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  unsetenv(kChildRootVariable);
  unsetenv(kChildUrlVariable);
  unsetenv(kChildFdVariable);
  ::close(fds[1]);

  // The child has tracked; the moment its first request reaches the service, it dies.
  std::string said;
  char chunk[64];
  while (said.find("tracked\n") == std::string::npos) {
    auto n = ::read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    said.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  bool sent = said.find("tracked\n") != std::string::npos && server.waitForRequests(1, 60) &&
              ::kill(pid, SIGKILL) == 0;
  if (!sent) ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(sent) << "the child said \"" << said << "\" and made " << server.requestCount() << " requests";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  // The next launch sends what the killed one stored.
  resetAnalyticsState(persistentStore());
  TLTelemetry::setLogUrl(server.baseURL());
  onMain([] { TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass()}); });
  auto missing = [&] {
    std::set<std::string> names;
    for (const auto& log : server.allLogs()) names.insert(log.value("name", ""));
    std::vector<std::string> absent;
    for (int i = 0; i < kFreshEvents; ++i)
      if (!names.count("fresh-" + std::to_string(i))) absent.push_back("fresh-" + std::to_string(i));
    return absent;
  };
  EXPECT_TRUE(waitFor([&] { return missing().empty(); }, 20))
      << missing().size() << " of " << kFreshEvents << " events tracked right after the start were lost";
  EXPECT_TRUE(waitFor([&] { return storedRows() == 0; }));
}

// Tracks on many threads race a disable. What was tracked before may be stored or dropped, but
// nothing tracked after setEnabled(false) returned is prepared, stored or sent, what was stored is
// deleted, and the store file is left whole.
TEST_F(EndToEndTest, TracksRacingADisableLeaveNothingAfterItReturns) {
  TLTelemetry::setLogUrl(server.baseURL());
  auto prepared = std::make_shared<UnitLogs>();
  onMain([&] {
    TLTelemetry::start(kDashedSecret, {TLAnalytics::serviceClass()});
    TLTelemetry::sharedInstance()->channelGroup()->addDelegate(prepared);
  });
  constexpr int kThreads = 8;
  constexpr int kEvents = 400;
  std::atomic<bool> disabled{false};
  std::atomic<int> tracked{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEvents; ++i) {
        // Read before the call: a track that begins after the disable returned is "after".
        std::string name = (disabled.load() ? "after" : "before") + std::to_string(t);
        auto properties = TLEventProperties::init();
        properties->setInt64(i, "index");
        TLAnalytics::trackEvent(name, properties, i % 10 == 0 ? kTLFlagsCritical : kTLFlagsNormal);
        ++tracked;
      }
    });
  }
  ASSERT_TRUE(waitFor([&] { return tracked.load() >= kThreads * kEvents / 4; }));
  TLAnalytics::serviceClass().setEnabled(false);
  disabled = true;
  for (auto& thread : threads) thread.join();
  drainPipeline();

  std::size_t before = 0;
  for (const auto& entry : prepared->entriesOf<TLEventLog>()) {
    auto name = std::dynamic_pointer_cast<TLEventLog>(entry.log)->name().value_or("");
    EXPECT_EQ(name.rfind("after", 0), std::string::npos) << name;
    ++before;
  }
  EXPECT_GE(before, static_cast<std::size_t>(kThreads * kEvents / 4));
  for (const auto& log : server.allLogs())
    EXPECT_EQ(log.value("name", "").rfind("after", 0), std::string::npos);
  EXPECT_EQ(sqlValue(logsFile(), "SELECT COUNT(*) FROM \"logs\" WHERE \"groupId\" LIKE 'Analytics%'"), "0");
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA integrity_check"), "ok");
}

TEST_F(EndToEndTest, ATargetOnlyConfigurationSendsToTheEventCollector) {
  const std::string token = "deadbeefcafe-token-part";
  TLTelemetry::setLogUrl(server.baseURL());
  onMain([&] {
    TLTelemetry::start("target=" + token, {TLAnalytics::serviceClass()});
    TLAnalytics::trackEvent("first", TLAnalytics::StringProperties{{"k", "v"}});
    TLAnalytics::trackEvent("second");
  });
  ASSERT_TRUE(waitFor([&] { return server.allLogs().size() >= 2; }));
  std::string installId = TLTelemetry::installId();
  std::vector<nlohmann::json> lines;
  for (const auto& request : server.requests()) {
    ASSERT_TRUE(request.isJsonLines) << request.url;
    EXPECT_EQ(request.url, server.baseURL() + "/EventCollector/1.0");
    EXPECT_EQ(request.header("apikey"), token);
    EXPECT_TRUE(request.header("Upload-Time"));
    EXPECT_TRUE(request.header("Client-Version"));
    EXPECT_EQ(request.header("Content-Type"), "application/x-json-stream; charset=utf-8");
    for (const auto& line : request.logs) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 2u);
  std::string epoch = lines[0]["ext"]["sdk"].value("epoch", "");
  EXPECT_FALSE(epoch.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["iKey"], "o:deadbeefcafe");
    EXPECT_EQ(lines[i]["name"], i == 0 ? "first" : "second");
    EXPECT_EQ(lines[i]["ext"]["sdk"]["seq"], i + 1);
    EXPECT_EQ(lines[i]["ext"]["sdk"]["epoch"], epoch);
    EXPECT_EQ(lines[i]["ext"]["sdk"]["installId"], installId);
  }
  EXPECT_EQ(lines[0]["data"], nlohmann::json({{"k", "v"}}));
  // No secret: nothing goes to the log endpoint, and the start-service log waits in no store.
  EXPECT_TRUE(waitFor([&] { return storedRows() == 0; }));
}

}  // namespace
