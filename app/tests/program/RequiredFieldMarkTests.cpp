// The dashboard's mark of a module that misses a required option (the caution icon in place of its
// value) follows the option as the user edits it in the edit sheet: emptied, the mark comes at once;
// filled in again, it goes at once and the module's value comes back, without anything else reloading
// the dashboard. The web sharing's dashboard output says the same.
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableView>
#include <filesystem>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVOptionCellViews.h"

namespace requiredfieldmark {
namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

constexpr const char* kDiskSpace = "Disk Space";

// Where the controls sit inside their windows, measured on the same window classes laid out in the
// test process with the built-in modules of a first start.
struct Layout {
  QPoint editButtonOfDiskSpace;  // the group detail pane's "Edit" of the fourth module
  QPoint folderField;            // the edit sheet's value field of the Disk Space's "Folder" option
  QPoint closeButton;            // the edit sheet's button that closes it
};

QPoint centreIn(QWidget* window, QWidget* child) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

class RequiredFieldMarkXvfbTest : public ProgramTest {
 protected:
  std::optional<nlohmann::json> moduleEntry(const std::string& name) const {
    auto json = output();
    if (!json || !json->is_array()) return std::nullopt;
    for (const auto& group : *json)
      for (const auto& module : group.value("modules", nlohmann::json::array()))
        if (module.value("name", "") == name) return module;
    return std::nullopt;
  }
  bool succeeded(const std::string& name) const {
    auto entry = moduleEntry(name);
    return entry && entry->value("success", false);
  }
  bool missesFields(const std::string& name) const {
    auto entry = moduleEntry(name);
    return entry && !entry->value("hasAllRequiredFields", true);
  }

  // The dashboard's pixels of the caution colour (the missing-fields icon), counted on the screen.
  int cautionPixels() const {
    const QString window = dashboardWindow();
    if (window.isEmpty()) return -1;
    const QRect frame = windowGeometry(window);
    const QImage image = QGuiApplication::primaryScreen()
                             ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                             .toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor colour = image.pixelColor(x, y);
        if (colour.red() > 200 && colour.green() > 150 && colour.blue() < 90 &&
            colour.red() - colour.blue() > 150)
          ++count;
      }
    return count;
  }

  Layout measure() {
    Layout layout;
    // The engine's folders of this process go elsewhere meanwhile: the program's stay untouched.
    useMeasuringFolders();
    auto manager = QVDashboardModuleManager::make();
    manager->reloadBundledModules();
    auto group = QVDashboardGroup::groupWithName("System");
    QVDashboardModule::Pointer diskSpace;
    for (const char* bundleID :
         {"com.quorvane.clock", "com.quorvane.systemload", "com.quorvane.memory", "com.quorvane.diskspace"}) {
      for (const auto& module : manager->bundledModules())
        if (module->bundleID() == bundleID) group->addModule(module);
    }
    diskSpace = group->modules().back();
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
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    if (detail) {
      auto* row = detail->tableView()->indexWidget(detail->model()->index(3, 0));
      layout.editButtonOfDiskSpace = centreIn(window, row ? row->findChild<QPushButton*>() : nullptr);
    } else {
      ADD_FAILURE() << "the module configuration shows no group";
    }

    auto* sheet = QVEditModuleWindowController::controllerWithModule(diskSpace, manager, nullptr, controller);
    sheet->beginSheetInWindow(window);
    runUntil([&] { return sheet->window()->windowHandle() && sheet->window()->windowHandle()->isExposed(); },
             5);
    runFor(0.2);
    auto* options = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
    auto* folder = options ? qobject_cast<QVTextCellView*>(options->valueCellAtRow(3)) : nullptr;
    layout.folderField = centreIn(sheet->window(), folder ? folder->textField() : nullptr);
    layout.closeButton = centreOf(sheet->window(), "closeButton");
    sheet->window()->hide();

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

  // Types into the sheet's field as a user does: click, select all, type (nothing: delete), Return.
  void retype(const QString& sheet, QPoint field, const QString& text) {
    clickAt(on(sheet, field));
    key(QStringLiteral("ctrl+a"));
    if (text.isEmpty()) {
      key(QStringLiteral("BackSpace"));
    } else {
      typeText(text);
    }
    key(QStringLiteral("Return"));
  }

  // The dashboard on the screen where neither the preferences window nor the sheet covers it, as a
  // user would move them to see all three: the dashboard in the top right corner under the tray, the
  // two others in the bottom left one. The tray icon brings the dashboard back when the opening of
  // the preferences took it away.
  void arrangeWindows(const QString& preferences, const QString& sheet) {
    if (dashboardWindow().isEmpty()) clickTrayIcon();
    ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "the dashboard did not show";
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QString dashboard = dashboardWindow();
    const QRect frame = windowGeometry(dashboard);
    auto move = [](const QString& window, int x, int y) {
      xdotool({QStringLiteral("windowmove"), window, QString::number(x), QString::number(y)});
    };
    move(dashboard, screen.right() - frame.width() - 8, 40);
    for (const auto& window : {preferences, sheet})
      move(window, 0, screen.bottom() - windowGeometry(window).height() - 30);
    ASSERT_TRUE(runUntil(
        [&] {
          const QRect shown = windowGeometry(dashboard);
          return !shown.intersects(windowGeometry(preferences)) && !shown.intersects(windowGeometry(sheet));
        },
        5))
        << "the windows could not be put side by side";
    runFor(0.3);
  }
};

TEST_F(RequiredFieldMarkXvfbTest, TheMarkFollowsARequiredOptionEditedInTheEditSheet) {
  const Layout layout = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";

  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  ASSERT_TRUE(runUntil([&] { return succeeded(kDiskSpace); }, 20)) << "the Disk Space's result did not come";

  // "Manage Modules…", the third entry of the tray icon's menu; then the Disk Space's "Edit".
  clickTrayIcon(3);
  runFor(0.6);
  for (int i = 0; i < 3; ++i) key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  const QString preferences = waitForWindow(QStringLiteral("Module Config"));
  ASSERT_FALSE(preferences.isEmpty()) << "the module configuration did not open";
  runFor(0.5);
  clickAt(on(preferences, layout.editButtonOfDiskSpace));
  const QString sheet = waitForWindow(QString::fromUtf8(kDiskSpace));
  ASSERT_FALSE(sheet.isEmpty()) << "the edit sheet did not open";
  runFor(0.3);
  ASSERT_NO_FATAL_FAILURE(arrangeWindows(preferences, sheet));
  EXPECT_EQ(cautionPixels(), 0) << "a mark before any edit";
  screenshot("1-before");

  // The folder emptied: the mark comes at once, in place of the value.
  activate(sheet);
  retype(sheet, layout.folderField, QString());
  EXPECT_TRUE(runUntil([&] { return missesFields(kDiskSpace); }, 5))
      << "the output still has the module whole";
  EXPECT_TRUE(runUntil([&] { return cautionPixels() > 20; }, 5)) << "no mark: " << cautionPixels();
  screenshot("2-emptied");

  // Filled in again: the mark goes at once and the value comes back.
  activate(sheet);
  retype(sheet, layout.folderField, QStringLiteral("/"));
  EXPECT_TRUE(runUntil([&] { return succeeded(kDiskSpace); }, 10)) << "the module's result did not come back";
  EXPECT_TRUE(runUntil([&] { return cautionPixels() == 0; }, 5)) << "the mark stayed: " << cautionPixels();
  screenshot("3-filled");
  clickAt(on(sheet, layout.closeButton));
  EXPECT_TRUE(runUntil([&] { return windowNamed(QString::fromUtf8(kDiskSpace)).isEmpty(); }, 5))
      << "the edit sheet stayed";
}

}  // namespace
}  // namespace requiredfieldmark
