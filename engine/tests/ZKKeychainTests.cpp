#include <gtest/gtest.h>

#include "engine/ZKKeychain.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/SecretStore.h"

namespace {

using namespace enginetest;

// A memory store that counts the writes and can be told to fail them.
class ScriptedStore : public platform::SecretStore {
 public:
  std::string storeKind() const override { return "scripted"; }
  platform::OSStatus findStatus = platform::errSecSuccess;  // used when not the real answer
  bool failFind = false;
  platform::OSStatus writeFailure = platform::errSecSuccess;
  int adds = 0, updates = 0, removes = 0;

 protected:
  platform::OSStatus find(const std::string& s, const std::string& a, platform::Data* p) override {
    if (failFind) return findStatus;
    return inner_->findGenericPassword(s, a, p);
  }
  platform::OSStatus add(const std::string& s, const std::string& a, const platform::Data& p) override {
    ++adds;
    return writeFailure ? writeFailure : inner_->addGenericPassword(s, a, p);
  }
  platform::OSStatus update(const std::string& s, const std::string& a, const platform::Data& p) override {
    ++updates;
    return writeFailure ? writeFailure : inner_->updateGenericPassword(s, a, p);
  }
  platform::OSStatus remove(const std::string& s, const std::string& a) override {
    ++removes;
    return writeFailure ? writeFailure : inner_->deleteGenericPassword(s, a);
  }
  platform::OSStatus removeAll(const std::string& s) override { return inner_->deleteAllGenericPasswords(s); }

 private:
  std::shared_ptr<platform::SecretStore> inner_ = platform::SecretStore::memoryStore();
};

class KeychainTest : public EngineTest {
 protected:
  std::shared_ptr<ScriptedStore> store_ = std::make_shared<ScriptedStore>();
  ZKKeychain keychain_{store_, "Quorvane Dashboard"};
};

TEST_F(KeychainTest, StoresOneItemPerKey) {
  EXPECT_EQ(keychain_.secureValueForKey("a"), std::nullopt) << "never set";
  EXPECT_EQ(keychain_.valueStatusForKey("a"), -25300);
  EXPECT_FALSE(keychain_.hasValueForKey("a"));

  EXPECT_TRUE(keychain_.setSecureValue("one", "a"));
  EXPECT_TRUE(keychain_.setSecureValue("two", "b"));
  EXPECT_EQ(keychain_.valueStatusForKey("a"), 0);
  EXPECT_EQ(keychain_.secureValueForKey("a"), "one");
  EXPECT_EQ(keychain_.secureValueForKey("b"), "two") << "keys are independent";
  EXPECT_EQ(store_->adds, 2);

  // A second write replaces the item's data; no second item.
  EXPECT_TRUE(keychain_.setSecureValue("uno", "a"));
  EXPECT_EQ(store_->adds, 2);
  EXPECT_EQ(store_->updates, 1);
  EXPECT_EQ(keychain_.secureValueForKey("a"), "uno");

  // The item holds the keyed archive of the text, under the application's name.
  platform::Data data;
  ASSERT_EQ(store_->findGenericPassword("Quorvane Dashboard", "a", &data), 0);
  EXPECT_EQ(*platform::KeyedUnarchiver::unarchiveObjectWithData(data).asString(), "uno");

  EXPECT_TRUE(keychain_.removeSecureValueForKey("a"));
  EXPECT_FALSE(keychain_.hasValueForKey("a"));
  EXPECT_FALSE(keychain_.removeSecureValueForKey("a")) << "nothing left to remove";
  EXPECT_EQ(keychain_.secureValueForKey("b"), "two");

  // Nothing for a key without an item.
  EXPECT_FALSE(keychain_.setSecureValue(std::nullopt, "c"));
  EXPECT_EQ(store_->removes, 1);
  EXPECT_TRUE(keychain_.setSecureValue(std::nullopt, "b"));
  EXPECT_FALSE(keychain_.hasValueForKey("b"));

  // A missing key.
  EXPECT_FALSE(keychain_.setSecureValue("x", ""));
  EXPECT_EQ(keychain_.secureValueForKey(""), std::nullopt);
  EXPECT_EQ(keychain_.valueStatusForKey(""), -50);

  // Another service holds its own items.
  ZKKeychain other(store_, "Other");
  EXPECT_TRUE(other.setSecureValue("theirs", "b"));
  EXPECT_FALSE(keychain_.hasValueForKey("b"));
}

TEST_F(KeychainTest, AFailedWriteIsReportedAndLogged) {
  struct Case {
    const char* name;
    bool existing;
    platform::OSStatus failure;
  } cases[] = {
      {"add refused", false, platform::errSecIO},
      {"replace refused", true, platform::errSecInteractionNotAllowed},
  };
  for (const auto& c : cases) {
    store_->writeFailure = platform::errSecSuccess;
    keychain_.removeSecureValueForKey("k");
    if (c.existing) {
      ASSERT_TRUE(keychain_.setSecureValue("old", "k"));
    }
    store_->writeFailure = c.failure;
    qvtesting::LogCapture capture;
    EXPECT_FALSE(keychain_.setSecureValue("new", "k")) << c.name;
    EXPECT_TRUE(capture.contains("Could not save the secure value k in the scripted store: status " +
                                 std::to_string(c.failure)))
        << c.name;
    store_->writeFailure = platform::errSecSuccess;
    EXPECT_EQ(keychain_.secureValueForKey("k"), c.existing ? std::optional<std::string>("old") : std::nullopt)
        << c.name;
  }

  // A lookup that fails for another reason than a missing item writes nothing.
  store_->failFind = true;
  store_->findStatus = platform::errSecInteractionNotAllowed;
  int writes = store_->adds + store_->updates;
  qvtesting::LogCapture capture;
  EXPECT_FALSE(keychain_.setSecureValue("new", "k"));
  EXPECT_EQ(store_->adds + store_->updates, writes);
  EXPECT_TRUE(capture.contains("Could not look up the secure value k"));
  EXPECT_EQ(keychain_.valueStatusForKey("k"), platform::errSecInteractionNotAllowed);
  EXPECT_EQ(keychain_.secureValueForKey("k"), std::nullopt);
  EXPECT_FALSE(keychain_.removeSecureValueForKey("k"));
}

TEST_F(KeychainTest, UnreadableItemsReadAsNothing) {
  ASSERT_EQ(store_->addGenericPassword("Quorvane Dashboard", "raw", platform::Data{'n', 'o', 'p', 'e'}), 0);
  EXPECT_TRUE(keychain_.hasValueForKey("raw"));
  EXPECT_EQ(keychain_.secureValueForKey("raw"), std::nullopt);
}

TEST_F(KeychainTest, TheSharedHelperUsesTheInstalledStore) {
  auto memory = platform::SecretStore::memoryStore();
  platform::SecretStore::setShared(memory);
  EXPECT_EQ(ZKKeychain::sharedHelper(), ZKKeychain::sharedHelper());
  EXPECT_EQ(ZKKeychain::sharedHelper()->serviceName(), "Quorvane Dashboard");
  EXPECT_TRUE(ZKKeychain::sharedHelper()->setSecureValue("v", "shared-key"));
  EXPECT_EQ(memory->findGenericPassword("Quorvane Dashboard", "shared-key"), 0);
}

}  // namespace
