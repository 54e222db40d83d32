#pragma once

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/QVDMUserOption.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVNotifications.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "testing/Sandbox.h"
#include "testing/TreePaths.h"

namespace enginetest {

namespace fs = std::filesystem;

inline fs::path fixturePackage(const std::string& name) {
  return fs::path(QV_ENGINE_FIXTURES) / "packages" / name;
}

// Copies a fixture package to `destination` (parents created) and answers the copy's path.
inline fs::path copyPackage(const std::string& name, const fs::path& destination) {
  fs::create_directories(destination.parent_path());
  fs::copy(fixturePackage(name), destination, fs::copy_options::recursive);
  return destination;
}

// Writes a package with this manifest and an empty script.
inline fs::path writePackage(const fs::path& folder, const nlohmann::json& manifest) {
  fs::create_directories(folder);
  std::ofstream(folder / "package.json") << manifest.dump();
  std::ofstream(folder / "main.js") << "\n";
  return folder;
}

inline nlohmann::json minimalManifest() {
  return {{"name", "Made"},
          {"author", "A"},
          {"bundleID", "com.example.made"},
          {"version", "1"},
          {"description", "D"}};
}

// Counts "QVModuleDidChange" and "QVModuleResultDidChange" notifications by sender while alive.
class NotificationCounter {
 public:
  explicit NotificationCounter(const char* name)
      : token_(platform::NotificationCenter::defaultCenter().addObserverForName(
            name, nullptr, [this](const platform::Notification& n) {
              std::lock_guard lock(mutex_);
              senders_.push_back(n.sender);
              threads_.push_back(std::this_thread::get_id());
            })) {}
  int countFor(const void* sender) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(senders_.begin(), senders_.end(), sender));
  }
  int total() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(senders_.size());
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<const void*> senders_;
  std::vector<std::thread::id> threads_;
  platform::ObserverToken token_;
};

// Lets the keychain work queued so far (on the secret store's queue) end, and the main queue take
// its answers.
inline void settleKeychain() {
  platform::SecretStore::queue()->sync([] {});
  bool taken = false;
  platform::postToMain([&] { taken = true; });
  qvtesting::runUntil([&] { return taken; }, 10);
}

// Reads the secure texts of the options that the keychain keeps and were not read yet (restored
// ones), and waits until they are in.
inline void readSecureTexts(const std::vector<QVDMUserOption::Pointer>& options) {
  for (const auto& option : options) {
    if (option && option->value()) option->value()->loadSecureText();
  }
  settleKeychain();
}

// A sandbox that also resets what tests may change in the engine's environment.
// Secrets go to a fresh memory store, never to the user's keyring.
class EngineTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
  }
  void TearDown() override {
    // Keychain work still queued goes to this test's store, not to the one chosen after it.
    platform::SecretStore::queue()->sync([] {});
    platform::SecretStore::setShared(nullptr);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    QVEngineEnvironment::setAppShortVersion(std::nullopt);
    QVEngineEnvironment::setRunModuleHandler(nullptr);
    SandboxTest::TearDown();
  }
  fs::path supportFolder() const { return root() / "data" / "com.quorvane.dashboard"; }
};

}  // namespace enginetest
