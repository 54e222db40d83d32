#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "engine/NSSound+SystemSounds.h"
#include "engine/NSString+QVPathConversions.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVModuleLog.h"
#include "engine/ZKKeychain.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/UUID.h"
#include "testing/TreePaths.h"

namespace {

using namespace enginetest;
using nlohmann::json;
using Type = QVDMOptionType;

class ModuleTest : public EngineTest {
 protected:
  static QVDMUserOption::Pointer option(const QVDashboardModule& module, const std::string& name) {
    for (const auto& candidate : module.userOptions()) {
      if (candidate->name() == name) return candidate;
    }
    return nullptr;
  }

  static platform::Data archive(const QVDashboardModule::Pointer& module) {
    return platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(module));
  }
  static QVDashboardModule::Pointer restore(const platform::Data& data) {
    platform::ClassRegistry registry;
    QVRegisterArchivedClasses(registry);
    return platform::KeyedUnarchiver::unarchiveObjectWithData(data, registry)
        .asObjectOfClass<QVDashboardModule>();
  }
  static bool contains(const platform::Data& data, const std::string& text) {
    return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
  }
};

TEST_F(ModuleTest, ReadsAFullPackage) {
  auto path = fixturePackage("Weather.quorvanemodule").string();
  auto module = QVDashboardModule::moduleWithPath(path);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->path(), path);
  EXPECT_EQ(module->scriptPath(), path + "/main.js");
  EXPECT_EQ(module->helpDocumentPath(), path + "/README.txt") << "txt comes before html";
  EXPECT_EQ(module->moduleName(), "Weather") << "trimmed of spaces and newlines";
  EXPECT_EQ(module->moduleDescription(), "Current weather for a city");
  EXPECT_EQ(module->authorName(), "Quorvane");
  EXPECT_EQ(module->bundleID(), "com.quorvane.weather");
  EXPECT_EQ(module->version(), "1.2.0");
  EXPECT_EQ(module->website(), "https://example.org/weather");
  EXPECT_EQ(module->supportURL(), "https://example.org/support");
  EXPECT_EQ(module->category(), "Weather");
  EXPECT_EQ(module->minAppVersion(), "1.0");
  EXPECT_TRUE(module->canBeInstalled());
  EXPECT_TRUE(module->hasNotifications());
  EXPECT_EQ(module->defaultRefreshInterval(), 290);
  EXPECT_EQ(module->minimumRefreshInterval(), 60) << "snapped to the interval table";
  EXPECT_EQ(module->refreshInterval(), 300);
  EXPECT_TRUE(module->isUpdating());
  EXPECT_FALSE(module->isInvalid());
  EXPECT_FALSE(module->name());
  EXPECT_EQ(module->displayName(), "Weather");
  EXPECT_EQ(module->uid().size(), 36u);
  EXPECT_EQ(module->uid(), platform::uuidString(*platform::parseUUID(module->uid()))) << "upper case";

  std::vector<std::string> names;
  for (const auto& o : module->userOptions()) names.push_back(o->name());
  EXPECT_EQ(names, (std::vector<std::string>{"city", "apiKey", "units", "feelsLike", "days", "since",
                                             "alertSound"}));
  EXPECT_EQ(option(*module, "city")->value()->stringValue(), "Oslo");
  EXPECT_TRUE(option(*module, "apiKey")->value()->isSecure());
  EXPECT_TRUE(option(*module, "apiKey")->value()->isEmpty());
  EXPECT_EQ(option(*module, "units")->value()->stringValue(), "imperial");
  EXPECT_TRUE(option(*module, "feelsLike")->value()->boolValue());
  EXPECT_EQ(option(*module, "days")->value()->numberValue(), 3);
  EXPECT_EQ(option(*module, "since")->value()->jsonValue(), "2021-03-04 05:06");
  EXPECT_EQ(option(*module, "alertSound")->value()->stringValue(), zk_bundledNotificationSounds()[5]);

  // The notification options every module carries.
  for (const char* name : {"playSound", "showPopup", "bounceDock"}) {
    auto o = module->notificationOptionWithKey(name);
    ASSERT_NE(o, nullptr) << name;
    EXPECT_EQ(o->type(), Type::boolean) << name;
  }
  auto sound = module->notificationOptionWithKey("soundName");
  ASSERT_NE(sound, nullptr);
  EXPECT_EQ(sound->value()->stringValue(), zk_bundledNotificationSounds()[5]);
  EXPECT_EQ(module->notificationOptionWithKey("nothing"), nullptr);

  // The secure key is required and empty.
  EXPECT_FALSE(module->hasAllRequiredFields());
  option(*module, "apiKey")->value()->setStringValue(std::optional<std::string>("k"));
  EXPECT_TRUE(module->hasAllRequiredFields());

  ASSERT_NE(module->log(), nullptr);
  EXPECT_EQ(module->log()->path(),
            supportFolder() / "Logs" / ("com.quorvane.weather_" + module->uid() + ".log"));
  EXPECT_EQ(
      module->jsonDatabasePath(),
      (supportFolder() / "Module Databases" / ("com.quorvane.weather_" + module->uid() + ".json")).string());
  EXPECT_TRUE(fs::is_directory(supportFolder() / "Module Databases"));
  EXPECT_EQ(module->description().find("<QVDashboardModule 0x"), 0u);
  EXPECT_NE(module->description().find("name=(null) path=" + path + ">"), std::string::npos);
}

TEST_F(ModuleTest, ReadsSmallAndOddPackages) {
  auto minimal = QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule"));
  ASSERT_NE(minimal, nullptr);
  EXPECT_EQ(minimal->helpDocumentPath(), fixturePackage("Minimal.quorvanemodule/README.rtf").string());
  EXPECT_FALSE(minimal->hasUserOptionList());
  EXPECT_TRUE(minimal->userOptions().empty());
  EXPECT_EQ(minimal->defaultRefreshInterval(), -1);
  EXPECT_EQ(minimal->minimumRefreshInterval(), -1);
  EXPECT_EQ(minimal->refreshInterval(), 3600) << "the default interval";
  EXPECT_FALSE(minimal->hasNotifications());
  EXPECT_FALSE(minimal->website());
  EXPECT_TRUE(minimal->hasAllRequiredFields());

  // A name of spaces passes the check but is absent; "hasNotifications" as a text is no.
  auto blank = QVDashboardModule::moduleWithPath(fixturePackage("BlankName.quorvanemodule"));
  ASSERT_NE(blank, nullptr);
  EXPECT_FALSE(blank->moduleName());
  EXPECT_FALSE(blank->displayName());
  EXPECT_FALSE(blank->hasNotifications());

  {
    qvtesting::LogCapture capture;
    auto bad = QVDashboardModule::moduleWithPath(fixturePackage("BadOptions.quorvanemodule"));
    ASSERT_NE(bad, nullptr) << "bad definitions are skipped, the module stays";
    ASSERT_EQ(bad->userOptions().size(), 1u);
    EXPECT_EQ(bad->userOptions()[0]->name(), "count");
    EXPECT_EQ(bad->userOptions()[0]->value()->numberValue(), 0);
    EXPECT_TRUE(capture.contains("Skipping value because it's not a dictionary/object: just a string"));
    EXPECT_TRUE(capture.contains("Skipping value because it's not a dictionary/object: [1,2]"));
    EXPECT_TRUE(capture.contains("Invalid option name: (null)"));
    EXPECT_TRUE(capture.contains("Invalid option type: color"));
    EXPECT_TRUE(capture.contains("Invalid options type: NSString"));
  }
  {
    qvtesting::LogCapture capture;
    auto object = QVDashboardModule::moduleWithPath(fixturePackage("OptionsNotArray.quorvanemodule"));
    ASSERT_NE(object, nullptr);
    EXPECT_FALSE(object->hasUserOptionList());
    EXPECT_TRUE(capture.contains(
        "Skipping options because it's in the wrong format. Excepted an array, got: NSDictionary"));
  }
}

struct InvalidCase {
  const char* package;
  const char* logged;
  const char* logged2;
};

TEST_F(ModuleTest, InvalidPackagesGiveNoModule) {
  const InvalidCase cases[] = {
      {"NoMain.quorvanemodule", "Missing required module files (package.json or main.js)", nullptr},
      {"NoPackage.quorvanemodule", "Missing required module files (package.json or main.js)", nullptr},
      {"EmptyPackage.quorvanemodule", "Package file is empty", nullptr},
      {"Malformed.quorvanemodule", "An error occurred while parsing the JSON.", "parse error"},
      {"NotUTF8.quorvanemodule", "An error occurred while parsing the JSON.", "parse error"},
      {"RootArray.quorvanemodule", "Invalid Root Package Object Type. Exception dictionary got: NSArray",
       nullptr},
      {"RootEmpty.quorvanemodule", "Invalid Root Package Object Type. Exception dictionary got: NSDictionary",
       nullptr},
      {"RootString.quorvanemodule", "Invalid Root Package Object Type. Exception dictionary got: NSString",
       nullptr},
      {"NoAuthorNoVersion.quorvanemodule", "Missing required key: author", "Missing required keys"},
      {"NameNotString.quorvanemodule", "Missing required key: name", "Missing required keys"},
      {"EmptyDescription.quorvanemodule", "Missing required key: description", "Missing required keys"},
      {"VersionNumber.quorvanemodule", "Missing required key: version", "Missing required keys"},
      {"BundleIDSlash.quorvanemodule", "Invalid bundleID: ../../escape", nullptr},
      {"BundleIDDot.quorvanemodule", "Invalid bundleID: .hidden", nullptr},
      {"BundleIDNul.quorvanemodule", "Invalid bundleID: com.example", nullptr},
      {"BundleIDPaddedDot.quorvanemodule", "Invalid bundleID: ..", nullptr},
  };
  for (const auto& c : cases) {
    qvtesting::LogCapture capture;
    auto path = fixturePackage(std::string("invalid/") + c.package);
    ASSERT_TRUE(fs::exists(path)) << c.package;
    EXPECT_EQ(QVDashboardModule::moduleWithPath(path), nullptr) << c.package;
    EXPECT_TRUE(capture.contains(c.logged)) << c.package;
    if (c.logged2) {
      EXPECT_TRUE(capture.contains(c.logged2)) << c.package;
    }
  }
  {
    // Only the first missing key is told.
    qvtesting::LogCapture capture;
    QVDashboardModule::moduleWithPath(fixturePackage("invalid/NoAuthorNoVersion.quorvanemodule"));
    EXPECT_FALSE(capture.contains("Missing required key: version"));
  }
  {
    qvtesting::LogCapture capture;
    EXPECT_EQ(QVDashboardModule::moduleWithPath((root() / "nowhere.quorvanemodule").string()), nullptr);
    EXPECT_TRUE(
        capture.contains("File doesn't exist at path: " + (root() / "nowhere.quorvanemodule").string()));
    EXPECT_EQ(QVDashboardModule::moduleWithPath(""), nullptr);
  }
  // No bundle identifier reached outside the log and database folders.
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    EXPECT_EQ(entry.path().filename().string().find("escape"), std::string::npos) << entry.path();
  }
}

TEST_F(ModuleTest, HugeAndDeepManifestsAreRefused) {
  // A manifest far larger than any real one is not read.
  auto big = writePackage(root() / "Big.quorvanemodule", minimalManifest());
  {
    std::ofstream out(big / "package.json");
    out << "{\"name\": \"";
    out << std::string(5u << 20, 'a');
    out << "\", \"author\": \"A\", \"bundleID\": \"b\", \"version\": \"1\", \"description\": \"D\"}";
  }
  EXPECT_EQ(QVDashboardModule::moduleWithPath(big), nullptr);

  // Options nested far deeper than any definition are dropped, not followed.
  json manifest = minimalManifest();
  std::string deep(100000, '[');
  auto nested = writePackage(root() / "Deep.quorvanemodule", manifest);
  {
    std::ofstream out(nested / "package.json");
    std::string text = manifest.dump();
    text.pop_back();
    out << text << ", \"user_options\": [{\"name\": \"a\", \"type\": \"string\", \"options\": " << deep
        << std::string(100000, ']') << "}]}";
  }
  auto module = QVDashboardModule::moduleWithPath(nested);
  ASSERT_NE(module, nullptr);
  EXPECT_FALSE(module->userOptions().empty());
}

struct IntervalCase {
  const char* name;
  json refreshInterval;  // null: key absent
  json minimum;          // null: key absent
  double expectedDefault;
  double expectedMinimum;
  double expectedInterval;
};

TEST_F(ModuleTest, SnapsIntervalsToTheTable) {
  const IntervalCase cases[] = {
      {"none", nullptr, nullptr, -1, -1, 3600},
      {"raised to the minimum", 60, 600, 60, 600, 600},
      {"between entries", 7, nullptr, 7, -1, 5},
      {"a text is no number", "60", nullptr, -1, -1, 3600},
      {"a boolean counts as a number", true, nullptr, 1, -1, 5},
      {"above the table", 100000, nullptr, 100000, -1, 86400},
      {"huge", 1e300, nullptr, 1e300, -1, 86400},
      {"minimum half-way snaps up", nullptr, 45, -1, 60, 3600},
      {"minimum -1 is none", 30, -1, 30, -1, 30},
      {"zero", 0, nullptr, 0, -1, 5},
      {"negative", -20, nullptr, -20, -1, 5},
      {"minimum above the table", 60, 1e9, 60, 86400, 86400},
  };
  int index = 0;
  for (const auto& c : cases) {
    json manifest = minimalManifest();
    if (!c.refreshInterval.is_null()) manifest["refreshInterval"] = c.refreshInterval;
    if (!c.minimum.is_null()) manifest["minimumRefreshInterval"] = c.minimum;
    auto path = writePackage(root() / ("Interval" + std::to_string(index++) + ".quorvanemodule"), manifest);
    auto module = QVDashboardModule::moduleWithPath(path);
    ASSERT_NE(module, nullptr) << c.name;
    EXPECT_EQ(module->defaultRefreshInterval(), c.expectedDefault) << c.name;
    EXPECT_EQ(module->minimumRefreshInterval(), c.expectedMinimum) << c.name;
    EXPECT_EQ(module->refreshInterval(), c.expectedInterval) << c.name;
  }
}

TEST_F(ModuleTest, ComparesTheMinimumAppVersionNumerically) {
  struct Case {
    const char* app;
    json minimum;
    bool canBeInstalled;
  } cases[] = {
      {"2.9", "2.10", false}, {"2.10", "2.9", true}, {"1.0", "1.0", true},    {"1.0.0", "1.0.1", false},
      {"1.0", "   ", true},   {"1.0", 99, true},     {"10.0", "9.9.9", true}, {"1.0", "1.0 beta", false},
  };
  int index = 0;
  for (const auto& c : cases) {
    QVEngineEnvironment::setAppShortVersion(c.app);
    json manifest = minimalManifest();
    manifest["minAppVersion"] = c.minimum;
    auto module = QVDashboardModule::moduleWithPath(
        writePackage(root() / ("Version" + std::to_string(index++) + ".quorvanemodule"), manifest));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->canBeInstalled(), c.canBeInstalled) << c.app << " vs " << c.minimum;
  }
}

TEST_F(ModuleTest, CopiesTakeTheUsersSettingsButNotTheValues) {
  auto original = QVDashboardModule::moduleWithPath(fixturePackage("Weather.quorvanemodule"));
  ASSERT_NE(original, nullptr);
  original->setName("Home");
  original->setOnClickURLString("https://example.org/home");
  original->setRefreshInterval(600);
  option(*original, "city")->value()->setStringValue(std::optional<std::string>("Bergen"));
  option(*original, "apiKey")->value()->setStringValue(std::optional<std::string>("key-123"));
  option(*original, "days")->value()->setNumberValue(5);

  NotificationCounter changes(QVModuleDidChangeNotification);
  auto copy = original->copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(changes.countFor(copy.get()), 1) << "the copy's name is set through setName";
  EXPECT_NE(copy->uid(), original->uid());
  EXPECT_EQ(copy->name(), "Home");
  EXPECT_EQ(copy->onClickURLString(), "https://example.org/home");
  EXPECT_EQ(copy->refreshInterval(), 600);
  EXPECT_TRUE(copy->isUpdating());
  EXPECT_EQ(option(*copy, "city")->value()->stringValue(), "Oslo");
  EXPECT_TRUE(option(*copy, "apiKey")->value()->isEmpty());
  EXPECT_NE(option(*copy, "city")->uid(), option(*original, "city")->uid());
  EXPECT_NE(copy->log(), original->log());

  auto duplicate = original->copyWithUserOptions();
  ASSERT_NE(duplicate, nullptr);
  enginetest::settleKeychain();
  EXPECT_EQ(option(*duplicate, "city")->value()->stringValue(), "Bergen");
  EXPECT_EQ(option(*duplicate, "days")->value()->numberValue(), 5);
  auto key = option(*duplicate, "apiKey");
  EXPECT_EQ(key->value()->stringValue(), "key-123");
  EXPECT_NE(key->uid(), option(*original, "apiKey")->uid());
  EXPECT_EQ(key->value()->uid(), key->uid());
  EXPECT_EQ(ZKKeychain::sharedHelper()->secureValueForKey(key->uid()), "key-123")
      << "the duplicate's secret is kept under its own uid";
  EXPECT_EQ(ZKKeychain::sharedHelper()->secureValueForKey(option(*original, "apiKey")->uid()), "key-123");
  // Options of the duplicate are its own objects.
  option(*duplicate, "city")->value()->setStringValue(std::optional<std::string>("Tromsø"));
  EXPECT_EQ(option(*original, "city")->value()->stringValue(), "Bergen");

  // A package gone since: no copy.
  auto moved = copyPackage("Minimal.quorvanemodule", root() / "Moved.quorvanemodule");
  auto module = QVDashboardModule::moduleWithPath(moved);
  fs::remove_all(moved);
  EXPECT_EQ(module->copy(), nullptr);
  EXPECT_EQ(module->copyWithUserOptions(), nullptr);
}

TEST_F(ModuleTest, ArchivesAndRestoresWithOptions) {
  auto module = QVDashboardModule::moduleWithPath(fixturePackage("Weather.quorvanemodule"));
  module->setName("Office");
  module->setOnClickURLString("https://example.org/office");
  module->setRefreshInterval(1800);
  option(*module, "city")->value()->setStringValue(std::optional<std::string>("Trondheim"));
  option(*module, "apiKey")->value()->setStringValue(std::optional<std::string>("very-secret-key-7781"));
  option(*module, "units")->value()->setObjectValue("kelvin");
  option(*module, "feelsLike")->value()->setBoolValue(false);
  option(*module, "days")->value()->setNumberValue(6);
  option(*module, "since")->value()->setObjectValue("2022-11-12 13:14");
  const auto& sounds = zk_bundledNotificationSounds();
  module->notificationOptionWithKey("soundName")->value()->setObjectValue(sounds[1]);
  module->notificationOptionWithKey("playSound")->value()->setBoolValue(false);

  auto data = archive(module);
  EXPECT_FALSE(contains(data, "very-secret-key-7781"));
  EXPECT_TRUE(contains(data, "$SOUNDS_PATH/" + fs::path(sounds[1]).filename().string()));

  NotificationCounter changes(QVModuleDidChangeNotification);
  auto restored = restore(data);
  ASSERT_NE(restored, nullptr);
  EXPECT_FALSE(restored->isInvalid());
  EXPECT_EQ(restored->uid(), module->uid());
  EXPECT_EQ(restored->path(), module->path());
  EXPECT_EQ(restored->name(), "Office");
  EXPECT_EQ(restored->onClickURLString(), "https://example.org/office");
  EXPECT_EQ(restored->refreshInterval(), 1800);
  EXPECT_TRUE(restored->isUpdating());
  enginetest::readSecureTexts(restored->userOptions());
  for (const auto& original : module->userOptions()) {
    auto back = option(*restored, original->name());
    ASSERT_NE(back, nullptr) << original->name();
    EXPECT_EQ(back->uid(), original->uid()) << original->name();
    EXPECT_EQ(back->value()->actualJsonValue(), original->value()->actualJsonValue()) << original->name();
    EXPECT_EQ(back->required(), original->required()) << "from the package";
    EXPECT_EQ(back->tooltip(), original->tooltip()) << "from the package";
  }
  EXPECT_EQ(restored->notificationOptionWithKey("soundName")->value()->stringValue(), sounds[1]);
  EXPECT_FALSE(restored->notificationOptionWithKey("playSound")->value()->boolValue());
  // The live sound option kept its list of choices.
  EXPECT_TRUE(module->notificationOptionWithKey("soundName")->value()->options().is_array());
  EXPECT_EQ(module->notificationOptionWithKey("soundName")->value()->stringValue(), sounds[1]);
  EXPECT_EQ(changes.total(), 0) << "restoring a module posts nothing";
}

TEST_F(ModuleTest, RestoringReadsTheChangedPackage) {
  json manifest = minimalManifest();
  manifest["minimumRefreshInterval"] = 30;
  manifest["user_options"] = {
      {{"name", "keep"}, {"type", "string"}, {"default", "a"}},
      {{"name", "retyped"}, {"type", "number"}, {"default", 4}},
      {{"name", "bounded"}, {"type", "number"}, {"default", 1}},
      {{"name", "choice"}, {"type", "string"}, {"options", {"x", "y"}}, {"default", "x"}},
      {{"name", "dropped"}, {"type", "boolean"}},
  };
  auto path = writePackage(root() / "Changing.quorvanemodule", manifest);
  auto module = QVDashboardModule::moduleWithPath(path);
  ASSERT_NE(module, nullptr);
  module->setRefreshInterval(60);
  option(*module, "keep")->value()->setStringValue(std::optional<std::string>("kept"));
  option(*module, "retyped")->value()->setNumberValue(9);
  option(*module, "bounded")->value()->setNumberValue(50);
  option(*module, "choice")->value()->setObjectValue("y");
  auto data = archive(module);

  manifest["minimumRefreshInterval"] = 600;
  manifest["user_options"] = {
      {{"name", "keep"}, {"type", "string"}, {"default", "b"}},
      {{"name", "retyped"}, {"type", "string"}, {"default", "new"}},
      {{"name", "bounded"}, {"type", "number"}, {"default", 1}, {"options", {{"max", 10}}}},
      {{"name", "choice"}, {"type", "string"}, {"options", {"z"}}},
      {{"name", "added"}, {"type", "boolean"}, {"default", true}},
  };
  writePackage(path, manifest);
  auto restored = restore(data);
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(option(*restored, "keep")->value()->stringValue(), "kept");
  EXPECT_EQ(option(*restored, "keep")->uid(), option(*module, "keep")->uid());
  EXPECT_EQ(option(*restored, "retyped")->value()->stringValue(), "new")
      << "a changed type takes the new default";
  EXPECT_NE(option(*restored, "retyped")->uid(), option(*module, "retyped")->uid()) << "and a new uid";
  EXPECT_EQ(option(*restored, "bounded")->value()->numberValue(), 10)
      << "checked again against the new bounds";
  EXPECT_EQ(option(*restored, "choice")->value()->stringValue(), "y") << "strings are taken over unchecked";
  EXPECT_EQ(option(*restored, "dropped"), nullptr);
  EXPECT_TRUE(option(*restored, "added")->value()->boolValue());
  EXPECT_EQ(restored->refreshInterval(), 600) << "raised to the package's new minimum";
}

TEST_F(ModuleTest, PathsAreStoredInPortableForm) {
  // Built-in modules: a resource folder of the sandbox's own.
  fs::path resources = root() / "resources";
  fs::create_directories(resources);
  fs::copy_file(fs::path(QV_SOURCE_RESOURCES) / "notification_preferences.json",
                resources / "notification_preferences.json");
  QVEngineEnvironment::setResourceFolder(resources);
  auto builtIn = copyPackage("Minimal.quorvanemodule", resources / "Modules" / "Minimal.quorvanemodule");
  auto module = QVDashboardModule::moduleWithPath(builtIn);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(zk_exportablePath(module->path()), "$BUNDLED_MODULES_PATH/Minimal.quorvanemodule");
  auto data = archive(module);
  EXPECT_TRUE(contains(data, "$BUNDLED_MODULES_PATH/Minimal.quorvanemodule"));
  auto restored = restore(data);
  EXPECT_EQ(restored->path(), builtIn.string());
  EXPECT_FALSE(restored->isInvalid());

  // A built-in package the application no longer ships: no path, an invalid module.
  fs::remove_all(builtIn);
  EXPECT_EQ(zk_importedPath("$BUNDLED_MODULES_PATH/Minimal.quorvanemodule"), std::nullopt);
  qvtesting::LogCapture capture;
  auto gone = restore(data);
  ASSERT_NE(gone, nullptr);
  EXPECT_TRUE(gone->isInvalid());
  EXPECT_EQ(gone->uid(), module->uid());

  // User modules, also of the old extension.
  fs::path userModules = supportFolder() / "Modules";
  auto legacy = copyPackage("Legacy.dashboardmodule", userModules / "Legacy.dashboardmodule");
  auto old = QVDashboardModule::moduleWithPath(legacy);
  ASSERT_NE(old, nullptr);
  option(*old, "greeting")->value()->setStringValue(std::optional<std::string>("hej"));
  auto oldData = archive(old);
  EXPECT_TRUE(contains(oldData, "$USER_MODULES_PATH/Legacy.dashboardmodule"));
  fs::rename(legacy, userModules / "Legacy.quorvanemodule");
  auto converted = restore(oldData);
  ASSERT_NE(converted, nullptr);
  EXPECT_FALSE(converted->isInvalid());
  EXPECT_EQ(converted->path(), (userModules / "Legacy.quorvanemodule").string());
  EXPECT_EQ(option(*converted, "greeting")->value()->stringValue(), "hej");

  struct Case {
    const char* stored;
    std::optional<std::string> imported;
  } cases[] = {
      {"$USER_MODULES_PATH/A.quorvanemodule", (userModules / "A.quorvanemodule").string()},
      {"$USER_MODULES_PATH/A.dashboardmodule", (userModules / "A.quorvanemodule").string()},
      {"/elsewhere/B.dashboardmodule", "/elsewhere/B.quorvanemodule"},
      {"/elsewhere/B.quorvanemodule", "/elsewhere/B.quorvanemodule"},
      {"$USER_MODULES_PATH/..", std::nullopt},
      {"$USER_MODULES_PATH", "$USER_MODULES_PATH"},  // a placeholder is followed by a name
      {"$BUNDLED_MODULES_PATH/../../etc", std::nullopt},
      {"$SOUNDS_PATH/missing.wav", std::nullopt},
      {"relative/path", "relative/path"},
  };
  for (const auto& c : cases) EXPECT_EQ(zk_importedPath(std::string(c.stored)), c.imported) << c.stored;
  EXPECT_EQ(zk_importedPath(std::nullopt), std::nullopt);
  EXPECT_EQ(zk_exportablePath("/elsewhere/B.quorvanemodule"), "/elsewhere/B.quorvanemodule");
  EXPECT_EQ(zk_exportablePath((supportFolder() / "Other" / "C.quorvanemodule").string()),
            "$USER_MODULES_PATH/C.quorvanemodule");
  EXPECT_EQ(supportPathWithFolder(""), supportFolder().string());
  EXPECT_EQ(supportPathWithFolder("Logs"), (supportFolder() / "Logs").string());
}

TEST_F(ModuleTest, RemovingTheModuleDeletesItsFiles) {
  auto module = QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule"));
  module->log()->addLogLine(QVModuleLogLine::systemLogWithString("hello"));
  module->log()->actuallySave();
  std::string database = module->jsonDatabasePath();
  std::ofstream(database) << "{}";
  ASSERT_TRUE(fs::exists(module->log()->path()));
  module->moduleWillBeRemoved();
  EXPECT_FALSE(fs::exists(module->log()->path()));
  EXPECT_FALSE(fs::exists(database));
  EXPECT_TRUE(fs::exists(fixturePackage("Minimal.quorvanemodule"))) << "the package stays";
  module->moduleWillBeRemoved();  // nothing left to delete: no harm
}

TEST_F(ModuleTest, ResultsAndNamesAreAnnounced) {
  auto module = QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule"));
  NotificationCounter changes(QVModuleDidChangeNotification);
  NotificationCounter results(QVModuleResultDidChangeNotification);
  int nameSignals = 0;
  auto connection = module->nameDidChange.connect([&] { ++nameSignals; });
  module->setName("Mine");
  EXPECT_EQ(changes.countFor(module.get()), 1);
  EXPECT_EQ(nameSignals, 1);
  module->setOnClickURLString("x");
  module->setRefreshInterval(5);
  EXPECT_EQ(changes.countFor(module.get()), 1) << "only the name is announced";

  auto result = QVModuleResult::resultWithDictionary(
      {{"type", "finished"}, {"options", {{"result", "ok"}, {"success", true}}}});
  module->setLastResult(result);
  EXPECT_EQ(module->lastResult(), result);
  module->setLastResult(nullptr);
  EXPECT_EQ(module->lastResult(), nullptr);
  EXPECT_EQ(results.countFor(module.get()), 2);

  // Set from a pipe thread: announced on that thread.
  std::thread::id writer;
  std::thread thread([&] {
    writer = std::this_thread::get_id();
    module->setLastResult(result);
  });
  thread.join();
  ASSERT_EQ(results.threads().size(), 3u);
  EXPECT_EQ(results.threads().back(), writer);
}

TEST_F(ModuleTest, ResultsAndLogLinesMayComeFromAnyThread) {
  auto module = QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule"));
  auto result = QVModuleResult::resultWithDictionary(
      {{"type", "finished"}, {"options", {{"result", "ok"}, {"success", true}}}});
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        module->setLastResult(i % 2 ? result : nullptr);
        module->log()->addLogLine(QVModuleLogLine::systemLogWithString("line " + std::to_string(t)));
        module->setIsUpdating(i % 2 == 0);
      }
    });
  }
  std::thread reader([&] {
    while (!stop.load()) {
      auto last = module->lastResult();
      if (last) {
        EXPECT_EQ(last->resultString(), "ok");
      }
      (void)module->displayName();
      (void)module->log()->logLines().size();
    }
  });
  for (auto& writer : writers) writer.join();
  stop.store(true);
  reader.join();
  EXPECT_EQ(module->log()->logLines().size(), QVModuleLog::kMaximumLines);
  runUntil([&] { return !module->log()->hasPendingSave(); });
}

}  // namespace
