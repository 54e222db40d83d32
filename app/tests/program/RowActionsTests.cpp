// The rows of the module configuration answer as a desktop user expects: a right click on a group or a
// module opens its menu (run now, duplicate, move up and down, ...), the menu's shortcuts work on the
// selected row, and a group row dragged onto another row takes that row's place. Each change is seen in
// what the program writes and kept after quitting.
#include <QtGui/QWindow>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QTableView>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVEngineSettings.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"

namespace rowactionstest {
namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

// The groups the program starts with, by display name, with their modules' bundle identifiers.
struct StartGroup {
  const char* name;
  std::vector<const char*> bundleIDs;
};
const std::vector<StartGroup> kStartGroups = {{"Work", {"com.quorvane.uptime", "com.quorvane.memory"}},
                                              {"Home", {"com.quorvane.systemload"}},
                                              {"Play", {"com.quorvane.clock"}}};

// Where the rows sit inside the module configuration window, in its coordinates: measured on the same
// window laid out in the test process with the same groups.
struct RowLayout {
  QSize window;
  std::vector<QRect> groupRows;   // of the group list
  std::vector<QRect> moduleRows;  // of the shown group's module list
  int groupNameX = 0;             // a point over the group's name (not its emoji button)
  int moduleNameX = 0;            // a point over the module's name (not its "Edit" button)
};

// One step of a user: on a row, a menu entry (its underlined letter), a shortcut or a drag onto
// another row, and the rows' names as the program then writes them.
struct Step {
  const char* what;
  int row;
  enum Way { Menu, Shortcut, DragUpperHalf, DragLowerHalf } way;
  const char* keys;  // the menu entry's letter or the shortcut
  int toRow;         // for a drag
  std::vector<std::string> expected;
};

class RowActionsXvfbTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    // The program's built-in modules, read from where the program reads them.
    QVEngineEnvironment::setResourceFolder(fs::path(QV_APPLICATION_EXECUTABLE).parent_path().parent_path() /
                                           "resources");
    QVEngineEnvironment::setRunModuleHandler([](const std::shared_ptr<QVDashboardModule>&) {});
  }
  void TearDown() override {
    QVEngineEnvironment::setRunModuleHandler(nullptr);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    ProgramTest::TearDown();
  }

  // Writes the start groups as the program's groups archive (the default data is not loaded), lays
  // out the module configuration in this process with them, and starts the program on that window.
  void startWithGroups() {
    // The engine's folders of this process go elsewhere while the window is laid out here.
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    const QByteArray cacheHome = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root() / "measure" / "data").string()));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((root() / "measure" / "cache").string()));
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    auto manager = QVDashboardModuleManager::make();
    manager->reloadBundledModules();
    std::vector<QVDashboardGroup::Pointer> groups;
    for (const auto& start : kStartGroups) {
      auto group = QVDashboardGroup::groupWithName(std::string(start.name));
      for (const char* bundleID : start.bundleIDs)
        for (const auto& module : manager->bundledModules())
          if (module->bundleID() == bundleID) group->addModule(module);
      ASSERT_EQ(group->modules().size(), start.bundleIDs.size()) << "a built-in module is missing";
      for (const auto& module : group->modules()) uids_[module->moduleName().value_or("")] = module->uid();
      groups.push_back(group);
    }
    manager->updateGroups(groups);
    measure(manager);
    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    qputenv("XDG_DATA_HOME", dataHome);
    qputenv("XDG_CACHE_HOME", cacheHome);
    ASSERT_FALSE(HasFailure()) << "the window could not be measured";

    fs::create_directories(supportFolder());
    const auto archive = QVDashboardGroup::archivedDataWithGroups(groups);
    std::ofstream(supportFolder() / "Modules.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    auto settings = settingsFile();
    QVEngineSettings::setLoadedDefaults(*settings, true);
    settings->synchronize();

    // A first start shows the module configuration.
    launch();
    window_ = waitForWindow(QStringLiteral("Module Config"), 20);
    ASSERT_FALSE(window_.isEmpty()) << "the module configuration did not open";
    runFor(0.5);
    ASSERT_EQ(windowGeometry(window_).size(), layout_.window);
  }

  void measure(const QVDashboardModuleManager::Pointer& manager) {
    PMMainWindowController::setPaneFactory(
        PMMainWindowController::ModuleConfigRow, [manager](QObject* parent) {
          return QVEditorModuleViewController::controllerWithManager(manager, nullptr, parent);
        });
    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::ModuleConfigRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5);
    runFor(0.3);
    layout_.window = window->size();
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    if (!detail) {
      ADD_FAILURE() << "the module configuration shows no group";
    } else {
      auto rowsOf = [window](QTableView* table, std::vector<QRect>& rows) {
        for (int row = 0; row < 4; ++row) {
          // Rows past the end sit where they would be, one row height further down.
          const int count = table->model()->rowCount();
          QRect rect = table->visualRect(table->model()->index(std::min(row, count - 1), 0));
          rect.translate(0, std::max(0, row - (count - 1)) * rect.height());
          rows.emplace_back(table->viewport()->mapTo(window, rect.topLeft()), rect.size());
        }
      };
      rowsOf(editor->tableView(), layout_.groupRows);
      rowsOf(detail->tableView(), layout_.moduleRows);
      auto* groupName = editor->nameFieldAtRow(0);
      auto* moduleName = detail->nameFieldAtRow(0);
      if (groupName && moduleName) {
        layout_.groupNameX = groupName->mapTo(window, groupName->rect().center()).x();
        layout_.moduleNameX = moduleName->mapTo(window, QPoint(20, 0)).x();
      } else {
        ADD_FAILURE() << "the rows have no names";
      }
    }
    // Hidden, not closed: a close asks first.
    window->hide();
    controller->deleteLater();
    runFor(0.2);
  }

  // A point of the row on the screen, `fraction` of its height down.
  QPoint groupRowPoint(int row, double fraction = 0.5) const {
    const QRect rect = layout_.groupRows.at(static_cast<std::size_t>(row));
    return windowGeometry(window_).topLeft() +
           QPoint(layout_.groupNameX, rect.top() + static_cast<int>(rect.height() * fraction));
  }
  QPoint moduleRowPoint(int row, double fraction = 0.5) const {
    const QRect rect = layout_.moduleRows.at(static_cast<std::size_t>(row));
    return windowGeometry(window_).topLeft() +
           QPoint(layout_.moduleNameX, rect.top() + static_cast<int>(rect.height() * fraction));
  }

  // Presses the mouse on `from`, moves it in small steps to `to` and lets go there.
  void drag(QPoint from, QPoint to) {
    xdotool({QStringLiteral("mousemove"), QString::number(from.x()), QString::number(from.y())});
    runFor(0.1);
    xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
    runFor(0.1);
    constexpr int kSteps = 12;
    for (int i = 1; i <= kSteps; ++i) {
      const QPoint at = from + (to - from) * i / kSteps;
      xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y())});
      runFor(0.05);
    }
    runFor(0.2);
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
  }

  // Does the step on the rows whose points `at` gives; `menu` names the screenshot of the open menu.
  template <typename RowPoint>
  void perform(const Step& step, RowPoint at, const std::string& menu = {}) {
    switch (step.way) {
      case Step::Menu: {
        const auto before = windows().size();
        clickAt(at(step.row, 0.5), 3);
        ASSERT_TRUE(runUntil([&] { return windows().size() > before; }, 5)) << "no menu opened";
        runFor(0.2);
        if (!menu.empty()) screenshot(menu);
        key(QString::fromLatin1(step.keys));
        break;
      }
      case Step::Shortcut:
        clickAt(at(step.row, 0.5));
        runFor(0.2);
        key(QString::fromLatin1(step.keys));
        break;
      case Step::DragUpperHalf:
      case Step::DragLowerHalf:
        // Well inside the row, away from the lines between rows.
        drag(at(step.row, 0.5), at(step.toRow, step.way == Step::DragUpperHalf ? 0.3 : 0.7));
        break;
    }
  }

  // The groups, or the modules of the group `group`, as the program's output names them now.
  std::vector<std::string> outputGroups() const {
    std::vector<std::string> names;
    if (auto json = output(); json && json->is_array())
      for (const auto& group : *json) names.push_back(group.value("name", ""));
    return names;
  }
  std::vector<std::string> outputModules(const std::string& group) const {
    std::vector<std::string> names;
    if (auto json = output(); json && json->is_array())
      for (const auto& entry : *json)
        if (entry.value("name", "") == group)
          for (const auto& module : entry.value("modules", nlohmann::json::array()))
            names.push_back(module.value("name", ""));
    return names;
  }

  // The groups as the program keeps them in its groups archive: "Name: Module Module".
  std::vector<std::string> savedGroups() const {
    std::ifstream file(supportFolder() / "Modules.plist", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto groups = QVDashboardGroup::groupsWithArchiveData(platform::Data(bytes.begin(), bytes.end()));
    if (!groups) return {"(unreadable)"};
    std::vector<std::string> lines;
    for (const auto& group : *groups) {
      std::string line = group->name().value_or("") + ":";
      for (const auto& module : group->modules())
        line += " " + module->name().value_or(module->moduleName().value_or(""));
      lines.push_back(line);
    }
    return lines;
  }

  // How many runs of the module have finished, as its log file keeps them.
  int finishedRuns(const std::string& moduleName, const char* bundleID) const {
    std::ifstream file(supportFolder() / "Logs" /
                       (std::string(bundleID) + "_" + uids_.at(moduleName) + ".log"));
    int runs = 0;
    for (std::string line; std::getline(file, line);) {
      const auto json = nlohmann::json::parse(line, nullptr, false);
      if (json.is_object() && json.value("type", -1) == 4) ++runs;
    }
    return runs;
  }

  // "Quit", the last entry of the tray icon's menu.
  void quit() {
    clickTrayIcon(3);
    runFor(0.6);
    key(QStringLiteral("Up"));
    key(QStringLiteral("Return"));
    const auto status = waitForExit(15);
    ASSERT_TRUE(status.has_value()) << "the program still runs after Quit";
    EXPECT_EQ(*status, 0);
  }

  RowLayout layout_;
  QString window_;
  std::map<std::string, std::string> uids_;
};

TEST_F(RowActionsXvfbTest, GroupRowsAreDuplicatedAndMovedByMenuShortcutAndDrag) {
  ASSERT_NO_FATAL_FAILURE(startWithGroups());
  ASSERT_TRUE(runUntil(
      [&] {
        return outputGroups() == std::vector<std::string>{"Work", "Home", "Play"};
      },
      10))
      << "the program did not start with the groups";

  const Step steps[] = {
      {"Duplicate from the menu", 1, Step::Menu, "d", 0, {"Work", "Home", "Play", "Home"}},
      {"Move Down by its shortcut", 0, Step::Shortcut, "alt+Down", 0, {"Home", "Work", "Play", "Home"}},
      {"Move Up from the menu", 2, Step::Menu, "u", 0, {"Home", "Play", "Work", "Home"}},
      {"dragged onto the upper half of the first row",
       2,
       Step::DragUpperHalf,
       "",
       0,
       {"Work", "Home", "Play", "Home"}},
      {"dragged onto the lower half of the row below",
       0,
       Step::DragLowerHalf,
       "",
       1,
       {"Home", "Work", "Play", "Home"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_NO_FATAL_FAILURE(perform(
        step, [this](int row, double fraction) { return groupRowPoint(row, fraction); },
        &step == &steps[0] ? "group-menu" : ""));
    EXPECT_TRUE(runUntil([&] { return outputGroups() == step.expected; }, 5))
        << "the groups are now: " << testing::PrintToString(outputGroups());
    // A duplicated group is selected a moment after it is saved; the next step starts after that.
    runFor(0.3);
  }
  // Rename from the menu edits the name in place.
  ASSERT_NO_FATAL_FAILURE(perform({"Rename from the menu", 2, Step::Menu, "n", 0, {}},
                                  [this](int row, double fraction) { return groupRowPoint(row, fraction); }));
  runFor(0.2);
  key(QStringLiteral("ctrl+a"));
  typeText(QStringLiteral("Games"));
  key(QStringLiteral("Return"));
  EXPECT_TRUE(runUntil(
      [&] {
        return outputGroups() == std::vector<std::string>{"Home", "Work", "Games", "Home"};
      },
      5))
      << "the groups are now: " << testing::PrintToString(outputGroups());
  screenshot("groups-after");

  ASSERT_NO_FATAL_FAILURE(quit());
  EXPECT_EQ(savedGroups(), (std::vector<std::string>{"Home: System Load", "Work: Uptime Memory",
                                                     "Games: Clock", "Home: System Load"}));
}

TEST_F(RowActionsXvfbTest, ModuleRowsRunNowAreDuplicatedAndMovedByMenuAndShortcut) {
  ASSERT_NO_FATAL_FAILURE(startWithGroups());
  // The first group's modules are shown; each has run once at start.
  ASSERT_TRUE(runUntil([&] { return finishedRuns("Uptime", "com.quorvane.uptime") == 1; }, 15))
      << "Uptime did not run at start";
  ASSERT_TRUE(runUntil([&] { return finishedRuns("Memory", "com.quorvane.memory") == 1; }, 15))
      << "Memory did not run at start";

  const auto modulePoint = [this](int row, double fraction) { return moduleRowPoint(row, fraction); };
  // Run Now, from the menu and by its shortcut: one more run each, nothing else runs again.
  ASSERT_NO_FATAL_FAILURE(
      perform({"Run Now from the menu", 0, Step::Menu, "r", 0, {}}, modulePoint, "module-menu"));
  EXPECT_TRUE(runUntil([&] { return finishedRuns("Uptime", "com.quorvane.uptime") == 2; }, 10))
      << "Run Now from the menu did not run Uptime";
  ASSERT_NO_FATAL_FAILURE(
      perform({"Run Now by its shortcut", 1, Step::Shortcut, "ctrl+r", 0, {}}, modulePoint));
  EXPECT_TRUE(runUntil([&] { return finishedRuns("Memory", "com.quorvane.memory") == 2; }, 10))
      << "Run Now by its shortcut did not run Memory";
  EXPECT_EQ(finishedRuns("Uptime", "com.quorvane.uptime"), 2);

  const Step steps[] = {
      {"Duplicate by its shortcut", 1, Step::Shortcut, "ctrl+d", 0, {"Uptime", "Memory", "Memory"}},
      {"Move Up from the menu", 1, Step::Menu, "u", 0, {"Memory", "Uptime", "Memory"}},
      {"Move Down by its shortcut", 0, Step::Shortcut, "alt+Down", 0, {"Uptime", "Memory", "Memory"}},
      {"Duplicate from the menu", 0, Step::Menu, "d", 0, {"Uptime", "Memory", "Memory", "Uptime"}},
      {"Move Up by its shortcut", 3, Step::Shortcut, "alt+Up", 0, {"Uptime", "Memory", "Uptime", "Memory"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_NO_FATAL_FAILURE(perform(step, modulePoint));
    EXPECT_TRUE(runUntil([&] { return outputModules("Work") == step.expected; }, 5))
        << "the modules are now: " << testing::PrintToString(outputModules("Work"));
  }
  screenshot("modules-after");

  ASSERT_NO_FATAL_FAILURE(quit());
  EXPECT_EQ(savedGroups(), (std::vector<std::string>{"Work: Uptime Memory Uptime Memory", "Home: System Load",
                                                     "Play: Clock"}));
}

}  // namespace
}  // namespace rowactionstest
