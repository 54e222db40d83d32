#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "AnalyticsTestSupport.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryAnalytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"
#include "TelemetryAnalytics/TransmissionTarget/TLPropertyConfigurator.h"
#include "platform/UUID.h"
#include "platform/ViewAppearanceHook.h"

namespace {

using namespace tltesting;

constexpr const char* kSecret = "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26";
constexpr const char* kDeadUrl = "http://127.0.0.1:9";

bool serviceContains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class AnalyticsTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    unsetenv(kTLDisableVariable);
    resetAnalyticsState(platform::SettingsStore::inMemoryStore());
    recorder = std::make_unique<MessageRecorder>();
    TLTelemetry::setLogUrl(kDeadUrl);
  }
  void TearDown() override {
    // Work still queued on the pipeline, also what resetting queues, finishes while the test's
    // settings still exist, not while the process exits.
    auto queue = pipelineQueue();
    drainQueue(queue);
    recorder.reset();
    TLApplicationHooks::install({});
    resetAnalyticsState(platform::SettingsStore::inMemoryStore());
    drainQueue(queue);
    PipelineTest::TearDown();
  }

  // Starts the SDK with analytics on the main queue and watches the group's logs.
  std::shared_ptr<UnitLogs> startAnalytics(const std::string& configuration = kSecret) {
    onMain([&] {
      TLTelemetry::configureWithAppSecret(configuration);
      logs = std::make_shared<UnitLogs>();
      TLTelemetry::sharedInstance()->channelGroup()->addDelegate(logs);
      TLTelemetry::startService(TLAnalytics::serviceClass());
    });
    return logs;
  }

  std::unique_ptr<MessageRecorder> recorder;
  std::shared_ptr<UnitLogs> logs;
};

// ---- Service ----

TEST_F(AnalyticsTest, StartingAddsBothUnitsAndOneSession) {
  TLAnalytics::setTransmissionInterval(7);
  startAnalytics();
  auto analytics = TLAnalytics::sharedInstance();
  ASSERT_TRUE(analytics->channelUnit());
  ASSERT_TRUE(analytics->criticalChannelUnit());
  EXPECT_EQ(analytics->channelUnit()->configuration()->groupId(), "Analytics");
  EXPECT_EQ(analytics->channelUnit()->configuration()->flushInterval(), 7u);
  EXPECT_EQ(analytics->criticalChannelUnit()->configuration()->groupId(), "Analytics_critical");
  EXPECT_EQ(analytics->criticalChannelUnit()->configuration()->flushInterval(), 3u);
  EXPECT_TRUE(analytics->eventCollectorChannelUnit());
  EXPECT_TRUE(analytics->eventCollectorCriticalChannelUnit());
  EXPECT_EQ(analytics->isEnabledKey(), "kTLAnalyticsIsEnabledKey");
  EXPECT_FALSE(analytics->isAppSecretRequired());
  auto sessions = logs->entriesOf<TLStartSessionLog>();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].groupId, "Analytics");
  EXPECT_EQ(sessions[0].log->sid(), TLSessionContext::sharedInstance()->sessionId());
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelVerbose), "Started Analytics service."));
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelInfo), "Analytics service has been enabled."));
}

TEST_F(AnalyticsTest, FlagsChooseTheUnitAndBadFlagsFallBackToNormal) {
  startAnalytics();
  struct Case {
    std::uint64_t flags;
    const char* groupId;
    std::uint64_t sent;
    bool warned;
  };
  // Only the low byte counts: 258 carries 2, a critical event.
  const Case cases[] = {
      {0, "Analytics", 1, true},
      {1, "Analytics", 1, false},
      {2, "Analytics_critical", 2, false},
      {3, "Analytics", 1, true},
      {258, "Analytics_critical", 2, false},
      {256, "Analytics", 1, true},
  };
  for (const auto& c : cases) {
    auto before = logs->entriesOf<TLEventLog>().size();
    auto warnings = recorder->texts(TLLogLevelWarning).size();
    TLAnalytics::trackEvent("event" + std::to_string(c.flags), TLEventProperties::init(), c.flags);
    auto events = logs->entriesOf<TLEventLog>();
    ASSERT_EQ(events.size(), before + 1) << c.flags;
    EXPECT_EQ(events.back().groupId, c.groupId) << c.flags;
    bool warned = recorder->texts(TLLogLevelWarning).size() > warnings;
    EXPECT_EQ(warned, c.warned) << c.flags;
    if (c.warned) {
      EXPECT_EQ(
          recorder->texts(TLLogLevelWarning).back(),
          "Invalid flags (" + std::to_string(c.flags & 0xFF) + ") received, using normal as a default.");
    }
    // An empty bag gives an event without typed properties.
    EXPECT_FALSE(std::dynamic_pointer_cast<TLEventLog>(events.back().log)->typedProperties());
  }
}

TEST_F(AnalyticsTest, TransmissionIntervalsAreCheckedAndFixedAtStart) {
  auto analytics = TLAnalytics::sharedInstance();
  const std::pair<std::uint64_t, bool> cases[] = {
      {2, false}, {3, true}, {86400, true}, {86401, false}, {0, false}};
  for (const auto& [seconds, accepted] : cases) {
    analytics->applyTransmissionInterval(17);
    TLAnalytics::setTransmissionInterval(seconds);
    EXPECT_EQ(analytics->flushInterval(), accepted ? seconds : 17) << seconds;
  }
  EXPECT_TRUE(
      serviceContains(recorder->texts(TLLogLevelError),
                      "The transmission interval is not valid, it should be between 3 second(s) and 86400 "
                      "second(s) (1 day)."));
  EXPECT_TRUE(
      serviceContains(recorder->texts(TLLogLevelDebug), "Transmission interval set to 86400 second(s)"));
  startAnalytics();
  TLAnalytics::setTransmissionInterval(60);
  EXPECT_EQ(analytics->flushInterval(), 17u);
  EXPECT_TRUE(
      serviceContains(recorder->texts(TLLogLevelError),
                      "The transmission interval should be set before the TLAnalytics service is started."));
}

TEST_F(AnalyticsTest, NothingIsTrackedBeforeStartOrWhileDisabled) {
  TLAnalytics::trackEvent("early");
  EXPECT_TRUE(serviceContains(
      recorder->texts(TLLogLevelError),
      "Analytics service hasn't been started. You need to call [TLTelemetry start:YOUR_APP_SECRET "
      "withServices:LIST_OF_SERVICES] first."));
  startAnalytics();
  TLAnalytics::serviceClass().setEnabled(false);
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelInfo), "Analytics service has been disabled."));
  EXPECT_FALSE(TLSessionContext::sharedInstance()->sessionId());
  TLAnalytics::trackEvent("while disabled");
  TLAnalytics::trackPage("while disabled");
  EXPECT_TRUE(logs->entriesOf<TLEventLog>().empty());
  EXPECT_TRUE(logs->entriesOf<TLPageLog>().empty());
  onMain([] { TLAnalytics::serviceClass().setEnabled(true); });
  TLAnalytics::trackPage("Home", TLAnalytics::StringProperties{{"k", "v"}});
  auto pages = logs->entriesOf<TLPageLog>();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(std::dynamic_pointer_cast<TLPageLog>(pages[0].log)->properties(),
            (std::map<std::string, std::string>{{"k", "v"}}));
  // Re-enabling began a new session.
  EXPECT_EQ(logs->entriesOf<TLStartSessionLog>().size(), 2u);
}

TEST_F(AnalyticsTest, InvalidStringPropertiesAreDropped) {
  TLAnalytics::UntypedProperties properties = {
      {platform::ArchiveObject(5), platform::ArchiveObject("number key")},
      {platform::ArchiveObject("missing"), platform::ArchiveObject()},
      {platform::ArchiveObject("number"), platform::ArchiveObject(3)},
      {platform::ArchiveObject("good"), platform::ArchiveObject("yes")},
  };
  EXPECT_EQ(TLAnalytics::removeInvalidProperties(properties),
            (TLAnalytics::StringProperties{{"good", "yes"}}));
  auto warnings = recorder->texts(TLLogLevelWarning);
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "Event property contains an invalid key, dropping the property.",
                "Event property contains an invalid value for key missing, dropping the property."}));
}

// ---- Validation ----

TEST_F(AnalyticsTest, NamesAreCutAt256UnitsAndEmptyNamesDropTheLog) {
  auto analytics = TLAnalytics::sharedInstance();
  std::string twoFiftySix(256, 'n');
  EXPECT_EQ(analytics->validateEventName(twoFiftySix, "event"), twoFiftySix);
  EXPECT_TRUE(recorder->texts(TLLogLevelWarning).empty());
  EXPECT_EQ(analytics->validateEventName(twoFiftySix + "x", "event"), twoFiftySix);
  EXPECT_EQ(recorder->texts(TLLogLevelWarning).size(), 1u);
  // 255 units and one character of two units: the cut never splits the pair.
  std::string wide = std::string(255, 'n') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(analytics->validateEventName(wide, "page"), std::string(255, 'n'));
  EXPECT_EQ(analytics->validateEventName(std::string(), "event"), std::nullopt);
  EXPECT_EQ(analytics->validateEventName(std::nullopt, "page"), std::nullopt);
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelError), "event name cannot be null or empty"));
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelError), "page name cannot be null or empty"));

  // Through the pipeline: the unit filter drops the empty names.
  startAnalytics();
  TLAnalytics::trackEvent(std::string());
  TLAnalytics::trackPage(std::string());
  TLAnalytics::trackEvent(twoFiftySix + "tail");
  drainPipeline();
  auto events = logs->entriesOf<TLEventLog>();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::dynamic_pointer_cast<TLEventLog>(events[1].log)->name(), twoFiftySix);
  auto analyticsUnit =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  auto stored = analyticsUnit->logsDispatchQueue()->sync(
      [&] { return analyticsUnit->storage()->countLogsWithGroupId("Analytics").value_or(0); });
  EXPECT_EQ(stored, 2u);  // the start-session log and the cut event
}

TEST_F(AnalyticsTest, TypedPropertiesAreLimitedAndCut) {
  auto analytics = TLAnalytics::sharedInstance();
  auto bag = [](int count) {
    auto properties = TLEventProperties::init();
    for (int i = 0; i < count; ++i) properties->setInt64(i, "p" + std::to_string(i));
    return properties;
  };
  EXPECT_EQ(analytics->validateTelemetryEventProperties(bag(20))->count(), 20u);
  EXPECT_TRUE(recorder->texts(TLLogLevelWarning).empty());
  auto kept = analytics->validateTelemetryEventProperties(bag(25));
  EXPECT_EQ(kept->count(), 20u);
  EXPECT_FALSE(kept->hasKey("p20"));
  EXPECT_EQ(recorder->texts(TLLogLevelWarning),
            std::vector<std::string>{
                "Typed properties cannot contain more than 20 items. Skipping other properties."});
  EXPECT_TRUE(analytics->validateTelemetryEventProperties(nullptr)->isEmpty());

  auto long125 = std::string(125, 'k');
  auto properties = TLEventProperties::init();
  properties->setString(std::string(126, 'v'), long125)
      .setString("short", long125 + "X")
      .setBool(true, "flag");
  auto checked = analytics->validateTelemetryEventProperties(properties);
  // The cut name equals the first: the later property is kept.
  EXPECT_EQ(checked->count(), 2u);
  auto value = std::dynamic_pointer_cast<TLStringTypedProperty>(checked->propertyForKey(long125));
  ASSERT_TRUE(value);
  EXPECT_EQ(value->value(), "short");
  EXPECT_EQ(analytics->validateTelemetryStringTypedPropertyValue(std::string(126, 'v')),
            std::string(125, 'v'));
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelWarning),
                              "Typed property '" + long125 +
                                  "X': key length cannot exceed 125 characters. Property value "
                                  "will be truncated."));
  EXPECT_TRUE(serviceContains(
      recorder->texts(TLLogLevelWarning),
      "Typed property value length cannot exceed 125 characters. Property value will be truncated."));
}

// ---- Transmission targets ----

TEST_F(AnalyticsTest, TargetTreesAreBornDisabledUnderADisabledParentAndCascade) {
  startAnalytics();
  auto root = TLAnalytics::transmissionTargetForToken("root-token");
  EXPECT_EQ(TLAnalytics::transmissionTargetForToken("root-token"), root);
  EXPECT_EQ(root->isEnabledKey(), "kTLAnalyticsIsEnabledKey/root");
  auto child = root->transmissionTargetForToken("child-token");
  EXPECT_EQ(root->transmissionTargetForToken("child-token"), child);
  auto grandchild = child->transmissionTargetForToken("grand-token");

  root->setEnabled(false);
  EXPECT_FALSE(child->isEnabled());
  EXPECT_FALSE(grandchild->isEnabled());
  auto born = root->transmissionTargetForToken("late-token");
  EXPECT_FALSE(born->isEnabled());
  child->setEnabled(true);
  EXPECT_FALSE(child->isEnabled());
  EXPECT_TRUE(
      serviceContains(recorder->texts(TLLogLevelWarning),
                      "Can't enable; parent transmission target and/or Analytics service is disabled."));
  root->setEnabled(true);
  EXPECT_TRUE(child->isEnabled());
  EXPECT_TRUE(grandchild->isEnabled());
  EXPECT_TRUE(born->isEnabled());

  // The service's switch reaches the whole registry.
  TLAnalytics::serviceClass().setEnabled(false);
  EXPECT_FALSE(root->isEnabled());
  EXPECT_FALSE(grandchild->isEnabled());
  TLAnalytics::trackEventForTransmissionTarget("dropped", nullptr, root, 1);
  EXPECT_TRUE(logs->entriesOf<TLEventLog>().empty());
  onMain([] { TLAnalytics::serviceClass().setEnabled(true); });
  EXPECT_TRUE(root->isEnabled());
  EXPECT_TRUE(grandchild->isEnabled());
  root->setEnabled(false);
  root->trackEvent("off");
  EXPECT_TRUE(serviceContains(recorder->texts(TLLogLevelError), "This transmission target is disabled."));
  root->pause();
  auto errors = recorder->texts(TLLogLevelError);
  EXPECT_GE(std::count(errors.begin(), errors.end(), "This transmission target is disabled."), 2);
}

TEST_F(AnalyticsTest, RegistriesAndBagsHoldUpUnderManyThreads) {
  startAnalytics();
  constexpr int kThreads = 8;
  std::vector<std::vector<std::shared_ptr<TLAnalyticsTransmissionTarget>>> seen(kThreads);
  auto shared = TLEventProperties::init();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto root = TLAnalytics::transmissionTargetForToken("tok" + std::to_string(i % 5) + "-x");
        seen[t].push_back(root->transmissionTargetForToken("child" + std::to_string(i % 3) + "-y"));
        shared->setInt64(i, "k" + std::to_string(t) + "-" + std::to_string(i % 10));
        auto other = TLEventProperties::init();
        other->mergeEventProperties(*shared);
        EXPECT_FALSE(other->isEmpty());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // One object per token in each registry, whichever thread asked first.
  for (int i = 0; i < 200; ++i) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]);
  }
  EXPECT_EQ(shared->count(), static_cast<std::size_t>(kThreads * 10));
}

TEST_F(AnalyticsTest, TargetPropertiesFollowTheirPrecedence) {
  startAnalytics();
  auto root = TLAnalytics::transmissionTargetForToken("root-token");
  auto child = root->transmissionTargetForToken("child-token");
  root->propertyConfigurator()->setEventPropertyString("root", "from");
  root->propertyConfigurator()->setEventPropertyString("root", "rootOnly");
  child->propertyConfigurator()->setEventPropertyString("child", "from");
  child->propertyConfigurator()->setEventPropertyInt64(1, "childOnly");
  child->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
  EXPECT_TRUE(
      serviceContains(recorder->texts(TLLogLevelError), "Event property key to remove cannot be nil."));
  root->propertyConfigurator()->setAppVersion("9.9");
  child->propertyConfigurator()->setAppName("Child");
  child->propertyConfigurator()->setUserId("alice");
  child->propertyConfigurator()->setUserId("x:bob");  // another prefix: refused, alice stays
  EXPECT_EQ(child->propertyConfigurator()->userId(), "c:alice");

  auto own = TLEventProperties::init();
  own->setString("event", "from");
  child->trackEvent("withOwn", own);
  child->trackEvent("withoutOwn");
  root->trackEvent("root");
  auto events = logs->entriesOf<TLEventLog>();
  ASSERT_EQ(events.size(), 3u);
  auto stringValue = [](const std::shared_ptr<TLLog>& log, const std::string& key) -> std::string {
    auto property = std::dynamic_pointer_cast<TLEventLog>(log)->typedProperties()->propertyForKey(key);
    auto text = std::dynamic_pointer_cast<TLStringTypedProperty>(property);
    return text && text->value() ? *text->value() : "";
  };
  EXPECT_EQ(stringValue(events[0].log, "from"), "event");
  EXPECT_EQ(stringValue(events[0].log, "rootOnly"), "root");
  EXPECT_EQ(stringValue(events[1].log, "from"), "child");
  EXPECT_EQ(stringValue(events[2].log, "from"), "root");
  EXPECT_FALSE(std::dynamic_pointer_cast<TLEventLog>(events[2].log)->typedProperties()->hasKey("childOnly"));

  // The Event Schema copies: the target's configurator fills its own logs only.
  auto schema = logs->entriesOf<TLEventSchemaLog>();
  ASSERT_EQ(schema.size(), 3u);
  auto childLog = std::dynamic_pointer_cast<TLEventSchemaLog>(schema[1].log);
  EXPECT_EQ(schema[1].groupId, "Analytics/one");
  EXPECT_EQ(childLog->ext()->appExt()->ver(), "9.9");
  EXPECT_EQ(childLog->ext()->appExt()->name(), "Child");
  EXPECT_EQ(childLog->ext()->userExt()->localId(), "c:alice");
  EXPECT_FALSE(childLog->ext()->deviceExt()->localId());
  auto rootLog = std::dynamic_pointer_cast<TLEventSchemaLog>(schema[2].log);
  EXPECT_EQ(rootLog->ext()->appExt()->ver(), "9.9");
  EXPECT_NE(rootLog->ext()->appExt()->name(), "Child");
}

TEST_F(AnalyticsTest, TheDefaultTargetTakesEventsWithoutTargetAndTheUserId) {
  TLTelemetry::sharedInstance();
  startAnalytics(std::string(kSecret) + ";target=deft-token");
  TLTelemetry::setUserId("c:carol");
  auto analytics = TLAnalytics::sharedInstance();
  ASSERT_TRUE(analytics->defaultTransmissionTarget());
  EXPECT_NE(TLAnalytics::transmissionTargetForToken("deft-token"), analytics->defaultTransmissionTarget());
  auto properties = TLEventProperties::init();
  for (int i = 0; i < 25; ++i) properties->setInt64(i, "p" + std::to_string(i));
  TLAnalytics::trackEvent("targeted", properties);
  auto events = logs->entriesOf<TLEventLog>();
  ASSERT_EQ(events.size(), 1u);
  auto event = std::dynamic_pointer_cast<TLEventLog>(events[0].log);
  EXPECT_EQ(event->userId(), "c:carol");
  EXPECT_EQ(event->typedProperties()->count(), 25u);  // target events skip the typed-property limits
  ASSERT_TRUE(event->transmissionTargetTokens());
  EXPECT_TRUE(event->transmissionTargetTokens()->count("deft-token"));
}

TEST_F(AnalyticsTest, DeviceIdentifiersComeFromTheMachineIdUnderAKey) {
  auto file = writeFile("machine-id", "0123456789abcdef0123456789abcdef\n");
  auto id = TLPropertyConfigurator::getDeviceIdentifier(file);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->substr(0, 2), "u:");
  EXPECT_TRUE(platform::parseUUID(id->substr(2)));
  EXPECT_EQ(id->find("0123456789"), std::string::npos);
  EXPECT_EQ(TLPropertyConfigurator::getDeviceIdentifier(file), id);
  auto other = writeFile("other-id", "fedcba9876543210fedcba9876543210\n");
  EXPECT_NE(TLPropertyConfigurator::getDeviceIdentifier(other), id);
  EXPECT_EQ(TLPropertyConfigurator::getDeviceIdentifier(root() / "missing"), std::nullopt);
  EXPECT_EQ(TLPropertyConfigurator::getDeviceIdentifier(writeFile("empty-id", "\n")), std::nullopt);
}

// ---- Page tracking ----

TEST_F(AnalyticsTest, PageNamesComeFromTheClassName) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"HomeViewController", "Home"},           {"windows::HomeViewController", "Home"},
      {"a::b::SettingsPane", "SettingsPane"},   {"ViewController", "ViewController"},
      {"ns::ViewController", "ViewController"}, {"NSTabViewController", std::nullopt},
      {"NSSplitViewController", std::nullopt},  {"NSPageController", std::nullopt},
  };
  for (const auto& [className, page] : cases) {
    EXPECT_EQ(TLAnalyticsCategory::pageNameForClassName(className), page) << className;
  }
}

TEST_F(AnalyticsTest, AutomaticPagesAreTrackedOrKeptAsMissed) {
  TLAnalyticsCategory::activateCategory();
  EXPECT_TRUE(platform::ViewAppearanceHook::isInstalled());
  platform::ViewAppearanceHook::viewWillAppear("QVHomeViewController");
  EXPECT_FALSE(TLAnalyticsCategory::missedPageViewName());  // automatic tracking is off
  TLAnalytics::setAutoPageTrackingEnabled(true);
  platform::ViewAppearanceHook::viewWillAppear("QVHomeViewController");
  platform::ViewAppearanceHook::viewWillAppear("app::QVAboutViewController");
  EXPECT_EQ(TLAnalyticsCategory::missedPageViewName(), "QVAbout");
  startAnalytics();
  // Enabling tracks the missed page once, on the main queue.
  ASSERT_TRUE(waitFor([&] { return logs->entriesOf<TLPageLog>().size() == 1; }));
  EXPECT_EQ(std::dynamic_pointer_cast<TLPageLog>(logs->entriesOf<TLPageLog>()[0].log)->name(), "QVAbout");
  platform::ViewAppearanceHook::viewWillAppear("QVHomeViewController");
  EXPECT_FALSE(TLAnalyticsCategory::missedPageViewName());
  ASSERT_EQ(logs->entriesOf<TLPageLog>().size(), 2u);
  platform::ViewAppearanceHook::install(nullptr);
}

// ---- Sessions ----

struct ManualClock {
  std::shared_ptr<std::atomic<double>> seconds = std::make_shared<std::atomic<double>>(1700000000.0);
  TLClock clock() const {
    auto s = seconds;
    return [s] { return platform::Date::fromTimeIntervalSince1970(s->load()); };
  }
  void advance(double by) { *seconds = seconds->load() + by; }
};

class SessionRecorder : public TLSessionTrackerDelegate {
 public:
  void sessionTrackerProcessLog(TLSessionTracker&, const std::shared_ptr<TLLog>& log) override {
    logs.push_back(log);
  }
  std::vector<std::shared_ptr<TLLog>> logs;
};

class SessionTest : public AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    context = std::make_shared<TLSessionContext>(TLUserDefaults::shared(), clock.clock());
    tracker = TLSessionTracker::init(context, clock.clock());
    sessions = std::make_shared<SessionRecorder>();
    tracker->setDelegate(sessions);
  }
  void post(const char* name) { platform::NotificationCenter::defaultCenter().postNotificationName(name); }
  void inactiveFor(double seconds) {
    post(kTLApplicationDidResignActiveNotification);
    clock.advance(seconds);
    post(kTLApplicationWillBecomeActiveNotification);
  }
  void prepare(const std::shared_ptr<TLLog>& log) {
    auto unit = TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId("x");
    struct Dummy : TLChannelProtocol {
      void addDelegate(const std::shared_ptr<TLChannelDelegate>&) override {}
      void removeDelegate(const std::shared_ptr<TLChannelDelegate>&) override {}
      void pauseWithIdentifyingObject(const TLIdentifyingObject&) override {}
      void resumeWithIdentifyingObject(const TLIdentifyingObject&) override {}
      void setEnabled(bool, bool) override {}
    } channel;
    tracker->channelPrepareLog(channel, log);
  }

  ManualClock clock;
  std::shared_ptr<TLSessionContext> context;
  std::shared_ptr<TLSessionTracker> tracker;
  std::shared_ptr<SessionRecorder> sessions;
};

TEST_F(SessionTest, InactivityOfTwentySecondsWithoutLogsStartsANewSession) {
  onMain([&] { tracker->start(); });
  ASSERT_EQ(sessions->logs.size(), 1u);
  auto first = context->sessionId();
  EXPECT_EQ(sessions->logs[0]->sid(), first);
  EXPECT_TRUE(std::dynamic_pointer_cast<TLStartSessionLog>(sessions->logs[0]));

  inactiveFor(19);
  EXPECT_EQ(sessions->logs.size(), 1u);
  EXPECT_EQ(context->sessionId(), first);

  inactiveFor(20);
  ASSERT_EQ(sessions->logs.size(), 2u);
  EXPECT_NE(context->sessionId(), first);
  EXPECT_EQ(sessions->logs[1]->sid(), context->sessionId());
}

TEST_F(SessionTest, ALogWithinTheTimeoutKeepsTheSession) {
  onMain([&] { tracker->start(); });
  auto first = context->sessionId();
  post(kTLApplicationDidResignActiveNotification);
  clock.advance(30);
  auto log = TLPageLog::init();
  prepare(log);  // 10 s before becoming active again
  EXPECT_EQ(log->sid(), first);
  clock.advance(10);
  post(kTLApplicationWillBecomeActiveNotification);
  EXPECT_EQ(sessions->logs.size(), 1u);
  EXPECT_EQ(context->sessionId(), first);
}

// Idle means no log for at least the timeout: a log exactly 20 s before the application becomes
// active again no longer keeps the session; one a moment younger does.
TEST_F(SessionTest, ALogExactlyTheTimeoutBeforeBecomingActiveNoLongerKeepsTheSession) {
  onMain([&] { tracker->start(); });
  const struct {
    double logAge;  // seconds between the last log and becoming active; inactive 30 s in all
    bool newSession;
  } cases[] = {{19, false}, {19.5, false}, {20, true}, {21, true}, {19, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logAge);
    auto before = context->sessionId();
    auto count = sessions->logs.size();
    post(kTLApplicationDidResignActiveNotification);
    clock.advance(30 - c.logAge);
    prepare(TLPageLog::init());
    clock.advance(c.logAge);
    post(kTLApplicationWillBecomeActiveNotification);
    EXPECT_EQ(sessions->logs.size(), count + (c.newSession ? 1 : 0));
    EXPECT_EQ(context->sessionId() != before, c.newSession);
  }
}

TEST_F(SessionTest, StartSessionAndStartServiceLogsNeitherGetAnIdNorCountAsActivity) {
  onMain([&] { tracker->start(); });
  auto start = TLStartServiceLog::init();
  prepare(start);
  prepare(TLStartSessionLog::init());
  EXPECT_FALSE(start->sid());
  EXPECT_FALSE(tracker->lastCreatedLogTime());
  auto ordinary = TLPageLog::init();
  prepare(ordinary);
  EXPECT_EQ(ordinary->sid(), context->sessionId());
  EXPECT_TRUE(tracker->lastCreatedLogTime());
}

TEST_F(SessionTest, AHiddenStartWaitsForTheApplicationToBecomeActive) {
  TLApplicationHooks hooks;
  hooks.isApplicationHidden = [] { return true; };
  TLApplicationHooks::install(hooks);
  onMain([&] {
    tracker->start();
    tracker->start();  // observers registered once
  });
  EXPECT_TRUE(sessions->logs.empty());
  EXPECT_FALSE(context->sessionId());
  post(kTLApplicationWillBecomeActiveNotification);
  EXPECT_EQ(sessions->logs.size(), 1u);
  EXPECT_TRUE(context->sessionId());
  tracker->stop();
  tracker->stop();
  EXPECT_FALSE(context->sessionId());
  post(kTLApplicationWillBecomeActiveNotification);
  EXPECT_EQ(sessions->logs.size(), 1u);
}

}  // namespace
