#pragma once

#include <QtWidgets/QListWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/PMMainWindowController.h"
#include "app/QVRelaunch.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "shell/QVUserDefaults.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/ZKScriptedAlertPresenter.h"
#include "uikit/ZKThemeManager.h"

namespace preferencestesting {

// The preferences window in a sandbox: settings in the sandbox's standard store (which web sharing
// reads too), alerts answered by script, desktop requests and relaunches recorded, the light theme.
class PreferencesTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVUserDefaults::setStandardUserDefaults(
        QVUserDefaults::make(platform::SettingsStore::standardUserDefaults(), nullptr));
    alerts = std::make_shared<ZKScriptedAlertPresenter>();
    ZKAlertPresenter::setShared(alerts);
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
    QVRelaunch::setHandler([this] { ++relaunchCount; });
    useTheme("DDLightTheme");
  }

  void TearDown() override {
    delete controller;
    controller = nullptr;
    for (int row = 0; row < PMMainWindowController::kRowCount; ++row)
      PMMainWindowController::setPaneFactory(row, {});
    QVRelaunch::setHandler(nullptr);
    platform::DesktopServices::setShared(nullptr);
    ZKAlertPresenter::setShared(nullptr);
    QVUserDefaults::setStandardUserDefaults(nullptr);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
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

  PMMainWindowController* openWindow(int row) {
    controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(row);
    controller->actuallyShowWindow();
    return controller;
  }

  template <class Pane>
  Pane* pane(int row) const {
    return dynamic_cast<Pane*>(controller->modules().at(static_cast<std::size_t>(row)));
  }

  // The alerts shown so far, by message text.
  std::vector<QString> alertMessages() const {
    std::vector<QString> messages;
    for (const auto& presented : alerts->presented()) messages.push_back(presented->alert->messageText);
    return messages;
  }

  std::shared_ptr<QVUserDefaults> defaults() const { return QVUserDefaults::standardUserDefaults(); }

  PMMainWindowController* controller = nullptr;
  std::shared_ptr<ZKScriptedAlertPresenter> alerts;
  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
  int relaunchCount = 0;
};

}  // namespace preferencestesting
