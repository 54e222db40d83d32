#pragma once

#include <gtest/gtest.h>

#include <QtCore/QUrl>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "platform/NotificationCenter.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "shell/QVUserDefaults.h"
#include "testing/TreePaths.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardServices.h"

namespace qvtesting {

// Records what would have been opened in the browser or the file manager.
inline std::filesystem::path enginePackage(const std::string& name) {
  return std::filesystem::path(QV_ENGINE_FIXTURES) / "packages" / (name + ".quorvanemodule");
}

// A dashboard over a manager of its own (sandboxed files), with recorded runs, browser requests and
// editor requests.
class DashboardTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    QVUserDefaults::setStandardUserDefaults(
        QVUserDefaults::make(platform::SettingsStore::inMemoryStore(), nullptr));
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    manager = QVDashboardModuleManager::make();
    ASSERT_TRUE(manager->configure());
    manager->updateGroups({});
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
    QVDashboardServices services;
    services.manager = manager;
    services.runModule = [this](const QVDashboardModule::Pointer& module) { runs.push_back(module); };
    QVDashboardServices::setCurrent(std::move(services));
    editorRequests = platform::NotificationCenter::defaultCenter().addObserverForName(
        "Notification.openEditor", nullptr, [this](const platform::Notification& note) {
          editorObjects.push_back(note.objectAs<QVDashboardModule>());
        });
  }
  void TearDown() override {
    editorRequests = {};
    platform::DesktopServices::setShared(nullptr);
    QVDashboardServices::setCurrent({});
    manager.reset();
    GuiTest::TearDown();
    QVUserDefaults::setStandardUserDefaults(nullptr);
  }

  // A group of `count` modules of the given package, added to the manager.
  QVDashboardGroup::Pointer addGroup(const std::string& name, int count,
                                     const std::string& package = "Minimal", const std::string& emoji = "📈") {
    auto group = QVDashboardGroup::groupWithName(name);
    group->setEmoji(emoji);
    for (int i = 0; i < count; ++i) {
      auto module = QVDashboardModule::moduleWithPath(enginePackage(package).string());
      EXPECT_TRUE(module);
      module->setName(name + " module " + std::to_string(i + 1));
      group->addModule(module, false);
    }
    manager->addGroup(group);
    return group;
  }

  static QVModuleResult::Pointer result(bool success, std::optional<std::string> text,
                                        std::optional<std::string> onClick = std::nullopt,
                                        std::optional<std::string> color = std::nullopt) {
    nlohmann::json options = nlohmann::json::object();
    if (onClick) options["onclick"] = *onClick;
    if (color) options["color"] = *color;
    return std::make_shared<QVModuleResult>(success, platform::Date::now(), std::move(text),
                                            QVModuleResultOptions::optionsWithDictionary(options));
  }

  QVDashboardModuleManager::Pointer manager;
  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
  std::vector<QVDashboardModule::Pointer> runs;
  std::vector<QVDashboardModule::Pointer> editorObjects;
  platform::ObserverToken editorRequests;
};

}  // namespace qvtesting
