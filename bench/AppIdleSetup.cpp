// Prepares a home for the application benchmarks (bench/app_startup.py):
//
//   qv_bench_app_setup <resource folder> <count> <refresh interval in seconds>
//
// with XDG_DATA_HOME and XDG_CONFIG_HOME pointing at the home: one group of <count> built-in modules
// (taken in turn from those that need nothing from the user) on the given interval, the default
// data marked as imported and the first launch as done, so that the program starts straight into
// that dashboard.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVEngineSettings.h"
#include "platform/AsioMainQueue.h"
#include "platform/SecretStore.h"
#include "shell/QVUserDefaults.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qv_bench_app_setup <resource folder> <count> <refresh interval>\n");
    return 1;
  }
  const int count = std::atoi(argv[2]);
  const double interval = std::atof(argv[3]);
  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  platform::SecretStore::setShared(platform::SecretStore::memoryStore());
  QVEngineEnvironment::setResourceFolder(std::filesystem::path(argv[1]));
  int status = 0;
  {
    auto manager = QVDashboardModuleManager::make();
    if (!manager->configure()) return 1;
    manager->reloadBundledModules();
    const char* const kinds[] = {"com.quorvane.clock", "com.quorvane.uptime", "com.quorvane.memory",
                                 "com.quorvane.systemload", "com.quorvane.diskspace"};
    auto group = QVDashboardGroup::groupWithName(std::string("Bench"));
    for (int i = 0; i < count; ++i) {
      for (const auto& module : manager->bundledModules()) {
        if (module->bundleID() != kinds[i % 5]) continue;
        auto copy = module->copy();
        copy->setRefreshInterval(interval);
        group->addModule(copy, false);
        break;
      }
    }
    manager->updateGroups({group});
    if (!manager->saveToFile()) status = 1;
    QVEngineSettings::setLoadedDefaults(true);
    QVUserDefaults::standardUserDefaults()->setFirstLaunch(false);
    mainQueue->runFor(platform::Seconds(0.2));
  }
  QVEngineEnvironment::setResourceFolder(std::nullopt);
  platform::SecretStore::setShared(nullptr);
  platform::MainQueue::install(nullptr);
  return status;
}
