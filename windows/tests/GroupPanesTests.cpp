// The group editor, the group detail pane, the add-module sheet and the custom modules pane over a
// sandboxed manager: groups and modules added, renamed, duplicated (run once), moved by actions and by
// drags between groups, deleted after confirmation; the rows' context menus and shortcuts; search and
// category filters; installs with their answer codes and alerts; and a whole session checked in
// "Modules.plist" after each step.
#include <QtCore/QMimeData>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QDragMoveEvent>
#include <QtGui/QDropEvent>
#include <QtGui/QMouseEvent>
#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEmojiSource.h"
#include "engine/QVModuleLog.h"
#include "platform/Paths.h"
#include "platform/desktop/QtText.h"
#include "testing/TreePaths.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/QVWindowTheme.h"
#include "uikit/ZKScriptedAlertPresenter.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVModulePackageDialog.h"
#include "windows/QVRowMenu.h"
#include "windows/QVUserModuleEditorViewController.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

using GroupPanesModules = QVDashboardGroup::Modules;

class GroupPanesTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
    QVEngineEnvironment::setResourceFolder(fs::path(QV_SOURCE_RESOURCES));
    QVEngineEnvironment::setRunModuleHandler(
        [this](const std::shared_ptr<QVDashboardModule>& module) { runs.push_back(module); });
    presenter = std::make_shared<ZKScriptedAlertPresenter>();
    ZKAlertPresenter::setShared(presenter);
    manager = QVDashboardModuleManager::make();
    ASSERT_TRUE(manager->configure());
    manager->updateGroups({});
    manager->reloadBundledModules();
    host = new QWidget;
    host->resize(760, 480);
  }
  void TearDown() override {
    delete host;
    ZKAlertPresenter::setShared(nullptr);
    manager.reset();
    QVEmojiSource::setShared(nullptr);
    WindowsTest::TearDown();
  }

  QVDashboardGroup::Pointer addGroup(const std::string& name, const std::vector<std::string>& modules) {
    auto group = QVDashboardGroup::groupWithName(name);
    for (const auto& module : modules) group->addModule(makeModule(module), false);
    manager->addGroup(group);
    return group;
  }

  QVEditorModuleViewController* makeEditor() {
    auto* editor = QVEditorModuleViewController::controllerWithManager(manager, nullptr, host);
    auto* layout = new QVBoxLayout(host);
    layout->addWidget(editor->view());
    editor->setParentWindow(host);
    host->show();
    return editor;
  }

  // The groups as "Modules.plist" holds them once the manager's debounced save has written it.
  std::vector<std::string> savedPlan() {
    std::vector<std::string> plan;
    std::ifstream file(manager->saveURL(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto groups = QVDashboardGroup::groupsWithArchiveData(platform::Data(bytes.begin(), bytes.end()));
    if (!groups) return {"(unreadable)"};
    for (const auto& group : *groups) {
      std::string line = group->name().value_or("") + ":";
      for (const auto& module : group->modules())
        line += " " + module->name().value_or(module->moduleName().value_or(""));
      plan.push_back(line);
    }
    return plan;
  }
  bool savedPlanIs(const std::vector<std::string>& expected) {
    return runUntil([&] { return savedPlan() == expected; }, 5.0);
  }

  static std::vector<std::string> namesOf(const GroupPanesModules& modules) {
    std::vector<std::string> names;
    for (const auto& module : modules)
      names.push_back(module->name().value_or(module->moduleName().value_or("")));
    return names;
  }
  std::vector<std::string> groupNames() const {
    std::vector<std::string> names;
    for (const auto& group : manager->groups()) names.push_back(group->name().value_or(""));
    return names;
  }
  // The next alert is answered with this.
  void answerAlerts(ZKModalResponse response) { presenter->script({{response}}); }

  // A right click on the row as the mouse gives it (the press, then the context menu); the entries of
  // the menu that opened, "title=shortcut" for enabled ones and "(title)" for disabled ones. The menu is
  // left open.
  static std::vector<std::string> openMenuOnRow(ZKDeleteTableView* table, QVRowMenu* rows, int row) {
    const QPoint point = table->visualRect(table->model()->index(row, 0)).center();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(point),
                      QPointF(table->viewport()->mapToGlobal(point)), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QApplication::sendEvent(table->viewport(), &press);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, point, table->viewport()->mapToGlobal(point));
    QApplication::sendEvent(table->viewport(), &menu);
    std::vector<std::string> entries;
    if (!rows->menu()->isVisible()) return {"(no menu)"};
    for (auto* action : rows->menu()->actions()) {
      if (action->isSeparator()) {
        entries.push_back("-");
        continue;
      }
      const QString title = action->text().remove(QLatin1Char('&'));
      const bool shown = action->shortcut().isEmpty() || action->isShortcutVisibleInContextMenu();
      entries.push_back(
          action->isEnabled()
              ? (title + "=" + action->shortcut().toString() + (shown ? "" : " (hidden)")).toStdString()
              : "(" + title.toStdString() + ")");
    }
    return entries;
  }
  // Chooses the entry of the open menu with that title (without its mnemonic mark).
  static void choose(QVRowMenu* rows, const QString& title) {
    for (auto* action : rows->menu()->actions())
      if (action->text().remove(QLatin1Char('&')) == title) {
        rows->menu()->hide();
        action->trigger();
        return;
      }
    ADD_FAILURE() << "no entry " << title.toStdString();
  }
  // A drag of `data` that ends at `fraction` of the row's height, as the view gets it; whether the
  // drop was taken.
  static bool dropOnRow(ZKDeleteTableView* table, const QMimeData* data, int row, double fraction) {
    const QRect rect = table->visualRect(table->model()->index(row, 0));
    const QPoint point(rect.center().x(), rect.top() + static_cast<int>(rect.height() * fraction));
    const auto actions = Qt::MoveAction | Qt::CopyAction;
    // The drag enters the list (which makes it the drag's target), moves to the point and ends there.
    QDragEnterEvent enter(point, actions, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table->viewport(), &enter);
    QDragMoveEvent move(point, actions, data, Qt::LeftButton, Qt::NoModifier);
    move.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(table->viewport(), &move);
    if (!move.isAccepted()) {
      QDragLeaveEvent leave;
      QApplication::sendEvent(table->viewport(), &leave);
      return false;
    }
    QDropEvent drop(QPointF(point), actions, data, Qt::LeftButton, Qt::NoModifier);
    drop.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(table->viewport(), &drop);
    return drop.isAccepted();
  }

  std::shared_ptr<ZKScriptedAlertPresenter> presenter;
  QVDashboardModuleManager::Pointer manager;
  std::vector<std::shared_ptr<QVDashboardModule>> runs;
  QWidget* host = nullptr;
};

// ---- Group editor ----

TEST_F(GroupPanesTest, AddingAGroupEditsItsNameAndBlankNamesKeepTheOldOne) {
  addGroup("Home", {"Clocky"});
  auto* editor = makeEditor();
  EXPECT_EQ(editor->moduleTitle(), QStringLiteral("Module Config"));
  editor->addNewGroup();
  ASSERT_EQ(groupNames(), (std::vector<std::string>{"Home", "New Group"}));
  EXPECT_EQ(zk_selectedRows(editor->tableView()), std::vector<int>{1});
  EXPECT_EQ(editor->currentViewController()->group(), manager->groups()[1]);
  auto* field = editor->nameFieldAtRow(1);
  ASSERT_TRUE(field);
  EXPECT_FALSE(field->isReadOnly());
  EXPECT_EQ(editor->emojiButtonAtRow(1)->text(), QStringLiteral("🙂"));
  EXPECT_EQ(editor->emojiButtonAtRow(1)->toolTip(),
            QStringLiteral("Click to change the icon for this group."));

  for (const auto& [typed, expected] : std::vector<std::pair<QString, std::string>>{
           {QStringLiteral("   \n"), "New Group"}, {QStringLiteral("  Work \n"), "Work"}}) {
    editor->editName();
    field = editor->nameFieldAtRow(1);
    field->setText(typed);
    editor->didChangeGroupName(1);
    EXPECT_EQ(manager->groups()[1]->name(), expected);
    EXPECT_EQ(field->text().toStdString(), expected);
    EXPECT_TRUE(field->isReadOnly());
  }
  EXPECT_TRUE(savedPlanIs({"Home: Clocky", "Work:"}));
}

TEST_F(GroupPanesTest, DeletingAGroupAsksFirstAndTheLastGroupStays) {
  addGroup("One", {});
  auto* editor = makeEditor();
  zk_selectRows(editor->tableView(), {0});
  EXPECT_FALSE(editor->removeButton()->isEnabled());
  editor->removeSelectedItem();  // the only group: a beep, no alert
  runFor(0.05);
  EXPECT_TRUE(presenter->presented().empty());

  addGroup("Two", {"Alpha"});
  addGroup("Three", {});
  editor->reloadData();
  zk_selectRows(editor->tableView(), {2});
  editor->tableViewSelectionDidChange();
  EXPECT_TRUE(editor->removeButton()->isEnabled());
  answerAlerts(ZKAlertSecondButtonReturn);
  editor->removeSelectedItem();
  ASSERT_TRUE(runUntil([&] { return presenter->presented().size() == 1; }));
  EXPECT_EQ(presenter->presented()[0]->alert->messageText,
            QStringLiteral("Are you sure you want to delete this group and all its corresponding items?"));
  runFor(0.3);
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"One", "Two", "Three"}));

  // The last row goes: the new last row is selected.
  answerAlerts(ZKAlertFirstButtonReturn);
  editor->removeSelectedItem();
  ASSERT_TRUE(runUntil([&] { return manager->groups().size() == 2; }));
  EXPECT_EQ(zk_selectedRows(editor->tableView()), std::vector<int>{1});
  // The first row goes: the new first row is selected, and one group is left, so remove is off.
  zk_selectRows(editor->tableView(), {0});
  answerAlerts(ZKAlertFirstButtonReturn);
  editor->removeSelectedItem();
  ASSERT_TRUE(runUntil([&] { return manager->groups().size() == 1; }));
  EXPECT_EQ(groupNames(), std::vector<std::string>{"Two"});
  EXPECT_EQ(zk_selectedRows(editor->tableView()), std::vector<int>{0});
  EXPECT_FALSE(editor->removeButton()->isEnabled());
  EXPECT_TRUE(savedPlanIs({"Two: Alpha"}));
}

TEST_F(GroupPanesTest, DuplicatingAGroupCopiesItsModulesAndRunsEachCopyOnce) {
  auto work = addGroup("Work", {"Alpha", "Beta"});
  work->setEmoji("🚀");
  work->setIsExpanded(false);
  addGroup("Home", {});
  auto* editor = makeEditor();
  runs.clear();
  zk_selectRows(editor->tableView(), {0});
  editor->duplicateGroup();
  ASSERT_EQ(groupNames(), (std::vector<std::string>{"Work", "Home", "Work"}));
  auto copy = manager->groups()[2];
  EXPECT_EQ(copy->emoji(), "🚀");
  EXPECT_FALSE(copy->isExpanded());
  EXPECT_EQ(namesOf(copy->modules()), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_NE(copy->modules()[0], work->modules()[0]);
  EXPECT_EQ(runs.size(), 2u) << "each copy runs once";
  ASSERT_TRUE(runUntil([&] { return zk_selectedRows(editor->tableView()) == std::vector<int>{2}; }));
  EXPECT_TRUE(savedPlanIs({"Work: Alpha Beta", "Home:", "Work: Alpha Beta"}));
}

TEST_F(GroupPanesTest, GroupsMoveByActionsAndByDroppedBlocks) {
  for (const char* name : {"A", "B", "C", "D"}) addGroup(name, {});
  auto* editor = makeEditor();
  zk_selectRows(editor->tableView(), {0});
  editor->moveUp();  // the first stays first, and is saved
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"A", "B", "C", "D"}));
  editor->moveDown();
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"B", "A", "C", "D"}));
  EXPECT_EQ(zk_selectedRows(editor->tableView()), std::vector<int>{1});
  editor->moveUp();

  // Rows 0 and 1 dropped before row 3.
  zk_selectRows(editor->tableView(), {0, 1});
  auto* model = editor->model();
  std::unique_ptr<QMimeData> data(model->mimeData({model->index(0, 0), model->index(1, 0)}));
  EXPECT_TRUE(model->canDropMimeData(data.get(), Qt::MoveAction, 3, 0, {}));
  EXPECT_FALSE(model->canDropMimeData(data.get(), Qt::MoveAction, -1, 0, model->index(2, 0)));
  EXPECT_TRUE(model->dropMimeData(data.get(), Qt::MoveAction, 3, 0, {}));
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"C", "A", "B", "D"}));
  EXPECT_EQ(zk_selectedRows(editor->tableView()), (std::vector<int>{1, 2}));

  // A drag made before two groups went away names rows that are no longer there: nothing moves.
  std::unique_ptr<QMimeData> stale(model->mimeData({model->index(3, 0)}));
  manager->removeGroup(manager->groups()[3]);
  manager->removeGroup(manager->groups()[2]);
  editor->reloadData();
  EXPECT_FALSE(model->dropMimeData(stale.get(), Qt::MoveAction, 0, 0, {}));
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"C", "A"}));
  EXPECT_TRUE(savedPlanIs({"C:", "A:"}));
}

TEST_F(GroupPanesTest, AGroupDroppedOnARowTakesItsPlaceAndModulesDroppedOnAGroupMoveThere) {
  // The group list starts as A B C D for each drop of row 0.
  struct Case {
    const char* what;
    int row;
    double fraction;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"over the upper half of a row: before it", 2, 0.3, {"B", "A", "C", "D"}},
      {"over the lower half of a row: after it", 2, 0.7, {"B", "C", "A", "D"}},
      {"over the lower half of the last row: at the end", 3, 0.7, {"B", "C", "D", "A"}},
      {"on the line between rows", 1, 0.0, {"A", "B", "C", "D"}},
  };
  auto home = addGroup("A", {"Alpha", "Beta"});
  for (const char* name : {"B", "C", "D"}) addGroup(name, {});
  auto* editor = makeEditor();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<QVDashboardGroup::Pointer> start;
    for (const char* name : {"A", "B", "C", "D"})
      for (const auto& group : manager->groups())
        if (group->name() == name) start.push_back(group);
    manager->updateGroups(start);
    editor->reloadData();
    zk_selectRows(editor->tableView(), {0});
    auto* model = editor->model();
    std::unique_ptr<QMimeData> data(model->mimeData({model->index(0, 0)}));
    EXPECT_TRUE(dropOnRow(editor->tableView(), data.get(), c.row, c.fraction));
    EXPECT_EQ(groupNames(), c.expected);
  }

  // Modules dropped on the middle of a group's row still go to that group.
  const auto order = manager->groups();
  const int target = 3;
  zk_selectRows(editor->tableView(),
                {static_cast<int>(std::find(order.begin(), order.end(), home) - order.begin())});
  editor->tableViewSelectionDidChange();
  auto* detail = editor->currentViewController();
  ASSERT_EQ(detail->group(), home);
  std::unique_ptr<QMimeData> modules(detail->model()->mimeData({detail->model()->index(1, 0)}));
  EXPECT_TRUE(dropOnRow(editor->tableView(), modules.get(), target, 0.5));
  EXPECT_EQ(namesOf(home->modules()), std::vector<std::string>{"Alpha"});
  EXPECT_EQ(namesOf(manager->groups()[target]->modules()), std::vector<std::string>{"Beta"});

  // A module row dropped over the upper half of another module row goes before it.
  detail = editor->currentViewController();
  auto group = detail->group();
  group->addModule(makeModule("Gamma"), false);
  group->addModule(makeModule("Delta"), false);
  detail->reloadData();
  std::unique_ptr<QMimeData> last(detail->model()->mimeData({detail->model()->index(2, 0)}));
  EXPECT_TRUE(dropOnRow(detail->tableView(), last.get(), 0, 0.3));
  EXPECT_EQ(namesOf(group->modules()), (std::vector<std::string>{"Delta", "Beta", "Gamma"}));
}

TEST_F(GroupPanesTest, ModulesDraggedFromTheDetailPaneMoveToAnotherGroupWithTheirFiles) {
  auto work = addGroup("Work", {"Alpha", "Beta", "Gamma"});
  auto home = addGroup("Home", {"Delta"});
  auto* editor = makeEditor();
  zk_selectRows(editor->tableView(), {0});
  auto* detail = editor->currentViewController();
  ASSERT_TRUE(detail);
  const auto alpha = work->modules()[0];
  const fs::path logFile = alpha->log()->path();
  write(logFile, "kept\n");

  auto* source = detail->model();
  std::unique_ptr<QMimeData> data(source->mimeData({source->index(2, 0), source->index(0, 0)}));
  auto* groups = editor->model();
  // Onto its own group: refused. Between group rows: not a module drop.
  EXPECT_FALSE(groups->dropMimeData(data.get(), Qt::MoveAction, -1, 0, groups->index(0, 0)));
  EXPECT_FALSE(groups->canDropMimeData(data.get(), Qt::MoveAction, 1, 0, {}));
  EXPECT_TRUE(groups->dropMimeData(data.get(), Qt::MoveAction, -1, 0, groups->index(1, 0)));
  EXPECT_EQ(namesOf(work->modules()), std::vector<std::string>{"Beta"});
  EXPECT_EQ(namesOf(home->modules()), (std::vector<std::string>{"Delta", "Alpha", "Gamma"}));
  EXPECT_EQ(alpha->group(), home);
  EXPECT_TRUE(fs::exists(logFile));
  EXPECT_EQ(editor->currentViewController()->group(), home);

  // The same drag again names rows Work no longer has: nothing moves.
  EXPECT_FALSE(groups->dropMimeData(data.get(), Qt::MoveAction, -1, 0, groups->index(1, 0)));
  EXPECT_EQ(namesOf(home->modules()).size(), 3u);
  EXPECT_TRUE(savedPlanIs({"Work: Beta", "Home: Delta Alpha Gamma"}));
}

TEST_F(GroupPanesTest, AnEditRequestSelectsTheGroupAndOpensTheModuleSheet) {
  addGroup("Work", {"Alpha"});
  auto home = addGroup("Home", {"Beta", "Gamma"});
  auto* editor = makeEditor();
  auto stray = QVDashboardGroup::groupWithName("Elsewhere");
  stray->addModule(makeModule("Stray"), false);
  auto& center = platform::NotificationCenter::defaultCenter();
  center.postNotificationName(QVEditWithModuleNotification, nullptr, stray->modules()[0]);
  EXPECT_EQ(editor->currentViewController()->group(), manager->groups()[0]);
  EXPECT_FALSE(editor->currentViewController()->editWindowController());

  center.postNotificationName(QVEditWithModuleNotification, nullptr, home->modules()[1]);
  auto* detail = editor->currentViewController();
  EXPECT_EQ(detail->group(), home);
  ASSERT_TRUE(detail->editWindowController());
  EXPECT_EQ(detail->editWindowController()->module(), home->modules()[1]);
  EXPECT_EQ(zk_selectedRows(detail->tableView()), std::vector<int>{1});
}

TEST_F(GroupPanesTest, ThePickedEmojiBecomesTheGroupsIconAndThePopoverCloses) {
  addGroup("Work", {});
  addGroup("Home", {});
  auto* editor = makeEditor();
  editor->selectEmoji(1);
  EXPECT_EQ(editor->pendingRow(), 1);
  ASSERT_TRUE(editor->emojiPickerViewController() && editor->popover());
  EXPECT_TRUE(editor->popover()->isVisible());
  editor->emojiPickerDidSelectEmoji(editor->emojiPickerViewController(), "🍎");
  EXPECT_EQ(manager->groups()[1]->emoji(), "🍎");
  EXPECT_EQ(editor->emojiButtonAtRow(1)->text(), QStringLiteral("🍎"));
  EXPECT_EQ(editor->pendingRow(), -1);
  EXPECT_FALSE(editor->emojiPickerViewController());
  EXPECT_TRUE(savedPlanIs({"Work:", "Home:"}));
}

// ---- Group detail ----

TEST_F(GroupPanesTest, DetailPaneDuplicatesMovesAndDeletesModules) {
  auto group = addGroup("Work", {"Alpha", "Beta", "Gamma"});
  auto* detail = QVGroupDetailViewController::controllerWithGroup(group, manager, nullptr, host);
  detail->setParentWindow(host);
  runs.clear();
  zk_selectRows(detail->tableView(), {0, 2});
  detail->duplicate();
  EXPECT_EQ(namesOf(group->modules()),
            (std::vector<std::string>{"Alpha", "Beta", "Gamma", "Alpha", "Gamma"}));
  EXPECT_EQ(runs.size(), 2u) << "each copy runs once";

  zk_selectRows(detail->tableView(), {0});
  detail->moveUp();
  EXPECT_EQ(namesOf(group->modules())[0], "Alpha");
  detail->moveDown();
  EXPECT_EQ(namesOf(group->modules()),
            (std::vector<std::string>{"Beta", "Alpha", "Gamma", "Alpha", "Gamma"}));
  EXPECT_EQ(zk_selectedRows(detail->tableView()), std::vector<int>{1});

  // Rows 3 and 4 dragged to the top of the list.
  auto* model = detail->model();
  std::unique_ptr<QMimeData> data(model->mimeData({model->index(3, 0), model->index(4, 0)}));
  EXPECT_FALSE(model->canDropMimeData(data.get(), Qt::MoveAction, -1, 0, model->index(0, 0)));
  EXPECT_TRUE(model->dropMimeData(data.get(), Qt::MoveAction, 0, 0, {}));
  EXPECT_EQ(namesOf(group->modules()),
            (std::vector<std::string>{"Alpha", "Gamma", "Beta", "Alpha", "Gamma"}));

  // Three rows deleted after one confirmation, with their files; a cancel changes nothing.
  const auto doomed = group->modules();
  for (int i = 0; i < 3; ++i) write(doomed[static_cast<std::size_t>(i)]->log()->path(), "x\n");
  zk_selectRows(detail->tableView(), {0, 1, 2});
  answerAlerts(ZKAlertSecondButtonReturn);
  detail->removeSelectedItem();
  runFor(0.3);
  EXPECT_EQ(group->modules().size(), 5u);
  answerAlerts(ZKAlertFirstButtonReturn);
  detail->removeSelectedItem();
  ASSERT_TRUE(runUntil([&] { return group->modules().size() == 2; }));
  EXPECT_EQ(presenter->presented().size(), 2u);
  EXPECT_EQ(presenter->presented()[1]->alert->messageText,
            QStringLiteral("Are you sure you want to delete this module?"));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(doomed[static_cast<std::size_t>(i)]->log()->path()));
  EXPECT_TRUE(savedPlanIs({"Work: Alpha Gamma"}));
}

TEST_F(GroupPanesTest, DetailRowsShowIncompleteModulesAndRenameInPlace) {
  auto group = QVDashboardGroup::groupWithName("Work");
  group->addModule(makeModule("Plain"), false);
  const nlohmann::json city = {{"name", "city"}, {"type", "string"}, {"required", true}};
  group->addModule(makeModule("Needy", {{"user_options", nlohmann::json::array({city})}}), false);
  manager->addGroup(group);
  auto* detail = QVGroupDetailViewController::controllerWithGroup(group, manager, nullptr, host);
  auto detailText = [&](int row) {
    return detail->tableView()
        ->indexWidget(detail->model()->index(row, 0))
        ->findChild<QLabel*>("detailLabel")
        ->text();
  };
  EXPECT_EQ(detailText(0), QStringLiteral("A module of the tests"));
  EXPECT_EQ(detailText(1), QString::fromLatin1(QVGroupDetailViewController::kIncompleteModuleLine));
  EXPECT_TRUE(
      detail->tableView()->indexWidget(detail->model()->index(1, 0))->findChild<QLabel*>("cautionImage"));

  zk_selectRows(detail->tableView(), {0});
  detail->editName();
  detail->nameFieldAtRow(0)->setText(QStringLiteral("  Mine "));
  detail->didChangeModuleName(0);
  EXPECT_EQ(group->modules()[0]->name(), "Mine");
  detail->editName();
  detail->nameFieldAtRow(0)->setText(QStringLiteral(" "));
  detail->didChangeModuleName(0);
  EXPECT_EQ(group->modules()[0]->name(), "Mine");
  EXPECT_EQ(detail->nameFieldAtRow(0)->text(), QStringLiteral("Mine"));
}

// ---- Row menus and shortcuts ----

TEST_F(GroupPanesTest, TheRowMenusOfferTheirActionsWithTheSameShortcutsAndOnlyWhereTheyApply) {
  addGroup("Work", {"Alpha", "Beta", "Gamma"});
  addGroup("Home", {});
  addGroup("Play", {});
  auto* editor = makeEditor();
  auto* groups = editor->tableView();
  struct Case {
    const char* what;
    bool modules;
    int row;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"the first group",
       false,
       0,
       {"Rename=F2", "Duplicate=Ctrl+D", "-", "(Move Up)", "Move Down=Alt+Down", "-", "Delete…=Del"}},
      {"a middle group",
       false,
       1,
       {"Rename=F2", "Duplicate=Ctrl+D", "-", "Move Up=Alt+Up", "Move Down=Alt+Down", "-", "Delete…=Del"}},
      {"the last group",
       false,
       2,
       {"Rename=F2", "Duplicate=Ctrl+D", "-", "Move Up=Alt+Up", "(Move Down)", "-", "Delete…=Del"}},
      {"the first module",
       true,
       0,
       {"Run Now=Ctrl+R", "Edit…=", "Rename=F2", "Duplicate=Ctrl+D", "-", "(Move Up)", "Move Down=Alt+Down",
        "-", "Delete…=Del"}},
      {"the last module",
       true,
       2,
       {"Run Now=Ctrl+R", "Edit…=", "Rename=F2", "Duplicate=Ctrl+D", "-", "Move Up=Alt+Up", "(Move Down)",
        "-", "Delete…=Del"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // The module rows are those of the first group, laid out.
    zk_selectRows(groups, {0});
    runFor(0.05);
    auto* detail = editor->currentViewController();
    auto* table = c.modules ? detail->tableView() : groups;
    auto* rows = c.modules ? detail->rowMenu() : editor->rowMenu();
    EXPECT_EQ(openMenuOnRow(table, rows, c.row), c.entries);
    rows->menu()->hide();
    // Closed, every entry answers its shortcut again; the row clicked is forgotten a moment later.
    for (auto* action : rows->menu()->actions()) EXPECT_TRUE(action->isEnabled());
    runFor(0.05);
  }

  // The menu acts on the row it was opened on, which becomes the selection.
  runs.clear();
  zk_selectRows(groups, {0});
  runFor(0.05);
  auto* detail = editor->currentViewController();
  zk_selectRows(detail->tableView(), {0, 2});
  openMenuOnRow(detail->tableView(), detail->rowMenu(), 1);
  choose(detail->rowMenu(), QStringLiteral("Run Now"));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(namesOf({runs[0]}), std::vector<std::string>{"Beta"});
  openMenuOnRow(groups, editor->rowMenu(), 2);
  choose(editor->rowMenu(), QStringLiteral("Duplicate"));
  EXPECT_EQ(groupNames(), (std::vector<std::string>{"Work", "Home", "Play", "Play"}));

  // With one group left, it cannot be deleted.
  for (int i = 0; i < 3; ++i) manager->removeGroup(manager->groups().back());
  editor->reloadData();
  EXPECT_EQ(openMenuOnRow(groups, editor->rowMenu(), 0),
            (std::vector<std::string>{"Rename=F2", "Duplicate=Ctrl+D", "-", "(Move Up)", "(Move Down)", "-",
                                      "(Delete…)"}));
  editor->rowMenu()->menu()->hide();
}

TEST_F(GroupPanesTest, TheRowShortcutsActOnTheSelectedRowWhileItsListHasTheFocus) {
  addGroup("Work", {"Alpha", "Beta"});
  addGroup("Home", {});
  auto* editor = makeEditor();
  host->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(host));
  auto* groups = editor->tableView();
  runs.clear();
  struct Case {
    const char* what;
    bool inModules;
    int row;
    QKeyCombination keys;
    std::vector<std::string> groups;       // afterwards
    std::vector<std::string> workModules;  // afterwards
  };
  const Case cases[] = {
      {"a group moves down", false, 0, Qt::ALT | Qt::Key_Down, {"Home", "Work"}, {"Alpha", "Beta"}},
      {"a group moves up", false, 1, Qt::ALT | Qt::Key_Up, {"Work", "Home"}, {"Alpha", "Beta"}},
      {"a group is duplicated", false, 1, Qt::CTRL | Qt::Key_D, {"Work", "Home", "Home"}, {"Alpha", "Beta"}},
      {"a module moves down", true, 0, Qt::ALT | Qt::Key_Down, {"Work", "Home", "Home"}, {"Beta", "Alpha"}},
      {"a module moves up", true, 1, Qt::ALT | Qt::Key_Up, {"Work", "Home", "Home"}, {"Alpha", "Beta"}},
      {"a module is duplicated",
       true,
       1,
       Qt::CTRL | Qt::Key_D,
       {"Work", "Home", "Home"},
       {"Alpha", "Beta", "Beta"}},
  };
  auto work = manager->groups()[0];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto list = manager->groups();
    zk_selectRows(groups, {static_cast<int>(std::find(list.begin(), list.end(), work) - list.begin())});
    auto* table = c.inModules ? editor->currentViewController()->tableView() : groups;
    zk_selectRows(table, {c.row});
    table->setFocus();
    QTest::keyClick(table, c.keys.key(), c.keys.keyboardModifiers());
    // A duplicated group is selected a moment later.
    runFor(0.25);
    EXPECT_EQ(groupNames(), c.groups);
    EXPECT_EQ(namesOf(work->modules()), c.workModules);
  }

  // Run now, then the delete key asks first.
  auto* detail = editor->currentViewController();
  zk_selectRows(detail->tableView(), {2});
  detail->tableView()->setFocus();
  QTest::keyClick(detail->tableView(), Qt::Key_R, Qt::ControlModifier);
  ASSERT_EQ(runs.size(), 2u) << "the duplicated module ran, then the one run now";
  EXPECT_EQ(runs[1], work->modules()[2]);
  answerAlerts(ZKAlertSecondButtonReturn);
  QTest::keyClick(detail->tableView(), Qt::Key_Delete);
  EXPECT_TRUE(runUntil([&] { return presenter->presented().size() == 1; }, 1));

  // F2 renames; while the name is edited the keys are the field's, not the list's.
  zk_selectRows(detail->tableView(), {0});
  detail->tableView()->setFocus();
  QTest::keyClick(detail->tableView(), Qt::Key_F2);
  auto* field = detail->nameFieldAtRow(0);
  ASSERT_TRUE(field);
  EXPECT_FALSE(field->isReadOnly());
  EXPECT_TRUE(field->hasFocus());
  QTest::keyClick(field, Qt::Key_Down, Qt::AltModifier);
  EXPECT_EQ(namesOf(work->modules()), (std::vector<std::string>{"Alpha", "Beta", "Beta"}));

  // Rename from the menu edits the name in place too, once the menu has closed.
  openMenuOnRow(groups, editor->rowMenu(), 1);
  choose(editor->rowMenu(), QStringLiteral("Rename"));
  auto* groupField = editor->nameFieldAtRow(1);
  ASSERT_TRUE(groupField);
  EXPECT_FALSE(groupField->isReadOnly());
  EXPECT_TRUE(groupField->hasFocus());
}

TEST_F(GroupPanesTest, DescriptionsTooLongForTheirRowEndInAnEllipsisAndShowWholeInTheirTooltip) {
  const std::string longText =
      "Whether a web address or service answers, how fast it answers, and what it said the last time it "
      "was asked";
  auto group = QVDashboardGroup::groupWithName("Work");
  group->addModule(makeModule("Short"), false);
  group->addModule(makeModule("Wordy", {{"description", longText}}), false);
  manager->addGroup(group);
  // Modules of the user's own carry the same descriptions into the add-module sheet.
  const auto userFolder = fs::path(manager->userModuleDirectoryPath());
  fs::create_directories(userFolder);
  fs::rename(writePackage("Short"), userFolder / "Short.quorvanemodule");
  fs::rename(writePackage("Wordy", {{"description", longText}}), userFolder / "Wordy.quorvanemodule");

  auto* editor = makeEditor();
  auto* detail = editor->currentViewController();
  ASSERT_TRUE(detail);
  ASSERT_TRUE(runUntil([&] { return host->isVisible(); }));
  runFor(0.1);
  auto detailLabel = [&](int row) {
    return detail->tableView()
        ->indexWidget(detail->model()->index(row, 0))
        ->findChild<QLabel*>("detailLabel");
  };

  auto* sheet = QVAddModuleWindowController::controllerWithManager(manager, host);
  sheet->window()->resize(480, 460);
  sheet->window()->show();
  ASSERT_TRUE(runUntil([&] { return sheet->window()->isVisible(); }));
  runFor(0.1);
  auto sheetLabel = [&](const std::string& name) -> QLabel* {
    for (int row = 0; row < static_cast<int>(sheet->modulesArray().size()); ++row) {
      const auto* module =
          std::get_if<QVDashboardModule::Pointer>(&sheet->modulesArray()[static_cast<std::size_t>(row)]);
      if (module && (*module)->moduleName() == name && (*module)->path().find(userFolder.string()) == 0)
        return sheet->tableView()->cellWidget(row, 1)->findChild<QLabel*>("detailLabel");
    }
    return nullptr;
  };

  struct Shown {
    const char* where;
    QLabel* shortOne;
    QLabel* longOne;
  };
  for (const Shown& shown : {Shown{"group detail pane", detailLabel(0), detailLabel(1)},
                             Shown{"add-module sheet", sheetLabel("Short"), sheetLabel("Wordy")}}) {
    SCOPED_TRACE(shown.where);
    ASSERT_TRUE(shown.shortOne && shown.longOne);
    EXPECT_EQ(shown.shortOne->text(), QStringLiteral("A module of the tests"));
    EXPECT_TRUE(shown.shortOne->toolTip().isEmpty());
    const QString whole = QString::fromStdString(longText);
    EXPECT_TRUE(shown.longOne->text().endsWith(QStringLiteral("…"))) << shown.longOne->text().toStdString();
    EXPECT_TRUE(whole.startsWith(shown.longOne->text().chopped(1)));
    EXPECT_LE(shown.longOne->fontMetrics().horizontalAdvance(shown.longOne->text()), shown.longOne->width());
    EXPECT_EQ(shown.longOne->toolTip(), whole);
  }
  qvtesting::saveGrab(host, "group-panes", "elided-descriptions-pane");
  qvtesting::saveGrab(sheet->window(), "group-panes", "elided-descriptions-sheet");
  delete sheet;
}

// ---- Add-module sheet ----

TEST_F(GroupPanesTest, TheAddSheetFiltersByFoldedSearchAndCategoryAndKeepsTicks) {
  auto rows = [](QVAddModuleWindowController* sheet) {
    std::vector<std::string> names;
    for (const auto& row : sheet->modulesArray()) {
      if (const auto* header = std::get_if<QVAddModuleWindowController::Header>(&row))
        names.push_back("# " + header->name);
      else
        names.push_back(std::get<QVDashboardModule::Pointer>(row)->moduleName().value_or(""));
    }
    return names;
  };
  auto* sheet = QVAddModuleWindowController::controllerWithManager(manager, host);
  const auto all = rows(sheet);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[0].rfind("# Bundled Modules (", 0), 0u);
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& row) { return row.rfind("# Custom", 0) == 0; }),
            0);
  EXPECT_TRUE(sheet->findMoreButtonAtRow(0));
  EXPECT_FALSE(sheet->nextButton()->isEnabled());
  delete sheet;

  // User modules: one with accents in its description, one in the "Weather" category.
  const auto userFolder = fs::path(manager->userModuleDirectoryPath());
  fs::create_directories(userFolder);
  fs::rename(writePackage("Meteo", {{"description", "Prévisions météo"}, {"category", "Weather"}}),
             userFolder / "Meteo.quorvanemodule");
  fs::rename(writePackage("Tally", {{"description", "Counts things"}}), userFolder / "Tally.quorvanemodule");
  sheet = QVAddModuleWindowController::controllerWithManager(manager, host);
  std::optional<std::vector<QVDashboardModule::Pointer>> result;
  int calls = 0;
  sheet->completionBlock = [&](std::optional<std::vector<QVDashboardModule::Pointer>> chosen) {
    result = std::move(chosen);
    ++calls;
  };
  struct Case {
    QString search;
    std::vector<std::string> custom;
  };
  for (const auto& c : std::vector<Case>{{QStringLiteral("   "), {"# Custom Modules (2)", "Meteo", "Tally"}},
                                         {QStringLiteral("METEO"), {"# Custom Modules (1)", "Meteo"}},
                                         {QStringLiteral("previsions"), {"# Custom Modules (1)", "Meteo"}},
                                         {QStringLiteral("zzz"), {"# Custom Modules (0)"}}}) {
    sheet->searchField()->setText(c.search);
    const auto shown = rows(sheet);
    const auto custom = std::find_if(shown.begin(), shown.end(),
                                     [](const std::string& row) { return row.rfind("# Custom", 0) == 0; });
    EXPECT_EQ(std::vector<std::string>(custom, shown.end()), c.custom) << c.search.toStdString();
  }
  // Ticks are kept by module across filters, in ticking order.
  sheet->searchField()->setText(QString());
  auto rowOf = [&](const std::string& name) {
    const auto shown = rows(sheet);
    return static_cast<int>(std::find(shown.begin(), shown.end(), name) - shown.begin());
  };
  sheet->tickBoxAtRow(rowOf("Tally"))->click();
  sheet->tickBoxAtRow(rowOf("Meteo"))->click();
  EXPECT_TRUE(sheet->nextButton()->isEnabled());
  sheet->categoryDropdown()->setCurrentIndex(sheet->categoryDropdown()->findText(QStringLiteral("Weather")));
  EXPECT_EQ(rowOf("Tally"), static_cast<int>(rows(sheet).size()));
  sheet->tickBoxAtRow(rowOf("Meteo"))->click();
  sheet->tickBoxAtRow(rowOf("Meteo"))->click();
  sheet->nextButton()->click();
  sheet->cancel();
  ASSERT_EQ(calls, 1);
  ASSERT_TRUE(result);
  std::vector<std::string> chosen;
  for (const auto& module : *result) chosen.push_back(module->moduleName().value_or(""));
  EXPECT_EQ(chosen, (std::vector<std::string>{"Tally", "Meteo"}));
}

// ---- Custom modules ----

TEST_F(GroupPanesTest, InstallAnswersShowTheirAlertsAndTheOthersStillInstall) {
  auto* pane = QVUserModuleEditorViewController::controllerWithManager(manager, host);
  pane->view()->setParent(host);
  EXPECT_EQ(pane->moduleTitle(), QStringLiteral("Custom Modules"));
  presenter->script({{}, {}, {}, {}});
  const auto first = writePackage("First");
  const auto already = writePackage("Second");
  const auto third = writePackage("Third");
  const fs::path notAPackage = root() / "packages" / "loose-folder";
  fs::create_directories(notAPackage);
  const fs::path badManifest = root() / "packages" / "Broken.quorvanemodule";
  write(badManifest / "package.json", "{ not json");
  std::vector<std::string> closing;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto disable =
      center.addObserverForName("Notification.disableWindowClosing", nullptr,
                                [&](const platform::Notification&) { closing.push_back("disable"); });
  auto enable =
      center.addObserverForName("Notification.enableWindowClosing", nullptr,
                                [&](const platform::Notification&) { closing.push_back("enable"); });
  // "Second" is installed already (same bundle identifier).
  const auto userFolder = fs::path(manager->userModuleDirectoryPath());
  fs::create_directories(userFolder);
  fs::copy(already, userFolder / "Other.quorvanemodule", fs::copy_options::recursive);
  pane->openPanel = [&](QWidget*) {
    return QStringList{platform::toQString(first.string()), platform::toQString(already.string()),
                       platform::toQString(third.string()), platform::toQString(notAPackage.string()),
                       platform::toQString(badManifest.string())};
  };
  pane->install();
  ASSERT_TRUE(runUntil([&] { return !pane->isInstalling() && presenter->presented().size() == 3; }));
  runFor(0.1);
  std::vector<std::pair<QString, QString>> alerts;
  for (const auto& shown : presenter->presented())
    alerts.emplace_back(shown->alert->messageText, shown->alert->informativeText);
  EXPECT_EQ(alerts,
            (std::vector<std::pair<QString, QString>>{
                {"Could not install 'Second.quorvanemodule'",
                 "A module with this name or bundle ID already exists."},
                {"Could not install 'loose-folder'", "The module is not a valid Quorvane Dashboard module."},
                {"Could not install 'Broken.quorvanemodule'",
                 "The module is not a valid Quorvane Dashboard module."}}));
  EXPECT_EQ(closing,
            (std::vector<std::string>{"disable", "enable", "disable", "enable", "disable", "enable"}));
  std::vector<std::string> listed;
  for (const auto& module : pane->modules()) listed.push_back(module->moduleName().value_or(""));
  EXPECT_EQ(listed, (std::vector<std::string>{"First", "Second", "Third"}));
  EXPECT_FALSE(fs::exists(userFolder / "Broken.quorvanemodule"));
  for (const auto& [code, text] : std::vector<std::pair<std::int64_t, const char*>>{
           {2, "The module is not a valid Quorvane Dashboard module."},
           {3, "A module with this name or bundle ID already exists."},
           {4, "Could not move the module."},
           {7, "An error occurred while installing this module."}})
    EXPECT_EQ(QVUserModuleEditorViewController::installFailureText(code), QString::fromUtf8(text)) << code;
}

// The install chooser lists folders and packages only; typed or opened, a package is chosen, a plain
// folder is gone into, and a plain file (or a file merely named like a package) is refused.
TEST_F(GroupPanesTest, TheInstallChooserOffersPackagesAndChoosesOnlyThem) {
  const fs::path folder = root() / "packages";
  writePackage("One");
  writePackage("Two");
  fs::create_directories(folder / "Plain");
  write(folder / "notes.txt", "not a module\n");
  write(folder / "Fake.quorvanemodule", "a file, not a package\n");
  QVModulePackageDialog dialog(host);
  dialog.setDirectory(platform::toQString(folder.string()));
  dialog.open();
  auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
  ASSERT_TRUE(view);
  const auto listed = [&] {
    QStringList names;
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
      names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    return names;
  };
  // Sorted by name once the folder is read.
  ASSERT_TRUE(runUntil([&] {
    return listed() == QStringList{"One.quorvanemodule", "Plain", "Two.quorvanemodule"};
  })) << listed().join(", ").toStdString();
  EXPECT_EQ(view->model()->index(0, 2, view->rootIndex()).data().toString(), QStringLiteral("Module"));
  EXPECT_EQ(view->model()->index(1, 2, view->rootIndex()).data().toString(), QStringLiteral("Folder"));

  // What the user types into the name field.
  auto* nameField = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_TRUE(nameField);
  struct Case {
    const char* typed;
    const char* directoryAfter;  // below `folder`; empty: `folder` itself
  };
  for (const Case& c : {Case{"notes.txt", ""}, Case{"Fake.quorvanemodule", ""},
                        Case{"Missing.quorvanemodule", ""}, Case{"Plain", "Plain"}}) {
    SCOPED_TRACE(c.typed);
    dialog.setDirectory(platform::toQString(folder.string()));
    nameField->setText(QString::fromUtf8(c.typed));
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible()) << "it was chosen";
    EXPECT_EQ(fs::path(dialog.directory().absolutePath().toStdString()),
              *c.directoryAfter ? folder / c.directoryAfter : folder);
    EXPECT_TRUE(dialog.chosenPackages().isEmpty());
  }

  // Opening a package in the list chooses it.
  dialog.setDirectory(platform::toQString(folder.string()));
  ASSERT_TRUE(runUntil([&] { return listed().size() == 3; }));
  const QModelIndex two =
      view->model()->index(static_cast<int>(listed().indexOf("Two.quorvanemodule")), 0, view->rootIndex());
  view->setCurrentIndex(two);
  Q_EMIT view->activated(two);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.chosenPackages().join(QLatin1Char('|')).toStdString(),
            (folder / "Two.quorvanemodule").string());

  // Several picked in the list at once.
  dialog.open();
  dialog.setDirectory(platform::toQString(folder.string()));
  ASSERT_TRUE(runUntil([&] { return listed().size() == 3; }));
  view->selectionModel()->clearSelection();
  for (const char* name : {"One.quorvanemodule", "Two.quorvanemodule"})
    view->selectionModel()->select(
        view->model()->index(static_cast<int>(listed().indexOf(QString::fromLatin1(name))), 0,
                             view->rootIndex()),
        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  dialog.accept();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.chosenPackages().join(QLatin1Char('|')).toStdString(),
            (folder / "One.quorvanemodule").string() + "|" + (folder / "Two.quorvanemodule").string());
}

TEST_F(GroupPanesTest, AZippedPackageInstallsAndAZipWithoutOneIsRefused) {
  auto* pane = QVUserModuleEditorViewController::controllerWithManager(manager, host);
  presenter->script({{}, {}});
  const fs::path packages = root() / "packages";
  writePackage("Zipped");
  write(packages / "notes.txt", "no package here\n");
  const std::string zip = "cd '" + packages.string() +
                          "' && zip -qr Zipped.zip Zipped.quorvanemodule && zip -q Notes.zip notes.txt";
  ASSERT_EQ(std::system(zip.c_str()), 0);
  pane->installModules({platform::toQString((packages / "Zipped.zip").string()),
                        platform::toQString((packages / "Notes.zip").string())});
  ASSERT_TRUE(runUntil([&] { return !pane->isInstalling() && presenter->presented().size() == 1; }));
  EXPECT_EQ(presenter->presented()[0]->alert->messageText, QStringLiteral("Could not install 'Notes.zip'"));
  EXPECT_EQ(presenter->presented()[0]->alert->informativeText,
            QStringLiteral("The module is not a valid Quorvane Dashboard module."));
  ASSERT_EQ(pane->modules().size(), 1u);
  EXPECT_EQ(pane->modules()[0]->moduleName(), "Zipped");
  EXPECT_TRUE(
      fs::exists(fs::path(manager->userModuleDirectoryPath()) / "Zipped.quorvanemodule" / "package.json"));
  // Nothing unpacked is left behind.
  for (const auto& entry : fs::directory_iterator(platform::paths::temporaryDirectory()))
    EXPECT_EQ(entry.path().filename().string().rfind("module-install-", 0), std::string::npos)
        << entry.path();
}

TEST_F(GroupPanesTest, UninstallingAModuleInUseTakesItOutOfItsGroupsFirst) {
  const auto userFolder = fs::path(manager->userModuleDirectoryPath());
  fs::create_directories(userFolder);
  fs::rename(writePackage("Used"), userFolder / "Used.quorvanemodule");
  auto* pane = QVUserModuleEditorViewController::controllerWithManager(manager, host);
  ASSERT_EQ(pane->modules().size(), 1u);
  auto group = QVDashboardGroup::groupWithName("Work");
  group->addModule(pane->modules()[0]);
  group->addModule(makeModule("Other"), false);
  manager->addGroup(group);

  pane->showInFinder();  // nothing selected: a beep
  EXPECT_TRUE(desktop->revealedFiles.empty());
  zk_selectRows(pane->tableView(), {0});
  pane->showInFinder();
  ASSERT_EQ(desktop->revealedFiles.size(), 1u);
  EXPECT_EQ(desktop->revealedFiles[0].toStdString(), (userFolder / "Used.quorvanemodule").string());

  presenter->script({{ZKAlertSecondButtonReturn}});
  pane->uninstallButtonAtRow(0)->click();
  runFor(0.3);
  EXPECT_TRUE(fs::exists(userFolder / "Used.quorvanemodule"));
  presenter->script({{ZKAlertFirstButtonReturn}});
  pane->uninstallButtonAtRow(0)->click();
  ASSERT_TRUE(runUntil([&] { return pane->modules().empty(); }));
  EXPECT_FALSE(fs::exists(userFolder / "Used.quorvanemodule"));
  EXPECT_EQ(namesOf(group->modules()), std::vector<std::string>{"Other"});
  EXPECT_TRUE(savedPlanIs({"Work: Other"}));
}

// ---- A whole session ----

TEST_F(GroupPanesTest, AWholeSessionArrangesTheDashboardThroughThePanes) {
  addGroup("Home", {});
  auto* editor = makeEditor();
  // Add a group and name it.
  editor->addNewGroup();
  editor->nameFieldAtRow(1)->setText(QStringLiteral("Work"));
  editor->didChangeGroupName(1);
  ASSERT_TRUE(savedPlanIs({"Home:", "Work:"}));

  // Add two built-in modules through the add sheet.
  auto* detail = editor->currentViewController();
  ASSERT_EQ(detail->group(), manager->groups()[1]);
  detail->showAddModule();
  auto* sheet = detail->addWindowController();
  ASSERT_TRUE(sheet);
  runFor(0.1);
  sheet->searchField()->setText(QStringLiteral("clock"));
  sheet->tickBoxAtRow(1)->click();
  sheet->searchField()->setText(QStringLiteral("memory"));
  sheet->tickBoxAtRow(1)->click();
  sheet->nextButton()->click();
  ASSERT_TRUE(runUntil([&] { return manager->groups()[1]->modules().size() == 2; }));
  const auto added = namesOf(manager->groups()[1]->modules());
  ASSERT_TRUE(savedPlanIs({"Home:", "Work: " + added[0] + " " + added[1]}));

  // Move the second module to "Home" by dragging it onto that group.
  auto* modules = detail->model();
  std::unique_ptr<QMimeData> data(modules->mimeData({modules->index(1, 0)}));
  ASSERT_TRUE(editor->model()->dropMimeData(data.get(), Qt::MoveAction, -1, 0, editor->model()->index(0, 0)));
  ASSERT_TRUE(savedPlanIs({"Home: " + added[1], "Work: " + added[0]}));

  // Duplicate it in "Home".
  detail = editor->currentViewController();
  ASSERT_EQ(detail->group(), manager->groups()[0]);
  zk_selectRows(detail->tableView(), {0});
  detail->duplicate();
  ASSERT_TRUE(savedPlanIs({"Home: " + added[1] + " " + added[1], "Work: " + added[0]}));

  // Delete "Work".
  zk_selectRows(editor->tableView(), {1});
  answerAlerts(ZKAlertFirstButtonReturn);
  editor->removeSelectedItem();
  ASSERT_TRUE(savedPlanIs({"Home: " + added[1] + " " + added[1]}));
  // The preferences window themes its window; the panes follow it.
  QVWindowTheme::follow(host);
  runFor(0.05);
  qvtesting::saveGrab(host, "group-panes", "session-light");
  useTheme("DDDarkTheme");
  runFor(0.05);
  qvtesting::saveGrab(host, "group-panes", "session-dark");
}

}  // namespace
}  // namespace windowstest
