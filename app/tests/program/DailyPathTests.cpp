// A user's ordinary day with the program, end to end: a first start fills the dashboard with the
// built-in modules, a module is added through "Manage Modules…" and the add-module sheet, one of its
// options is edited in the edit sheet and its new result arrives, the theme is changed in the
// preferences, the program is quit from the tray menu, and the next start keeps all of it.
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableView>
#include <filesystem>
#include <memory>
#include <string>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVOptionCellViews.h"

namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

constexpr const char* kCountdown = "com.quorvane.countdown";
constexpr const char* kEventText = "Launch Day";

// Where the controls the user reaches for sit inside their windows, each in its own window's
// coordinates: measured on the same window classes laid out in the test process, with the same
// built-in modules the program lists.
struct Layout {
  QSize moduleConfigWindow;
  QPoint addModuleButton;   // the group detail pane's "+"
  QPoint editButtonOfRow4;  // the "Edit" button of the group's fifth module
  QPoint preferencesRow;    // the sidebar's "Preferences" row
  QPoint themeDropDown;     // on the general pane
  QPoint searchField;       // of the add-module sheet
  QPoint countdownTickBox;  // the add-module sheet's tick box of the one module left by the search
  QPoint addButton;         // the add-module sheet's "Add"
  QPoint eventField;        // the edit sheet's value field of the Countdown's "Event" option
  QPoint closeButton;       // the edit sheet's button that closes it
};

QPoint centreIn(QWidget* window, QWidget* child) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

class DailyPathXvfbTest : public ProgramTest {
 protected:
  // The output.json entry of the module with that display name, or null.
  std::optional<nlohmann::json> moduleEntry(const std::string& name) const {
    auto json = output();
    if (!json || !json->is_array()) return std::nullopt;
    for (const auto& group : *json)
      for (const auto& module : group.value("modules", nlohmann::json::array()))
        if (module.value("name", "") == name) return module;
    return std::nullopt;
  }
  std::string resultOf(const std::string& name) const {
    auto entry = moduleEntry(name);
    return entry && entry->value("success", false) ? entry->value("result", "") : std::string();
  }
  std::size_t moduleCount() const {
    auto json = output();
    std::size_t count = 0;
    if (json && json->is_array())
      for (const auto& group : *json) count += group.value("modules", nlohmann::json::array()).size();
    return count;
  }

  // Lays out the windows of the path in this process and measures them; nothing is written, no
  // module is run and nothing of the program's files is touched.
  Layout measure() {
    Layout layout;
    // The engine's folders of this process go elsewhere meanwhile: the program's stay untouched.
    useMeasuringFolders();
    auto manager = QVDashboardModuleManager::make();
    manager->reloadBundledModules();
    // The built-in group of a first start with the Countdown added to it.
    auto group = QVDashboardGroup::groupWithName("System");
    QVDashboardModule::Pointer countdown;
    for (const char* bundleID : {"com.quorvane.clock", "com.quorvane.systemload", "com.quorvane.memory",
                                 "com.quorvane.diskspace", kCountdown}) {
      for (const auto& module : manager->bundledModules())
        if (module->bundleID() == bundleID) group->addModule(module);
    }
    for (const auto& module : manager->bundledModules())
      if (module->bundleID() == kCountdown) countdown = module;
    manager->addGroup(group);
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
    layout.moduleConfigWindow = window->size();
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    if (detail) {
      layout.addModuleButton = centreIn(window, detail->addButton());
      auto* row = detail->tableView()->indexWidget(detail->model()->index(4, 0));
      auto* edit = row ? row->findChild<QPushButton*>() : nullptr;
      layout.editButtonOfRow4 = centreIn(window, edit);
      EXPECT_TRUE(edit && detail->tableView()->viewport()->rect().contains(
                              edit->mapTo(detail->tableView()->viewport(), edit->rect().center())))
          << "the fifth module's row is not in view";
    } else {
      ADD_FAILURE() << "the module configuration shows no group";
    }
    auto* sidebar = controller->tableView();
    layout.preferencesRow = sidebar->viewport()->mapTo(
        window, sidebar->visualItemRect(sidebar->item(PMMainWindowController::PreferencesRow)).center());

    auto* add = QVAddModuleWindowController::controllerWithManager(manager, controller);
    add->beginSheetInWindow(window);
    runUntil([&] { return add->window()->windowHandle() && add->window()->windowHandle()->isExposed(); }, 5);
    runFor(0.2);
    add->searchField()->setText(QStringLiteral("Countdown"));
    runFor(0.2);
    layout.searchField = centreIn(add->window(), add->searchField());
    layout.countdownTickBox = centreIn(add->window(), add->tickBoxAtRow(1));
    layout.addButton = centreIn(add->window(), add->nextButton());
    add->window()->hide();

    auto* sheet = QVEditModuleWindowController::controllerWithModule(countdown, manager, nullptr, controller);
    sheet->beginSheetInWindow(window);
    runUntil([&] { return sheet->window()->windowHandle() && sheet->window()->windowHandle()->isExposed(); },
             5);
    runFor(0.2);
    auto* options = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
    auto* eventCell = options ? qobject_cast<QVTextCellView*>(options->valueCellAtRow(3)) : nullptr;
    layout.eventField = centreIn(sheet->window(), eventCell ? eventCell->textField() : nullptr);
    layout.closeButton = centreOf(sheet->window(), "closeButton");
    sheet->window()->hide();

    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    runFor(0.3);
    layout.themeDropDown = centreOf(window, "themeDropDown");

    // Hidden, not closed: a close asks first.
    window->hide();
    controller->deleteLater();
    runFor(0.2);
    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    leaveMeasuringFolders();
    EXPECT_FALSE(fs::exists(supportFolder())) << "measuring touched the program's folder";
    return layout;
  }

  QPoint on(const QString& window, QPoint offset) const { return windowGeometry(window).topLeft() + offset; }

  // The mean brightness (0 to 255) of the window's inside on the screen.
  double brightnessOf(const QString& window) const {
    const QRect frame = windowGeometry(window);
    const QImage image = QGuiApplication::primaryScreen()
                             ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                             .toImage();
    double sum = 0;
    int count = 0;
    for (int y = 0; y < image.height(); y += 4)
      for (int x = 0; x < image.width(); x += 4) {
        sum += qGray(image.pixel(x, y));
        ++count;
      }
    return count ? sum / count : 0;
  }
};

TEST_F(DailyPathXvfbTest, AModuleAddedAndConfiguredAndAPreferenceChangedAreAllThereAfterQuitAndStart) {
  const Layout layout = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";

  // A fresh home: the dashboard with the built-in modules' results.
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  ASSERT_TRUE(runUntil([&] { return moduleCount() == 4 && !resultOf("Clock").empty(); }, 20))
      << "the built-in modules' results did not come";
  screenshot("1-first-start");

  // "Manage Modules…", the third entry of the tray icon's menu, opens the module configuration.
  clickTrayIcon(3);
  runFor(0.6);
  for (int i = 0; i < 3; ++i) key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  const QString preferences = waitForWindow(QStringLiteral("Module Config"));
  ASSERT_FALSE(preferences.isEmpty()) << "the module configuration did not open";
  runFor(0.5);
  EXPECT_EQ(windowGeometry(preferences).size(), layout.moduleConfigWindow);
  screenshot("2-module-config");

  // The Countdown is added to the group through the add-module sheet.
  clickAt(on(preferences, layout.addModuleButton));
  const QString addSheet = waitForWindow(QStringLiteral("Add Modules"));
  ASSERT_FALSE(addSheet.isEmpty()) << "the add-module sheet did not open";
  runFor(0.3);
  clickAt(on(addSheet, layout.searchField));
  typeText(QStringLiteral("Countdown"));
  runFor(0.3);
  clickAt(on(addSheet, layout.countdownTickBox));
  runFor(0.2);
  screenshot("3-add-sheet");
  clickAt(on(addSheet, layout.addButton));
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Add Modules")).isEmpty(); }, 5))
      << "the add-module sheet stayed";
  ASSERT_TRUE(runUntil([&] { return resultOf("Countdown").rfind("New Year", 0) == 0; }, 15))
      << "the added module's result did not come: " << resultOf("Countdown");
  EXPECT_EQ(moduleCount(), 5u);

  // Its "Event" option is edited in the edit sheet; the module runs again with it.
  clickAt(on(preferences, layout.editButtonOfRow4));
  const QString editSheet = waitForWindow(QStringLiteral("Countdown"));
  ASSERT_FALSE(editSheet.isEmpty()) << "the edit sheet did not open";
  runFor(0.3);
  clickAt(on(editSheet, layout.eventField));
  key(QStringLiteral("ctrl+a"));
  typeText(QString::fromUtf8(kEventText));
  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return resultOf("Countdown").rfind(kEventText, 0) == 0; }, 15))
      << "the result does not follow the option: " << resultOf("Countdown");
  screenshot("4-edit-sheet");
  clickAt(on(editSheet, layout.closeButton));
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Countdown")).isEmpty(); }, 5))
      << "the edit sheet stayed";

  // The theme becomes dark on the general pane.
  clickAt(on(preferences, layout.preferencesRow));
  ASSERT_FALSE(waitForWindow(QStringLiteral("Preferences")).isEmpty()) << "the general pane did not open";
  runFor(0.5);
  clickAt(on(preferences, layout.themeDropDown));
  runFor(0.5);
  // The list opens on the current choice; "Dark" is the second entry.
  key(QStringLiteral("Home"));
  key(QStringLiteral("Down"));
  screenshot("5-theme-list");
  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return settingsFile()->integerForKey("theme") == 1; }, 5))
      << "the theme was not stored";
  screenshot("6-dark-theme-chosen");

  // The dashboard shows the new result, in the dark theme.
  clickTrayIcon();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "the dashboard did not show";
  runFor(0.5);
  screenshot("7-dashboard-after-edits");
  EXPECT_LT(brightnessOf(dashboardWindow()), 128) << "the dashboard is not dark";

  // "Quit", the last entry of the tray icon's menu, ends the program.
  clickTrayIcon(3);
  runFor(0.6);
  key(QStringLiteral("Up"));
  key(QStringLiteral("Return"));
  const auto status = waitForExit(15);
  ASSERT_TRUE(status.has_value()) << "the program still runs after Quit";
  EXPECT_EQ(*status, 0);

  // The next start keeps the module, its option and the theme: the results come afresh.
  fs::remove(supportFolder() / "output.json");
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  ASSERT_TRUE(runUntil([&] { return resultOf("Countdown").rfind(kEventText, 0) == 0; }, 20))
      << "the module or its option was not kept: " << resultOf("Countdown");
  EXPECT_EQ(moduleCount(), 5u);
  EXPECT_EQ(settingsFile()->integerForKey("theme"), 1);
  runFor(0.5);
  screenshot("8-next-start");
  EXPECT_LT(brightnessOf(dashboardWindow()), 128) << "the dashboard is not dark after the start";
}

}  // namespace
