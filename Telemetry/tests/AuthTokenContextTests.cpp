#include <gtest/gtest.h>

#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "TelemetryTestSupport.h"
#include "testing/Sandbox.h"

namespace {

using platform::Date;
using Opt = std::optional<std::string>;

struct Recorder : TLAuthTokenContextDelegate {
  std::vector<Opt> tokens, accounts, refreshes;
  void authTokenContextDidUpdateAuthToken(TLAuthTokenContext&, const Opt& token) override {
    tokens.push_back(token);
  }
  void authTokenContextDidUpdateAccountId(TLAuthTokenContext&, const Opt& account) override {
    accounts.push_back(account);
  }
  void authTokenContextRefreshAuthTokenForAccountId(TLAuthTokenContext&, const Opt& account) override {
    refreshes.push_back(account);
  }
};

class AuthTokenContextTest : public qvtesting::SandboxTest {
 protected:
  std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::inMemoryStore();
  std::shared_ptr<TLUserDefaults> settings = TLUserDefaults::userDefaultsWithStore(store);
  std::shared_ptr<platform::SecretStore> secrets = platform::SecretStore::memoryStore();
  std::shared_ptr<double> now = std::make_shared<double>(1700000000.0);
  TLClock clock() {
    auto n = now;
    return [n] { return Date::fromTimeIntervalSince1970(*n); };
  }
  std::shared_ptr<TLAuthTokenContext> context() {
    return std::make_shared<TLAuthTokenContext>(
        settings, std::make_shared<TLEncrypter>(secrets, settings, clock()), clock());
  }
  Date at(double offset) { return Date::fromTimeIntervalSince1970(*now + offset); }
};

TEST_F(AuthTokenContextTest, FirstStartSignsOutOnce) {
  tltesting::MessageRecorder messages;
  auto c = context();
  auto listener = std::make_shared<Recorder>();
  c->addDelegate(listener);
  c->finishInitialize();
  c->finishInitialize();
  EXPECT_EQ(listener->tokens, std::vector<Opt>{std::nullopt});
  EXPECT_EQ(listener->accounts, std::vector<Opt>{std::nullopt});
  auto warnings = messages.texts(TLLogLevelWarning);
  EXPECT_NE(
      std::find(warnings.begin(), warnings.end(), "Failed to retrieve history state or none was found."),
      warnings.end());
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), "Failed to save new history state."), warnings.end());
  auto windows = c->authTokenValidityArray();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_FALSE(windows[0]->authToken());
  EXPECT_FALSE(windows[0]->startTime());
  EXPECT_FALSE(windows[0]->endTime());
}

TEST_F(AuthTokenContextTest, SignInsGapsRefreshesAndTheCap) {
  auto c = context();
  auto listener = std::make_shared<Recorder>();
  c->addDelegate(listener);
  c->setAuthToken("t1", "alice", at(100));
  c->setAuthToken("t1", "alice", at(100));
  EXPECT_EQ(listener->tokens.size(), 1u);
  EXPECT_EQ(c->authTokenHistory().size(), 1u);
  // After expiry, another account: a gap entry, then the new token.
  *now += 200;
  c->setAuthToken("t2", "bob", at(100));
  auto history = c->authTokenHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_FALSE(history[1]->authToken());
  EXPECT_EQ(history[1]->startTime(), at(-100));
  EXPECT_EQ(history[1]->expiresOn(), at(0));
  // After expiry, the same account: the new token starts at the old expiry.
  *now += 200;
  c->setAuthToken("t3", "bob", at(100));
  history = c->authTokenHistory();
  ASSERT_EQ(history.size(), 4u);
  EXPECT_EQ(history[3]->startTime(), at(-100));
  EXPECT_EQ(listener->accounts, (std::vector<Opt>{"alice", "bob"}));
  for (int i = 0; i < 7; ++i) c->setAuthToken("s" + std::to_string(i), "bob", std::nullopt);
  history = c->authTokenHistory();
  ASSERT_EQ(history.size(), 5u);
  EXPECT_EQ(history.back()->authToken(), "s6");
  EXPECT_EQ(history.front()->authToken(), "s2");
  // The stored history is sealed and reads back in a new context.
  auto stored = store->dataForKey(TLAuthTokenContext::kHistoryKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::string(stored->begin(), stored->begin() + 20), "kTLEncryptionKeyTagA");
  auto again = context();
  EXPECT_EQ(again->authToken(), "s6");
  EXPECT_EQ(again->authTokenHistory().size(), 5u);
}

TEST_F(AuthTokenContextTest, AccountIdsAreCutForListenersOnly) {
  auto c = context();
  auto listener = std::make_shared<Recorder>();
  c->addDelegate(listener);
  std::string account(40, 'a');
  c->setAuthToken("t", account, std::nullopt);
  ASSERT_EQ(listener->accounts.size(), 1u);
  EXPECT_EQ(listener->accounts[0], std::string(36, 'a'));
  EXPECT_EQ(c->accountId(), account);
}

TEST_F(AuthTokenContextTest, WindowsRemovalAndRefresh) {
  auto c = context();
  c->setAuthToken("t1", "a", at(1000));
  *now += 10;
  c->setAuthToken("t2", "a", at(300));
  auto windows = c->authTokenValidityArray();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0]->endTime(), at(0));  // ends where the next starts
  EXPECT_EQ(windows[1]->endTime(), at(300));
  c->removeAuthToken("t2");
  EXPECT_EQ(c->authTokenHistory().size(), 2u);
  c->removeAuthToken("t1");
  EXPECT_EQ(c->authTokenHistory().size(), 1u);
  c->removeAuthToken("t2");
  EXPECT_EQ(c->authTokenHistory().size(), 1u);

  auto listener = std::make_shared<Recorder>();
  c->addDelegate(listener);
  c->checkIfTokenNeedsToBeRefreshed(*c->authTokenValidityArray().back());  // ends in 300 s: soon
  EXPECT_EQ(listener->refreshes, std::vector<Opt>{"a"});
  c->checkIfTokenNeedsToBeRefreshed(TLAuthTokenValidityInfo("t1", at(0), at(1)));     // not the current token
  c->checkIfTokenNeedsToBeRefreshed(TLAuthTokenValidityInfo("t2", at(0), at(3600)));  // not soon
  EXPECT_EQ(listener->refreshes.size(), 1u);
}

// When the sealed history cannot be written, memory still follows the change the listeners heard.
TEST_F(AuthTokenContextTest, UnwritableHistoryStillChangesMemory) {
  class FailingStore : public platform::SecretStore {
   public:
    std::string storeKind() const override { return "failing"; }

   protected:
    platform::OSStatus find(const std::string&, const std::string&, platform::Data*) override {
      return platform::errSecInteractionNotAllowed;
    }
    platform::OSStatus add(const std::string&, const std::string&, const platform::Data&) override {
      return platform::errSecInteractionNotAllowed;
    }
    platform::OSStatus update(const std::string&, const std::string&, const platform::Data&) override {
      return platform::errSecInteractionNotAllowed;
    }
    platform::OSStatus remove(const std::string&, const std::string&) override {
      return platform::errSecInteractionNotAllowed;
    }
    platform::OSStatus removeAll(const std::string&) override {
      return platform::errSecInteractionNotAllowed;
    }
  };
  secrets = std::make_shared<FailingStore>();
  auto c = context();
  auto listener = std::make_shared<Recorder>();
  c->addDelegate(listener);
  c->setAuthToken("t1", "a", std::nullopt);
  EXPECT_EQ(listener->tokens, std::vector<Opt>{"t1"});
  EXPECT_EQ(c->authToken(), "t1");
  EXPECT_FALSE(store->objectForKey(TLAuthTokenContext::kHistoryKey));
}

TEST_F(AuthTokenContextTest, UndecryptableHistoryCountsAsEmpty) {
  store->setObject(platform::PropertyList(platform::dataFromString("garbage")),
                   TLAuthTokenContext::kHistoryKey);
  auto c = context();
  EXPECT_TRUE(c->authTokenHistory().empty());
  EXPECT_FALSE(c->authToken());
}

}  // namespace
