#pragma once

#include <fstream>

#include "engine/QVModuleLog.h"
#include "engine/QVNetworkReachability.h"
#include "engine/QVRunNotifications.h"
#include "engine/QVShowRunner.h"
#include "engine/tests/ManagerTestSupport.h"
#include "platform/ProcessTable.h"
#include "testing/TreePaths.h"

namespace enginetest {

// A network monitor whose answer the test sets.
class FakeReachability : public QVNetworkReachability {
 public:
  explicit FakeReachability(bool reachable) : reachable_(reachable) {}
  bool isReachable() const override { return reachable_; }

 private:
  bool reachable_;
};

// A manager loaded in the sandbox with real Node.js runs: the resource folder links the build's Node.js
// runtime and holds "Scripted.quorvanemodule", a package whose script does what its options say (the
// option "steps", see fixtures/node/module-fixture.js) and notes each launch in the file named by the
// option "launchLog".
class RunTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    const fs::path build = QV_BUILD_RESOURCES;
    fs::create_directories(resources() / "node" / "app");
    fs::create_symlink(build / "node" / "node", resources() / "node" / "node");
    fs::create_directory_symlink(build / "node" / "app" / "node_modules",
                                 resources() / "node" / "app" / "node_modules");
    writeScriptedPackage(resources() / "Modules" / "Scripted.quorvanemodule", "com.example.scripted", 5);
    fs::create_directories(root() / "launches");
  }
  void TearDown() override {
    if (runner_) {
      runner_->stop();
      runUntil([&] {
        for (const auto& queue : runner_->timerQueues()) {
          if (queue->operationCount() > 0) return false;
        }
        return true;
      });
      runner_.reset();
    }
    manager_.reset();
    ManagerTest::TearDown();
  }

  static void writeScriptedPackage(const fs::path& folder, const std::string& bundleID, double interval,
                                   const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json manifest = {
        {"name", "Scripted"},
        {"author", "Tests"},
        {"bundleID", bundleID},
        {"version", "1"},
        {"description", "Runs the steps it is given"},
        {"refreshInterval", interval},
        {"user_options",
         {{{"name", "steps"}, {"type", "string"}, {"default", "[]"}},
          {{"name", "launchLog"}, {"type", "string"}, {"default", ""}}}},
    };
    for (const auto& [key, value] : extra.items()) manifest[key] = value;
    writePackage(folder, manifest);
    fs::copy_file(fs::path(QV_ENGINE_FIXTURES) / "node" / "module-fixture.js", folder / "main.js",
                  fs::copy_options::overwrite_existing);
  }

  void load() {
    manager_ = loadedManager();
    ASSERT_TRUE(manager_);
    runner_ = QVShowRunner::make(manager_);
  }

  static void setOption(const QVDashboardModule::Pointer& module, const std::string& name,
                        const std::string& value) {
    for (const auto& option : module->userOptions()) {
      if (option->name() == name) option->value()->setStringValue(std::optional<std::string>(value));
    }
  }

  // Adds a scripted module to the group (without running it) with its steps and its own launch log.
  QVDashboardModule::Pointer addScripted(const QVDashboardGroup::Pointer& group, const std::string& name,
                                         const nlohmann::json& steps, double interval = 5,
                                         const std::string& bundleID = "com.example.scripted") {
    auto module = builtIn(*manager_, bundleID)->copy();
    module->setName(name);
    module->setRefreshInterval(interval);
    setOption(module, "steps", steps.dump());
    setOption(module, "launchLog", launchLogPath(name).string());
    group->addModule(module, false);
    return module;
  }

  fs::path launchLogPath(const std::string& name) const { return root() / "launches" / (name + ".log"); }

  int launches(const std::string& name) const {
    std::ifstream in(launchLogPath(name));
    int count = 0;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) ++count;
    }
    return count;
  }

  // The process ids the module's script wrote at each launch (each one its run's process group).
  std::vector<pid_t> launchedProcesses(const std::string& name) const {
    std::ifstream in(launchLogPath(name));
    std::vector<pid_t> pids;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) pids.push_back(std::stoi(line));
    }
    return pids;
  }

  // True while a process of the group (not one that has ended) is left.
  static bool groupHasProcesses(pid_t group) {
    for (const auto& info : platform::processes::allProcesses()) {
      if (info.group == group && info.state != 'Z') return true;
    }
    return false;
  }

  static bool logContains(const QVDashboardModule::Pointer& module, const std::string& text) {
    for (const auto& line : module->log()->logLines()) {
      if (line->logString() && line->logString()->find(text) != std::string::npos) return true;
    }
    return false;
  }

  static int executing(const QVTimerQueue& queue) {
    int count = 0;
    for (const auto& operation : queue.nodeOperations()) {
      if (operation->zkExecuting()) ++count;
    }
    return count;
  }

  static nlohmann::json finished(bool success, const std::string& result,
                                 const nlohmann::json& options = nlohmann::json::object()) {
    return {{"line",
             {{"type", "finished"},
              {"options", {{"result", result}, {"success", success}, {"options", options}}}}}};
  }

  void post(const char* name, const void* sender = nullptr, std::any object = {}) {
    platform::NotificationCenter::defaultCenter().postNotificationName(name, sender, std::move(object));
  }
  void postWorkspace(const char* name) {
    platform::NotificationCenter::workspaceCenter().postNotificationName(name);
  }

  QVDashboardModuleManager::Pointer manager_;
  QVShowRunner::Pointer runner_;
};

}  // namespace enginetest
