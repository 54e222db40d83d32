// Windows that open over the preferences window, as the window manager shows them: a sheet hangs
// from its own window and stays on the screen wherever that window is, the dashboard takes its place
// among the other windows as the keep-above setting says, and the install chooser of the custom
// modules offers module packages (and only those can be chosen).
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtGui/QWindow>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QWidget>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVUserModuleEditorViewController.h"

namespace qvsheets {

namespace fs = std::filesystem;

// Where the controls the tests reach for sit, each in its own window's coordinates: measured on the
// same window classes laid out in the test process.
struct PreferencesPoints {
  QPoint moduleConfigRow;  // the sidebar's rows
  QPoint customModulesRow;
  QPoint preferencesRow;
  QPoint addModuleButton;     // the group detail pane's "+", in the Module Config window
  QPoint addSheetCancel;      // the add-module sheet's "Cancel"
  QPoint installButton;       // the custom modules pane's "Install…"
  QPoint backgroundCheckbox;  // on the general pane
  QPoint keepAboveCheckbox;
};

QPoint centreWithin(QWidget* window, QWidget* child) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

class PreferencesWindowTest : public qvprogram::ProgramTest {
 protected:
  // Lays the preferences window and the add-module sheet out in this process and measures them;
  // nothing of the program's files is touched.
  PreferencesPoints measure() {
    PreferencesPoints points;
    // The engine's folders of this process go elsewhere meanwhile: the program's stay untouched.
    useMeasuringFolders();
    auto manager = QVDashboardModuleManager::make();
    manager->reloadBundledModules();
    auto group = QVDashboardGroup::groupWithName("System");
    for (const auto& module : manager->bundledModules()) {
      if (group->modules().size() < 4) group->addModule(module);
    }
    manager->addGroup(group);
    PMMainWindowController::setPaneFactory(
        PMMainWindowController::ModuleConfigRow, [manager](QObject* parent) {
          return QVEditorModuleViewController::controllerWithManager(manager, nullptr, parent);
        });
    PMMainWindowController::setPaneFactory(
        PMMainWindowController::CustomModulesRow, [manager](QObject* parent) {
          return QVUserModuleEditorViewController::controllerWithManager(manager, parent);
        });

    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::ModuleConfigRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5);
    runFor(0.3);
    auto* sidebar = controller->tableView();
    auto rowCentre = [&](int row) {
      return sidebar->viewport()->mapTo(window, sidebar->visualItemRect(sidebar->item(row)).center());
    };
    points.moduleConfigRow = rowCentre(PMMainWindowController::ModuleConfigRow);
    points.customModulesRow = rowCentre(PMMainWindowController::CustomModulesRow);
    points.preferencesRow = rowCentre(PMMainWindowController::PreferencesRow);
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    points.addModuleButton = centreWithin(window, detail ? detail->addButton() : nullptr);

    auto* add = QVAddModuleWindowController::controllerWithManager(manager, controller);
    add->beginSheetInWindow(window);
    runUntil([&] { return add->window()->windowHandle() && add->window()->windowHandle()->isExposed(); }, 5);
    runFor(0.2);
    points.addSheetCancel = centreWithin(add->window(), add->cancelButton());
    add->window()->hide();

    controller->selectModuleAtRow(PMMainWindowController::CustomModulesRow);
    runFor(0.3);
    points.installButton = centreOf(window, "installButton");
    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    runFor(0.3);
    points.backgroundCheckbox = centreOf(window, "backgroundCheckbox");
    points.keepAboveCheckbox = centreOf(window, "keepAboveCheckbox");

    // Hidden, not closed: a close asks first.
    window->hide();
    controller->deleteLater();
    runFor(0.2);
    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    PMMainWindowController::setPaneFactory(PMMainWindowController::CustomModulesRow, {});
    leaveMeasuringFolders();
    return points;
  }

  // Opens the preferences window from the tray icon's menu: "Manage Modules…" is its third entry,
  // "Preferences…" its fifth. The window, once it is shown with that title.
  QString openFromTrayMenu(int downs, const QString& title) {
    const auto before = windows().size();
    clickTrayIcon(3);
    if (!runUntil([&] { return windows().size() > before; }, 5)) {
      ADD_FAILURE() << "the tray menu did not open";
      return {};
    }
    runFor(0.3);
    for (int i = 0; i < downs; ++i) key(QStringLiteral("Down"));
    key(QStringLiteral("Return"));
    const auto window = waitForWindow(title);
    if (window.isEmpty()) ADD_FAILURE() << "the window \"" << title.toStdString() << "\" did not open";
    return window;
  }

  QPoint on(const QString& window, QPoint offset) const { return windowGeometry(window).topLeft() + offset; }

  // The window's frame on the screen: its inside with the window manager's decorations around it.
  QRect frameOf(const QString& window) const {
    const QRect inside = windowGeometry(window);
    const auto extents = property(window, QStringLiteral("_NET_FRAME_EXTENTS")).split(',');
    if (extents.size() != 4) return inside;
    return inside.adjusted(-extents[0].trimmed().toInt(), -extents[2].trimmed().toInt(),
                           extents[1].trimmed().toInt(), extents[3].trimmed().toInt());
  }

  // The root window's X property as xprop prints it (the part after "=" or ":").
  static QString rootProperty(const QString& name) {
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), name});
    xprop.waitForFinished(5000);
    const QString text = QString::fromUtf8(xprop.readAllStandardOutput());
    const auto at = text.indexOf(QRegularExpression(QStringLiteral("[=:]")));
    return at < 0 ? QString() : text.mid(at + 1).trimmed();
  }

  // The part of the screen that windows may take (without the tray's strip).
  static QRect workArea() {
    const auto values = rootProperty(QStringLiteral("_NET_WORKAREA")).split(',');
    if (values.size() < 4) return {};
    return QRect(values[0].trimmed().toInt(), values[1].trimmed().toInt(), values[2].trimmed().toInt(),
                 values[3].trimmed().toInt());
  }

  // The managed windows from the bottom of the stack to its top (decimal ids).
  static QStringList stacking() {
    QStringList ids;
    static const QRegularExpression hex(QStringLiteral("0x[0-9a-fA-F]+"));
    auto matches = hex.globalMatch(rootProperty(QStringLiteral("_NET_CLIENT_LIST_STACKING")));
    while (matches.hasNext()) ids << QString::number(matches.next().captured(0).toULongLong(nullptr, 16));
    return ids;
  }
  static bool isAbove(const QString& upper, const QString& lower) {
    const auto order = stacking();
    return order.contains(upper) && order.contains(lower) && order.indexOf(upper) > order.indexOf(lower);
  }

  // The window that `window` is transient for (decimal), or an empty string.
  QString ownerOf(const QString& window) const {
    static const QRegularExpression hex(QStringLiteral("0x[0-9a-fA-F]+"));
    const auto match = hex.match(property(window, QStringLiteral("WM_TRANSIENT_FOR")));
    return match.hasMatch() ? QString::number(match.captured(0).toULongLong(nullptr, 16)) : QString();
  }

  void moveWindow(const QString& window, QPoint to) {
    xdotool({QStringLiteral("windowmove"), QStringLiteral("--sync"), window, QString::number(to.x()),
             QString::number(to.y())});
    runFor(0.3);
  }
};

// ---- Sheets hang from their window and stay on the screen ----

class SheetPlacementXvfbTest : public PreferencesWindowTest {};

TEST_F(SheetPlacementXvfbTest, TheAddModuleSheetHangsFromItsWindowAndStaysOnTheScreen) {
  const PreferencesPoints points = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QString preferences = openFromTrayMenu(3, QStringLiteral("Module Config"));
  ASSERT_FALSE(preferences.isEmpty());
  const QRect screen = workArea();
  ASSERT_FALSE(screen.isEmpty()) << "the desktop tells no work area";

  // The first sheet of the run with its window in the middle of the screen, then with the window
  // pushed up to the top edge (its own title bar beyond it).
  struct Case {
    const char* name;
    QPoint windowAt;
  };
  for (const Case& place : {Case{"middle", {120, 220}}, Case{"top", {150, 0}}}) {
    SCOPED_TRACE(place.name);
    moveWindow(preferences, place.windowAt);
    activate(preferences);
    clickAt(on(preferences, points.addModuleButton));
    const QString sheet = waitForWindow(QStringLiteral("Add Modules"));
    ASSERT_FALSE(sheet.isEmpty()) << "the add-module sheet did not open";
    runFor(0.5);
    screenshot(std::string("add-sheet-") + place.name);

    EXPECT_EQ(ownerOf(sheet).toStdString(), preferences.toStdString())
        << "the sheet does not belong to the preferences window";
    const QRect parent = windowGeometry(preferences);
    const QRect frame = frameOf(sheet);
    EXPECT_TRUE(screen.contains(frame))
        << "the sheet's frame (" << frame.x() << ", " << frame.y() << ", " << frame.width() << " x "
        << frame.height() << ") is not wholly inside the work area";
    EXPECT_NEAR(windowGeometry(sheet).center().x(), parent.center().x(), 2)
        << "the sheet is not centred on its window";
    // It hangs from the top of the window's inside, unless that would take it off the screen.
    EXPECT_EQ(frame.top(), std::max(parent.top(), screen.top())) << "the sheet does not hang from its window";

    clickAt(on(sheet, points.addSheetCancel));
    ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Add Modules")).isEmpty(); }, 5))
        << "the sheet did not close";
  }
}

// ---- The dashboard among the other windows ----

class DashboardStackingXvfbTest : public PreferencesWindowTest {};

TEST_F(DashboardStackingXvfbTest, TheDashboardStaysAboveOnlyWhenTheSettingSaysSo) {
  const PreferencesPoints points = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QString dashboard = dashboardWindow();
  const QString preferences = openFromTrayMenu(3, QStringLiteral("Module Config"));
  ASSERT_FALSE(preferences.isEmpty());
  ASSERT_FALSE(dashboardWindow().isEmpty()) << "the dashboard went with the preferences window up";
  // The two overlap, as they do when the preferences window opens over the dashboard.
  const QRect dashboardFrame = windowGeometry(dashboard);
  moveWindow(preferences, dashboardFrame.topLeft() - QPoint(80, 60));
  ASSERT_TRUE(windowGeometry(preferences).intersects(dashboardFrame));
  const auto aboveState = [&] {
    return property(dashboard, QStringLiteral("_NET_WM_STATE"))
        .contains(QStringLiteral("_NET_WM_STATE_ABOVE"));
  };

  // Off (the default): working in the preferences window and its sheet puts both over the dashboard.
  activate(preferences);
  clickAt(on(preferences, points.addModuleButton));
  const QString sheet = waitForWindow(QStringLiteral("Add Modules"));
  ASSERT_FALSE(sheet.isEmpty()) << "the add-module sheet did not open";
  activate(sheet);
  runFor(0.5);
  screenshot("keep-above-off-sheet");
  EXPECT_TRUE(isAbove(preferences, dashboard)) << "the dashboard is above the preferences window";
  EXPECT_TRUE(isAbove(sheet, dashboard)) << "the dashboard is above the sheet";
  EXPECT_FALSE(aboveState());
  clickAt(on(sheet, points.addSheetCancel));
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Add Modules")).isEmpty(); }, 5));
  activate(dashboard);
  activate(preferences);
  runFor(0.3);
  EXPECT_TRUE(isAbove(preferences, dashboard))
      << "the activated preferences window stays below the dashboard";

  // Another program's window over the dashboard: activated, it comes above the dashboard exactly while
  // the setting is off. The setting goes on and off again on the general pane, whose window moves out
  // of the way (the dashboard floats over it while the setting is on).
  moveWindow(preferences, workArea().topLeft());
  QWidget other;
  other.setWindowTitle(QStringLiteral("Another Program"));
  other.setGeometry(dashboardFrame.translated(60, 40));
  other.show();
  ASSERT_TRUE(runUntil([&] { return other.windowHandle() && other.windowHandle()->isExposed(); }, 5));
  const QString otherWindow = QString::number(other.winId());
  clickAt(on(preferences, points.preferencesRow));
  ASSERT_FALSE(waitForWindow(QStringLiteral("Preferences")).isEmpty()) << "the general pane did not open";
  runFor(0.3);
  clickAt(on(preferences, points.backgroundCheckbox));
  for (const bool keepAbove : {false, true, false}) {
    SCOPED_TRACE(keepAbove ? "keep above on" : "keep above off");
    if (keepAbove != settingsFile()->boolForKey("shouldKeepAbove")) {
      activate(preferences);
      clickAt(on(preferences, points.keepAboveCheckbox));
      ASSERT_TRUE(runUntil([&] { return settingsFile()->boolForKey("shouldKeepAbove") == keepAbove; }, 5))
          << "the keep-above setting was not stored";
      runFor(0.3);
    }
    activate(otherWindow);
    runFor(0.5);
    screenshot(keepAbove ? "keep-above-on" : "keep-above-off");
    EXPECT_EQ(aboveState(), keepAbove);
    EXPECT_EQ(isAbove(dashboard, otherWindow), keepAbove)
        << "stacking: " << stacking().join(' ').toStdString();
    ASSERT_FALSE(dashboardWindow().isEmpty()) << "the dashboard went away";
  }
}

// ---- The install chooser of the custom modules ----

class InstallChooserXvfbTest : public PreferencesWindowTest {};

TEST_F(InstallChooserXvfbTest, OffersModulePackagesAndInstallsTheChosenOne) {
  const PreferencesPoints points = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";
  // A folder with a package, a plain folder and a plain file: the folder sorts before the package,
  // the file after it.
  const fs::path folder = root() / "Downloads";
  fs::create_directories(folder / "b-Plain Folder");
  fs::copy(fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule",
           folder / "y-Example.quorvanemodule", fs::copy_options::recursive);
  std::ofstream(folder / "z-notes.txt") << "not a module\n";
  const fs::path installed = supportFolder() / "Modules" / "y-Example.quorvanemodule";

  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QString preferences = openFromTrayMenu(5, QStringLiteral("Preferences"));
  ASSERT_FALSE(preferences.isEmpty());
  clickAt(on(preferences, points.customModulesRow));
  ASSERT_FALSE(waitForWindow(QStringLiteral("Custom Modules")).isEmpty())
      << "the custom modules did not open";
  runFor(0.3);
  const QString chooserTitle = QStringLiteral("Select the module you want to install");
  clickAt(on(preferences, points.installButton));
  const QString chooser = waitForWindow(chooserTitle);
  ASSERT_FALSE(chooser.isEmpty()) << "the install chooser did not open";
  runFor(0.3);
  // An alert over the preferences window (the chooser is the one window there while it is up).
  const auto alertShown = [&] {
    for (const auto& window : windows())
      if (window != chooser && ownerOf(window) == preferences) return true;
    return false;
  };
  // Types into the chooser's name field in place of what it holds.
  const auto typeName = [&](const QString& text) {
    key(QStringLiteral("ctrl+a"));
    typeText(text);
    key(QStringLiteral("Return"));
  };
  const auto chooserStays = [&] {
    runFor(0.8);
    return windows().contains(chooser) && !alertShown() && !fs::exists(installed);
  };

  // Typed folders open in the chooser; they are not chosen.
  typeName(QString::fromStdString(folder.string()));
  const bool stayed = chooserStays();
  screenshot("chooser-folder");
  ASSERT_TRUE(stayed) << "typing a folder chose it";
  typeName(QStringLiteral("b-Plain Folder"));
  ASSERT_TRUE(chooserStays()) << "typing a plain folder chose it";

  // A plain file cannot be chosen.
  typeName(QString::fromStdString((folder / "z-notes.txt").string()));
  ASSERT_TRUE(chooserStays()) << "a plain file was chosen";
  EXPECT_TRUE(fs::exists(folder / "z-notes.txt"));

  // Back in the folder, the listing's last entry is the package (the file is not offered); taking it
  // from the list installs it.
  typeName(QString::fromStdString(folder.string()));
  ASSERT_TRUE(chooserStays()) << "typing the folder again chose it";
  key(QStringLiteral("shift+Tab"));
  key(QStringLiteral("End"));
  runFor(0.3);
  screenshot("chooser-package-selected");
  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return fs::exists(installed / "package.json"); }, 10))
      << "the package taken from the listing was not installed";
  EXPECT_TRUE(runUntil([&] { return !windows().contains(chooser); }, 5)) << "the chooser stayed";
  EXPECT_FALSE(fs::exists(folder / "y-Example.quorvanemodule"));
  runFor(0.5);
  EXPECT_FALSE(alertShown()) << "installing the package was refused";
  screenshot("installed");
}

}  // namespace qvsheets
