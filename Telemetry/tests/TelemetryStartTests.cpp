#include <gtest/gtest.h>
#include <stdlib.h>

#include <limits>
#include <thread>

#include "PipelineTestSupport.h"
#include "ServiceTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Model/TLCustomPropertiesLog.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "platform/UUID.h"

namespace {

using namespace tltesting;

constexpr const char* kSecret = "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26";
// Nothing listens there: sends fail and the logs stay stored.
constexpr const char* kDeadUrl = "http://127.0.0.1:9";

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class TelemetryStartTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    unsetenv(kTLDisableVariable);
    resetTelemetryState(platform::SettingsStore::inMemoryStore());
    recorder = std::make_unique<MessageRecorder>();
    TLTelemetry::setLogUrl(kDeadUrl);
  }
  // A new launch over a fresh settings store.
  void freshLaunch() {
    resetTelemetryState(platform::SettingsStore::inMemoryStore());
    TLTelemetry::setLogUrl(kDeadUrl);
  }
  void TearDown() override {
    unsetenv(kTLDisableVariable);
    // Work still queued on the pipeline, also what it queues in turn (a unit's state change passed on
    // to its Event Collector twin) and what resetting queues, finishes while the test's settings
    // still exist, not while the process exits.
    std::shared_ptr<platform::DispatchQueue> queue;
    if (auto group =
            std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup()))
      queue = group->logsDispatchQueue();
    auto drain = [&] {
      for (int round = 0; queue && round < 3; ++round) queue->sync([] {});
    };
    drain();
    recorder.reset();
    resetTelemetryState(platform::SettingsStore::inMemoryStore());
    drain();
    PipelineTest::TearDown();
  }

  std::shared_ptr<PreparedLogs> watchGroup() {
    auto prepared = std::make_shared<PreparedLogs>();
    TLTelemetry::sharedInstance()->channelGroup()->addDelegate(prepared);
    keep.push_back(prepared);
    return prepared;
  }

  std::unique_ptr<MessageRecorder> recorder;
  std::vector<std::shared_ptr<TLChannelDelegate>> keep;
};

// ---- Service base ----

TEST_F(TelemetryStartTest, AFreshServiceIsEnabledAndAvailableOnlyOnceStarted) {
  auto service = TestLow::sharedInstance();
  EXPECT_EQ(service->isEnabledKey(), "kTLTestLowIsEnabledKey");
  EXPECT_TRUE(service->isEnabled());
  EXPECT_FALSE(service->isAvailable());
  EXPECT_FALSE(service->canBeUsed());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "TestLow service hasn't been started. You need to call [TLTelemetry "
                       "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  EXPECT_TRUE(service->isAvailable());
  EXPECT_TRUE(service->isStartedFromApplication());
  EXPECT_EQ(service->appSecret(), kSecret);
  ASSERT_TRUE(service->channelUnit());
  EXPECT_EQ(TLTelemetry::sharedInstance()->channelGroup()->channelUnitForGroupId("TestLow"),
            service->channelUnit());
  EXPECT_EQ(service->applied.load(), 1);
}

TEST_F(TelemetryStartTest, SettingTheSameStateNeitherAppliesNorWrites) {
  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  auto service = TestLow::sharedInstance();
  int applied = service->applied;
  service->setEnabled(true);
  EXPECT_EQ(service->applied.load(), applied);
  EXPECT_FALSE(TLUserDefaults::shared()->objectForKey("kTLTestLowIsEnabledKey"));
  service->setEnabled(false);
  EXPECT_EQ(service->applied.load(), applied + 1);
  EXPECT_EQ(TLUserDefaults::shared()->objectForKey("kTLTestLowIsEnabledKey"), platform::PropertyList(false));
  EXPECT_FALSE(service->isAvailable());
}

TEST_F(TelemetryStartTest, TheClassSwitchIsRefusedWhileTheSdkIsDisabled) {
  TLTelemetry::start(kSecret, {TestCrashes::serviceClass()});
  auto crashes = TestCrashes::serviceClass();
  TLTelemetry::setEnabled(false);
  EXPECT_FALSE(TestCrashes::sharedInstance()->isEnabled());  // cascaded by the SDK
  crashes.setEnabled(true);
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "The SDK is disabled. Re-enable the whole SDK from Telemetry first before enabling "
                       "Crashes service."));
  EXPECT_FALSE(TestCrashes::sharedInstance()->isEnabled());
  TLTelemetry::setEnabled(true);
  EXPECT_TRUE(crashes.isEnabled());
  crashes.setEnabled(false);
  EXPECT_FALSE(crashes.isEnabled());
  EXPECT_TRUE(TLTelemetry::isEnabled());
}

TEST_F(TelemetryStartTest, ServiceSwitchesFromTwoThreadsNeverWaitOnEachOther) {
  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  auto low = TestLow::serviceClass();
  constexpr int kRounds = 10000;
  std::thread sdk([] {
    for (int i = 0; i < kRounds; ++i) TLTelemetry::setEnabled(i % 2 != 0);
  });
  std::thread service([&] {
    for (int i = 0; i < kRounds; ++i) low.setEnabled(i % 2 != 0);
  });
  sdk.join();
  service.join();
  // The switches queued their pipeline work; it runs before the test's settings go away.
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  group->logsDispatchQueue()->sync([] {});
  TLTelemetry::setEnabled(true);
  EXPECT_TRUE(TLTelemetry::isEnabled());
  EXPECT_TRUE(low.isEnabled());
}

// ---- Configuration ----

TEST_F(TelemetryStartTest, ALibraryThenTheApplicationConfigureAndASecondApplicationIsRefused) {
  auto telemetry = TLTelemetry::sharedInstance();
  TLTelemetry::startFromLibraryWithServices({TestLow::serviceClass()});
  EXPECT_TRUE(telemetry->sdkConfigured());
  EXPECT_FALSE(TLTelemetry::isConfigured());
  EXPECT_TRUE(
      contains(recorder->texts(TLLogLevelInfo), "Telemetry SDK configured from a library successfully."));
  EXPECT_TRUE(TestLow::sharedInstance()->isAvailable());
  EXPECT_FALSE(TestLow::sharedInstance()->isStartedFromApplication());

  auto prepared = watchGroup();
  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  EXPECT_TRUE(TLTelemetry::isConfigured());
  EXPECT_EQ(telemetry->appSecret(), kSecret);
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelInfo), "Telemetry SDK configured successfully."));
  // Re-configured, not restarted, and named in the start-service log.
  EXPECT_TRUE(TestLow::sharedInstance()->isStartedFromApplication());
  EXPECT_EQ(TestLow::sharedInstance()->appSecret(), kSecret);
  auto starts = prepared->logsOf<TLStartServiceLog>();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]->services(), std::vector<std::string>{"TestLow"});

  TLTelemetry::start("a-different-secret", {TestPeer::serviceClass()});
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelAssert), "Telemetry SDK has already been configured."));
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelAssert), "Telemetry SDK configuration failed."));
  EXPECT_EQ(telemetry->appSecret(), kSecret);
  EXPECT_FALSE(TestPeer::sharedInstance()->isStarted());
}

TEST_F(TelemetryStartTest, ALaterConfigurationKeepsTheSecretAlreadyHeld) {
  TLTelemetry::sharedInstance()->configureWithAppSecret("library-secret", std::nullopt, false);
  TLTelemetry::configureWithAppSecret(std::string(kSecret) + ";target=token-1");
  auto telemetry = TLTelemetry::sharedInstance();
  EXPECT_EQ(telemetry->appSecret(), "library-secret");
  EXPECT_EQ(telemetry->defaultTransmissionTargetToken(), "token-1");
  EXPECT_TRUE(TLTelemetry::isConfigured());
}

TEST_F(TelemetryStartTest, ServicesStartByDescendingPriorityInTheirGivenOrderOtherwise) {
  TLTelemetry::configure();
  auto telemetry = TLTelemetry::sharedInstance();
  auto sorted = telemetry->sortServices({TestLow::serviceClass(), TestPeer::serviceClass(),
                                         TestHigh::serviceClass(), TestCrashes::serviceClass()});
  std::vector<std::string> names;
  for (const auto& service : sorted) names.push_back(service.className());
  EXPECT_EQ(names, (std::vector<std::string>{"TLTestHigh", "TLCrashes", "TLTestLow", "TLTestPeer"}));
  EXPECT_TRUE(telemetry->sortServices({}).empty());
}

TEST_F(TelemetryStartTest, TheStartServiceLogNamesTheStartedServicesInStartOrder) {
  auto telemetry = TLTelemetry::sharedInstance();
  ASSERT_TRUE(telemetry->configureWithAppSecret(kSecret, std::nullopt, true));
  auto prepared = watchGroup();
  TLTelemetry::setLogLevel(TLLogLevelVerbose);
  telemetry->startServices({TestLow::serviceClass(), TestHigh::serviceClass(), TestPeer::serviceClass()},
                           kSecret, std::nullopt, true);
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelVerbose),
                       "Start services TLTestHigh, TLTestLow, TLTestPeer from an application"));
  auto services = telemetry->services();
  ASSERT_EQ(services.size(), 3u);
  EXPECT_EQ(services[0], TestHigh::sharedInstance());
  EXPECT_EQ(services[1], TestLow::sharedInstance());
  EXPECT_EQ(services[2], TestPeer::sharedInstance());
  auto starts = prepared->logsOf<TLStartServiceLog>();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]->services(), (std::vector<std::string>{"TestHigh", "TestLow", "TestPeer"}));

  // A second start of an enabled service is refused without a message of its own.
  TLTelemetry::startService(TestLow::serviceClass());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelDebug), "No services have been started."));
  EXPECT_EQ(prepared->logsOf<TLStartServiceLog>().size(), 1u);

  // Services started from a library never produce a start-service log.
  telemetry->startServices({TestCrashes::serviceClass()}, kSecret, std::nullopt, false);
  EXPECT_TRUE(TestCrashes::sharedInstance()->isStarted());
  EXPECT_EQ(prepared->logsOf<TLStartServiceLog>().size(), 1u);
}

TEST_F(TelemetryStartTest, ServicesNeedingASecretAreRefusedWithoutOne) {
  TLTelemetry::configure();
  auto prepared = watchGroup();
  // The configuration above came from the application: start its services through startService.
  for (const auto& service : {TestLow::serviceClass(), TestHigh::serviceClass()})
    TLTelemetry::startService(service);
  auto starts = prepared->logsOf<TLStartServiceLog>();
  // No secret was given: the high service needs one and is refused.
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]->services(), std::vector<std::string>{"TestLow"});
  EXPECT_FALSE(starts[0]->sid());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Cannot start service TLTestHigh. Telemetry was started without app secret, but the "
                       "service requires it."));
}

TEST_F(TelemetryStartTest, ATargetOnlyConfigurationStartsOnlyServicesWithoutSecret) {
  TLTelemetry::start("target=abc-token", {TestLow::serviceClass(), TestCrashes::serviceClass()});
  EXPECT_TRUE(TestLow::sharedInstance()->isAvailable());
  EXPECT_FALSE(TestCrashes::sharedInstance()->isStarted());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Cannot start service TLCrashes. Telemetry was started without app secret, but the "
                       "service requires it."));
  EXPECT_FALSE(TLTelemetry::sharedInstance()->appSecret());
  EXPECT_EQ(TLTelemetry::sharedInstance()->defaultTransmissionTargetToken(), "abc-token");
}

TEST_F(TelemetryStartTest, ServicesAreRefusedBeforeConfigurationAndWhenNotServices) {
  auto telemetry = TLTelemetry::sharedInstance();
  EXPECT_FALSE(telemetry->startService(TestLow::serviceClass(), kSecret, std::nullopt, true));
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Telemetry has not been configured so it couldn't start the service."));
  TLTelemetry::configure();
  EXPECT_FALSE(telemetry->startService(TLServiceClass(), kSecret, std::nullopt, true));
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Cannot start service (null). Provided value is nil or invalid."));
}

TEST_F(TelemetryStartTest, UsingTheSdkBeforeConfigurationIsRefused) {
  EXPECT_FALSE(TLTelemetry::isEnabled());
  TLTelemetry::setEnabled(false);
  EXPECT_TRUE(TLTelemetry::sharedInstance()->isSdkEnabled());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Telemetry SDK hasn't been configured. You need to call [TLTelemetry "
                       "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
}

// ---- Environment ----

TEST_F(TelemetryStartTest, TheDisableVariableNamesServicesOrAll) {
  struct Case {
    const char* value;  // nullptr: unset
    bool low;
    bool peer;
  };
  const Case cases[] = {
      {nullptr, false, false},
      {"", false, false},
      {"TestLow", true, false},
      {" TestLow , TestPeer ", true, true},
      {"all", false, false},
      {"All", true, true},
      {"testlow", false, false},
      {"Other,All", true, true},
      {"TestLowX,TestPee", false, false},
  };
  auto telemetry = TLTelemetry::sharedInstance();
  for (const auto& c : cases) {
    if (c.value) {
      setenv(kTLDisableVariable, c.value, 1);
    } else {
      unsetenv(kTLDisableVariable);
    }
    EXPECT_EQ(telemetry->shouldDisable("TestLow"), c.low) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(telemetry->shouldDisable("TestPeer"), c.peer) << (c.value ? c.value : "(unset)");
  }
  setenv(kTLDisableVariable, " TestLow ", 1);
  TLTelemetry::start(kSecret, {TestLow::serviceClass(), TestPeer::serviceClass()});
  EXPECT_FALSE(TestLow::sharedInstance()->isStarted());
  EXPECT_TRUE(TestPeer::sharedInstance()->isStarted());
  EXPECT_TRUE(
      contains(recorder->texts(TLLogLevelDebug),
               "Environment variable to disable service has been set; not starting service TLTestLow"));
}

TEST_F(TelemetryStartTest, TheTestCloudMarkIsExactlyOne) {
  const std::pair<const char*, bool> cases[] = {
      {nullptr, false}, {"1", true}, {"0", false}, {"true", false}, {" 1", false}};
  for (const auto& [value, expected] : cases) {
    if (value) {
      setenv(kTLRunningInTestCloudVariable, value, 1);
    } else {
      unsetenv(kTLRunningInTestCloudVariable);
    }
    EXPECT_EQ(TLTelemetry::isRunningInTelemetryTestCloud(), expected) << (value ? value : "(unset)");
  }
  unsetenv(kTLRunningInTestCloudVariable);
}

// ---- Storage size ----

TEST_F(TelemetryStartTest, StorageSizeRequestsFollowTheirRules) {
  struct Result {
    std::atomic<int> calls{0};
    std::atomic<bool> value{true};
  };
  auto handler = [](std::shared_ptr<Result> result) {
    return [result](bool ok) {
      result->value = ok;
      ++result->calls;
    };
  };
  auto tooSmall = std::make_shared<Result>();
  TLTelemetry::setMaxStorageSize(24575, handler(tooSmall));
  EXPECT_EQ(tooSmall->calls.load(), 1);
  EXPECT_FALSE(tooSmall->value.load());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelWarning),
                       "Cannot set storage size to 24575 bytes, minimum value is 24576 bytes"));
  EXPECT_FALSE(TLTelemetry::sharedInstance()->setMaxStorageSizeHasBeenCalled());

  auto accepted = std::make_shared<Result>();
  TLTelemetry::setMaxStorageSize(24576, handler(accepted));
  EXPECT_EQ(TLTelemetry::sharedInstance()->requestedMaxStorageSizeInBytes(), 24576);
  EXPECT_EQ(accepted->calls.load(), 0);  // the pipeline answers once it exists

  auto twice = std::make_shared<Result>();
  TLTelemetry::setMaxStorageSize(40000, handler(twice));
  EXPECT_EQ(twice->calls.load(), 1);
  EXPECT_FALSE(twice->value.load());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelWarning),
                       "setMaxStorageSize:completionHandler: may only be called once per app launch"));

  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  EXPECT_TRUE(waitFor([&] { return accepted->calls.load() == 1; }));
  EXPECT_TRUE(accepted->value.load());

  // After the application configured: refused (in a new launch, where the once-rule has not fired).
  freshLaunch();
  TLTelemetry::configure();
  auto late = std::make_shared<Result>();
  TLTelemetry::setMaxStorageSize(30000, handler(late));
  EXPECT_EQ(late->calls.load(), 1);
  EXPECT_FALSE(late->value.load());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelWarning),
                       "Unable to set storage size after the application has configured Telemetry"));
}

// ---- Enabled state ----

TEST_F(TelemetryStartTest, DisablingClearsHistoriesAndStoredLogs) {
  TLTelemetry::start(kSecret, {TestLow::serviceClass()});
  TLUserIdContext::sharedInstance()->setUserId("alice");
  TLSessionContext::sharedInstance()->setSessionId("S1");
  for (int i = 0; i < 3; ++i) TestLow::sharedInstance()->channelUnit()->enqueueItem(testLog("TestLow"), 1);
  // The store is read on the logs queue, as the pipeline reads it.
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  auto rows = [&] {
    return group->logsDispatchQueue()->sync(
        [&] { return group->storage()->countLogs().value_or(std::numeric_limits<std::uint64_t>::max()); });
  };
  ASSERT_TRUE(waitFor([&] { return rows() == 4; })) << rows();
  EXPECT_FALSE(TLSessionContext::sharedInstance()->sessionHistory().empty());

  TLTelemetry::setEnabled(false);
  EXPECT_FALSE(TLTelemetry::isEnabled());
  EXPECT_EQ(TLUserDefaults::shared()->objectForKey(kTLTelemetryIsEnabledKey), platform::PropertyList(false));
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelInfo), "Telemetry SDK disabled."));
  EXPECT_TRUE(TLSessionContext::sharedInstance()->sessionHistory().empty());
  EXPECT_EQ(TLUserIdContext::sharedInstance()->historyCount(), 1u);
  EXPECT_EQ(TLDeviceTracker::sharedInstance()->historyCount(), 0u);
  EXPECT_FALSE(TestLow::sharedInstance()->isEnabled());
  EXPECT_TRUE(waitFor([&] { return rows() == 0; }));

  TLTelemetry::setEnabled(true);
  EXPECT_TRUE(TestLow::sharedInstance()->isEnabled());
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelInfo), "Telemetry SDK enabled."));
}

TEST_F(TelemetryStartTest, ServicesStartedWhileDisabledAreNamedInOneLogOnReEnable) {
  TLTelemetry::configureWithAppSecret(kSecret);
  auto prepared = watchGroup();
  TLTelemetry::setEnabled(false);
  TLTelemetry::startService(TestLow::serviceClass());
  TLTelemetry::startService(TestPeer::serviceClass());
  EXPECT_TRUE(prepared->logsOf<TLStartServiceLog>().empty());
  EXPECT_EQ(TLTelemetry::sharedInstance()->startedServiceNames(),
            (std::vector<std::string>{"TestLow", "TestPeer"}));
  // A service started while the SDK is off is switched off with it.
  EXPECT_FALSE(TestLow::sharedInstance()->isEnabled());

  TLTelemetry::setEnabled(true);
  auto starts = prepared->logsOf<TLStartServiceLog>();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]->services(), (std::vector<std::string>{"TestLow", "TestPeer"}));
  EXPECT_FALSE(TLTelemetry::sharedInstance()->startedServiceNames());
  EXPECT_TRUE(TestLow::sharedInstance()->isEnabled());
}

// ---- Install id ----

TEST_F(TelemetryStartTest, TheInstallIdIsReadMadeOrReplaced) {
  struct Case {
    std::optional<platform::PropertyList> stored;
    std::optional<std::string> expected;  // nullopt: a new id
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {platform::PropertyList("not-a-uuid"), std::nullopt},
      {platform::PropertyList(42), std::nullopt},
      {platform::PropertyList("0b5e8a1c-2d3f-4a5b-8c7d-9e0f1a2b3c4d"),
       "0B5E8A1C-2D3F-4A5B-8C7D-9E0F1A2B3C4D"},
  };
  for (const auto& c : cases) {
    freshLaunch();
    if (c.stored) TLUserDefaults::shared()->setObject(*c.stored, kTLInstallIdKey);
    std::string id = TLTelemetry::installId();
    EXPECT_TRUE(platform::parseUUID(id));
    EXPECT_EQ(id, TLTelemetry::installId());
    if (c.expected) {
      EXPECT_EQ(id, *c.expected);
    } else {
      EXPECT_EQ(TLUserDefaults::shared()->objectForKey(kTLInstallIdKey), platform::PropertyList(id));
    }
  }
}

// ---- User id and custom properties ----

TEST_F(TelemetryStartTest, UserIdsNeedAnApplicationConfigurationWithSecretOrToken) {
  TLTelemetry::sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, false);
  TLTelemetry::setUserId("alice");
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Telemetry must be configured from application, libraries cannot call setUserId."));
  TLTelemetry::configure();
  TLTelemetry::setUserId("alice");
  EXPECT_TRUE(contains(recorder->texts(TLLogLevelError),
                       "Telemetry must be configured with a secret from application to call setUserId."));
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());

  freshLaunch();
  TLTelemetry::configureWithAppSecret(kSecret);
  TLTelemetry::setUserId(std::string(257, 'u'));
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());
  TLTelemetry::setUserId("alice");
  EXPECT_EQ(TLUserIdContext::sharedInstance()->userId(), "alice");

  freshLaunch();
  TLTelemetry::configureWithAppSecret("target=tok-1");
  TLTelemetry::setUserId("x:alice");
  EXPECT_FALSE(TLUserIdContext::sharedInstance()->userId());
  TLTelemetry::setUserId("c:alice");
  EXPECT_EQ(TLUserIdContext::sharedInstance()->userId(), "c:alice");
}

TEST_F(TelemetryStartTest, EmptyCustomPropertiesAreRefused) {
  TLTelemetry::configureWithAppSecret(kSecret);
  auto prepared = watchGroup();
  TLTelemetry::setCustomProperties(std::nullopt);
  TLTelemetry::setCustomProperties(platform::ArchiveObject::Dictionary{});
  EXPECT_EQ(recorder->texts(TLLogLevelError).size(), 2u);
  TLTelemetry::setCustomProperties(
      platform::ArchiveObject::Dictionary{{"plan", platform::ArchiveObject("pro")}});
  EXPECT_EQ(prepared->logsOf<TLCustomPropertiesLog>().size(), 1u);
}

TEST_F(TelemetryStartTest, NoDebuggerIsAttachedToTheTests) {
  EXPECT_FALSE(TLTelemetry::isDebuggerAttached());
}

}  // namespace
