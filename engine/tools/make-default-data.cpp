// Writes the built-in "Default Data" backup that a first launch starts from, with the backup export
// itself, so that the archive is always one the import reads:
//
//   qv_make_default_data <resource folder> <archive to write>
//
// The resource folder holds the built-in module packages ("Modules") and the notification
// preferences. The archive holds one group, "System", with the built-in modules that need nothing
// from the user, in a fixed order; their paths are stored relative to the application's own
// "Modules" folder, so the backup works wherever the application is installed.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVDataManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/AsioMainQueue.h"
#include "platform/SecretStore.h"

namespace fs = std::filesystem;

namespace {

// The group's modules, in display order, by bundle identifier.
const char* const kDefaultModules[] = {"com.quorvane.clock", "com.quorvane.systemload", "com.quorvane.memory",
                                       "com.quorvane.diskspace"};

int fail(const std::string& message) {
  std::fprintf(stderr, "qv_make_default_data: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: qv_make_default_data <resource folder> <archive to write>");
  std::error_code ec;
  const fs::path resources = fs::absolute(argv[1], ec);
  const fs::path output = fs::absolute(argv[2], ec);
  if (!fs::is_directory(resources / "Modules", ec)) return fail("no Modules folder in " + resources.string());

  // The engine writes into the application support folder: point it at a scratch folder.
  fs::create_directories(output.parent_path(), ec);
  std::string scratchPattern = (output.parent_path() / ".default-data-XXXXXX").string();
  if (!::mkdtemp(scratchPattern.data())) return fail("could not make a scratch folder");
  const fs::path scratch = scratchPattern;
  struct RemoveScratch {
    fs::path path;
    ~RemoveScratch() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } removeScratch{scratch};
  ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (scratch / "cache").c_str(), 1);
  ::setenv("TMPDIR", (scratch / "tmp").c_str(), 1);

  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  platform::SecretStore::setShared(platform::SecretStore::memoryStore());
  QVEngineEnvironment::setResourceFolder(resources);

  int status = 0;
  {
    auto manager = QVDashboardModuleManager::make();
    if (!manager->configure()) return fail("could not start the module manager");
    manager->reloadBundledModules();

    auto group = QVDashboardGroup::groupWithName("System");
    group->setEmoji("🖥️");
    for (const char* bundleID : kDefaultModules) {
      QVDashboardModule::Pointer found;
      for (const auto& module : manager->bundledModules()) {
        if (module->bundleID() == bundleID) found = module;
      }
      if (!found) return fail(std::string("the built-in module ") + bundleID + " is missing");
      group->addModule(found);
    }
    manager->updateGroups({group});
    if (!manager->saveToFile()) return fail("could not write the groups archive");

    // The export never overwrites: write beside the target, then put the archive in its place.
    const fs::path fresh = scratch / "Default Data.dashboardexport";
    if (!QVDataManager::make()->actuallyExportToPath(fresh.string())) return fail("the export failed");
    fs::rename(fresh, output, ec);
    if (ec) status = fail("could not move the archive to " + output.string() + ": " + ec.message());
    // Let what the engine queued (output refreshes) run before it all goes.
    mainQueue->runFor(platform::Seconds(0));
  }
  QVEngineEnvironment::setResourceFolder(std::nullopt);
  platform::SecretStore::setShared(nullptr);
  platform::MainQueue::install(nullptr);
  return status;
}
