#include <thread>

#include "engine/QVModuleLog.h"
#include "engine/QVModuleResult.h"
#include "engine/tests/ManagerTestSupport.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/KeyedArchiver.h"
#include "platform/MainQueue.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"

namespace enginetest {
namespace {

using Json = QVDashboardModuleManager::Json;

QVModuleResult::Pointer result(bool success, std::optional<std::string> text, const nlohmann::json& options) {
  return std::make_shared<QVModuleResult>(success, platform::Date::now(), std::move(text),
                                          QVModuleResultOptions::optionsWithDictionary(options));
}

class ModuleManagerTest : public ManagerTest {
 protected:
  // Writes a "Default Data" backup into the resource folder holding one group "Seeded" with a
  // minimal module and a log file, then clears the support folder again.
  void makeDefaultData() {
    auto seeding = QVDashboardModuleManager::make();
    ASSERT_TRUE(seeding->configure());
    seeding->reloadBundledModules();
    auto group = QVDashboardGroup::groupWithName("Seeded");
    group->setEmoji("⭐");
    group->addModule(builtIn(*seeding, "com.example.minimal"));
    seeding->updateGroups({group});
    ASSERT_TRUE(seeding->saveToFile());
    writeBytes(supportFolder() / "Logs" / "seed.log", "{}\n");
    ASSERT_TRUE(
        QVDataManager::make()->actuallyExportToPath((resources() / "Default Data.dashboardexport").string()));
    seeding.reset();
    for (const auto& item : fs::directory_iterator(supportFolder())) fs::remove_all(item.path());
  }

  void writeGroupsArchive(const std::vector<QVDashboardGroup::Pointer>& groups) {
    auto data = QVDashboardGroup::archivedDataWithGroups(groups);
    writeBytes(supportFolder() / "Modules.plist", std::string(data.begin(), data.end()));
  }
};

TEST_F(ModuleManagerTest, FirstLaunchWithoutDefaultDataStartsWithADefaultGroup) {
  EXPECT_FALSE(QVEngineSettings::loadedDefaults());
  bool success = false, imported = true;
  auto manager = loadedManager(&success, &imported);
  EXPECT_TRUE(success);
  EXPECT_FALSE(imported);
  ASSERT_EQ(manager->groups().size(), 1u);
  EXPECT_EQ(manager->groups()[0]->name(), "Default Group");
  EXPECT_EQ(manager->groups()[0]->emoji(), "🙂");
  EXPECT_TRUE(QVEngineSettings::loadedDefaults());
  EXPECT_TRUE(manager->isLoaded());

  // The built-in list, sorted by name without regard to case.
  std::vector<std::string> names;
  for (const auto& module : manager->bundledModules()) names.push_back(*module->moduleName());
  EXPECT_EQ(names, (std::vector<std::string>{"Minimal", "Weather"}));
  EXPECT_TRUE(manager->userModules().empty());
  EXPECT_TRUE(fs::is_directory(supportFolder() / "Modules")) << "the user modules folder is made";
}

TEST_F(ModuleManagerTest, FirstLaunchImportsTheDefaultDataOnce) {
  makeDefaultData();
  bool success = false, imported = false;
  auto manager = loadedManager(&success, &imported);
  EXPECT_TRUE(success);
  EXPECT_TRUE(imported);
  ASSERT_EQ(manager->groups().size(), 1u);
  auto group = manager->groups()[0];
  EXPECT_EQ(group->name(), "Seeded");
  ASSERT_EQ(group->modules().size(), 1u);
  EXPECT_EQ(group->modules()[0]->bundleID(), "com.example.minimal");
  EXPECT_EQ(readBytes(supportFolder() / "Logs" / "seed.log"), "{}\n");
  EXPECT_TRUE(QVEngineSettings::loadedDefaults());

  // The user's change survives the next launch: the defaults are not imported again.
  group->setName("Mine");
  ASSERT_TRUE(manager->saveToFile());
  manager.reset();
  auto next = loadedManager(&success, &imported);
  EXPECT_TRUE(success);
  EXPECT_FALSE(imported);
  ASSERT_EQ(next->groups().size(), 1u);
  EXPECT_EQ(next->groups()[0]->name(), "Mine");
}

TEST_F(ModuleManagerTest, LostSettingsNeverReplaceTheUsersData) {
  makeDefaultData();
  struct Case {
    const char* name;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"groups archive", [&] { writeGroupsArchive({QVDashboardGroup::groupWithName("Mine")}); }},
      {"an empty groups archive", [&] { writeBytes(supportFolder() / "Modules.plist", ""); }},
      {"installed modules only",
       [&] { copyPackage("Minimal.quorvanemodule", supportFolder() / "Modules" / "Mine.quorvanemodule"); }},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    for (const auto& item : fs::directory_iterator(supportFolder())) fs::remove_all(item.path());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    test.prepare();
    const auto before = treeOf(supportFolder());
    bool success = false, imported = true;
    auto manager = loadedManager(&success, &imported);
    EXPECT_TRUE(success);
    EXPECT_FALSE(imported);
    auto after = treeOf(supportFolder());
    // The load makes the user modules folder and the module objects the log folder, both empty.
    for (const char* folder : {"Modules", "Logs"}) {
      if (!before.count(folder)) after.erase(folder);
    }
    EXPECT_EQ(after, before);
    ASSERT_EQ(manager->groups().size(), 1u);
    EXPECT_NE(manager->groups()[0]->name(), "Seeded");
  }
}

TEST_F(ModuleManagerTest, StartUpRemovesTheTemporariesOfCutShortSaves) {
  // What a kill during a save leaves: the hidden temporary beside the file, in every folder the
  // program writes (a copy of the secure values among them).
  const std::string uuid = "0F8B3C1E-2A4D-4E6F-8A9B-C0D1E2F3A4B5";
  const fs::path secrets = platform::SecretStore::standardFilePath();
  const fs::path settings = platform::SettingsStore::standardPath();
  const std::vector<fs::path> leftovers = {
      supportFolder() / (".Modules.plist." + uuid + ".tmp"),
      supportFolder() / (".output.json." + uuid + ".tmp"),
      supportFolder() / "Logs" / (".com.example.a_1.log." + uuid + ".tmp"),
      secrets.parent_path() / ("." + secrets.filename().string() + "." + uuid + ".tmp"),
      settings.parent_path() / ("." + settings.filename().string() + "." + uuid + ".tmp"),
  };
  // Not made by our writer, or in a folder the modules write themselves: left alone.
  const std::vector<fs::path> kept = {
      supportFolder() / ".notes.tmp",
      supportFolder() / ".Modules.plist.draft.tmp",
      supportFolder() / "Logs" / "com.example.a_1.log",
      supportFolder() / "Module Databases" / (".com.example.a_1.json." + uuid + ".tmp"),
  };
  for (const auto& path : leftovers) writeBytes(path, "half written");
  for (const auto& path : kept) writeBytes(path, "keep");

  // The start of the program: its stores open, the manager loads.
  auto secretStore = platform::SecretStore::fileStore(secrets);
  auto settingsStore = platform::SettingsStore::storeWithPath(settings);
  bool success = false;
  auto manager = loadedManager(&success);
  EXPECT_TRUE(success);
  for (const auto& path : leftovers) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : kept) EXPECT_EQ(readBytes(path), "keep") << path;
}

TEST_F(ModuleManagerTest, AnEmptyGroupListGetsADefaultGroup) {
  writeGroupsArchive({});
  auto manager = QVDashboardModuleManager::make();
  ASSERT_TRUE(manager->configure());
  ASSERT_EQ(manager->groups().size(), 1u);
  EXPECT_EQ(manager->groups()[0]->name(), "Default Group");
}

TEST_F(ModuleManagerTest, AnUnreadableGroupsArchiveFailsTheLoadAndIsNeverOverwritten) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"not an archive", [&] { writeBytes(supportFolder() / "Modules.plist", "not a property list"); }},
      {"root not an array",
       [&] {
         auto data =
             platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(std::string("x")));
         writeBytes(supportFolder() / "Modules.plist", std::string(data.begin(), data.end()));
       }},
      {"a folder", [&] { fs::create_directories(supportFolder() / "Modules.plist" / "inside"); }},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    fs::remove_all(supportFolder() / "Modules.plist");
    test.prepare();
    const auto before = treeOf(supportFolder());
    qvtesting::LogCapture log;
    bool success = true, imported = true;
    auto manager = loadedManager(&success, &imported);
    EXPECT_FALSE(success);
    EXPECT_FALSE(imported);
    EXPECT_TRUE(log.contains("Could not load actions because of error:"));
    EXPECT_FALSE(QVEngineSettings::loadedDefaults());
    EXPECT_FALSE(manager->isLoaded());
    // What the application does on its way out must not replace the archive with no groups.
    manager->save();
    EXPECT_FALSE(manager->saveToFile());
    manager->applicationWillTerminate();
    runFor(0.2);
    EXPECT_EQ(treeOf(supportFolder()), before);
  }
}

TEST_F(ModuleManagerTest, GroupChangesAreAnnouncedAndSavedOncePerBurst) {
  auto manager = loadedManager();
  NotificationCounter changes(QVModuleDidChangeNotification);
  std::vector<std::pair<bool, std::size_t>> observed;
  auto connection =
      manager->groupsDidChange.connect([&](bool prior, const QVDashboardModuleManager::Groups& old) {
        observed.emplace_back(prior, old.size());
      });
  FileWriteCounter writes(supportFolder(), "Modules.plist");

  auto work = QVDashboardGroup::groupWithName("Work");
  auto home = QVDashboardGroup::groupWithName("Home");
  manager->addGroup(work);
  manager->addGroup(nullptr);
  manager->addGroup(home);
  manager->updateGroups({home, manager->groups()[0], work});
  for (int i = 0; i < 10; ++i) manager->save();
  EXPECT_EQ(changes.countFor(manager.get()), 3);
  using Change = std::pair<bool, std::size_t>;
  EXPECT_EQ(observed,
            (std::vector<Change>{{true, 1}, {false, 1}, {true, 2}, {false, 2}, {true, 3}, {false, 3}}));

  ASSERT_TRUE(runUntil([&] { return writes.count() >= 1; }));
  runFor(0.3);
  EXPECT_EQ(writes.count(), 1) << "ten saves in a burst write once";

  // Removing a group deletes its modules' files.
  work->addModule(builtIn(*manager, "com.example.minimal"));
  auto module = work->modules()[0];
  const fs::path database = module->jsonDatabasePath();
  writeBytes(database, "{}");
  manager->removeGroup(work);
  manager->removeGroup(nullptr);
  EXPECT_FALSE(fs::exists(database));
  EXPECT_EQ(manager->groups().size(), 2u);

  // Read back in display order.
  ASSERT_TRUE(manager->saveToFile());
  auto reread = QVDashboardModuleManager::make();
  ASSERT_TRUE(reread->configure());
  ASSERT_EQ(reread->groups().size(), 2u);
  EXPECT_EQ(reread->groups()[0]->name(), "Home");
  EXPECT_EQ(reread->groups()[1]->name(), "Default Group");
}

TEST_F(ModuleManagerTest, ModulesOfAnIntervalAndNonEmptyGroups) {
  auto manager = loadedManager();
  auto first = manager->groups()[0];
  auto second = QVDashboardGroup::groupWithName("Second");
  auto empty = QVDashboardGroup::groupWithName("Unready only");
  manager->addGroup(second);
  manager->addGroup(empty);
  first->addModule(builtIn(*manager, "com.example.minimal"));
  first->addModule(builtIn(*manager, "com.example.minimal"));
  second->addModule(builtIn(*manager, "com.example.minimal"));
  empty->addModule(builtIn(*manager, "com.quorvane.weather"));  // lacks its required API key
  first->modules()[1]->setRefreshInterval(5);
  second->modules()[0]->setRefreshInterval(5);
  empty->modules()[0]->setRefreshInterval(5);

  EXPECT_EQ(manager->modulesForRefreshInterval(5),
            (QVDashboardModuleManager::Modules{first->modules()[1], second->modules()[0]}));
  EXPECT_EQ(manager->modulesForRefreshInterval(3600), QVDashboardModuleManager::Modules{first->modules()[0]});
  EXPECT_TRUE(manager->modulesForRefreshInterval(30).empty());
  EXPECT_EQ(manager->nonEmptyGroups(), (QVDashboardModuleManager::Groups{first, second}));

  auto unloaded = QVDashboardModuleManager::make();
  EXPECT_TRUE(unloaded->modulesForRefreshInterval(5).empty());
  EXPECT_TRUE(unloaded->nonEmptyGroups().empty());
}

TEST_F(ModuleManagerTest, TablesOfTheManager) {
  EXPECT_EQ(QVDashboardModuleManager::availableCategories().size(), 17u);
  EXPECT_EQ(QVDashboardModuleManager::availableCategories().front(), "Business");
  EXPECT_EQ(QVDashboardModuleManager::availableCategories()[1], "Developer Tools");
  EXPECT_EQ(QVDashboardModuleManager::availableCategories().back(), "Weather");
  EXPECT_EQ(QVDashboardModuleManager::availableRefreshIntervals().size(), 9u);
  auto weather = QVDashboardModule::moduleWithPath(fixturePackage("Weather.quorvanemodule"));
  auto offered = QVDashboardModuleManager::availableRefreshIntervalsForModule(weather);
  ASSERT_FALSE(offered.empty());
  EXPECT_EQ(offered.front().interval, 60) << "its minimum of 50 s snaps to one minute";
  EXPECT_EQ(QVDashboardModuleManager::availableRefreshIntervalsForModule(nullptr).size(), 9u);
}

// ---- Dashboard output ----

TEST_F(ModuleManagerTest, GroupNamesInTheOutput) {
  struct Case {
    std::optional<std::string> name;
    std::optional<std::string> emoji;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Work", "⭐", "⭐ Work"},
      {"Work", " \t⭐ ", "⭐ Work"},
      {"Work", "  \t ", "Work"},
      {"Work", std::nullopt, "Work"},
      {"Work", "", "Work"},
      {std::nullopt, "⭐", "⭐ Group"},
      {std::nullopt, std::nullopt, "Group"},
  };
  auto manager = QVDashboardModuleManager::make();
  ASSERT_TRUE(manager->configure());
  QVDashboardModuleManager::Groups groups;
  for (const auto& test : cases) {
    auto group = QVDashboardGroup::init();
    group->setName(test.name);
    group->setEmoji(test.emoji);
    groups.push_back(group);
  }
  groups.back()->setIsExpanded(false);
  manager->updateGroups(groups);
  const Json output = manager->jsonObject();
  ASSERT_EQ(output.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].expected);
    EXPECT_EQ(output[i]["name"], cases[i].expected);
    EXPECT_EQ(output[i]["modules"], Json::array());
    EXPECT_EQ(output[i]["isExpanded"], i + 1 < cases.size());
  }
}

TEST_F(ModuleManagerTest, ModuleShapesInTheOutput) {
  struct Case {
    const char* name;
    std::function<void(QVDashboardModule&)> prepare;
    Json expected;  // without "name"
  };
  const std::vector<Case> cases = {
      {"missing required value", [](QVDashboardModule&) {}, Json{{"hasAllRequiredFields", false}}},
      {"updating, no result", [](QVDashboardModule& m) { m.setIsUpdating(true); }, Json{{"updating", true}}},
      {"updating with a result",
       [](QVDashboardModule& m) {
         m.setIsUpdating(true);
         m.setLastResult(result(true, "42", {{"onclick", "https://r.example"}, {"color", "#ff0000"}}));
       },
       Json{{"success", true},
            {"result", "42"},
            {"onClick", "https://r.example"},
            {"options", {{"color", "#ff0000"}, {"onclick", "https://r.example"}}}}},
      {"empty onclick uses the module's URL",
       [](QVDashboardModule& m) {
         m.setIsUpdating(false);
         m.setOnClickURLString("https://m.example");
         m.setLastResult(result(true, "ok", {{"onclick", ""}}));
       },
       Json{{"success", true},
            {"result", "ok"},
            {"onClick", "https://m.example"},
            {"options", {{"onclick", ""}}}}},
      {"no click target at all",
       [](QVDashboardModule& m) {
         m.setIsUpdating(false);
         m.setOnClickURLString("");
         m.setLastResult(result(true, std::nullopt, nullptr));
       },
       Json{{"success", true}, {"result", ""}}},
      {"failed result",
       [](QVDashboardModule& m) {
         m.setIsUpdating(false);
         m.setLastResult(result(false, "broken", nlohmann::json::object()));
       },
       Json{{"success", false}}},
      {"not updating, no result", [](QVDashboardModule& m) { m.setIsUpdating(false); },
       Json{{"success", false}}},
  };
  auto manager = QVDashboardModuleManager::make();
  ASSERT_TRUE(manager->configure());
  manager->reloadBundledModules();
  auto group = manager->groups()[0];
  for (const auto& test : cases) {
    const bool ready = std::string(test.name) != "missing required value";
    group->addModule(builtIn(*manager, ready ? "com.example.minimal" : "com.quorvane.weather"));
    auto module = group->modules().back();
    module->setName(std::string(test.name));
    test.prepare(*module);
  }
  const Json output = manager->jsonObject();
  ASSERT_EQ(output[0]["modules"].size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    Json expected = Json{{"name", cases[i].name}};
    for (const auto& [key, value] : cases[i].expected.items()) expected[key] = value;
    EXPECT_EQ(output[0]["modules"][i], expected);
    EXPECT_EQ(output[0]["modules"][i].begin().key(), "name") << "the name comes first";
  }
}

TEST_F(ModuleManagerTest, AStreamOfResultsReachesTheFileWhileItGoesOn) {
  auto manager = loadedManager();
  auto group = manager->groups()[0];
  group->addModule(builtIn(*manager, "com.example.minimal"));
  auto module = group->modules()[0];
  ASSERT_TRUE(runUntil([&] { return manager->jsonObjectSnapshot()->at(0)["modules"].size() == 1; }));
  manager->actuallySaveOutput();
  FileWriteCounter writes(supportFolder(), "output.json");

  // A result every 40 ms for 0.8 s: each comes sooner after the last than the write delay.
  for (int i = 0; i < 20; ++i) {
    module->setLastResult(result(true, "value " + std::to_string(i), nullptr));
    runFor(0.04);
  }
  EXPECT_GE(writes.count(), 3) << "the file must not wait for the results to stop";
  runFor(0.3);
  auto text = platform::files::readTextFile(supportFolder() / "output.json");
  auto parsed = text ? platform::json::parse(*text) : std::nullopt;
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)[0]["modules"][0].value("result", ""), "value 19") << "the last result is written too";
}

TEST_F(ModuleManagerTest, ResultsFromOtherThreadsReachTheFileAndTheSnapshot) {
  auto manager = loadedManager();
  auto group = manager->groups()[0];
  group->addModule(builtIn(*manager, "com.example.minimal"));
  auto module = group->modules()[0];
  ASSERT_TRUE(runUntil([&] { return manager->jsonObjectSnapshot()->at(0)["modules"].size() == 1; }));
  manager->actuallySaveOutput();  // and no write pending from before

  std::vector<bool> onMain;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      QVDashboardOutputDidChangeNotification, nullptr,
      [&](const platform::Notification&) { onMain.push_back(platform::MainQueue::isMainThread()); });
  const auto version = manager->snapshotVersion();
  FileWriteCounter writes(supportFolder(), "output.json");

  // Results arrive on the runs' own threads, several at once.
  std::thread run([&] {
    for (int i = 0; i < 5; ++i) module->setLastResult(result(true, "value " + std::to_string(i), nullptr));
    module->setIsUpdating(false);
  });
  run.join();
  ASSERT_TRUE(runUntil([&] {
    auto text = platform::files::readTextFile(supportFolder() / "output.json");
    auto parsed = text ? platform::json::parse(*text) : std::nullopt;
    return parsed && (*parsed)[0]["modules"][0].value("result", "") == "value 4";
  }));
  runFor(0.3);
  EXPECT_EQ(writes.count(), 1) << "a burst of results writes the file once";
  EXPECT_GT(manager->snapshotVersion(), version);
  ASSERT_FALSE(onMain.empty());
  for (bool main : onMain) EXPECT_TRUE(main);

  // Another thread reads the snapshot taken on the main thread, without waiting for it.
  Json seen;
  std::thread reader([&] { seen = manager->jsonObject(); });
  reader.join();
  EXPECT_EQ(seen, manager->jsonObject());
  EXPECT_EQ(seen[0]["modules"][0]["result"], "value 4");
  EXPECT_EQ(*manager->jsonObjectSnapshot(), manager->jsonObject());

  // The file holds the same array, pretty-printed.
  auto text = platform::files::readTextFile(supportFolder() / "output.json");
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, manager->jsonObject().dump(2));
}

TEST_F(ModuleManagerTest, TerminationWritesEverythingPendingAtOnce) {
  auto manager = loadedManager();
  auto group = manager->groups()[0];
  group->addModule(builtIn(*manager, "com.example.minimal"));
  auto module = group->modules()[0];
  module->setName(std::string("Renamed"));
  manager->save();
  module->setLastResult(result(true, "last", nullptr));
  module->log()->addLogLine(QVModuleLogLine::systemLogWithString("last words"));
  ASSERT_TRUE(module->log()->hasPendingSave());

  manager->applicationWillTerminate();  // the main queue does not run again

  auto reread = QVDashboardModuleManager::make();
  ASSERT_TRUE(reread->configure());
  ASSERT_EQ(reread->groups()[0]->modules().size(), 1u);
  EXPECT_EQ(reread->groups()[0]->modules()[0]->name(), "Renamed");
  auto text = platform::files::readTextFile(supportFolder() / "output.json");
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\"last\""), std::string::npos);
  auto log = platform::files::readTextFile(module->log()->path());
  ASSERT_TRUE(log);
  EXPECT_NE(log->find("last words"), std::string::npos);
  EXPECT_FALSE(module->log()->hasPendingSave());
}

TEST_F(ModuleManagerTest, AnImportUnderARunningEngineStopsItsWrites) {
  auto manager = loadedManager();
  ASSERT_TRUE(manager->saveToFile());
  const fs::path archive = root() / "backup.dashboardexport";
  ASSERT_TRUE(QVDataManager::make()->actuallyExportToPath(archive.string()));
  manager->groups()[0]->setName("Changed after the backup");
  manager->save();

  std::optional<bool> imported;
  QVDataManager::make()->importWithPath(archive.string(), [&](bool success) { imported = success; });
  // From the start of the import on, nothing is written: a save pending from the edit would otherwise
  // land after the import replaced the file.
  EXPECT_FALSE(manager->saveToFile());
  ASSERT_TRUE(runUntil([&] { return imported.has_value(); }));
  ASSERT_TRUE(*imported);
  const std::string restored = readBytes(supportFolder() / "Modules.plist");
  runFor(0.3);
  EXPECT_FALSE(manager->saveToFile());
  manager->applicationWillTerminate();
  EXPECT_EQ(readBytes(supportFolder() / "Modules.plist"), restored);
  auto reread = QVDashboardModuleManager::make();
  ASSERT_TRUE(reread->configure());
  EXPECT_EQ(reread->groups()[0]->name(), "Default Group");
}

TEST_F(ModuleManagerTest, AFailedImportLetsTheEngineWriteAgain) {
  auto manager = loadedManager();
  ASSERT_TRUE(manager->saveToFile());
  manager->groups()[0]->setName("Edited during the import");
  std::optional<bool> imported;
  QVDataManager::make()->importWithPath((root() / "missing.dashboardexport").string(),
                                        [&](bool success) { imported = success; });
  ASSERT_TRUE(runUntil([&] { return imported.has_value(); }));
  EXPECT_FALSE(*imported);
  // The edit made while the writes were stopped reaches the file.
  ASSERT_TRUE(runUntil([&] {
    auto reread = QVDashboardModuleManager::make();
    return reread->configure() && reread->groups()[0]->name() == "Edited during the import";
  }));
  EXPECT_TRUE(manager->saveToFile());
}

// ---- Packages ----

TEST_F(ModuleManagerTest, PackageListsSkipWhatIsNotAModule) {
  fs::create_directories(resources() / "Modules" / "NotAPackage");
  copyPackage("invalid/NoMain.quorvanemodule", resources() / "Modules" / "NoMain.quorvanemodule");
  copyPackage("Minimal.quorvanemodule", resources() / "Modules" / ".Hidden.quorvanemodule");
  auto manager = loadedManager();
  EXPECT_EQ(manager->bundledModules().size(), 2u);

  const fs::path user = manager->userModuleDirectoryPath();
  writePackage(fs::path(user) / "b.quorvanemodule", {{"name", "beta"},
                                                     {"author", "A"},
                                                     {"bundleID", "com.example.b"},
                                                     {"version", "1"},
                                                     {"description", "D"}});
  writePackage(fs::path(user) / "a.quorvanemodule", {{"name", "Alpha"},
                                                     {"author", "A"},
                                                     {"bundleID", "com.example.a"},
                                                     {"version", "1"},
                                                     {"description", "D"}});
  writePackage(fs::path(user) / "Nested" / "c.quorvanemodule", minimalManifest());
  manager->reloadUserModules();
  ASSERT_EQ(manager->userModules().size(), 2u);
  EXPECT_EQ(manager->userModules()[0]->moduleName(), "Alpha");
  EXPECT_EQ(manager->userModules()[1]->moduleName(), "beta");
}

TEST_F(ModuleManagerTest, InstallingPackages) {
  auto manager = loadedManager();
  const fs::path user = manager->userModuleDirectoryPath();
  auto manifest = [](const std::string& bundleID) {
    auto m = minimalManifest();
    m["bundleID"] = bundleID;
    return m;
  };
  struct Case {
    const char* name;
    std::function<fs::path()> make;
    std::int64_t expected;
    bool sourceStays;
  };
  const std::vector<Case> cases = {
      {"another extension",
       [&] { return writePackage(root() / "in" / "Thing.zip", manifest("com.example.zip")); }, 2, true},
      {"not a module",
       [&] { return copyPackage("invalid/NoMain.quorvanemodule", root() / "in" / "NoMain.quorvanemodule"); },
       2, true},
      {"name taken in the user folder",
       [&] {
         writePackage(fs::path(user) / "Taken.quorvanemodule", manifest("com.example.first"));
         return writePackage(root() / "in" / "Taken.quorvanemodule", manifest("com.example.second"));
       },
       3, true},
      {"bundle id of a built-in module",
       [&] { return writePackage(root() / "in" / "Clone.quorvanemodule", manifest("com.example.minimal")); },
       3, true},
      {"bundle id of a user module",
       [&] {
         writePackage(fs::path(user) / "Present.quorvanemodule", manifest("com.example.present"));
         return writePackage(root() / "in" / "Other.quorvanemodule", manifest("com.example.present"));
       },
       3, true},
      {"a new package",
       [&] { return writePackage(root() / "in" / "Fresh.quorvanemodule", manifest("com.example.fresh")); }, 1,
       false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const fs::path source = test.make();
    const auto userBefore = treeOf(user);
    const auto sourceBefore = treeOf(source);
    EXPECT_EQ(manager->installUserModuleAtPath(source.string()), test.expected);
    if (test.sourceStays) {
      EXPECT_EQ(treeOf(source), sourceBefore);
      EXPECT_EQ(treeOf(user), userBefore);
    } else {
      EXPECT_FALSE(fs::exists(source));
      EXPECT_EQ(treeOf(fs::path(user) / source.filename()), sourceBefore);
    }
  }
}

TEST_F(ModuleManagerTest, InstallingFromAnotherFileSystemCopiesOrCleansUp) {
  const fs::path shm = "/dev/shm";
  std::error_code ec;
  if (!fs::is_directory(shm, ec) || fs::status(shm).permissions() == fs::perms::none) {
    GTEST_SKIP() << "no second file system to install from";
  }
  auto manager = loadedManager();
  const fs::path user = manager->userModuleDirectoryPath();
  const fs::path outside = shm / fs::path(root()).filename();
  fs::create_directories(outside);
  struct Cleanup {
    fs::path path;
    ~Cleanup() { fs::remove_all(path); }
  } cleanup{outside};

  // Renaming across file systems fails; the package is copied and its source stays.
  auto copied = writePackage(outside / "Copied.quorvanemodule", minimalManifest());
  const auto copiedTree = treeOf(copied);
  EXPECT_EQ(manager->installUserModuleAtPath(copied.string()), 1);
  EXPECT_EQ(treeOf(copied), copiedTree);
  EXPECT_EQ(treeOf(fs::path(user) / "Copied.quorvanemodule"), copiedTree);

  // A package holding something that cannot be copied (a named pipe): nothing partial stays behind.
  auto manifest = minimalManifest();
  manifest["bundleID"] = "com.example.pipe";
  auto piped = writePackage(outside / "Piped.quorvanemodule", manifest);
  writeBytes(piped / "a-first.txt", "copied before the pipe");
  ASSERT_EQ(::mkfifo((piped / "pipe").c_str(), 0600), 0);
  qvtesting::LogCapture log;
  EXPECT_EQ(manager->installUserModuleAtPath(piped.string()), 4);
  EXPECT_FALSE(fs::exists(fs::path(user) / "Piped.quorvanemodule"));
  EXPECT_TRUE(log.contains("Trying to copy"));
  EXPECT_TRUE(fs::exists(piped / "package.json"));
}

TEST_F(ModuleManagerTest, UninstallingOnlyRemovesUserModules) {
  auto manager = loadedManager();
  const fs::path user = manager->userModuleDirectoryPath();
  writePackage(fs::path(user) / "Mine.quorvanemodule", minimalManifest());
  manager->reloadUserModules();
  ASSERT_EQ(manager->userModules().size(), 1u);
  auto mine = manager->userModules()[0];

  EXPECT_FALSE(manager->uninstallUserModule(builtIn(*manager, "com.example.minimal")));
  EXPECT_TRUE(fs::exists(resources() / "Modules" / "Minimal.quorvanemodule"));
  EXPECT_FALSE(manager->uninstallUserModule(mine->copy())) << "modules compare by identity";
  EXPECT_FALSE(manager->uninstallUserModule(nullptr));
  EXPECT_TRUE(fs::exists(mine->path()));

  EXPECT_TRUE(manager->uninstallUserModule(mine));
  EXPECT_FALSE(fs::exists(mine->path()));
  qvtesting::LogCapture log;
  EXPECT_FALSE(manager->uninstallUserModule(mine)) << "already gone";
  EXPECT_TRUE(log.contains("Could not remove with error:"));
}

}  // namespace
}  // namespace enginetest
