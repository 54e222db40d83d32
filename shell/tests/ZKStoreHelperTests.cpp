#include <gtest/gtest.h>

#include <atomic>

#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/TLTelemetry.h"
#include "TelemetryAnalytics/TLAnalytics.h"
#include "platform/MainQueue.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "shell/ZKStoreHelper.h"
#include "testing/Sandbox.h"
#include "testing/TelemetryIngestionServer.h"

namespace {

TEST(ZKStoreHelperTest, SecretsBecomeDashedIdentifiers) {
  const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
      {"abcdefghijklmnopqrstuvwxyz012345", "abcdefgh-ijkl-mnop-qrst-uvwxyz012345"},
      {kQVTelemetryAppSecret, "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26"},
      {"5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26", "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26"},
      {"already-dashed", "already-dashed"},
      {std::string(31, 'a'), std::nullopt},
      {std::string(33, 'a'), std::nullopt},
      {std::string(), std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [secret, identifier] : cases) {
    EXPECT_EQ(ZKStoreHelper::formattedUUIDWithString(secret), identifier) << secret.value_or("(none)");
  }
}

TEST(ZKStoreHelperTest, ConsentAnswersMapToTheCrashServiceValues) {
  const std::pair<int, std::optional<int>> cases[] = {
      {kZKAlertFirstButtonReturn, 2},
      {kZKAlertSecondButtonReturn, 1},
      {kZKAlertThirdButtonReturn, 0},
      {1003, std::nullopt},
      {0, std::nullopt},
      {-1000, std::nullopt},
  };
  for (const auto& [response, value] : cases) {
    EXPECT_EQ(ZKStoreHelper::crashConfirmationForResponse(response), value) << response;
    ZKStoreHelper helper;
    std::vector<int> passed;
    helper.setConfirmationSink([&](int answer) { passed.push_back(answer); });
    helper.setCrashConsentAlert([response = response] { return response; });
    EXPECT_TRUE(helper.promptUserForCrashHandlingConfirmation());
    EXPECT_EQ(passed, value ? std::vector<int>{*value} : std::vector<int>{}) << response;
  }
}

class ZKStoreHelperStartTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    previousSecrets = platform::SecretStore::shared();
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    reset();
  }
  void TearDown() override {
    // The pipeline finishes its queued work before the sandbox goes away.
    if (auto group =
            std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup())) {
      group->logsDispatchQueue()->sync([] {});
    }
    reset();
    platform::SecretStore::setShared(previousSecrets);
    SandboxTest::TearDown();
  }
  void reset() {
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    TLTelemetry::resetSharedInstance();
    TLAnalytics::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    TLDeviceTracker::resetSharedInstance();
    TLAuthTokenContext::resetSharedInstance();
  }
  std::shared_ptr<platform::SecretStore> previousSecrets;
};

TEST_F(ZKStoreHelperStartTest, TheApplicationSecretStartsTelemetryDashed) {
  qvtesting::TelemetryIngestionServer server;
  ASSERT_TRUE(server.start());
  TLTelemetry::setLogUrl(server.baseURL());
  ZKStoreHelper helper;
  std::atomic<bool> done{false};
  platform::postToMain([&] {
    helper.configureWithAppSecret(kQVTelemetryAppSecret);
    done = true;
  });
  ASSERT_TRUE(runUntil([&] { return done.load(); }));
  EXPECT_TRUE(helper.isConfigured());
  EXPECT_TRUE(helper.telemetryStarted());
  EXPECT_TRUE(TLTelemetry::isConfigured());
  EXPECT_EQ(TLTelemetry::sharedInstance()->appSecret(), "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26");
  EXPECT_TRUE(TLAnalytics::sharedInstance()->isAvailable());
  // The feed address follows the build's feed host; a build without one has no update checks.
  if (ZKStoreHelper::updateChecksAreAvailable()) {
    EXPECT_EQ(helper.feedURL(), std::string(QVUpdateFeedHost) +
                                    "/v0.1/public/updates/apps/5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26");
  } else {
    EXPECT_EQ(helper.feedURL(), std::nullopt);
  }
  auto defaults = platform::SettingsStore::standardUserDefaults();
  EXPECT_TRUE(defaults->boolForKey(kZKCrashOnExceptionsKey));
  if (helper.feedURL()) {
    EXPECT_EQ(defaults->stringForKey(kZKUpdateFeedURLKey), helper.feedURL());
  }

  auto startServiceLog = [&]() -> std::optional<nlohmann::json> {
    for (const auto& log : server.allLogs())
      if (log.value("type", "") == "startService") return log;
    return std::nullopt;
  };
  ASSERT_TRUE(runUntil([&] { return startServiceLog().has_value(); }, 60));
  // The crash service, when the build has it, starts first: it has the higher priority.
#if __has_include("TelemetryCrashes/TLCrashes.h")
  EXPECT_EQ((*startServiceLog())["services"], nlohmann::json::array({"Crashes", "Analytics"}));
#else
  EXPECT_EQ((*startServiceLog())["services"], nlohmann::json::array({"Analytics"}));
#endif
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.header("App-Secret"), "5c1e7a9d-03b8-4f62-a7e0-d19c4b3f8a26");
  }
  // Every answer has been handled (the sent logs deleted) before the test ends.
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  EXPECT_TRUE(runUntil(
      [&] { return group->logsDispatchQueue()->sync([&] { return group->storage()->countLogs() == 0u; }); },
      60));
  server.stop();
}

TEST_F(ZKStoreHelperStartTest, ABuildWithoutIngestionAddressDoesNotStartTelemetry) {
  if (!TLTelemetry::defaultLogUrl().empty()) GTEST_SKIP() << "this build has an ingestion address";
  qvtesting::LogCapture log;
  ZKStoreHelper helper;
  helper.configureWithAppSecret(kQVTelemetryAppSecret);
  EXPECT_TRUE(helper.isConfigured());
  EXPECT_FALSE(helper.telemetryStarted());
  EXPECT_FALSE(TLTelemetry::sharedInstance()->sdkConfigured());
  EXPECT_TRUE(log.contains("Telemetry is not started: this build has no telemetry ingestion address."));
}

TEST_F(ZKStoreHelperStartTest, ASecretOfAnotherShapeStartsWithoutOne) {
  TLTelemetry::setLogUrl("http://127.0.0.1:9");
  ZKStoreHelper helper;
  helper.configureWithAppSecret(std::string(31, 'a'));
  EXPECT_TRUE(TLTelemetry::sharedInstance()->sdkConfigured());
  EXPECT_FALSE(TLTelemetry::sharedInstance()->appSecret());
  if (ZKStoreHelper::updateChecksAreAvailable()) {
    EXPECT_EQ(helper.feedURL(), std::string(QVUpdateFeedHost) + "/v0.1/public/updates/apps/");
  }
}

}  // namespace
