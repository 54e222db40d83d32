#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/BundleInfo.h"
#include "platform/Files.h"
#include "platform/SettingsStore.h"
#include "testing/Sandbox.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class SettingsStoreTest : public qvtesting::SandboxTest {
 protected:
  fs::path settingsPath() const { return root() / "config" / "test.plist"; }

  // The file's dictionary as the next launch would read it.
  std::optional<PropertyList::Dictionary> onDisk() const {
    auto bytes = files::readFile(settingsPath());
    if (!bytes) return std::nullopt;
    auto plist = PropertyList::read(*bytes);
    if (!plist || !plist->asDictionary()) return std::nullopt;
    return *plist->asDictionary();
  }
};

}  // namespace

TEST_F(SettingsStoreTest, TypedReadsConvertAsUserDefaultsDo) {
  struct Case {
    const char* name;
    std::optional<PropertyList> stored;
    bool asBool;
    std::int64_t asInteger;
    double asDouble;
    std::optional<std::string> asString;
  } cases[] = {
      {"missing", std::nullopt, false, 0, 0, std::nullopt},
      {"true", true, true, 1, 1, "1"},
      {"false", false, false, 0, 0, "0"},
      {"integer", 8080, true, 8080, 8080, "8080"},
      {"negative integer", -3, true, -3, -3, "-3"},
      {"real", 2.75, true, 2, 2.75, "2.75"},
      {"negative real", -2.75, true, -2, -2.75, "-2.75"},
      {"zero real", 0.0, false, 0, 0, "0"},
      {"text YES", "YES", true, 0, 0, "YES"},
      {"text true", "true", true, 0, 0, "true"},
      {"text NO", "NO", false, 0, 0, "NO"},
      {"text number", "42abc", true, 42, 42, "42abc"},
      {"text zero", "0", false, 0, 0, "0"},
      {"data", Data{1}, false, 0, 0, std::nullopt},
      {"array", PropertyList::Array{1}, false, 0, 0, std::nullopt},
  };
  auto store = SettingsStore::inMemoryStore();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store->setObject(c.stored, "key");
    EXPECT_EQ(store->boolForKey("key"), c.asBool);
    EXPECT_EQ(store->integerForKey("key"), c.asInteger);
    EXPECT_EQ(store->doubleForKey("key"), c.asDouble);
    EXPECT_EQ(store->floatForKey("key"), static_cast<float>(c.asDouble));
    EXPECT_EQ(store->stringForKey("key"), c.asString);
    EXPECT_EQ(store->objectForKey("key"), c.stored);
  }
}

TEST_F(SettingsStoreTest, ContainersAndDataReadOnlyAsThemselves) {
  auto store = SettingsStore::inMemoryStore();
  store->setObject(PropertyList::Array{"a", "b"}, "strings");
  store->setObject(PropertyList::Array{"a", 1}, "mixed");
  store->setObject(PropertyList::Dictionary{{"k", 1}}, "dict");
  store->setObject(Data{1, 2}, "data");
  EXPECT_EQ(store->stringArrayForKey("strings"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(store->stringArrayForKey("mixed"), std::nullopt);
  EXPECT_EQ(store->arrayForKey("mixed")->size(), 2u);
  EXPECT_EQ(store->dictionaryForKey("dict")->at("k"), PropertyList(1));
  EXPECT_EQ(store->dataForKey("data"), (Data{1, 2}));
  EXPECT_EQ(store->dataForKey("strings"), std::nullopt);
  EXPECT_EQ(store->arrayForKey("data"), std::nullopt);
  EXPECT_EQ(store->dictionaryForKey("strings"), std::nullopt);
}

TEST_F(SettingsStoreTest, RegisteredDefaultsAreReadButNeverWritten) {
  {
    auto store = SettingsStore::storeWithPath(settingsPath());
    store->registerDefaults({{"theme", 2}, {"showDockIcon", true}, {"serverPort", 8080}});
    EXPECT_EQ(store->integerForKey("theme"), 2);
    EXPECT_TRUE(store->boolForKey("showDockIcon"));
    EXPECT_FALSE(store->boolForKey("hideWindowAtStartup"));
    store->setInteger(0, "theme");
    EXPECT_EQ(store->integerForKey("theme"), 0);
    store->setInteger(9090, "serverPort");
    store->removeObjectForKey("serverPort");
    EXPECT_EQ(store->integerForKey("serverPort"), 8080);
    EXPECT_EQ(store->dictionaryRepresentation().size(), 3u);
    EXPECT_TRUE(store->synchronize());
  }
  auto disk = onDisk();
  ASSERT_TRUE(disk);
  EXPECT_EQ(*disk, (PropertyList::Dictionary{{"theme", 0}}));
}

TEST_F(SettingsStoreTest, ValuesPersistAsABinaryPropertyListOfMode0600) {
  {
    auto store = SettingsStore::storeWithPath(settingsPath());
    store->setBool(true, "loadedDefaults");
    store->setObject("0 0 100 100", "undockedFrame");
    store->setObject(Data{0, 1, 2}, "seenNotificationIDs");
    store->setDouble(0.25, "ratio");
    EXPECT_TRUE(store->synchronize());
  }
  auto bytes = files::readFile(settingsPath());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
  struct stat info {};
  ASSERT_EQ(::stat(settingsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto reopened = SettingsStore::storeWithPath(settingsPath());
  EXPECT_TRUE(reopened->boolForKey("loadedDefaults"));
  EXPECT_EQ(reopened->stringForKey("undockedFrame"), "0 0 100 100");
  EXPECT_EQ(reopened->dataForKey("seenNotificationIDs"), (Data{0, 1, 2}));
  EXPECT_EQ(reopened->doubleForKey("ratio"), 0.25);
}

TEST_F(SettingsStoreTest, ChangesReachTheDiskSoonWithoutSynchronize) {
  auto store = SettingsStore::storeWithPath(settingsPath());
  for (int i = 0; i <= 50; ++i) store->setInteger(i, "counter");
  EXPECT_TRUE(runUntil([&] {
    auto disk = onDisk();
    return disk && disk->count("counter") && disk->at("counter") == PropertyList(50);
  }));
}

TEST_F(SettingsStoreTest, PendingChangesAreWrittenWhenTheStoreGoesAway) {
  SettingsStore::storeWithPath(settingsPath())->setObject("last words", "key");
  auto disk = onDisk();
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->at("key"), PropertyList("last words"));
}

TEST_F(SettingsStoreTest, AnUnreadableFileIsMovedAsideAndNeverOverwritten) {
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"garbage", "not a property list"},
      {"empty file", ""},
      {"truncated binary", "bplist00\xD1\x01\x02"},
      {"array at the top", "<plist version=\"1.0\"><array><string>a</string></array></plist>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root() / "config");
    writeFile("config/test.plist", c.content);
    qvtesting::LogCapture log;
    auto store = SettingsStore::storeWithPath(settingsPath());
    EXPECT_TRUE(store->dictionaryRepresentation().empty());
    EXPECT_TRUE(log.contains("could not be read"));
    auto aside = files::readTextFile(settingsPath().string() + ".corrupt");
    ASSERT_TRUE(aside);
    EXPECT_EQ(*aside, c.content);
    store->setBool(true, "fresh");
    EXPECT_TRUE(store->synchronize());
    EXPECT_EQ(onDisk()->at("fresh"), PropertyList(true));
  }
}

TEST_F(SettingsStoreTest, ASecondUnreadableFileKeepsTheFirst) {
  writeFile("config/test.plist.corrupt", "older");
  writeFile("config/test.plist", "newer");
  auto store = SettingsStore::storeWithPath(settingsPath());
  EXPECT_EQ(files::readTextFile(settingsPath().string() + ".corrupt"), "older");
  EXPECT_EQ(files::readTextFile(settingsPath().string() + ".2.corrupt"), "newer");
}

TEST_F(SettingsStoreTest, AnUnreadableFileThatCannotBeMovedIsLeftAlone) {
  writeFile("config/test.plist", "precious but unreadable");
  writeFile("config/test.plist.corrupt", "");
  for (int n = 2; n <= 1000; ++n) writeFile("config/test.plist." + std::to_string(n) + ".corrupt", "");
  qvtesting::LogCapture log;
  auto store = SettingsStore::storeWithPath(settingsPath());
  EXPECT_TRUE(log.contains("will not be saved"));
  store->setBool(true, "key");
  EXPECT_TRUE(store->boolForKey("key"));
  EXPECT_FALSE(store->synchronize());
  store.reset();
  EXPECT_EQ(files::readTextFile(settingsPath()), "precious but unreadable");
}

TEST_F(SettingsStoreTest, AFailedWriteIsReportedAndLogged) {
  writeFile("config/blocker", "a file where the folder should be");
  qvtesting::LogCapture log;
  auto store = SettingsStore::storeWithPath(root() / "config" / "blocker" / "test.plist");
  store->setBool(true, "key");
  EXPECT_FALSE(store->synchronize());
  EXPECT_TRUE(log.contains("Could not write settings"));
  EXPECT_TRUE(store->boolForKey("key"));
}

TEST_F(SettingsStoreTest, ObserversHearEveryChangeOfTheirKeyWithOldAndNewValues) {
  auto store = SettingsStore::inMemoryStore();
  store->registerDefaults({{"theme", 2}});
  struct Call {
    std::string key;
    std::optional<PropertyList> oldValue, newValue;
    std::thread::id thread;
  };
  std::vector<Call> calls;
  std::mutex mutex;
  auto observation = store->addObserverForKey(
      "theme", [&](const std::string& key, const auto& oldValue, const auto& newValue) {
        std::lock_guard lock(mutex);
        calls.push_back({key, oldValue, newValue, std::this_thread::get_id()});
      });
  store->setInteger(1, "theme");
  store->setInteger(1, "other");
  std::thread::id worker;
  std::thread([&] {
    worker = std::this_thread::get_id();
    store->removeObjectForKey("theme");
  }).join();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].key, "theme");
  EXPECT_EQ(calls[0].oldValue, PropertyList(2));
  EXPECT_EQ(calls[0].newValue, PropertyList(1));
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  EXPECT_EQ(calls[1].oldValue, PropertyList(1));
  EXPECT_EQ(calls[1].newValue, PropertyList(2));
  EXPECT_EQ(calls[1].thread, worker);

  observation.invalidate();
  store->setInteger(0, "theme");
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(SettingsStoreTest, ObserversMayUseTheStoreAndEndTheirOwnObservation) {
  auto store = SettingsStore::inMemoryStore();
  int calls = 0;
  SettingsStore::Observation observation;
  observation = store->addObserverForKey("a", [&](const std::string&, const auto&, const auto& newValue) {
    ++calls;
    store->setObject(newValue, "copy");  // no lock is held while observers run
    EXPECT_EQ(store->objectForKey("copy"), newValue);
    observation.invalidate();
  });
  store->setObject("x", "a");
  store->setObject("y", "a");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(store->stringForKey("copy"), "x");
  EXPECT_FALSE(observation.isValid());
}

TEST_F(SettingsStoreTest, ManyThreadsWriteAndReadTogether) {
  auto store = SettingsStore::storeWithPath(settingsPath());
  std::vector<std::thread> threads;
  std::atomic<int> observed{0};
  auto observation = store->addObserverForKey("shared", [&](auto&&...) { ++observed; });
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        store->setInteger(i, "thread" + std::to_string(t));
        store->setInteger(i, "shared");
        store->integerForKey("shared");
        if (i % 50 == 0) store->synchronize();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(observed, 8 * 200);
  EXPECT_TRUE(store->synchronize());
  auto disk = onDisk();
  ASSERT_TRUE(disk);
  for (int t = 0; t < 8; ++t) EXPECT_EQ(disk->at("thread" + std::to_string(t)), PropertyList(199));
}

TEST_F(SettingsStoreTest, TheStandardStoreLivesInTheConfigFolderUnderTheBundleIdentifier) {
  std::string id = bundleinfo::kIdentifier;
  EXPECT_EQ(SettingsStore::standardPath(), root() / "config" / id / (id + ".plist"));
  auto installed = SettingsStore::inMemoryStore();
  SettingsStore::setStandardUserDefaults(installed);
  EXPECT_EQ(SettingsStore::standardUserDefaults(), installed);
  EXPECT_EQ(SettingsStore::standardUserDefaults(), SettingsStore::standardUserDefaults());
  SettingsStore::setStandardUserDefaults(nullptr);
  auto standard = SettingsStore::standardUserDefaults();
  EXPECT_EQ(standard->path(), SettingsStore::standardPath());
  SettingsStore::setStandardUserDefaults(nullptr);
}

// Work on other threads may still use the standard store while the process exits; the store
// stays usable through static destruction, and what it holds still reaches the disk. A death test
// suite, so that GoogleTest runs it before the others: its child is forked, and a child forked after
// other tests ran would inherit their threads' memory without the threads, which the leak checker of
// the sanitizer build reports as leaked.
using SettingsStoreDeathTest = SettingsStoreTest;
TEST_F(SettingsStoreDeathTest, TheStandardStoreOutlivesExitAndIsWrittenThen) {
  SettingsStore::setStandardUserDefaults(nullptr);
  EXPECT_EXIT(
      {
        SettingsStore::standardUserDefaults()->setObject("last words", "key");
        static std::atomic<bool> writing{false};
        std::thread([] {
          for (std::int64_t i = 0;; ++i) {
            SettingsStore::standardUserDefaults()->setInteger(i, "counter");
            writing = true;
          }
        }).detach();
        while (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  auto bytes = files::readFile(SettingsStore::standardPath());
  ASSERT_TRUE(bytes);
  auto plist = PropertyList::read(*bytes);
  ASSERT_TRUE(plist && plist->asDictionary());
  EXPECT_EQ(plist->asDictionary()->at("key"), PropertyList("last words"));
  EXPECT_TRUE(plist->asDictionary()->count("counter"));
}

TEST_F(SettingsStoreTest, AnInMemoryStoreWritesNothing) {
  auto store = SettingsStore::inMemoryStore();
  store->setBool(true, "key");
  EXPECT_TRUE(store->synchronize());
  EXPECT_TRUE(store->path().empty());
  EXPECT_TRUE(fs::is_empty(root() / "config"));
}
