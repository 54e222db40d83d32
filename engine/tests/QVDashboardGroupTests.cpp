#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/QVDashboardGroup.h"
#include "engine/QVEmojiSource.h"
#include "engine/QVModuleLog.h"
#include "engine/ZKKeychain.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"

namespace {

using namespace enginetest;
using nlohmann::json;

class GroupTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
    QVEngineEnvironment::setRunModuleHandler(
        [this](const QVDashboardModule::Pointer& module) { runs_.push_back(module); });
  }
  void TearDown() override {
    QVEmojiSource::setShared(nullptr);
    EngineTest::TearDown();
  }

  static QVDashboardModule::Pointer weather() {
    return QVDashboardModule::moduleWithPath(fixturePackage("Weather.quorvanemodule"));
  }
  static QVDashboardModule::Pointer minimal() {
    return QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule"));
  }
  static QVDMUserOption::Pointer option(const QVDashboardModule& module, const std::string& name) {
    for (const auto& candidate : module.userOptions()) {
      if (candidate->name() == name) return candidate;
    }
    return nullptr;
  }
  static bool contains(const platform::Data& data, const std::string& text) {
    return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
  }

  std::vector<QVDashboardModule::Pointer> runs_;
};

TEST_F(GroupTest, NewGroups) {
  auto group = QVDashboardGroup::init();
  EXPECT_TRUE(group->isExpanded());
  EXPECT_TRUE(group->modules().empty());
  EXPECT_EQ(group->color(), platform::Color::clearColor());
  EXPECT_EQ(group->emoji(), "🙂");
  EXPECT_FALSE(group->name());

  NotificationCounter changes(QVModuleDidChangeNotification);
  auto named = QVDashboardGroup::groupWithName("Work");
  EXPECT_EQ(named->name(), "Work");
  EXPECT_EQ(changes.countFor(named.get()), 1);
  EXPECT_NE(named->description().find("name=Work>"), std::string::npos);

  // Without a catalogue a group is still made, with no emoji.
  QVEmojiSource::setShared(nullptr);
  EXPECT_EQ(QVDashboardGroup::init()->emoji(), "");
  QVEmojiCatalogueSource empty({});
  EXPECT_EQ(empty.randomEmoji(), "");
  QVEmojiCatalogueSource several({"a", "b", "c"});
  for (int i = 0; i < 20; ++i) {
    std::string emoji = several.randomEmoji();
    EXPECT_TRUE(emoji == "a" || emoji == "b" || emoji == "c");
  }
}

TEST_F(GroupTest, AddingModules) {
  auto group = QVDashboardGroup::groupWithName("G");
  auto ready = minimal();
  auto unready = weather();  // its required API key is empty

  std::vector<std::pair<bool, std::size_t>> changes;
  auto connection = group->modulesDidChange.connect(
      [&](bool prior, const QVDashboardGroup::Modules& old) { changes.emplace_back(prior, old.size()); });

  group->addModule(ready);
  ASSERT_EQ(group->modules().size(), 1u);
  auto added = group->modules()[0];
  EXPECT_NE(added, ready) << "a copy is added";
  EXPECT_NE(added->uid(), ready->uid());
  EXPECT_EQ(added->group(), group);
  EXPECT_EQ(ready->group(), nullptr);
  ASSERT_EQ(runs_.size(), 1u) << "a ready module runs at once";
  EXPECT_EQ(runs_[0], added);

  group->addModule(unready, false);
  ASSERT_EQ(group->modules().size(), 2u);
  EXPECT_EQ(group->modules()[1], unready);
  EXPECT_EQ(unready->group(), group);
  EXPECT_EQ(runs_.size(), 1u) << "a module lacking a required value does not run";
  EXPECT_EQ(group->configuredModules(), QVDashboardGroup::Modules{added});

  group->addModule(nullptr);
  group->addModule(nullptr, false);
  EXPECT_EQ(group->modules().size(), 2u);

  using Change = std::pair<bool, std::size_t>;
  EXPECT_EQ(changes, (std::vector<Change>{{true, 0}, {false, 0}, {true, 1}, {false, 1}}));

  // A package gone since it was listed: its copy cannot be made, nothing is added.
  auto moved = copyPackage("Minimal.quorvanemodule", root() / "Moved.quorvanemodule");
  auto vanishing = QVDashboardModule::moduleWithPath(moved);
  fs::remove_all(moved);
  group->addModule(vanishing);
  EXPECT_EQ(group->modules().size(), 2u);
}

TEST_F(GroupTest, RemovingAndMovingModules) {
  auto group = QVDashboardGroup::groupWithName("G");
  auto other = QVDashboardGroup::groupWithName("H");
  auto a = minimal(), b = minimal(), c = weather();
  group->updateModules({a, b, c});
  EXPECT_EQ(a->group(), group);

  auto writeFiles = [](const QVDashboardModule::Pointer& module) {
    module->log()->addLogLine(QVModuleLogLine::systemLogWithString("line"));
    module->log()->actuallySave();
    std::ofstream(module->jsonDatabasePath()) << "{}";
    return std::make_pair(module->log()->path(), fs::path(module->jsonDatabasePath()));
  };
  auto filesA = writeFiles(a), filesB = writeFiles(b), filesC = writeFiles(c);

  // Moving keeps the files.
  group->updateModules({a, c});
  other->updateModules({b});
  EXPECT_EQ(b->group(), other);
  EXPECT_TRUE(fs::exists(filesB.first));
  EXPECT_TRUE(fs::exists(filesB.second));

  // Removing without files keeps them; with files deletes them.
  group->removeModule(a, false);
  EXPECT_EQ(a->group(), nullptr);
  EXPECT_TRUE(fs::exists(filesA.first));
  group->removeModule(c);
  EXPECT_EQ(group->modules().size(), 0u);
  EXPECT_FALSE(fs::exists(filesC.first));
  EXPECT_FALSE(fs::exists(filesC.second));

  // Removing the group removes every module with its files.
  other->willBeRemoved();
  EXPECT_TRUE(other->modules().empty());
  EXPECT_FALSE(fs::exists(filesB.first));
  EXPECT_FALSE(fs::exists(filesB.second));
  EXPECT_EQ(b->group(), nullptr);

  group->updateModules({nullptr, a});
  EXPECT_EQ(group->modules(), QVDashboardGroup::Modules{a});
  group->updateModules({});
  EXPECT_TRUE(group->modules().empty());
}

TEST_F(GroupTest, ChangesAreAnnounced) {
  auto group = QVDashboardGroup::init();
  auto module = minimal();
  struct Step {
    const char* name;
    std::function<void()> change;
    int notifications;
  } steps[] = {
      {"rename", [&] { group->setName("New"); }, 1},
      {"emoji", [&] { group->setEmoji("🚀"); }, 1},
      {"colour", [&] { group->setColor(platform::Color::whiteColor()); }, 0},
      {"collapse", [&] { group->setIsExpanded(false); }, 0},
      {"add", [&] { group->addModule(module, false); }, 1},
      {"reorder", [&] { group->updateModules(group->modules()); }, 1},
      {"remove", [&] { group->removeModule(module, false); }, 1},
      {"remove several",
       [&] {
         group->removeModules({module, module});
       },
       2},
  };
  for (const auto& step : steps) {
    NotificationCounter changes(QVModuleDidChangeNotification);
    step.change();
    EXPECT_EQ(changes.countFor(group.get()), step.notifications) << step.name;
    EXPECT_EQ(changes.total(), step.notifications) << step.name;
  }
  EXPECT_EQ(group->color(), platform::Color::whiteColor());
  EXPECT_FALSE(group->isExpanded());
}

TEST_F(GroupTest, ArchivesGroupsWithModulesOfEveryOptionType) {
  auto work = QVDashboardGroup::groupWithName("Work");
  work->setEmoji("💼");
  work->setColor(platform::Color::colorWithDeviceRed(0.25, 0.5, 0.75, 1.0));
  work->setIsExpanded(false);
  auto home = QVDashboardGroup::groupWithName(std::nullopt);
  home->setEmoji(std::nullopt);
  home->setColor(std::nullopt);

  auto module = weather();
  module->setName("Office weather");
  option(*module, "city")->value()->setStringValue(std::optional<std::string>("Stavanger"));
  option(*module, "apiKey")->value()->setStringValue(std::optional<std::string>("secret-api-key-9921"));
  option(*module, "units")->value()->setObjectValue("kelvin");
  option(*module, "feelsLike")->value()->setBoolValue(false);
  option(*module, "days")->value()->setNumberValue(7);
  option(*module, "since")->value()->setObjectValue("2023-06-07 08:09");
  work->addModule(module, false);
  work->addModule(minimal(), false);
  home->addModule(weather(), false);

  auto data = QVDashboardGroup::archivedDataWithGroups({work, home});
  EXPECT_FALSE(contains(data, "secret-api-key-9921")) << "a secure value never appears in the archive bytes";
  EXPECT_TRUE(contains(data, "QVDashboardGroup"));
  EXPECT_TRUE(contains(data, "QVDashboardModule"));
  EXPECT_TRUE(contains(data, "QVDMUserOption"));

  NotificationCounter changes(QVModuleDidChangeNotification);
  platform::Error error;
  auto groups = QVDashboardGroup::groupsWithArchiveData(data, &error);
  ASSERT_TRUE(groups) << error.description;
  ASSERT_EQ(groups->size(), 2u);
  EXPECT_EQ(changes.total(), 2) << "one notification per decoded group";

  const auto& restoredWork = (*groups)[0];
  EXPECT_EQ(restoredWork->name(), "Work");
  EXPECT_EQ(restoredWork->emoji(), "💼");
  EXPECT_EQ(restoredWork->color(), platform::Color::colorWithDeviceRed(0.25, 0.5, 0.75, 1.0));
  EXPECT_FALSE(restoredWork->isExpanded());
  ASSERT_EQ(restoredWork->modules().size(), 2u);
  auto restored = restoredWork->modules()[0];
  EXPECT_EQ(restored->group(), restoredWork);
  EXPECT_EQ(restored->uid(), module->uid());
  EXPECT_EQ(restored->name(), "Office weather");
  enginetest::readSecureTexts(restored->userOptions());
  for (const auto& original : module->userOptions()) {
    auto back = option(*restored, original->name());
    ASSERT_NE(back, nullptr) << original->name();
    EXPECT_EQ(back->value()->actualJsonValue(), original->value()->actualJsonValue()) << original->name();
  }
  EXPECT_EQ(option(*restored, "apiKey")->value()->stringValue(), "secret-api-key-9921")
      << "from the keychain";
  EXPECT_TRUE(restored->hasAllRequiredFields());

  const auto& restoredHome = (*groups)[1];
  EXPECT_FALSE(restoredHome->name());
  EXPECT_EQ(restoredHome->emoji(), "") << "archived as the empty string";
  EXPECT_FALSE(restoredHome->color()) << "saved without a colour: none, not the clear colour";
  EXPECT_TRUE(restoredHome->isExpanded());
  EXPECT_EQ(restoredHome->modules().size(), 1u);

  // Archiving what was restored gives the same groups again.
  auto again = QVDashboardGroup::groupsWithArchiveData(QVDashboardGroup::archivedDataWithGroups(*groups));
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)[0]->modules()[0]->uid(), module->uid());
}

TEST_F(GroupTest, DecodingDropsModulesWhosePackageIsGone) {
  auto folder = copyPackage("Minimal.quorvanemodule", root() / "pkgs" / "Gone.quorvanemodule");
  auto group = QVDashboardGroup::groupWithName("G");
  auto staying = weather();
  auto going = QVDashboardModule::moduleWithPath(folder);
  group->updateModules({going, staying});
  auto data = QVDashboardGroup::archivedDataWithGroups({group});
  fs::remove_all(folder);

  qvtesting::LogCapture capture;
  auto groups = QVDashboardGroup::groupsWithArchiveData(data);
  ASSERT_TRUE(groups);
  ASSERT_EQ((*groups)[0]->modules().size(), 1u);
  EXPECT_EQ((*groups)[0]->modules()[0]->uid(), staying->uid());
}

// A group archived by hand, to give the decoder keys of every kind.
struct HandMadeGroup : platform::Coding {
  std::function<void(platform::KeyedArchiver&)> encode;
  std::vector<std::string> classesForCoder() const override { return {"QVDashboardGroup"}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { encode(coder); }
};

platform::Data handMade(std::function<void(platform::KeyedArchiver&)> encode) {
  auto group = std::make_shared<HandMadeGroup>();
  group->encode = std::move(encode);
  return platform::KeyedArchiver::archivedDataWithRootObject(
      platform::ArchiveObject(platform::ArchiveObject::Array{platform::ArchiveObject(group)}));
}

TEST_F(GroupTest, DecodingToleratesMissingAndWrongValues) {
  struct Case {
    const char* name;
    std::function<void(platform::KeyedArchiver&)> encode;
    std::function<void(const QVDashboardGroup&)> check;
  } cases[] = {
      {"nothing at all", [](platform::KeyedArchiver&) {},
       [](const QVDashboardGroup& g) {
         EXPECT_TRUE(g.isExpanded()) << "missing means expanded";
         EXPECT_FALSE(g.name());
         EXPECT_FALSE(g.emoji());
         EXPECT_FALSE(g.color());
         EXPECT_TRUE(g.modules().empty());
       }},
      {"scalar false", [](platform::KeyedArchiver& c) { c.encodeBool(false, "isExpanded"); },
       [](const QVDashboardGroup& g) { EXPECT_FALSE(g.isExpanded()); }},
      {"number object 0", [](platform::KeyedArchiver& c) { c.encodeObject(0, "isExpanded"); },
       [](const QVDashboardGroup& g) { EXPECT_FALSE(g.isExpanded()); }},
      {"wrong kinds",
       [](platform::KeyedArchiver& c) {
         c.encodeObject(42, "name");
         c.encodeObject(platform::ArchiveObject::Array{"x"}, "emoji");
         c.encodeObject("yes", "isExpanded");
         c.encodeObject("#FF0000", "color");
         c.encodeObject(platform::ArchiveObject::Array{1, "two"}, "modules");
       },
       [](const QVDashboardGroup& g) {
         EXPECT_FALSE(g.name());
         EXPECT_FALSE(g.emoji());
         EXPECT_TRUE(g.isExpanded());
         EXPECT_FALSE(g.color());
         EXPECT_TRUE(g.modules().empty());
       }},
      {"huge name", [](platform::KeyedArchiver& c) { c.encodeObject(std::string(1 << 20, 'n'), "name"); },
       [](const QVDashboardGroup& g) { EXPECT_EQ(g.name()->size(), 1u << 20); }},
  };
  for (const auto& c : cases) {
    auto groups = QVDashboardGroup::groupsWithArchiveData(handMade(c.encode));
    ASSERT_TRUE(groups) << c.name;
    ASSERT_EQ(groups->size(), 1u) << c.name;
    c.check(*(*groups)[0]);
  }
}

TEST_F(GroupTest, ReadsOnlyGroupsArchives) {
  auto empty = QVDashboardGroup::groupsWithArchiveData({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  platform::Error error;
  EXPECT_FALSE(QVDashboardGroup::groupsWithArchiveData(platform::Data{'j', 'u', 'n', 'k'}, &error));
  EXPECT_EQ(error.code, 4864);

  auto notArray = platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject("text"));
  EXPECT_FALSE(QVDashboardGroup::groupsWithArchiveData(notArray));

  // Root elements that are not groups are dropped.
  auto mixed = platform::KeyedArchiver::archivedDataWithRootObject(
      platform::ArchiveObject(platform::ArchiveObject::Array{
          platform::ArchiveObject(QVDashboardGroup::groupWithName("A")), "stray", 7}));
  auto groups = QVDashboardGroup::groupsWithArchiveData(mixed);
  ASSERT_TRUE(groups);
  ASSERT_EQ(groups->size(), 1u);
  EXPECT_EQ((*groups)[0]->name(), "A");

  // Damage inside a module list fails the whole load, so that nothing is silently dropped.
  struct Stranger : platform::Coding {
    std::vector<std::string> classesForCoder() const override { return {"QVSomethingElse"}; }
    void encodeWithCoder(platform::KeyedArchiver&) const override {}
  };
  auto damaged = handMade([](platform::KeyedArchiver& c) {
    c.encodeObject(platform::ArchiveObject::Array{platform::ArchiveObject(std::make_shared<Stranger>())},
                   "modules");
  });
  EXPECT_FALSE(QVDashboardGroup::groupsWithArchiveData(damaged, &error));

  // Every truncation of a real archive is refused or read, never a crash.
  auto group = QVDashboardGroup::groupWithName("T");
  group->addModule(weather(), false);
  auto data = QVDashboardGroup::archivedDataWithGroups({group});
  for (std::size_t size = 0; size < data.size(); size += 7) {
    platform::Data cut(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
    (void)QVDashboardGroup::groupsWithArchiveData(cut);
  }
}

}  // namespace

namespace {

using namespace enginetest;

class DamagedInputTest : public EngineTest {};

// Random damage to a real manifest and a real groups archive: every result is a module, a group, or
// a refusal, never a crash (the sanitizer build checks the memory side).
TEST_F(DamagedInputTest, DamagedManifestsAndArchivesNeverCrash) {
  std::minstd_rand random(20240501);
  auto folder = copyPackage("Weather.quorvanemodule", root() / "Damaged.quorvanemodule");
  std::string manifest;
  {
    std::ifstream in(folder / "package.json");
    manifest.assign(std::istreambuf_iterator<char>(in), {});
  }
  const char replacements[] = {'"', '{', '}', '[', ']', ',', ':', '0', '-', 'e', '\\', 'n', ' ', '\0'};
  for (int round = 0; round < 300; ++round) {
    std::string damaged = manifest;
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = random() % damaged.size();
      if (random() % 3 == 0) {
        damaged.erase(at, 1 + random() % 8);
      } else {
        damaged[at] = replacements[random() % sizeof replacements];
      }
      if (damaged.empty()) damaged = "x";
    }
    std::ofstream(folder / "package.json", std::ios::trunc) << damaged;
    qvtesting::LogCapture quiet;
    (void)QVDashboardModule::moduleWithPath(folder);
  }

  std::ofstream(folder / "package.json", std::ios::trunc) << manifest;
  auto group = QVDashboardGroup::groupWithName("Damaged");
  auto module = QVDashboardModule::moduleWithPath(folder);
  ASSERT_NE(module, nullptr);
  group->addModule(module, false);
  group->addModule(QVDashboardModule::moduleWithPath(fixturePackage("Minimal.quorvanemodule")), false);
  auto data = QVDashboardGroup::archivedDataWithGroups({group});
  int read = 0;
  for (int round = 0; round < 300; ++round) {
    platform::Data damaged = data;
    int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits; ++e) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    qvtesting::LogCapture quiet;
    if (auto groups = QVDashboardGroup::groupsWithArchiveData(damaged)) ++read;
  }
  EXPECT_GT(read, 0) << "some damage leaves a readable archive";
}

}  // namespace
