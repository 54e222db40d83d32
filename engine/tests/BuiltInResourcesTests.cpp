#include <set>

#include "engine/ModuleCategories.h"
#include "engine/QVModuleResult.h"
#include "engine/tests/ManagerTestSupport.h"
#include "platform/Json.h"
#include "testing/TreePaths.h"

namespace enginetest {
namespace {

const fs::path kBuildResources = QV_BUILD_RESOURCES;

class BuiltInResourcesTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    QVEngineEnvironment::setResourceFolder(kBuildResources);
  }
};

// Runs a package's script as the engine launches it, with an arguments file when given; answers the
// result of its last output line.
QVModuleResult::Pointer runScript(const fs::path& package, const nlohmann::json& arguments,
                                  const fs::path& scratch) {
  std::string command = "cd " + quoted(package) + " && " + quoted(kBuildResources / "node" / "node") +
                        " main.js --uid TEST --dbPath " + quoted(scratch / "db.json");
  if (!arguments.is_null()) {
    writeBytes(scratch / "arguments.json", arguments.dump());
    command += " --arguments " + quoted(scratch / "arguments.json");
  }
  std::string output;
  if (runCommand(command + " 2>/dev/null", &output) != 0) return nullptr;
  auto lines = platform::json::splitByNewlines(output);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return nullptr;
  auto parsed = platform::json::parse(lines.back());
  return parsed ? QVModuleResult::resultWithDictionary(*parsed) : nullptr;
}

TEST_F(BuiltInResourcesTest, BuiltInModulesLoadAndRun) {
  auto manager = QVDashboardModuleManager::make();
  manager->reloadBundledModules();
  const auto modules = manager->bundledModules();
  ASSERT_GE(modules.size(), 4u);
  std::set<std::string> bundleIDs;
  const auto& categories = availableCategories();
  for (const auto& module : modules) {
    SCOPED_TRACE(module->path());
    EXPECT_TRUE(bundleIDs.insert(*module->bundleID()).second) << "bundle ids are unique";
    ASSERT_TRUE(module->category());
    EXPECT_NE(std::find(categories.begin(), categories.end(), *module->category()), categories.end());
    EXPECT_TRUE(module->helpDocumentPath());
    EXPECT_TRUE(module->hasAllRequiredFields()) << "built-in modules work as they come";
    EXPECT_TRUE(module->canBeInstalled());

    nlohmann::json arguments = nullptr;
    if (!module->userOptions().empty()) {
      arguments = nlohmann::json::object();
      for (const auto& option : module->userOptions()) {
        auto value = option->value() ? option->value()->actualJsonValue() : nlohmann::json();
        if (!value.is_null()) arguments[option->name()] = value;
      }
    }
    auto result = runScript(module->path(), arguments, root() / "tmp");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->success());
    ASSERT_TRUE(result->resultString());
    EXPECT_FALSE(result->resultString()->empty());
  }

  // A disk that cannot be read is a failed result that says why.
  auto disk = builtIn(*manager, "com.quorvane.diskspace");
  ASSERT_TRUE(disk);
  auto failed = runScript(disk->path(), {{"path", (root() / "missing").string()}}, root() / "tmp");
  ASSERT_TRUE(failed);
  EXPECT_FALSE(failed->success());
  EXPECT_NE(failed->resultString().value_or("").find("ENOENT"), std::string::npos);

  auto clock = builtIn(*manager, "com.quorvane.clock");
  ASSERT_TRUE(clock);
  auto time = runScript(clock->path(), {{"show", "Time"}, {"twentyFourHour", false}}, root() / "tmp");
  ASSERT_TRUE(time);
  const std::string text = time->resultString().value_or("");
  EXPECT_TRUE(text.ends_with(" AM") || text.ends_with(" PM")) << text;
}

TEST_F(BuiltInResourcesTest, TheGeneratedDefaultDataSeedsAFirstLaunch) {
  const fs::path archive = kBuildResources / "Default Data.dashboardexport";
  ASSERT_TRUE(fs::exists(archive));
  EXPECT_TRUE(unzipAccepts(archive));
  EXPECT_EQ(entryNames(archive), std::vector<std::string>{"Modules.plist"});

  bool success = false, imported = false;
  auto manager = loadedManager(&success, &imported);
  EXPECT_TRUE(success);
  EXPECT_TRUE(imported);
  ASSERT_EQ(manager->groups().size(), 1u);
  auto group = manager->groups()[0];
  EXPECT_EQ(group->name(), "System");
  std::vector<std::string> ids;
  for (const auto& module : group->modules()) {
    ids.push_back(module->bundleID().value_or(""));
    EXPECT_TRUE(module->hasAllRequiredFields());
    EXPECT_EQ(fs::path(module->path()).parent_path(), kBuildResources / "Modules")
        << "stored relative to the application's own modules";
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"com.quorvane.clock", "com.quorvane.systemload",
                                           "com.quorvane.memory", "com.quorvane.diskspace"}));
}

}  // namespace
}  // namespace enginetest
