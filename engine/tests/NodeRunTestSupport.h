#pragma once

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVModuleLog.h"
#include "engine/QVNodeOperation.h"
#include "engine/QVNotificationCenter.h"
#include "engine/QVRecordingNotificationSink.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/OperationQueue.h"
#include "platform/ProcessTable.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"

namespace enginetest {

using nlohmann::json;

// The one module script of the run tests; what it does is given by its arguments file.
inline fs::path moduleFixtureScript() { return fs::path(QV_ENGINE_FIXTURES) / "node" / "module-fixture.js"; }

inline json finishedLine(const std::string& result, bool success = true) {
  return {{"type", "finished"}, {"options", {{"result", result}, {"success", success}}}};
}

inline json logLine(const std::string& type, json options) {
  return {{"type", type}, {"options", std::move(options)}};
}

// The text of a /proc stat file; empty when the process is gone (also while it is being read).
// Gone from the process table (ended and reaped).
inline bool processGone(pid_t pid) { return !platform::processes::processInfo(pid); }

// Gone, or ended and left to a parent that is not this process.
inline bool processEnded(pid_t pid) {
  auto info = platform::processes::processInfo(pid);
  return !info || info->state == 'Z';
}

// Children of this process that ended and were not reaped.
inline int zombieChildren() { return static_cast<int>(platform::processes::zombieChildren()); }

// Runs the fixture script as modules through QVNodeOperation on a queue of 3, with notifications
// recorded and settings kept in memory.
class NodeRunTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    sink_ = std::make_shared<QVRecordingNotificationSink>();
    settings_ = platform::SettingsStore::inMemoryStore();
    center_ = QVNotificationCenter::make(sink_, settings_);
    queue_ = std::make_unique<platform::OperationQueue>();
    queue_->setMaxConcurrentOperationCount(3);
  }

  void TearDown() override {
    queue_->cancelAllOperations();
    EXPECT_TRUE(runUntil([&] { return queue_->operationCount() == 0; }, 30));
    queue_.reset();
    EngineTest::TearDown();
  }

  // A module running the fixture with these steps; `extras` adds to or replaces manifest keys.
  std::shared_ptr<QVDashboardModule> makeModule(const json& steps, const json& extras = json::object()) {
    fs::path folder = root() / "Modules" / fmt::format("Fixture{}.quorvanemodule", ++moduleCount_);
    json manifest = minimalManifest();
    manifest["bundleID"] = "com.example.fixture";
    manifest["user_options"] =
        json::array({{{"name", "steps"}, {"type", "string"}}, {{"name", "launchLog"}, {"type", "string"}}});
    for (const auto& [key, value] : extras.items()) manifest[key] = value;
    fs::create_directories(folder);
    std::ofstream(folder / "package.json") << manifest.dump();
    fs::copy_file(moduleFixtureScript(), folder / "main.js");
    auto module = QVDashboardModule::moduleWithPath(folder.string());
    if (!module) return nullptr;
    setOption(*module, "steps", steps.dump());
    setOption(*module, "launchLog", (root() / fmt::format("launches-{}", moduleCount_)).string());
    return module;
  }

  static void setOption(const QVDashboardModule& module, const std::string& name, const std::string& text) {
    for (const auto& option : module.userOptions()) {
      if (option->name() == name) option->value()->setStringValue(std::optional<std::string>(text));
    }
  }

  static std::optional<std::string> optionText(const QVDashboardModule& module, const std::string& name) {
    for (const auto& option : module.userOptions()) {
      if (option->name() == name) return option->value()->stringValue();
    }
    return std::nullopt;
  }

  // The process ids the fixture wrote at each launch.
  static std::vector<pid_t> launches(const QVDashboardModule& module) {
    std::vector<pid_t> pids;
    auto path = optionText(module, "launchLog");
    if (!path) return pids;
    std::ifstream in(*path);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) pids.push_back(std::stoi(line));
    }
    return pids;
  }

  QVNodeOperation::Pointer makeOperation(const std::shared_ptr<QVDashboardModule>& module) {
    auto operation = QVNodeOperation::operationWithModule(module);
    operation->setNotificationCenter(center_);
    operation->setPipeDrainTimeout(platform::Seconds(0.5));
    operation->setTerminationGracePeriod(platform::Seconds(0.5));
    return operation;
  }

  // Queues a run of the module and waits for it to finish.
  QVNodeOperation::Pointer runModule(const std::shared_ptr<QVDashboardModule>& module) {
    auto operation = makeOperation(module);
    queue_->addOperation(operation);
    EXPECT_TRUE(runUntil([&] { return operation->isFinished(); }, 30)) << "the run did not finish";
    return operation;
  }

  static std::vector<QVModuleLogLine::Pointer> logLines(const QVDashboardModule& module) {
    return module.log()->logLines();
  }

  static bool hasLine(const QVDashboardModule& module, QVModuleLogLineType type, const std::string& text) {
    for (const auto& line : logLines(module)) {
      if (line->type() == type && line->logString() == text) return true;
    }
    return false;
  }

  std::shared_ptr<QVRecordingNotificationSink> sink_;
  std::shared_ptr<platform::SettingsStore> settings_;
  std::shared_ptr<QVNotificationCenter> center_;
  std::unique_ptr<platform::OperationQueue> queue_;
  int moduleCount_ = 0;
};

}  // namespace enginetest
