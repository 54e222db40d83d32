#include <QtCore/QProcess>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/QVDMUserOption.h"
#include "engine/QVModuleLog.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/ZKScriptedAlertPresenter.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVDashboardCellView.h"
#include "windows/QVDashboardOutlineModel.h"
#include "windows/QVDashboardViewController.h"
#include "windows/QVOptionCellViews.h"
#include "windows/tests/DashboardTestSupport.h"

namespace {

using qvtesting::DashboardTest;
using Model = QVDashboardOutlineModel;

class DashboardOutlineTest : public DashboardTest {
 protected:
  QVDashboardViewController* makeDashboard() {
    controller.reset(ZKViewController::controller<QVDashboardViewController>());
    controller->view()->resize(450, controller->view()->height());
    controller->view()->show();
    QApplication::processEvents();
    return controller.get();
  }
  QModelIndex valueIndex(const QVDashboardModule::Pointer& module) {
    return controller->model()->indexForModule(module->uid(), Model::ValueColumn);
  }
  QStyleOptionViewItem optionFor(const QModelIndex& index) {
    QStyleOptionViewItem option;
    option.rect = controller->outlineView()->visualRect(index);
    option.widget = controller->outlineView();
    return option;
  }
  // Opens the context menu on a module's row as a right click does; true once it shows.
  bool openMenuOn(const QVDashboardModule::Pointer& module) {
    auto* outline = controller->outlineView();
    const QRect row = outline->visualRect(valueIndex(module));
    QContextMenuEvent event(QContextMenuEvent::Mouse, row.center(),
                            outline->viewport()->mapToGlobal(row.center()));
    QApplication::sendEvent(outline->viewport(), &event);
    return runUntil([&] { return controller->contextMenu()->isVisible(); });
  }
  QAction* menuAction(const QString& title) const {
    for (QAction* action : controller->contextMenu()->actions())
      if (action->text() == title) return action;
    return nullptr;
  }
  void TearDown() override {
    controller.reset();
    DashboardTest::TearDown();
  }

  std::unique_ptr<QVDashboardViewController> controller;
};

// ---- What each module row shows ----

struct StateCase {
  const char* name;
  bool missingField;
  bool updating;
  int result;  // 0 none, 1 success with text, 2 success without text, 3 failure with text
  QVModuleCellState state;
  const char* valueText;    // shown value, nullptr for none
  const char* iconToolTip;  // state icon's tool tip, nullptr when no icon
  bool hasValueButton;
};

const StateCase kStateCases[] = {
    {"missing field", true, false, 0, QVModuleCellState::MissingFields, nullptr,
     "This module is missing one or more required fields.", true},
    {"missing field beats a result", true, true, 1, QVModuleCellState::MissingFields, nullptr,
     "This module is missing one or more required fields.", true},
    {"first run", false, true, 0, QVModuleCellState::Running, nullptr, nullptr, false},
    {"running keeps its result", false, true, 1, QVModuleCellState::Success, "12 °C", nullptr, true},
    {"running keeps its failure", false, true, 3, QVModuleCellState::Failure, nullptr, "Timed out", true},
    {"success", false, false, 1, QVModuleCellState::Success, "12 °C", nullptr, true},
    {"success without text", false, false, 2, QVModuleCellState::Success, "---", nullptr, true},
    {"failure", false, false, 3, QVModuleCellState::Failure, nullptr, "Timed out", true},
    {"never ran", false, false, 0, QVModuleCellState::Failure, nullptr, "", true},
};

TEST_F(DashboardOutlineTest, EachModuleStateShowsItsIconTextSpinnerAndToolTip) {
  auto group = addGroup("States", 0);
  std::vector<QVDashboardModule::Pointer> modules;
  for (const auto& c : kStateCases) {
    auto module = QVDashboardModule::moduleWithPath(qvtesting::enginePackage("Weather").string());
    ASSERT_TRUE(module);
    module->setName(std::string(c.name));
    module->setOnClickURLString("https://example.org/weather");
    for (const auto& option : module->userOptions())
      if (option->required()) option->value()->setStringValue(std::optional<std::string>("filled"));
    if (c.missingField)
      module->userOptions().front()->value()->setStringValue(std::optional<std::string>(""));
    if (c.result == 1) module->setLastResult(result(true, "12 °C", std::nullopt, "#FF0000"));
    if (c.result == 2) module->setLastResult(result(true, std::nullopt));
    if (c.result == 3) module->setLastResult(result(false, "Timed out"));
    module->setIsUpdating(c.updating);
    group->addModule(module, false);
    modules.push_back(module);
  }
  makeDashboard();
  for (size_t i = 0; i < modules.size(); ++i) {
    const StateCase& c = kStateCases[i];
    SCOPED_TRACE(c.name);
    const QModelIndex value = valueIndex(modules[i]);
    ASSERT_TRUE(value.isValid());
    EXPECT_EQ(QVModuleCellState(value.data(Model::CellStateRole).toInt()), c.state);
    EXPECT_EQ(value.siblingAtColumn(Model::NameColumn).data().toString().toStdString(), c.name);
    if (c.valueText) {
      EXPECT_EQ(value.data().toString(), QString::fromUtf8(c.valueText));
      const QString tip = value.data(Qt::ToolTipRole).toString();
      EXPECT_TRUE(tip.startsWith(c.result == 2 ? QStringLiteral("Last Updated: ")
                                               : QStringLiteral("12 °C\n\nLast Updated: ")))
          << tip.toStdString();
      EXPECT_EQ(tip.count(QStringLiteral("Last Updated")), 1);
    } else {
      EXPECT_FALSE(value.data().isValid());
    }
    const QRect icon = controller->cellView()->stateIconRect(optionFor(value), value);
    EXPECT_EQ(!icon.isNull(), c.iconToolTip != nullptr);
    if (c.iconToolTip) {
      EXPECT_EQ(value.data(Model::IconToolTipRole).toString(), QString::fromUtf8(c.iconToolTip));
    }
    EXPECT_EQ(!controller->cellView()->valueButtonRect(optionFor(value), value).isNull(), c.hasValueButton);
  }
  // The result's own colour; the theme's colour for a result without one.
  EXPECT_EQ(valueIndex(modules[5]).data(Model::ValueColorRole).value<QColor>(), QColor(255, 0, 0));
  EXPECT_FALSE(valueIndex(modules[6]).data(Model::ValueColorRole).value<QColor>().isValid());
  // The running row turns its spinner, redrawing only the rows that show one.
  controller->outlineView()->viewport()->repaint();
  EXPECT_TRUE(controller->cellView()->isSpinning());
  EXPECT_EQ(controller->cellView()->spinningRowCount(), 1);
  qvtesting::saveGrab(controller->view(), "windows-dashboard", "outline-states-light");
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  QApplication::processEvents();
  qvtesting::saveGrab(controller->view(), "windows-dashboard", "outline-states-dark");
}

// ---- The spinner ----

// Where the spinner drawn in `image` (on the background colour of its corner) puts its ink, in twelve
// sectors of 30 degrees centred on twelve o'clock, one o'clock, and so on clockwise: the ink of a
// pixel is how far its colour is from the background.
std::array<double, 12> inkBySector(const QImage& image) {
  const QRgb background = image.pixel(0, 0);
  auto ink = [&](QRgb c) {
    return double(std::abs(qRed(c) - qRed(background)) + std::abs(qGreen(c) - qGreen(background)) +
                  std::abs(qBlue(c) - qBlue(background)));
  };
  // The spinner's centre: the middle of the box around everything drawn.
  int left = image.width(), right = -1, top = image.height(), bottom = -1;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (ink(image.pixel(x, y)) > 30) {
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
      }
  std::array<double, 12> sectors{};
  if (right < 0) return sectors;
  const double cx = (left + right + 1) / 2.0, cy = (top + bottom + 1) / 2.0;
  for (int y = top; y <= bottom; ++y)
    for (int x = left; x <= right; ++x) {
      // Clockwise from twelve o'clock on the screen (y grows downwards).
      const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
      double degrees = std::atan2(dx, -dy) * 180.0 / M_PI;
      if (degrees < 0) degrees += 360.0;
      sectors[size_t(int(std::floor((degrees + 15.0) / 30.0)) % 12)] += ink(image.pixel(x, y));
    }
  return sectors;
}

int brightestSector(const std::array<double, 12>& sectors) {
  return int(std::max_element(sectors.begin(), sectors.end()) - sectors.begin());
}

TEST_F(DashboardOutlineTest, TheRunningSpinnerTurnsClockwiseWithItsTailBehind) {
  auto group = addGroup("Spinning", 1);
  auto module = group->modules()[0];
  module->setIsUpdating(true);
  makeDashboard();
  const QModelIndex value = valueIndex(module);
  ASSERT_EQ(QVModuleCellState(value.data(Model::CellStateRole).toInt()), QVModuleCellState::Running);
  // The value cell as the outline draws it, eight times enlarged so that each fin covers many pixels.
  auto frame = [&] {
    const QStyleOptionViewItem option = optionFor(value);
    const int scale = 8;
    QImage image(option.rect.size() * scale, QImage::Format_ARGB32);
    image.fill(ZKThemeManager::sharedManager().colorForKey(QStringLiteral("windowColor")));
    QPainter painter(&image);
    painter.scale(scale, scale);
    painter.translate(-option.rect.topLeft());
    controller->cellView()->paint(&painter, option, value);
    painter.end();
    return image;
  };
  QImage previous = frame();
  std::vector<int> leaders;
  for (int step = 0; step < 4; ++step) {
    SCOPED_TRACE(step);
    const auto sectors = inkBySector(previous);
    const int leader = brightestSector(sectors);
    ASSERT_GT(sectors[size_t(leader)], 0.0) << "no spinner drawn";
    leaders.push_back(leader);
    // The fins fade counter-clockwise from the leading one: the one behind it is the next brightest.
    EXPECT_GT(sectors[size_t((leader + 11) % 12)], sectors[size_t((leader + 1) % 12)]);
    EXPECT_GT(sectors[size_t((leader + 11) % 12)], sectors[size_t((leader + 10) % 12)]);
    // The next frame the timer brings.
    QImage next;
    ASSERT_TRUE(runUntil([&] {
      next = frame();
      return next != previous;
    }));
    previous = next;
  }
  qvtesting::saveImage(previous, "windows-dashboard", "spinner-frame");
  // Each frame moves the leading fin on clockwise: one fin a frame, a few when frames were missed
  // under load, never back.
  for (size_t i = 1; i < leaders.size(); ++i) {
    const int moved = (leaders[i] - leaders[i - 1] + 12) % 12;
    EXPECT_TRUE(moved >= 1 && moved <= 5) << "from " << leaders[i - 1] << " to " << leaders[i];
  }
}

TEST_F(DashboardOutlineTest, GroupRowsShowEmojiAndNameOrGroupAndFollowTheirExpandedState) {
  auto named = addGroup("Servers", 1, "Minimal", "  🖥️ ");
  auto unnamed = addGroup("", 1, "Minimal", " ");
  unnamed->setName(std::nullopt);
  unnamed->setIsExpanded(false);
  makeDashboard();
  const QModelIndex first = controller->model()->indexForGroup(named);
  const QModelIndex second = controller->model()->indexForGroup(unnamed);
  EXPECT_EQ(first.data().toString(), QStringLiteral("🖥️ Servers"));
  EXPECT_EQ(second.data().toString(), QStringLiteral("Group"));
  EXPECT_TRUE(controller->outlineView()->isExpanded(first));
  EXPECT_FALSE(controller->outlineView()->isExpanded(second));
  EXPECT_TRUE(controller->outlineViewIsGroupItem(controller->outlineView(), first));
  // A click on a group row opens or closes it and stores the state.
  QTest::mouseClick(controller->outlineView()->viewport(), Qt::LeftButton, {},
                    controller->outlineView()->visualRect(second).center());
  EXPECT_TRUE(unnamed->isExpanded());
  EXPECT_TRUE(controller->outlineView()->isExpanded(second));
  EXPECT_TRUE(second.data(Model::IsExpandedRole).toBool());
}

// ---- Value clicks ----

TEST_F(DashboardOutlineTest, ValueClicksOpenTheTargetOnceEscapedOrAskForTheEditor) {
  auto group = addGroup("Links", 5);
  auto modules = group->modules();
  // Already escaped parts stay as they are; spaces and other characters are escaped once.
  modules[0]->setLastResult(result(true, "a", "  https://example.org/a%20b c/ü?q=1 2\n"));
  // An empty target of the result falls back to the module's own.
  modules[1]->setOnClickURLString("https://example.org/own");
  modules[1]->setLastResult(result(true, "b", ""));
  // Only white space: nothing opens (and no button is offered).
  modules[2]->setOnClickURLString("  \t ");
  modules[2]->setLastResult(result(true, "c"));
  // A failed module opens the editor, as does one that never ran.
  modules[3]->setLastResult(result(false, "broken", "https://example.org/never"));
  makeDashboard();

  for (int i = 0; i < 5; ++i) controller->valueWasClicked(valueIndex(modules[size_t(i)]));
  ASSERT_EQ(desktop->openedURLs.size(), 2u);
  EXPECT_EQ(desktop->openedURLs[0].toString(QUrl::FullyEncoded),
            QStringLiteral("https://example.org/a%20b%20c/%C3%BC?q=1%202"));
  EXPECT_EQ(desktop->openedURLs[1].toString(), QStringLiteral("https://example.org/own"));
  ASSERT_EQ(editorObjects.size(), 2u);
  EXPECT_EQ(editorObjects[0], modules[3]);
  EXPECT_EQ(editorObjects[1], modules[4]);
  EXPECT_TRUE(controller->cellView()
                  ->valueButtonRect(optionFor(valueIndex(modules[2])), valueIndex(modules[2]))
                  .isNull());
}

TEST_F(DashboardOutlineTest, AClickActsOnTheRowUnderThePointerAfterGroupsOpenAndClose) {
  auto first = addGroup("First", 3);
  auto second = addGroup("Second", 2);
  for (auto* group : {&first, &second}) {
    int n = 0;
    for (const auto& module : (*group)->modules())
      module->setLastResult(
          result(true, "v", "https://example.org/" + *(*group)->name() + "/" + std::to_string(++n)));
  }
  makeDashboard();
  auto* outline = controller->outlineView();
  const QRect before = outline->visualRect(valueIndex(second->modules()[0]));
  // The first group closes: the second group's rows move up, and the old place holds another row.
  controller->toggleGroup(first);
  QApplication::processEvents();
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, before.center());
  const QRect after = outline->visualRect(valueIndex(second->modules()[0]));
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, after.center());
  ASSERT_EQ(desktop->openedURLs.size(), 1u) << "the first click fell below the rows, on nothing";
  EXPECT_EQ(desktop->openedURLs[0].toString(), QStringLiteral("https://example.org/Second/1"));
  // Open again: the same place is the first group's row now.
  controller->toggleGroup(first);
  QApplication::processEvents();
  QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, after.center());
  ASSERT_EQ(desktop->openedURLs.size(), 2u);
  EXPECT_EQ(desktop->openedURLs[1].toString(), QStringLiteral("https://example.org/First/2"));
}

// ---- Height ----

// 0.8 of the height of the available area of the screen that shows the window, in whole points.
int eightTenthsOfTheScreenOf(QWidget* widget) {
  QScreen* screen = widget->window()->screen();
  return screen ? int(std::floor(0.8 * screen->availableGeometry().height())) : 0;
}

TEST_F(DashboardOutlineTest, TheViewFitsItsRowsUpToEightTenthsOfTheScreen) {
  struct HeightCase {
    int modules;
    int rows;
  };
  for (const HeightCase c : {HeightCase{0, 1}, HeightCase{1, 2}, HeightCase{50, 51}}) {
    SCOPED_TRACE(c.modules);
    manager->updateGroups({});
    if (c.modules > 0) addGroup("Rows", c.modules);
    makeDashboard();
    const int cap = eightTenthsOfTheScreenOf(controller->view());
    ASSERT_GT(cap, 0);
    EXPECT_EQ(controller->countedRows(), c.rows);
    const int needed = c.rows * QVDashboardCellView::kRowHeight;
    const int outlineHeight = controller->outlineView()->height();
    EXPECT_EQ(outlineHeight, std::min(needed, cap));
    EXPECT_GE(controller->view()->height(), 28);
    EXPECT_EQ(controller->scrollingEnabled(), needed >= cap);
  }
  // The tall case reached the cap: it is what bounds the outline there.
  EXPECT_EQ(controller->outlineView()->height(), eightTenthsOfTheScreenOf(controller->view()));
  EXPECT_LT(controller->outlineView()->height(), 51 * QVDashboardCellView::kRowHeight);
  // The rule itself: never under 28 points, margins kept.
  EXPECT_EQ(QVDashboardViewController::viewHeight(10, 10, 0, 480), 28);
  EXPECT_EQ(QVDashboardViewController::viewHeight(46, 40, 56, 480), 62);
  EXPECT_EQ(QVDashboardViewController::viewHeight(46, 40, 5000, 480), 486);
}

// The offscreen platform with two screens of different heights, the second one to the right of the
// first (the primary).
constexpr const char* kTwoScreens = R"({"screens": [
  {"name": "primary", "x": 0, "y": 0, "width": 800, "height": 600, "logicalDpi": 96, "dpr": 1},
  {"name": "tall", "x": 800, "y": 0, "width": 900, "height": 1400, "logicalDpi": 96, "dpr": 1}]})";

TEST_F(DashboardOutlineTest, TheCapIsTakenFromTheScreenThatShowsTheWindow) {
  if (QGuiApplication::screens().size() < 2) {
    ASSERT_TRUE(qEnvironmentVariableIsEmpty("QV_TWO_SCREENS")) << "the platform did not take two screens";
    // This test program again, on an offscreen platform with two screens, running this test alone.
    const QString config = QString::fromStdString((root() / "two-screens.json").string());
    std::ofstream(config.toStdString()) << kTwoScreens;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
    environment.insert(QStringLiteral("QV_TWO_SCREENS"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=%1.%2")
                     .arg(QString::fromUtf8(info->test_suite_name()), QString::fromUtf8(info->name()))});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAll());
    ASSERT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
    return;
  }
  QScreen* primary = QGuiApplication::primaryScreen();
  QScreen* tall = QGuiApplication::screens().at(1);
  ASSERT_NE(primary, tall);
  ASSERT_NE(primary->availableGeometry().height(), tall->availableGeometry().height());
  addGroup("Rows", 60);
  controller.reset(ZKViewController::controller<QVDashboardViewController>());
  QWidget* view = controller->view();
  view->setScreen(tall);
  view->move(tall->availableGeometry().topLeft() + QPoint(20, 20));
  view->resize(450, view->height());
  view->show();
  ASSERT_TRUE(runUntil([&] { return view->window()->screen() == tall; }));
  controller->autoAdjustHeight();
  EXPECT_EQ(controller->outlineView()->height(), int(std::floor(0.8 * tall->availableGeometry().height())));
  EXPECT_EQ(controller->outlineView()->height(), 1120);
  EXPECT_TRUE(controller->scrollingEnabled());
}

TEST_F(DashboardOutlineTest, ClosingAGroupShrinksTheViewAndAsksTheWindowToResize) {
  auto group = addGroup("Rows", 4);
  makeDashboard();
  int resizes = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      "QVResizeWindowNotification", nullptr, [&](const platform::Notification&) { ++resizes; });
  const int open = controller->outlineView()->height();
  controller->toggleGroup(group);
  ASSERT_TRUE(runUntil([&] { return resizes > 0; }));
  EXPECT_EQ(open - controller->outlineView()->height(), 4 * QVDashboardCellView::kRowHeight);
}

// ---- Live updates ----

TEST_F(DashboardOutlineTest, AResultFromARunThreadRedrawsItsRowOnly) {
  auto group = addGroup("Live", 3);
  auto modules = group->modules();
  makeDashboard();
  QSignalSpy resets(controller->model(), &QAbstractItemModel::modelReset);
  QSignalSpy changes(controller->model(), &QAbstractItemModel::dataChanged);
  std::thread run([&] {
    modules[1]->setIsUpdating(true);
    modules[1]->setLastResult(result(true, "42"));
    modules[1]->setIsUpdating(false);
  });
  run.join();
  ASSERT_TRUE(runUntil([&] { return valueIndex(modules[1]).data().toString() == QStringLiteral("42"); }));
  runFor(0.05);
  EXPECT_EQ(resets.count(), 0);
  ASSERT_GE(changes.count(), 1);
  for (const auto& change : changes) {
    const auto topLeft = change.at(0).value<QModelIndex>();
    const auto bottomRight = change.at(1).value<QModelIndex>();
    EXPECT_EQ(topLeft.row(), 1);
    EXPECT_EQ(bottomRight.row(), 1);
    EXPECT_EQ(controller->model()->moduleForIndex(topLeft), modules[1]);
  }
  // A renamed module shows its new name; a new module in a group reloads the outline.
  modules[2]->setName("Renamed");
  ASSERT_TRUE(runUntil([&] {
    return valueIndex(modules[2]).siblingAtColumn(Model::NameColumn).data().toString() ==
           QStringLiteral("Renamed");
  }));
  auto added = QVDashboardModule::moduleWithPath(qvtesting::enginePackage("Minimal").string());
  group->addModule(added, false);
  ASSERT_TRUE(runUntil([&] { return valueIndex(added).isValid(); }));
}

// A required option edited in the option editor reaches its row at once, both ways, before any run;
// and a row shown with the mark is read whole again when a run's result comes, so an option filled in
// where the dashboard was not told still drops the mark with the result.
TEST_F(DashboardOutlineTest, ARowFollowsItsRequiredOptionsAsTheyAreEditedAndAsResultsCome) {
  auto group = QVDashboardGroup::groupWithName("Weather");
  auto module = QVDashboardModule::moduleWithPath(qvtesting::enginePackage("Weather").string());
  ASSERT_TRUE(module);
  group->addModule(module, false);
  manager->addGroup(group);
  auto city = module->userOptions().front();
  ASSERT_TRUE(city->required());
  for (const auto& option : module->userOptions())
    if (option->required()) option->value()->setStringValue(std::optional<std::string>("filled"));
  module->setLastResult(result(true, "12 °C"));
  makeDashboard();
  auto state = [&] { return QVModuleCellState(valueIndex(module).data(Model::CellStateRole).toInt()); };
  ASSERT_EQ(state(), QVModuleCellState::Success);

  std::unique_ptr<QVConfigEditorViewController> editor(
      QVConfigEditorViewController::controllerWithModule(module, 0, manager));
  editor->view()->show();
  auto* field = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(3))->textField();
  ASSERT_EQ(field->accessibleName(), QStringLiteral("City"));
  auto retype = [&](const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
  };
  QSignalSpy resets(controller->model(), &QAbstractItemModel::modelReset);
  retype(QString());
  EXPECT_TRUE(runUntil([&] { return state() == QVModuleCellState::MissingFields; })) << "emptied, no mark";
  retype(QStringLiteral("Bergen"));
  EXPECT_TRUE(runUntil([&] { return state() == QVModuleCellState::Success; })) << "filled, the mark stays";
  EXPECT_EQ(resets.count(), 0) << "the outline was reloaded instead of the row";
  editor.reset();

  // Emptied and filled again behind the dashboard's back: the next result shows the row whole.
  city->value()->setStringValue(std::optional<std::string>(""));
  module->optionsDidChange();
  ASSERT_TRUE(runUntil([&] { return state() == QVModuleCellState::MissingFields; }));
  city->value()->setStringValue(std::optional<std::string>("Oslo"));
  std::thread run([&] { module->setLastResult(result(true, "3 °C")); });
  run.join();
  EXPECT_TRUE(runUntil([&] { return state() == QVModuleCellState::Success; })) << "the result left the mark";
  EXPECT_EQ(valueIndex(module).data().toString(), QStringLiteral("3 °C"));
  EXPECT_EQ(resets.count(), 0);
}

// ---- Context menu actions ----

TEST_F(DashboardOutlineTest, RefreshEditAndDeleteActOnModuleRowsAndBeepOnGroupRows) {
  auto group = addGroup("Actions", 2);
  auto modules = group->modules();
  makeDashboard();
  auto presenter = std::make_shared<ZKScriptedAlertPresenter>();
  ZKAlertPresenter::setShared(presenter);
  auto* outline = controller->outlineView();

  // A group row: nothing runs, opens or goes.
  zk_setClickedRow(outline, 0);
  controller->refresh();
  controller->edit();
  controller->deleteModule();
  EXPECT_TRUE(runs.empty());
  EXPECT_TRUE(editorObjects.empty());
  EXPECT_TRUE(presenter->presented().empty());
  EXPECT_EQ(group->modules().size(), 2u);

  // The first module row.
  zk_setClickedRow(outline, 1);
  controller->refresh();
  controller->edit();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], modules[0]);
  ASSERT_EQ(editorObjects.size(), 1u);
  EXPECT_EQ(editorObjects[0], modules[0]);

  std::vector<std::string> windowClosing;
  std::vector<QVDashboardGroup::Pointer> reloaded;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto t1 =
      center.addObserverForName("Notification.disableWindowClosing", nullptr,
                                [&](const platform::Notification& n) { windowClosing.push_back(n.name); });
  auto t2 =
      center.addObserverForName("Notification.enableWindowClosing", nullptr,
                                [&](const platform::Notification& n) { windowClosing.push_back(n.name); });
  auto t3 = center.addObserverForName("ReloadDataForGroup", nullptr, [&](const platform::Notification& n) {
    reloaded.push_back(n.objectAs<QVDashboardGroup>());
  });
  // Cancelled: nothing goes.
  presenter->script({{ZKAlertSecondButtonReturn}});
  zk_setClickedRow(outline, 2);
  controller->deleteModule();
  ASSERT_TRUE(runUntil([&] { return windowClosing.size() == 2; }));
  ASSERT_EQ(presenter->presented().size(), 1u);
  EXPECT_EQ(presenter->presented()[0]->alert->messageText,
            QStringLiteral("Are you sure you want to delete this module?"));
  EXPECT_EQ(presenter->presented()[0]->alert->informativeText,
            QStringLiteral("This action cannot be undone."));
  runFor(0.3);
  EXPECT_EQ(group->modules().size(), 2u);
  // Confirmed: the module goes 0.2 s later, and an open group editor is told.
  presenter->script({{ZKAlertFirstButtonReturn}});
  zk_setClickedRow(outline, 2);
  controller->deleteModule();
  ASSERT_TRUE(runUntil([&] { return group->modules().size() == 1u; }));
  EXPECT_EQ(group->modules()[0], modules[0]);
  EXPECT_EQ(windowClosing, (std::vector<std::string>{
                               "Notification.disableWindowClosing", "Notification.enableWindowClosing",
                               "Notification.disableWindowClosing", "Notification.enableWindowClosing"}));
  ASSERT_EQ(reloaded.size(), 1u);
  EXPECT_EQ(reloaded[0], group);
  EXPECT_FALSE(valueIndex(modules[1]).isValid());
  ZKAlertPresenter::setShared(nullptr);
}

TEST_F(DashboardOutlineTest, TheContextMenuActsOnTheItemItWasOpenedOnWhileRowsMove) {
  auto first = addGroup("First", 2);
  auto second = addGroup("Second", 2);
  makeDashboard();
  // Opened on the second group's first module; the first group closes while the menu is open.
  ASSERT_TRUE(openMenuOn(second->modules()[0]));
  controller->toggleGroup(first);
  QApplication::processEvents();
  menuAction(QStringLiteral("Edit Module…"))->trigger();
  ASSERT_EQ(editorObjects.size(), 1u);
  EXPECT_EQ(editorObjects[0], second->modules()[0]);
  controller->contextMenu()->hide();
  runFor(0.05);
  // The item went away while the menu was open: nothing is acted on.
  ASSERT_TRUE(openMenuOn(second->modules()[1]));
  second->removeModule(second->modules()[1], false);
  ASSERT_TRUE(runUntil([&] { return controller->model()->allModules().size() == 3u; }));
  menuAction(QStringLiteral("Refresh"))->trigger();
  EXPECT_TRUE(runs.empty());
  controller->contextMenu()->hide();
}

TEST_F(DashboardOutlineTest, DeleteModuleFromTheMenuTakesTheModulesLogAndDatabaseOffTheDisk) {
  // A package of the sandbox's own, so that a deletion that went too far could only hurt a copy.
  const std::filesystem::path package = root() / "packages" / "Minimal.quorvanemodule";
  std::filesystem::create_directories(package.parent_path());
  std::filesystem::copy(qvtesting::enginePackage("Minimal"), package,
                        std::filesystem::copy_options::recursive);
  auto group = QVDashboardGroup::groupWithName("Files");
  std::vector<QVDashboardModule::Pointer> modules;
  struct Files {
    std::filesystem::path log, database;
  };
  std::vector<Files> files;
  for (int i = 0; i < 2; ++i) {
    auto module = QVDashboardModule::moduleWithPath(package.string());
    ASSERT_TRUE(module);
    module->setName("Files module " + std::to_string(i + 1));
    group->addModule(module, false);
    // What a run leaves behind: the saved log and the database the script writes at --dbPath.
    module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::log, "ran once"));
    module->log()->actuallySave();
    const Files written{QVModuleLog::logFilePath(module->bundleID().value_or(""), module->uid()),
                        module->jsonDatabasePath()};
    std::ofstream(written.database) << R"({"count":1})";
    ASSERT_TRUE(std::filesystem::is_regular_file(written.log)) << written.log;
    ASSERT_TRUE(std::filesystem::is_regular_file(written.database)) << written.database;
    modules.push_back(module);
    files.push_back(written);
  }
  ASSERT_NE(files[0].log, files[1].log);
  ASSERT_NE(files[0].database, files[1].database);
  manager->addGroup(group);
  makeDashboard();
  auto presenter = std::make_shared<ZKScriptedAlertPresenter>();
  ZKAlertPresenter::setShared(presenter);
  presenter->script({{ZKAlertFirstButtonReturn}});

  // Chosen from the second module's row menu, and confirmed.
  ASSERT_TRUE(openMenuOn(modules[1]));
  QAction* remove = menuAction(QStringLiteral("Delete Module…"));
  ASSERT_TRUE(remove);
  remove->trigger();
  controller->contextMenu()->hide();
  ASSERT_TRUE(runUntil([&] { return group->modules().size() == 1u; }));
  EXPECT_EQ(group->modules()[0], modules[0]);
  EXPECT_FALSE(valueIndex(modules[1]).isValid());
  EXPECT_FALSE(std::filesystem::exists(files[1].log)) << files[1].log;
  EXPECT_FALSE(std::filesystem::exists(files[1].database)) << files[1].database;
  // The other module's files stay, and so does the package the modules were made from.
  EXPECT_TRUE(std::filesystem::is_regular_file(files[0].log)) << files[0].log;
  EXPECT_TRUE(std::filesystem::is_regular_file(files[0].database)) << files[0].database;
  EXPECT_TRUE(std::filesystem::is_regular_file(package / "package.json"));
  EXPECT_TRUE(std::filesystem::is_regular_file(package / "main.js"));
  ZKAlertPresenter::setShared(nullptr);
}

}  // namespace
