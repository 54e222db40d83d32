// The theme as a user sees it, in both themes: the program starts with the light or the dark theme
// chosen in its settings, and the dashboard, its settings menu, the tray menu, the module
// configuration with a group's modules, the add-module sheet, a delete alert, the edit sheet with its
// option editor and the general preferences pane are opened in turn. Each is read back from the
// screen: its surfaces are in the theme's colours (dark in the dark theme, light in the light one)
// and its texts are readable, measured as the contrast between a text's own pixels and the
// background around them.
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionButton>
#include <QtWidgets/QTableView>
#include <QtWidgets/QTableWidget>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "uikit/ZKAlert.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVOptionCellViews.h"

namespace themecontrast {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

// ---- Reading colours off the screen ----

// The WCAG relative luminance of a colour on the screen.
double luminance(QRgb rgb) {
  auto channel = [](int value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

// The WCAG contrast ratio of two colours (1 to 21).
double contrast(QRgb a, QRgb b) {
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QString hex(QRgb rgb) { return QColor(rgb).name(); }

// What a box of the screen shows: its background (the most common colour in it) and its ink (the
// pixel that stands out most from that background), with their contrast.
struct Reading {
  QRgb background = 0;
  QRgb ink = 0;
  double ratio = 1;
  std::string describe() const {
    return QStringLiteral("%1 on %2 (%3:1)")
        .arg(hex(ink), hex(background))
        .arg(ratio, 0, 'f', 2)
        .toStdString();
  }
};

Reading read(const QImage& screen, const QRect& box) {
  Reading reading;
  const QRect inside = box.intersected(screen.rect());
  if (inside.isEmpty()) return reading;
  QHash<QRgb, int> counts;
  for (int y = inside.top(); y <= inside.bottom(); ++y)
    for (int x = inside.left(); x <= inside.right(); ++x) ++counts[screen.pixel(x, y) & 0xFFFFFF];
  int most = 0;
  for (auto it = counts.cbegin(); it != counts.cend(); ++it)
    if (it.value() > most) most = it.value(), reading.background = it.key();
  reading.ink = reading.background;
  for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
    const double ratio = contrast(it.key(), reading.background);
    if (ratio > reading.ratio) reading.ratio = ratio, reading.ink = it.key();
  }
  return reading;
}

// WCAG's minimum contrasts: body text, and large or bold text and the outlines of controls.
constexpr double kBodyText = 4.5;
constexpr double kBoldText = 3.0;

// ---- Where things sit inside their windows ----

// Boxes and points in their own window's coordinates, measured on the same window classes laid out
// in the test process over the same built-in modules.
struct Layout {
  // The module configuration window with the group detail pane.
  std::vector<QRect> moduleNames;    // bold
  std::vector<QRect> moduleDetails;  // regular
  QRect editButtonText;              // of the first module
  QPoint firstRow;                   // a point of the first module's row off its controls
  QPoint addButton;
  QPoint removeButton;
  QPoint preferencesRow;
  QPoint moduleConfigRow;
  QPoint firstEditButton;
  // The general preferences pane.
  std::vector<QRect> paneLabels;
  std::vector<QRect> checkBoxTexts;
  std::vector<QRect> checkBoxIndicators;
  QPoint themeDropDown;
  // The add-module sheet.
  std::vector<QRect> addSheetRows;
  QRect addSheetCancelText;
  // The delete alert.
  QRect alertMessage;
  QRect alertInformative;
  // The edit sheet: its tab buttons (the first one is the selected one) and the option editor's
  // tick box of the "24-hour time" option.
  std::vector<QRect> tabButtons;
  QPoint optionTickBox;
  QRect optionTickBoxIndicator;
  QPoint closeButton;
};

QRect boxIn(QWidget* window, QWidget* child, int inset = 0) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return QRect(child->mapTo(window, QPoint(0, 0)), child->size()).adjusted(inset, inset, -inset, -inset);
}

QRect indicatorIn(QWidget* window, QAbstractButton* box) {
  if (!box) return {};
  QStyleOptionButton option;
  option.initFrom(box);
  const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
  // With a margin around it: the surface around the box is what its outline must stand out from.
  return QRect(box->mapTo(window, indicator.topLeft()), indicator.size()).adjusted(-3, -3, 3, 3);
}

QRect textOfCheckBoxIn(QWidget* window, QAbstractButton* box) {
  if (!box) return {};
  QStyleOptionButton option;
  option.initFrom(box);
  const QRect text = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
  return QRect(box->mapTo(window, text.topLeft()), text.size());
}

template <typename Widget>
Widget* shownTopLevel() {
  for (auto* widget : QApplication::topLevelWidgets())
    if (auto* found = qobject_cast<Widget*>(widget); found && found->isVisible()) return found;
  return nullptr;
}

class ThemeContrastXvfbTest : public ProgramTest, public ::testing::WithParamInterface<int> {
 protected:
  // The theme shown: the one started with, or the other one once it was switched.
  bool dark() const { return (GetParam() == 1) != switched_; }
  bool switched_ = false;
  std::string themeName() const { return dark() ? "dark" : "light"; }

  // Lays out the windows in this process and measures them; nothing of the program's files is
  // touched.
  Layout measure() {
    Layout layout;
    // The engine's folders of this process go elsewhere meanwhile: the program's stay untouched.
    useMeasuringFolders();
    auto manager = QVDashboardModuleManager::make();
    manager->reloadBundledModules();
    // The built-in group of a first start.
    auto group = QVDashboardGroup::groupWithName("System");
    QVDashboardModule::Pointer clock;
    for (const char* bundleID :
         {"com.quorvane.clock", "com.quorvane.systemload", "com.quorvane.memory", "com.quorvane.diskspace"}) {
      for (const auto& module : manager->bundledModules())
        if (module->bundleID() == bundleID) group->addModule(module);
    }
    clock = group->modules().empty() ? nullptr : group->modules().front();
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
      for (int row = 0; row < static_cast<int>(group->modules().size()); ++row) {
        auto* name = detail->nameFieldAtRow(row);
        auto* cell = name ? name->parentWidget() : nullptr;
        layout.moduleNames.push_back(boxIn(window, name));
        layout.moduleDetails.push_back(
            boxIn(window, cell ? cell->findChild<QLabel*>("detailLabel") : nullptr));
      }
      auto* row = detail->tableView()->indexWidget(detail->model()->index(0, 0));
      auto* edit = row ? row->findChild<QPushButton*>() : nullptr;
      layout.editButtonText = boxIn(window, edit, 4);
      layout.firstEditButton = boxIn(window, edit).center();
      layout.firstRow = boxIn(window, row).topLeft() + QPoint(3, 3);
      layout.addButton = boxIn(window, detail->addButton()).center();
      layout.removeButton = boxIn(window, detail->removeButton()).center();
    } else {
      ADD_FAILURE() << "the module configuration shows no group";
    }
    auto* sidebar = controller->tableView();
    layout.preferencesRow = sidebar->viewport()->mapTo(
        window, sidebar->visualItemRect(sidebar->item(PMMainWindowController::PreferencesRow)).center());
    layout.moduleConfigRow = sidebar->viewport()->mapTo(
        window, sidebar->visualItemRect(sidebar->item(PMMainWindowController::ModuleConfigRow)).center());

    // The add-module sheet: the rows of the built-in modules, and its "Cancel".
    auto* add = QVAddModuleWindowController::controllerWithManager(manager, controller);
    add->beginSheetInWindow(window);
    runUntil([&] { return add->window()->windowHandle() && add->window()->windowHandle()->isExposed(); }, 5);
    runFor(0.2);
    if (auto* table = add->tableView()) {
      for (int r = 0; r < std::min(table->rowCount(), 4); ++r) {
        QRect box;
        for (int c = 0; c < table->columnCount(); ++c) {
          if (table->cellWidget(r, c)) continue;
          box = box.united(table->visualRect(table->model()->index(r, c)));
        }
        if (!box.isEmpty())
          layout.addSheetRows.push_back(
              QRect(table->viewport()->mapTo(add->window(), box.topLeft()), box.size()));
      }
    }
    layout.addSheetCancelText = boxIn(add->window(), add->cancelButton(), 4);
    add->window()->hide();

    // The edit sheet of the Clock.
    auto* sheet = QVEditModuleWindowController::controllerWithModule(clock, manager, nullptr, controller);
    sheet->beginSheetInWindow(window);
    runUntil([&] { return sheet->window()->windowHandle() && sheet->window()->windowHandle()->isExposed(); },
             5);
    runFor(0.2);
    for (auto* tab : sheet->tabButtons())
      if (tab && tab->parentWidget() && tab->isVisible())
        layout.tabButtons.push_back(boxIn(sheet->window(), tab, 3));
    if (auto* options = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController())) {
      for (int r = 0; r < 12; ++r) {
        if (auto* cell = qobject_cast<QVBooleanCellView*>(options->valueCellAtRow(r))) {
          layout.optionTickBox = boxIn(sheet->window(), cell->button()).center();
          layout.optionTickBoxIndicator = indicatorIn(sheet->window(), cell->button());
          break;
        }
      }
    }
    if (layout.optionTickBoxIndicator.isEmpty()) ADD_FAILURE() << "the Clock's options show no tick box";
    layout.closeButton = centreOf(sheet->window(), "closeButton");
    sheet->window()->hide();

    // The general pane.
    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    runFor(0.3);
    for (const char* label : {"label0", "label2", "label6"})
      layout.paneLabels.push_back(boxIn(window, window->findChild<QLabel*>(QString::fromLatin1(label))));
    layout.themeDropDown = centreOf(window, "themeDropDown");
    // Boxes that are on (readable as any text) and enabled (an unavailable control needs no contrast).
    for (auto* box : window->findChildren<QCheckBox*>()) {
      if (!box->isVisible() || !box->isEnabled()) continue;
      layout.checkBoxTexts.push_back(textOfCheckBoxIn(window, box));
      layout.checkBoxIndicators.push_back(indicatorIn(window, box));
    }

    window->hide();
    controller->deleteLater();
    runFor(0.2);

    // The delete alert, laid out by the same presenter.
    auto alert = ZKAlert::alert();
    alert->messageText = QStringLiteral("Are you sure you want to delete this module?");
    alert->informativeText = QStringLiteral("This action cannot be undone.");
    alert->addButtonWithTitle(QStringLiteral("Delete"));
    alert->addButtonWithTitle(QStringLiteral("Cancel"));
    ZKMessageBoxPresenter().beginSheet(alert, nullptr, {});
    QMessageBox* box = nullptr;
    runUntil([&] { return (box = shownTopLevel<QMessageBox>()) != nullptr; }, 5);
    runFor(0.2);
    if (box) {
      layout.alertMessage = boxIn(box, box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")));
      layout.alertInformative =
          boxIn(box, box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")));
      box->close();
    } else {
      ADD_FAILURE() << "the alert could not be laid out here";
    }

    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    leaveMeasuringFolders();
    return layout;
  }

  // ---- Checks on what is shown ----

  QImage grab() const { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }

  // The text in the box (in the window's coordinates) reaches the contrast.
  void expectReadable(const QImage& screen, const QString& window, const QRect& box, double minimum,
                      const std::string& what) {
    if (box.isEmpty()) {
      ADD_FAILURE() << what << ": nothing to measure";
      return;
    }
    const Reading reading = read(screen, box.translated(windowGeometry(window).topLeft()));
    EXPECT_GE(reading.ratio, minimum)
        << what << " in the " << themeName() << " theme: " << reading.describe();
  }

  // The surface behind the box (in the window's coordinates) is in the theme: dark in the dark theme,
  // light in the light one.
  void expectThemedSurface(const QImage& screen, const QString& window, const QRect& box,
                           const std::string& what) {
    const Reading reading = read(screen, box.translated(windowGeometry(window).topLeft()));
    const double light = luminance(reading.background);
    if (dark())
      EXPECT_LT(light, 0.2) << what
                            << " is light in the dark theme: " << hex(reading.background).toStdString();
    else
      EXPECT_GT(light, 0.5) << what
                            << " is dark in the light theme: " << hex(reading.background).toStdString();
  }

  // A menu or other window that the program has just shown: its inside, without the outer edge.
  QRect insideOf(const QString& window, int inset = 6) const {
    return QRect(QPoint(0, 0), windowGeometry(window).size()).adjusted(inset, inset, -inset, -inset);
  }

  // The program's window that came up since `before` (a menu or a popup), or an empty string.
  QString newWindow(const QStringList& before) {
    QString found;
    runUntil(
        [&] {
          for (const auto& id : windows())
            if (!before.contains(id) && windowGeometry(id).width() > 60) return !(found = id).isEmpty();
          return false;
        },
        5);
    return found;
  }

  // Keeps the screen as <build>/test-artefacts/program/ThemeContrastXvfbTest-<theme>-<name>.png.
  void shot(const std::string& name) {
    runFor(0.4);
    qvtesting::saveScreenshot("program", "ThemeContrastXvfbTest-" + themeName() + "-" + name);
  }

  // The group detail pane's module names and descriptions, and the surface behind them; the selected
  // row (-1 none) shows its own selection colour.
  void checkModuleList(const Layout& layout, const QString& preferences, int selectedRow,
                       const std::string& when) {
    const QImage screen = grab();
    for (std::size_t i = 0; i < layout.moduleNames.size(); ++i) {
      const std::string row = std::to_string(i + 1) + " " + when;
      if (static_cast<int>(i) != selectedRow)
        expectThemedSurface(screen, preferences, layout.moduleNames[i], "the group's module list " + when);
      expectReadable(screen, preferences, layout.moduleNames[i], kBoldText, "module name " + row);
      expectReadable(screen, preferences, layout.moduleDetails[i], kBodyText, "module description " + row);
    }
  }

  void checkMenu(const QString& menu, const std::string& what) {
    ASSERT_FALSE(menu.isEmpty()) << what << " did not open";
    runFor(0.3);
    shot(what);
    const QImage screen = grab();
    expectThemedSurface(screen, menu, insideOf(menu), what);
    expectReadable(screen, menu, insideOf(menu), kBodyText, what + "'s entries");
  }
};

TEST_P(ThemeContrastXvfbTest, EveryWindowSheetAlertAndMenuIsInTheThemeAndReadable) {
  const Layout layout = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";
  {
    auto settings = settingsFile();
    settings->setInteger(GetParam(), "theme");
    settings->synchronize();
  }
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());

  // The dashboard, with its modules' results.
  const QString dashboard = dashboardWindow();
  ASSERT_FALSE(dashboard.isEmpty());
  shot("dashboard");
  {
    const QImage screen = grab();
    const QRect body = insideOf(dashboard).adjusted(0, 46, 0, 0);
    expectThemedSurface(screen, dashboard, body, "the dashboard");
    expectReadable(screen, dashboard, body, kBodyText, "the dashboard's results");
  }

  // Its settings menu, from the gear at the header's right end.
  {
    const auto before = windows();
    clickInWindow(dashboard, QPoint(windowGeometry(dashboard).width() - 24, 23));
    ASSERT_NO_FATAL_FAILURE(checkMenu(newWindow(before), "settings-menu"));
    key(QStringLiteral("Escape"));
  }

  // The tray icon's menu; "Manage Modules…", its third entry, opens the module configuration.
  {
    const auto before = windows();
    clickTrayIcon(3);
    ASSERT_NO_FATAL_FAILURE(checkMenu(newWindow(before), "tray-menu"));
    for (int i = 0; i < 3; ++i) key(QStringLiteral("Down"));
    key(QStringLiteral("Return"));
  }
  const QString preferences = waitForWindow(QStringLiteral("Module Config"));
  ASSERT_FALSE(preferences.isEmpty()) << "the module configuration did not open";
  runFor(0.3);
  shot("module-config");
  checkModuleList(layout, preferences, -1, "when opened");
  expectReadable(grab(), preferences, layout.editButtonText, kBodyText, "the \"Edit\" button");

  // The add-module sheet.
  clickAt(windowGeometry(preferences).topLeft() + layout.addButton);
  const QString addSheet = waitForWindow(QStringLiteral("Add Modules"));
  ASSERT_FALSE(addSheet.isEmpty()) << "the add-module sheet did not open";
  runFor(0.2);
  shot("add-sheet");
  {
    const QImage screen = grab();
    expectThemedSurface(screen, addSheet, insideOf(addSheet), "the add-module sheet");
    for (std::size_t i = 0; i < layout.addSheetRows.size(); ++i)
      expectReadable(screen, addSheet, layout.addSheetRows[i], kBodyText,
                     "the add-module sheet's row " + std::to_string(i + 1));
    expectReadable(screen, addSheet, layout.addSheetCancelText, kBodyText, "the sheet's \"Cancel\"");
  }
  clickAt(windowGeometry(addSheet).topLeft() + layout.addSheetCancelText.center());
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Add Modules")).isEmpty(); }, 5))
      << "the add-module sheet stayed";
  runFor(0.3);

  // A delete alert for the first module, answered "Cancel".
  clickAt(windowGeometry(preferences).topLeft() + layout.firstRow);
  runFor(0.2);
  const auto beforeAlert = windows();
  clickAt(windowGeometry(preferences).topLeft() + layout.removeButton);
  const QString alert = newWindow(beforeAlert);
  ASSERT_FALSE(alert.isEmpty()) << "no delete alert came";
  shot("delete-alert");
  {
    const QImage screen = grab();
    expectThemedSurface(screen, alert, layout.alertMessage, "the delete alert");
    expectReadable(screen, alert, layout.alertMessage, kBoldText, "the alert's message");
    expectReadable(screen, alert, layout.alertInformative, kBodyText, "the alert's informative text");
  }
  activate(alert);
  key(QStringLiteral("Escape"));
  ASSERT_TRUE(runUntil([&] { return !windows().contains(alert); }, 5)) << "the alert stayed";
  runFor(0.3);

  // The Clock's edit sheet: the tab buttons and the option editor's tick box, unticked.
  clickAt(windowGeometry(preferences).topLeft() + layout.firstEditButton);
  const QString editSheet = waitForWindow(QStringLiteral("Clock"));
  ASSERT_FALSE(editSheet.isEmpty()) << "the edit sheet did not open";
  runFor(0.3);
  clickAt(windowGeometry(editSheet).topLeft() + layout.optionTickBox);
  shot("edit-sheet");
  {
    const QImage screen = grab();
    ASSERT_FALSE(layout.tabButtons.empty());
    // The first tab is the selected one; the others show the unselected look.
    for (std::size_t i = 1; i < layout.tabButtons.size(); ++i) {
      expectThemedSurface(screen, editSheet, layout.tabButtons[i], "an unselected tab");
      expectReadable(screen, editSheet, layout.tabButtons[i], kBodyText, "tab " + std::to_string(i + 1));
    }
    expectReadable(screen, editSheet, layout.optionTickBoxIndicator, kBoldText,
                   "the outline of the option editor's unticked tick box");
  }
  clickAt(windowGeometry(editSheet).topLeft() + layout.closeButton);
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Clock")).isEmpty(); }, 5))
      << "the edit sheet stayed";
  // Closing the sheet lists the group's modules afresh.
  shot("module-config-after-edit");
  checkModuleList(layout, preferences, 0, "after an edit");

  // The general preferences pane.
  clickAt(windowGeometry(preferences).topLeft() + layout.preferencesRow);
  ASSERT_FALSE(waitForWindow(QStringLiteral("Preferences")).isEmpty()) << "the general pane did not open";
  shot("general-pane");
  {
    const QString pane = windowNamed(QStringLiteral("Preferences"));
    const QImage screen = grab();
    for (std::size_t i = 0; i < layout.paneLabels.size(); ++i) {
      expectThemedSurface(screen, pane, layout.paneLabels[i], "the general pane");
      expectReadable(screen, pane, layout.paneLabels[i], kBodyText, "pane label " + std::to_string(i + 1));
    }
    for (std::size_t i = 0; i < layout.checkBoxTexts.size(); ++i) {
      expectReadable(screen, pane, layout.checkBoxTexts[i], kBodyText,
                     "tick box text " + std::to_string(i + 1));
      expectReadable(screen, pane, layout.checkBoxIndicators[i], kBoldText,
                     "tick box outline " + std::to_string(i + 1));
    }
  }

  // The other theme, chosen on the pane, reaches the windows that are open.
  clickAt(windowGeometry(windowNamed(QStringLiteral("Preferences"))).topLeft() + layout.themeDropDown);
  runFor(0.5);
  // The list opens on the current choice: "Light" is the first entry, "Dark" the second.
  key(QStringLiteral("Home"));
  if (!dark()) key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  const int other = dark() ? 0 : 1;
  runFor(0.3);
  shot("theme-chosen");
  ASSERT_TRUE(runUntil([&] { return settingsFile()->integerForKey("theme") == other; }, 5))
      << "the theme was not changed";
  runFor(0.5);
  const QString pane = windowNamed(QStringLiteral("Preferences"));
  ASSERT_FALSE(pane.isEmpty());
  clickAt(windowGeometry(pane).topLeft() + layout.moduleConfigRow);
  ASSERT_FALSE(waitForWindow(QStringLiteral("Module Config")).isEmpty())
      << "the module configuration did not open";
  runFor(0.5);
  shot("module-config-after-theme-change");
  // Checked as the other theme now.
  switched_ = true;
  checkModuleList(layout, windowNamed(QStringLiteral("Module Config")), 0, "after the theme change");
}

INSTANTIATE_TEST_SUITE_P(Themes, ThemeContrastXvfbTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 1 ? "Dark" : "Light");
                         });

}  // namespace themecontrast
