// The whole engine headless: a first launch seeded from a "Default Data" backup, modules running as
// real Node.js processes on the 5-second queue, their results reaching "output.json", the groups
// archive written once per burst of edits, termination, and a restart that reads everything back.
#include "engine/tests/RunTestSupport.h"
#include "platform/Files.h"
#include "platform/Json.h"

namespace enginetest {
namespace {

using nlohmann::json;

class EngineEndToEndTest : public RunTest {
 protected:
  // The backup a first launch starts from: one group with three scripted modules on the 5-second
  // queue (one succeeding with display options, one failing, one that never finishes) and one module
  // whose required API key is empty.
  void writeDefaultData() {
    load();
    auto group = QVDashboardGroup::groupWithName("Dashboard");
    group->setEmoji("📊");
    addScripted(
        group, "Weather",
        json::array({{{"line", {{"type", "log"}, {"options", {"fetching"}}}}},
                     finished(true, "12 °C", {{"color", "#00FF00"}, {"onclick", "https://example.org/w"}})}));
    addScripted(group, "Failing", json::array({finished(false, "no network")}));
    addScripted(group, "Slow", json::array({{{"hang", true}}}));
    auto needy = builtIn(*manager_, "com.quorvane.weather")->copy();
    needy->setName(std::string("Needs a key"));
    needy->setRefreshInterval(5);
    group->addModule(needy, false);
    manager_->updateGroups({group});
    ASSERT_TRUE(manager_->saveToFile());
    ASSERT_TRUE(
        QVDataManager::make()->actuallyExportToPath((resources() / "Default Data.dashboardexport").string()));
    runner_.reset();
    manager_.reset();
    for (const auto& item : fs::directory_iterator(supportFolder())) fs::remove_all(item.path());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
  }

  std::optional<json> outputFile() {
    auto text = platform::files::readTextFile(supportFolder() / "output.json");
    return text ? platform::json::parse(*text) : std::nullopt;
  }

  // Stops the runs as the application does at termination, then lets the manager write what is left.
  void terminate() {
    post(QVApplicationWillTerminateNotification);
    ASSERT_TRUE(runUntil([&] {
      for (const auto& queue : runner_->timerQueues()) {
        if (queue->operationCount() > 0 || queue->isTicking()) return false;
      }
      return true;
    }));
    manager_->applicationWillTerminate();
    runner_.reset();
    manager_.reset();
  }
};

TEST_F(EngineEndToEndTest, FirstLaunchRunsRestartReadsBack) {
  writeDefaultData();
  const json expectedModules = json::array({
      {{"name", "Weather"},
       {"success", true},
       {"result", "12 °C"},
       {"onClick", "https://example.org/w"},
       {"options", {{"color", "#00FF00"}, {"onclick", "https://example.org/w"}}}},
      {{"name", "Failing"}, {"success", false}},
      {{"name", "Slow"}, {"updating", true}},
      {{"name", "Needs a key"}, {"hasAllRequiredFields", false}},
  });

  // ---- First launch ----
  bool success = false, imported = false;
  manager_ = loadedManager(&success, &imported);
  ASSERT_TRUE(success);
  EXPECT_TRUE(imported);
  runner_ = QVShowRunner::make(manager_);
  runner_->installAsRunModuleHandler();
  runner_->start();

  ASSERT_TRUE(runUntil([&] {
    auto output = outputFile();
    return output && output->size() == 1 && (*output)[0]["modules"] == expectedModules;
  })) << (outputFile() ? outputFile()->dump(2) : "no output.json");
  auto output = *outputFile();
  EXPECT_EQ(output[0]["name"], "📊 Dashboard");
  EXPECT_EQ(output[0]["isExpanded"], true);
  EXPECT_EQ(launches("Weather"), 1);
  // "Slow" shows as updating as soon as its run starts, which can be before Node.js has started the
  // script that notes the launch.
  ASSERT_TRUE(runUntil([&] { return launches("Slow") >= 1; }));
  EXPECT_EQ(launches("Slow"), 1);
  EXPECT_EQ(json(*manager_->jsonObjectSnapshot()), output);

  // A burst of edits writes the groups archive once.
  auto group = manager_->groups()[0];
  std::vector<std::string> uids;
  {
    FileWriteCounter writes(supportFolder(), "Modules.plist");
    for (const auto& module : group->modules()) {
      module->setName("Renamed " + module->displayName().value_or(""));
      uids.push_back(module->uid());
      manager_->save();
    }
    group->setIsExpanded(false);
    manager_->save();
    ASSERT_TRUE(runUntil([&] { return writes.count() >= 1; }));
    runFor(0.3);
    EXPECT_EQ(writes.count(), 1);
  }
  ASSERT_TRUE(runUntil([&] {
    auto output = outputFile();
    return output && (*output)[0]["isExpanded"] == false &&
           (*output)[0]["modules"][0]["name"] == "Renamed Weather";
  }));

  auto weather = group->modules()[0];
  ASSERT_TRUE(
      runUntil([&] { return fs::exists(weather->log()->path()) && !weather->log()->hasPendingSave(); }));
  auto slow = group->modules()[2];
  terminate();
  EXPECT_FALSE(slow->log()->logLines().empty());

  // ---- Restart ----
  manager_ = loadedManager(&success, &imported);
  ASSERT_TRUE(success);
  EXPECT_FALSE(imported) << "the defaults are imported on the first launch only";
  ASSERT_EQ(manager_->groups().size(), 1u);
  group = manager_->groups()[0];
  EXPECT_FALSE(group->isExpanded());
  ASSERT_EQ(group->modules().size(), 4u);
  for (std::size_t i = 0; i < uids.size(); ++i) {
    EXPECT_EQ(group->modules()[i]->uid(), uids[i]);
    EXPECT_EQ(group->modules()[i]->name().value_or("").rfind("Renamed ", 0), 0u);
  }
  // The logs were read back from their files: the first launch's runs are there.
  bool sawResult = false;
  for (const auto& line : group->modules()[0]->log()->logLines()) {
    if (line->type() == QVModuleLogLineType::finishedSuccess) sawResult = true;
  }
  EXPECT_TRUE(sawResult);
  bool sawCancellation = false;
  for (const auto& line : group->modules()[2]->log()->logLines()) {
    if (line->logString() && line->logString()->find("Module execution was cancelled") != std::string::npos) {
      sawCancellation = true;
    }
  }
  EXPECT_TRUE(sawCancellation) << "written at termination";

  // And the modules run again.
  runner_ = QVShowRunner::make(manager_);
  runner_->start();
  ASSERT_TRUE(
      runUntil([&] { return launches("Weather") == 2 && group->modules()[0]->lastResult() != nullptr; }));
  terminate();
}

}  // namespace
}  // namespace enginetest
