#pragma once

// A loaded module manager with two groups of real module packages, and a sharing helper over it on
// a free port.

#include <future>
#include <string>

#include "engine/QVModuleResult.h"
#include "engine/tests/ManagerTestSupport.h"
#include "httpserver/dashboard/QVServerHelper.h"
#include "httpserver/dashboard/QVServerSettings.h"
#include "httpserver/tests/HTTPTestSupport.h"
#include "testing/TreePaths.h"

namespace dashboardtest {

namespace fs = std::filesystem;

class DashboardTest : public enginetest::ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    manager = loadedManager();
    ASSERT_TRUE(manager->isLoaded());

    // "🌤 Outside" (coloured) holds the weather and a minimal module; "Desk" holds another.
    auto outside = manager->groups().front();
    outside->setName("Outside");
    outside->setEmoji("🌤");
    outside->setColor(platform::Color::colorWithDeviceRed(1.0, 0.5, 0.0, 1.0));
    outside->addModule(builtIn(*manager, "com.quorvane.weather"));
    outside->addModule(builtIn(*manager, "com.example.minimal"));
    auto desk = QVDashboardGroup::groupWithName("Desk");
    desk->setEmoji(std::nullopt);
    desk->setColor(std::nullopt);
    desk->addModule(builtIn(*manager, "com.example.minimal"));
    manager->addGroup(desk);
    weather = outside->modules().at(0);
    minimal = outside->modules().at(1);
    deskModule = desk->modules().at(0);
    // The weather lacks its required key, the first minimal shows a result, the other one failed.
    setResult(minimal, true, "21 °C",
              nlohmann::json{{"color", "#3366FF"}, {"onclick", "https://example.org/w"}});
    setResult(deskModule, false, "");
    waitForOutput();

    QVServerSettings::setServerPort(0);
    helper = QVServerHelper::make(manager, fs::path(QV_SOURCE_RESOURCES) / "web");
  }

  void TearDown() override {
    if (helper) helper->stop();
    if (helper && helper->webServer()) {
      runUntil([&] { return helper->webServer()->activeConnections() == 0; });
    }
    helper.reset();
    manager.reset();
    ManagerTest::TearDown();
  }

  // Sets a module's result as a run would (from another thread).
  void setResult(const QVDashboardModule::Pointer& module, bool success, const std::string& text,
                 std::optional<nlohmann::json> options = std::nullopt) {
    nlohmann::json line = {{"type", "finished"}, {"options", {{"result", text}, {"success", success}}}};
    if (options) line["options"]["options"] = *options;
    auto result = QVModuleResult::resultWithDictionary(line);
    std::thread([module, result] { module->setLastResult(result); }).join();
  }

  // Runs the main queue until the manager's output was rebuilt once more.
  void waitForOutput() {
    auto before = manager->snapshotVersion();
    runUntil([&] { return manager->snapshotVersion() > before; });
  }

  std::uint16_t port() const { return helper->webServer() ? helper->webServer()->port() : 0; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
  }

  // curl on a thread of its own: the main queue keeps running meanwhile.
  std::future<httptest::HTTPResponse> curlAsync(std::vector<std::string> arguments) {
    return std::async(std::launch::async, [arguments] {
      std::vector<std::string> command = {"curl", "-s", "-S", "-i", "--max-time", "60"};
      command.insert(command.end(), arguments.begin(), arguments.end());
      return httptest::parseResponse(httptest::runCommand(command).output);
    });
  }
  httptest::HTTPResponse curl(std::vector<std::string> arguments) {
    auto future = curlAsync(std::move(arguments));
    runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60);
    return future.get();
  }
  template <typename T>
  bool ready(std::future<T>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

  QVDashboardModuleManager::Pointer manager;
  QVServerHelper::Pointer helper;
  QVDashboardModule::Pointer weather;
  QVDashboardModule::Pointer minimal;
  QVDashboardModule::Pointer deskModule;
};

}  // namespace dashboardtest
