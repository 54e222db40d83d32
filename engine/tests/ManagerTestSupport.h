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
#include "testing/FileWriteCounter.h"
#include "testing/TreePaths.h"

namespace enginetest {

using qvtesting::FileWriteCounter;

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
