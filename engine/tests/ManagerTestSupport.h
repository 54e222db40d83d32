#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVDataManager.h"
#include "engine/QVEmojiSource.h"
#include "engine/QVEngineSettings.h"
#include "engine/tests/BackupTestSupport.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/SettingsStore.h"

namespace enginetest {

// Counts how often a file in a folder is replaced or written, as the kernel reports it.
class FileWriteCounter {
 public:
  FileWriteCounter(const fs::path& folder, std::string name) : name_(std::move(name)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    fs::create_directories(folder);
    ::inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  }
  ~FileWriteCounter() { ::close(fd_); }
  FileWriteCounter(const FileWriteCounter&) = delete;
  FileWriteCounter& operator=(const FileWriteCounter&) = delete;

  int count() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (char* p = buffer; p < buffer + got;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->len > 0 && name_ == event->name) ++count_;
        p += sizeof(inotify_event) + event->len;
      }
    }
    return count_;
  }

 private:
  int fd_ = -1;
  std::string name_;
  int count_ = 0;
};

// A sandbox with its own settings, a resource folder holding two built-in packages and the
// notification preferences, and a recorder of user-initiated runs.
class ManagerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
    fs::create_directories(resources() / "Modules");
    fs::copy_file(fs::path(QV_SOURCE_RESOURCES) / "notification_preferences.json",
                  resources() / "notification_preferences.json");
    copyPackage("Minimal.quorvanemodule", resources() / "Modules" / "Minimal.quorvanemodule");
    copyPackage("Weather.quorvanemodule", resources() / "Modules" / "Weather.quorvanemodule");
    QVEngineEnvironment::setResourceFolder(resources());
  }
  void TearDown() override {
    QVEmojiSource::setShared(nullptr);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    EngineTest::TearDown();
  }

  fs::path resources() const { return root() / "resources"; }

  // Loads a new manager; fails the test unless the load reports.
  QVDashboardModuleManager::Pointer loadedManager(bool* success = nullptr, bool* imported = nullptr) {
    auto manager = QVDashboardModuleManager::make();
    std::optional<std::pair<bool, bool>> outcome;
    manager->loadWithCompletionHandler([&](bool ok, bool didImport) { outcome.emplace(ok, didImport); });
    EXPECT_TRUE(runUntil([&] { return outcome.has_value(); }));
    if (success) *success = outcome ? outcome->first : false;
    if (imported) *imported = outcome ? outcome->second : false;
    return manager;
  }

  QVDashboardModule::Pointer builtIn(const QVDashboardModuleManager& manager, const std::string& bundleID) {
    for (const auto& module : manager.bundledModules()) {
      if (module->bundleID() == bundleID) return module;
    }
    return nullptr;
  }
};

}  // namespace enginetest
