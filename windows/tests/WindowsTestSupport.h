#pragma once

#include <gtest/gtest.h>

#include <QtCore/QUrl>
#include <QtWidgets/QWidget>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/ZKThemeManager.h"

namespace windowstest {

namespace fs = std::filesystem;

// Records what the windows ask of the desktop instead of starting a browser or a file manager.
// Widgets in a sandbox: the desktop services recorded, secrets and settings kept in memory, the
// light theme current.
class WindowsTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    useTheme("DDLightTheme");
  }
  void TearDown() override {
    platform::DesktopServices::setShared(nullptr);
    platform::SecretStore::setShared(nullptr);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    QVEngineEnvironment::setRunModuleHandler(nullptr);
    GuiTest::TearDown();
  }

  static void useTheme(const char* name) {
    static const bool registered = [] {
      ZKThemeManager::sharedManager().registerTheme(DDLightTheme::sharedTheme());
      ZKThemeManager::sharedManager().registerTheme(DDDarkTheme::sharedTheme());
      return true;
    }();
    (void)registered;
    ZKThemeManager::sharedManager().changeTheme(QString::fromUtf8(name));
  }

  static void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  // A package folder with a manifest (the given keys over a minimal one), an empty script and the
  // given extra files.
  fs::path writePackage(const std::string& name, const nlohmann::json& extras = nlohmann::json::object(),
                        const std::vector<std::pair<std::string, std::string>>& files = {}) {
    nlohmann::json manifest = {{"name", name},
                               {"author", "Tests"},
                               {"bundleID", "com.example." + name},
                               {"version", "1"},
                               {"description", "A module of the tests"}};
    for (const auto& [key, value] : extras.items()) manifest[key] = value;
    const fs::path folder = root() / "packages" / (name + ".quorvanemodule");
    write(folder / "package.json", manifest.dump());
    write(folder / "main.js", "\n");
    for (const auto& [file, content] : files) write(folder / file, content);
    return folder;
  }

  QVDashboardModule::Pointer makeModule(const std::string& name,
                                        const nlohmann::json& extras = nlohmann::json::object(),
                                        const std::vector<std::pair<std::string, std::string>>& files = {}) {
    auto module = QVDashboardModule::moduleWithPath(writePackage(name, extras, files).string());
    EXPECT_TRUE(module) << name;
    return module;
  }

  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
};

}  // namespace windowstest
