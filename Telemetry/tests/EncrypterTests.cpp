#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "Telemetry/Internals/Util/TLEncrypter.h"
#include "Telemetry/Internals/Util/TLKeychainUtil.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryTestSupport.h"
#include "platform/Base64.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"

namespace {

using platform::Data;
using platform::Date;

// A secret store that answers with a chosen status for chosen operations, over a memory store.
class ScriptedStore : public platform::SecretStore {
 public:
  std::shared_ptr<platform::SecretStore> inner = platform::SecretStore::memoryStore();
  std::atomic<platform::OSStatus> findStatus{0};  // 0: pass through
  std::atomic<platform::OSStatus> addStatus{0};
  std::atomic<int> adds{0};
  std::atomic<int> missingFinds{0};  // this many finds answer "not found" first
  std::string storeKind() const override { return "scripted"; }

 protected:
  platform::OSStatus find(const std::string& s, const std::string& a, Data* p) override {
    if (findStatus) return findStatus;
    if (missingFinds > 0) {
      --missingFinds;
      return platform::errSecItemNotFound;
    }
    return inner->findGenericPassword(s, a, p);
  }
  platform::OSStatus add(const std::string& s, const std::string& a, const Data& p) override {
    ++adds;
    if (addStatus) return addStatus;
    return inner->addGenericPassword(s, a, p);
  }
  platform::OSStatus update(const std::string& s, const std::string& a, const Data& p) override {
    return inner->updateGenericPassword(s, a, p);
  }
  platform::OSStatus remove(const std::string& s, const std::string& a) override {
    return inner->deleteGenericPassword(s, a);
  }
  platform::OSStatus removeAll(const std::string& s) override { return inner->deleteAllGenericPasswords(s); }
};

class EncrypterTest : public qvtesting::SandboxTest {
 protected:
  std::shared_ptr<ScriptedStore> secrets = std::make_shared<ScriptedStore>();
  std::shared_ptr<TLUserDefaults> settings =
      TLUserDefaults::userDefaultsWithStore(platform::SettingsStore::inMemoryStore());
  std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(1700000000.0);
  TLClock clock() {
    auto n = now;
    return [n] { return Date::fromTimeIntervalSince1970(n->load()); };
  }
  TLEncrypter encrypter() { return TLEncrypter(secrets, settings, clock()); }
  std::string record() { return *settings->objectForKey(kTLEncryptionKeyMetadataKey)->asString(); }
  Data storedKey(const std::string& tag) {
    auto text = TLKeychainUtil::stringForKey(tag, TLKeychainUtil::serviceName(), secrets.get());
    return text ? *platform::base64Decode(*text) : Data{};
  }
  std::string hex(const Data& data) {
    std::string out;
    for (auto byte : data) out += fmt::format("{:02x}", byte);
    return out;
  }
  // `openssl enc` over the input with the key and IV; the output file's bytes.
  Data openssl(const std::string& options, const Data& input, const Data& key, const Data& iv) {
    auto in = root() / "in.bin";
    auto out = root() / "out.bin";
    platform::files::writeAtomically(in, input);
    std::string command = "openssl enc -aes-256-cbc " + options + " -K " + hex(key) + " -iv " + hex(iv) +
                          " -in '" + in.string() + "' -out '" + out.string() + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return platform::files::readFile(out).value_or(Data{});
  }
};

TEST_F(EncrypterTest, FirstEncryptionUsesTheAlternateKey) {
  auto e = encrypter();
  auto cipher = e.encryptString("secret token");
  ASSERT_TRUE(cipher);
  auto expiry = Date::fromTimeIntervalSince1970(*now + 31536000);
  EXPECT_EQ(record(), "kTLEncryptionKeyTagAlternate/" + TLUtility::dateToISO8601(expiry));
  EXPECT_EQ(storedKey(kTLEncryptionKeyTagAlternate).size(), 32u);
  auto bytes = *platform::base64Decode(*cipher);
  std::string header = "kTLEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:";
  ASSERT_GT(bytes.size(), header.size() + 16);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + header.size()), header);
  EXPECT_EQ(e.decryptString(*cipher), "secret token");
  // A fresh IV each time.
  auto again = e.encryptString("secret token");
  EXPECT_NE(again, cipher);
  EXPECT_EQ(e.decryptString(*again), "secret token");
  // Another encrypter (cold cache) reads the stored key.
  EXPECT_EQ(encrypter().decryptString(*cipher), "secret token");
  // The empty string: header, IV and one padding block.
  auto empty = *e.encryptData({});
  EXPECT_EQ(empty.size(), header.size() + 16 + 16);
}

// Known answers: our cipher text equals openssl's for the same key and IV, both ways.
TEST_F(EncrypterTest, KnownAnswersAgainstOpenssl) {
  auto e = encrypter();
  auto cipher = *e.encryptData(platform::dataFromString("The quick brown fox jumps over the lazy dog"));
  Data key = storedKey(kTLEncryptionKeyTagAlternate);
  std::size_t headerSize = std::string("kTLEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:").size();
  Data iv(cipher.begin() + headerSize, cipher.begin() + headerSize + 16);
  Data body(cipher.begin() + headerSize + 16, cipher.end());
  EXPECT_EQ(openssl("-e", platform::dataFromString("The quick brown fox jumps over the lazy dog"), key, iv),
            body);
  EXPECT_EQ(platform::stringFromData(openssl("-d", body, key, iv)),
            "The quick brown fox jumps over the lazy dog");
  // Fixed key and IV against openssl.
  Data fixedKey(32), fixedIv(16);
  for (int i = 0; i < 32; ++i) fixedKey[i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 16; ++i) fixedIv[i] = static_cast<std::uint8_t>(0xA0 + i);
  for (const std::string& plain :
       std::vector<std::string>{"", "a", std::string(16, 'b'), std::string(100, 'c')}) {
    auto ours = TLEncrypter::performCryptoOperation(0, platform::dataFromString(plain), fixedIv, fixedKey);
    ASSERT_TRUE(ours);
    EXPECT_EQ(*ours, openssl("-e", platform::dataFromString(plain), fixedKey, fixedIv)) << plain.size();
  }
}

// Legacy data: no header, the original key, a zero IV (made here with openssl).
TEST_F(EncrypterTest, LegacyDataDecryptsWithTheOriginalKey) {
  Data key(32, 0x42);
  ASSERT_TRUE(TLKeychainUtil::storeString(platform::base64Encode(key), kTLEncryptionKeyTag,
                                          TLKeychainUtil::serviceName(), secrets.get()));
  Data legacy = openssl("-e", platform::dataFromString("old token"), key, Data(16, 0));
  ASSERT_EQ(legacy.size(), 16u);
  auto e = encrypter();
  EXPECT_EQ(e.decryptString(platform::base64Encode(legacy)), "old token");
  // Without an original key nothing decrypts and no key is made.
  TLKeychainUtil::clear(TLKeychainUtil::serviceName(), secrets.get());
  EXPECT_FALSE(encrypter().decryptString(platform::base64Encode(legacy)));
  EXPECT_EQ(storedKey(kTLEncryptionKeyTag).size(), 0u);
}

TEST_F(EncrypterTest, RotationTable) {
  const std::string past = TLUtility::dateToISO8601(Date::fromTimeIntervalSince1970(*now - 1));
  const std::string future = TLUtility::dateToISO8601(Date::fromTimeIntervalSince1970(*now + 100));
  const std::tuple<std::optional<std::string>, std::string, bool> cases[] = {
      // stored record, tag used, rewritten
      {std::nullopt, kTLEncryptionKeyTagAlternate, true},
      {"kTLEncryptionKeyTagAlternate/" + future, kTLEncryptionKeyTagAlternate, false},
      {"kTLEncryptionKeyTag/" + future, kTLEncryptionKeyTag, false},
      {"kTLEncryptionKeyTagAlternate/" + past, kTLEncryptionKeyTag, true},
      {"kTLEncryptionKeyTag/" + past, kTLEncryptionKeyTagAlternate, true},
      {"kTLEncryptionKeyTag/not a date", kTLEncryptionKeyTagAlternate, true},
      {"kTLEncryptionKeyTag", kTLEncryptionKeyTagAlternate, true},  // no "/"
      {"somethingElse/" + future, kTLEncryptionKeyTag, true},       // a tag of no key of ours
  };
  for (const auto& [stored, tag, rewritten] : cases) {
    SCOPED_TRACE(stored.value_or("(none)"));
    if (stored)
      settings->setObject(platform::PropertyList(*stored), kTLEncryptionKeyMetadataKey);
    else
      settings->removeObjectForKey(kTLEncryptionKeyMetadataKey);
    auto e = encrypter();
    EXPECT_EQ(e.getCurrentKeyTag(), tag);
    std::string expected =
        rewritten ? tag + "/" + TLUtility::dateToISO8601(Date::fromTimeIntervalSince1970(*now + 31536000))
                  : *stored;
    EXPECT_EQ(record(), expected);
  }
  // Data made before a rotation still decrypts: the tag comes from its header.
  settings->removeObjectForKey(kTLEncryptionKeyMetadataKey);
  auto e = encrypter();
  auto before = *e.encryptString("x");
  *now = *now + 31536001;
  auto after = *e.encryptString("y");
  EXPECT_NE(storedKey(kTLEncryptionKeyTag), storedKey(kTLEncryptionKeyTagAlternate));
  EXPECT_EQ(encrypter().decryptString(before), "x");
  EXPECT_EQ(encrypter().decryptString(after), "y");
}

TEST_F(EncrypterTest, StoreStatusesDecideKeyCreation) {
  struct Case {
    const char* name;
    platform::OSStatus find;
    platform::OSStatus add;
    bool encrypts;
    int adds;
  };
  const Case cases[] = {
      {"not found: made and added", 0, 0, true, 1},
      {"locked keyring: nothing made", platform::errSecInteractionNotAllowed, 0, false, 0},
      {"no secret service: nothing made", platform::errSecNotAvailable, 0, false, 0},
      {"io error: nothing made", platform::errSecIO, 0, false, 0},
      {"add fails: nothing used", 0, platform::errSecIO, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    secrets = std::make_shared<ScriptedStore>();
    settings = TLUserDefaults::userDefaultsWithStore(platform::SettingsStore::inMemoryStore());
    secrets->findStatus = c.find;
    secrets->addStatus = c.add;
    auto e = encrypter();
    EXPECT_EQ(e.encryptString("v").has_value(), c.encrypts);
    EXPECT_EQ(secrets->adds.load(), c.adds);
  }
}

// A key that another process added between our reads and our add is the one used.
TEST_F(EncrypterTest, DuplicateAddUsesTheStoredKey) {
  Data theirs(32, 7);
  secrets->inner->addGenericPassword(TLKeychainUtil::serviceName(), kTLEncryptionKeyTagAlternate,
                                     platform::dataFromString(platform::base64Encode(theirs)));
  secrets->missingFinds = 2;  // both reads miss, then the add collides
  secrets->addStatus = platform::errSecDuplicateItem;
  auto e = encrypter();
  EXPECT_EQ(e.getKeyWithKeyTag(kTLEncryptionKeyTagAlternate), theirs);
  EXPECT_EQ(secrets->adds.load(), 1);
  EXPECT_EQ(storedKey(kTLEncryptionKeyTagAlternate), theirs);
}

TEST_F(EncrypterTest, DecryptionNeverCreatesKeysAndRefusesShortData) {
  auto e = encrypter();
  auto good = *e.encryptData(platform::dataFromString("payload"));
  std::string header = "kTLEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:";
  auto cut = [&](std::size_t size) { return Data(good.begin(), good.begin() + size); };
  const std::pair<const char*, Data> bad[] = {
      {"header only", cut(header.size())},
      {"IV cut", cut(header.size() + 8)},
      {"no block", cut(header.size() + 16)},
      {"half a block", cut(header.size() + 24)},
      {"unknown tag", platform::dataFromString("otherTag/AES/CBC/PKCS7/32:" + std::string(32, 'x'))},
      {"legacy not whole blocks", Data(17, 1)},
      {"empty", Data{}},
  };
  int addsBefore = secrets->adds;
  for (const auto& [name, data] : bad) EXPECT_FALSE(e.decryptData(data)) << name;
  // Data under the original tag, whose key does not exist: no key is made for it.
  Data orphan = platform::dataFromString("kTLEncryptionKeyTag/AES/CBC/PKCS7/32:");
  orphan.insert(orphan.end(), 32, 0x11);
  EXPECT_FALSE(e.decryptData(orphan));
  EXPECT_EQ(secrets->adds.load(), addsBefore);
  EXPECT_EQ(storedKey(kTLEncryptionKeyTag).size(), 0u);
}

TEST_F(EncrypterTest, BadInputGivesNil) {
  tltesting::MessageRecorder recorder;
  auto e = encrypter();
  EXPECT_FALSE(e.decryptString("not base64!"));
  EXPECT_EQ(recorder.texts(TLLogLevelWarning).back(), "Conversion of encrypted string to NSData failed.");
  auto invalid = *e.encryptData(Data{0xff, 0xfe});
  EXPECT_FALSE(e.decryptString(platform::base64Encode(invalid)));
  EXPECT_EQ(recorder.texts(TLLogLevelWarning).back(), "Converting decrypted NSData to NSString failed.");
  // A wrong key fails the padding check.
  auto cipher = *e.encryptData(platform::dataFromString("x"));
  TLKeychainUtil::storeString(platform::base64Encode(Data(32, 9)), kTLEncryptionKeyTagAlternate,
                              TLKeychainUtil::serviceName(), secrets.get());
  auto other = encrypter();
  auto wrong = other.decryptData(cipher);
  EXPECT_TRUE(!wrong || *wrong != platform::dataFromString("x"));
  // A damaged stored key is neither used nor replaced.
  TLKeychainUtil::storeString("not base64", kTLEncryptionKeyTagAlternate, TLKeychainUtil::serviceName(),
                              secrets.get());
  EXPECT_FALSE(encrypter().encryptString("x"));
  EXPECT_EQ(TLKeychainUtil::stringForKey(kTLEncryptionKeyTagAlternate, TLKeychainUtil::serviceName(),
                                         secrets.get()),
            "not base64");
}

TEST_F(EncrypterTest, KeychainUtil) {
  auto* store = secrets.get();
  const std::string service = TLKeychainUtil::serviceName();
  EXPECT_EQ(service, "com.quorvane.dashboard.Telemetry");
  EXPECT_FALSE(TLKeychainUtil::stringForKey("k", service, store));
  EXPECT_TRUE(TLKeychainUtil::storeString("one", "k", service, store));
  EXPECT_TRUE(TLKeychainUtil::storeString("two", "k", service, store));
  EXPECT_EQ(TLKeychainUtil::stringForKey("k", service, store), "two");
  EXPECT_EQ(TLKeychainUtil::deleteStringForKey("k", service, store), "two");
  EXPECT_FALSE(TLKeychainUtil::deleteStringForKey("k", service, store));
  TLKeychainUtil::storeString("a", "x", service, store);
  EXPECT_TRUE(TLKeychainUtil::clear(service, store));
  EXPECT_FALSE(TLKeychainUtil::stringForKey("x", service, store));
  EXPECT_TRUE(TLKeychainUtil::clear(service, store));
}

// Eight threads encrypting on a clean installation: one rotation, one key per tag.
TEST_F(EncrypterTest, EightThreadsMakeOneKey) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      TLEncrypter own(secrets, settings, clock());
      results[i] = own.encryptString("t" + std::to_string(i)).value_or("");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(secrets->adds.load(), 1);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(encrypter().decryptString(results[i]), "t" + std::to_string(i));
}

constexpr const char* kSecretServiceInside = "QV_TL_SECRET_SERVICE_INSIDE";
constexpr int kKeyringDidNotStart = 77;

// The encrypter over the real Secret Service: this executable runs again on a private session bus
// with an unlocked gnome-keyring, whose keyring lives in the sandbox.
TEST_F(EncrypterTest, RealSecretServiceKeepsTheKeys) {
  if (std::system("command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null") !=
      0)
    GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";
  const std::string script =
      "printf %s quorvane-test-keyring | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 "
      "|| "
      "exit " +
      std::to_string(kKeyringDidNotStart) +
      "; exec \"$0\" --gtest_also_run_disabled_tests "
      "--gtest_filter=EncrypterSecretService.*";
  std::string output;
  const int status =
      tltesting::runCapturing("env -u DBUS_SESSION_BUS_ADDRESS HOME='" + root().string() + "' " +
                                  kSecretServiceInside + "=1 timeout 120 dbus-run-session -- /bin/sh -c '" +
                                  script + "' '" + platform::Bundle::executablePath().string() + "'",
                              &output);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kKeyringDidNotStart)
    GTEST_SKIP() << "gnome-keyring-daemon could not start under dbus-run-session:\n" << output;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

TEST(EncrypterSecretService, DISABLED_KeysLiveInTheKeyring) {
  if (!std::getenv(kSecretServiceInside))
    GTEST_SKIP() << "runs inside EncrypterTest.RealSecretServiceKeepsTheKeys";
  platform::Error error;
  auto store = platform::SecretStore::secretServiceStore(&error);
  ASSERT_TRUE(store) << error.description;
  auto settings = TLUserDefaults::userDefaultsWithStore(platform::SettingsStore::inMemoryStore());
  const TLClock clock = [] { return Date::fromTimeIntervalSince1970(1700000000.0); };
  auto cipher =
      TLEncrypter(store, settings, clock).encryptString("a token of forty characters, more or less");
  ASSERT_TRUE(cipher);
  // The key is in the keyring: a new encrypter over a new connection reads it back.
  auto again = platform::SecretStore::secretServiceStore(&error);
  ASSERT_TRUE(again) << error.description;
  EXPECT_EQ(TLEncrypter(again, settings, clock).decryptString(*cipher),
            "a token of forty characters, more or less");
  auto key =
      TLKeychainUtil::stringForKey(kTLEncryptionKeyTagAlternate, TLKeychainUtil::serviceName(), again.get());
  ASSERT_TRUE(key);
  EXPECT_EQ(platform::base64Decode(*key)->size(), 32u);
  // Decryption with a tag whose key the keyring lacks creates nothing.
  EXPECT_FALSE(TLKeychainUtil::stringForKey(kTLEncryptionKeyTag, TLKeychainUtil::serviceName(), again.get()));
}

}  // namespace
