// The kit's tables and outlines with a dashboard's number of rows: hover reports after the pointer
// rests, the keyboard going on from the hovered row, Return as the double action, context menus only on
// ordinary rows with the clicked row marked, the Delete keys and right-click selection of the editors'
// table, on/off and button cells, and the row views' drawing in both themes.
#include <gtest/gtest.h>

#include <QtCore/QAbstractTableModel>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QStandardItemModel>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDateTimeEdit>
#include <QtWidgets/QDoubleSpinBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QScrollBar>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/DATableView.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/SBDraggingTableView.h"
#include "uikit/SBOutlineView.h"
#include "uikit/ZKColorWellTableCellView.h"
#include "uikit/ZKDatePickerCellView.h"
#include "uikit/ZKDeleteTableView.h"
#include "uikit/ZKNumberStepperCellView.h"
#include "uikit/ZKPathTableCellView.h"
#include "uikit/ZKPopupButtonCellView.h"
#include "uikit/ZKTableCellView.h"
#include "uikit/ZKThemableTableRowView.h"
#include "uikit/ZKThemeManager.h"

namespace {

// Rows of module names; rows can be removed, every tenth row is a group heading.
class ModulesModel : public QAbstractTableModel {
 public:
  explicit ModulesModel(int rows) {
    for (int i = 0; i < rows; ++i) names.push_back(QStringLiteral("Module %1").arg(i));
  }
  std::vector<QString> names;
  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(names.size()); }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DisplayRole)
      return index.column() == 0 ? names[size_t(index.row())] : QStringLiteral("ok");
    return {};
  }
  bool removeRows(int row, int count, const QModelIndex& parent) override {
    beginRemoveRows(parent, row, row + count - 1);
    names.erase(names.begin() + row, names.begin() + row + count);
    endRemoveRows();
    return true;
  }
};

struct Recorder : SBMouseOverDelegate,
                  SBDraggingTableViewDelegate,
                  ZKDeleteTableViewDelegate,
                  SBOutlineViewDelegate {
  std::vector<std::int64_t> hovered;
  int deletes = 0;
  void tableViewDidHoverRow(std::int64_t row) override { hovered.push_back(row); }
  bool tableViewIsGroupRow(SBDraggingTableView*, std::int64_t row) override { return row % 10 == 0; }
  bool outlineViewIsGroupItem(SBOutlineView*, const QModelIndex& item) override {
    return !item.parent().isValid();
  }
  void tableViewDeleteFromKeyboard(ZKDeleteTableView* table) override {
    ++deletes;
    const auto rows = zk_selectedRows(table);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) table->model()->removeRow(*it);
  }
};

void sendMouse(QAbstractItemView* view, QEvent::Type type, QPoint pos,
               Qt::MouseButton button = Qt::LeftButton) {
  QWidget* target = view->viewport();
  QMouseEvent event(
      type, QPointF(pos), QPointF(target->mapToGlobal(pos)),
      type == QEvent::MouseMove ? Qt::NoButton : button,
      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::MouseButtons(Qt::NoButton),
      Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

void sendContextMenu(QAbstractItemView* view, QPoint pos) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, view->viewport()->mapToGlobal(pos));
  QApplication::sendEvent(view->viewport(), &event);
}

QPoint rowPoint(QAbstractItemView* view, int row) {
  return view->visualRect(view->model()->index(row, 0)).center();
}

class TablesTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
  }
  void TearDown() override {
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
  ModulesModel model{1000};
  Recorder recorder;
};

class HoverTableTest : public TablesTest {
 protected:
  void SetUp() override {
    TablesTest::SetUp();
    table.setModel(&model);
    table.setHoverDelegate(&recorder);
    table.setDelegate(&recorder);
    table.awakeFromNib();
    table.resize(320, 400);
    table.show();
    ASSERT_TRUE(runUntil([&] { return table.isVisible(); }));
  }
  void restOn(QPoint pos) {
    sendMouse(&table, QEvent::MouseMove, pos);
    ASSERT_TRUE(runUntil([&] { return !table.isHoverPending(); }, 3));
  }
  SBDraggingTableView table;
};

TEST_F(HoverTableTest, OnlyTheRowWhereThePointerRestsIsReported) {
  for (int row = 1; row <= 5; ++row) sendMouse(&table, QEvent::MouseMove, rowPoint(&table, row));
  EXPECT_TRUE(table.isHoverPending());
  EXPECT_TRUE(recorder.hovered.empty());
  ASSERT_TRUE(runUntil([&] { return !table.isHoverPending(); }, 3));
  EXPECT_EQ(recorder.hovered, std::vector<std::int64_t>{5});
  EXPECT_EQ(table.hoveredRow(), 5);
  // Resting on the same row again reports nothing new.
  restOn(rowPoint(&table, 5) + QPoint(3, 1));
  EXPECT_EQ(recorder.hovered.size(), 1u);
  // Far down the 1,000 rows: the row under the pointer after scrolling.
  table.scrollTo(model.index(700, 0), QAbstractItemView::PositionAtTop);
  restOn(rowPoint(&table, 702));
  EXPECT_EQ(recorder.hovered.back(), 702);
}

TEST_F(HoverTableTest, RestingBelowTheLastRowClearsTheHover) {
  ModulesModel few(3);
  table.setModel(&few);
  restOn(rowPoint(&table, 1));
  EXPECT_EQ(table.hoveredRow(), 1);
  restOn(QPoint(40, 300));
  EXPECT_EQ(table.hoveredRow(), -1);
  EXPECT_EQ(recorder.hovered, std::vector<std::int64_t>{1});
  // A key then selects nothing and goes to the table.
  table.setFocus();
  QTest::keyClick(&table, Qt::Key_Down);
  EXPECT_EQ(table.hoveredRow(), -1);
}

TEST_F(HoverTableTest, KeysGoOnFromTheHoveredRowAndReturnIsTheDoubleAction) {
  int doubleActions = 0;
  QObject::connect(&table, &SBDraggingTableView::doubleAction, [&] { ++doubleActions; });
  table.selectRow(3);
  restOn(rowPoint(&table, 8));
  table.setFocus();
  QTest::keyClick(&table, Qt::Key_Down);
  EXPECT_EQ(zk_selectedRows(&table), std::vector<int>{9});
  EXPECT_EQ(table.hoveredRow(), -1);
  QTest::keyClick(&table, Qt::Key_Return);
  QTest::keyClick(&table, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(doubleActions, 2);
  EXPECT_EQ(zk_selectedRows(&table), std::vector<int>{9});
  // The keyboard reaches the end of the 1,000 rows and shows it.
  QTest::keyClick(&table, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(table.currentIndex().row(), 999);
  EXPECT_TRUE(table.viewport()->rect().intersects(table.visualRect(model.index(999, 0))));
}

TEST_F(HoverTableTest, ContextMenuOnlyOnOrdinaryRowsWithTheClickedRowMarked) {
  QMenu menu;
  menu.addAction(QStringLiteral("Run Now"));
  table.setMenu(&menu);
  table.selectRow(4);
  sendContextMenu(&table, rowPoint(&table, 10));  // a group row
  EXPECT_FALSE(menu.isVisible());
  EXPECT_EQ(zk_clickedRow(&table), -1);
  sendContextMenu(&table, rowPoint(&table, 7));
  EXPECT_TRUE(menu.isVisible());
  EXPECT_EQ(zk_clickedRow(&table), 7);
  EXPECT_EQ(zk_selectedRows(&table), std::vector<int>{4});  // the selection is left alone
  EXPECT_EQ(zk_selectedOrClickedIndexes(&table), std::vector<int>{7});
  menu.hide();
  ASSERT_TRUE(runUntil([&] { return zk_clickedRow(&table) == -1; }));
  EXPECT_EQ(zk_selectedOrClickedIndexes(&table), std::vector<int>{4});
  table.setMenu(nullptr);
}

TEST_F(TablesTest, DeleteTableRightClicksAndDeleteKeys) {
  ZKDeleteTableView table;
  table.setModel(&model);
  table.setDeleteDelegate(&recorder);
  table.resize(320, 400);
  table.show();
  zk_selectRows(&table, {2, 3});
  struct Case {
    const char* name;
    std::function<QPoint()> where;
    std::vector<int> selected;
  };
  const Case cases[] = {{"inside the selection", [&] { return rowPoint(&table, 3); }, {2, 3}},
                        {"on empty space", [] { return QPoint(40, 100000); }, {2, 3}},
                        {"outside the selection", [&] { return rowPoint(&table, 7); }, {7}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sendMouse(&table, QEvent::MouseButtonPress, c.where(), Qt::RightButton);
    EXPECT_EQ(zk_selectedRows(&table), c.selected);
  }
  zk_selectRows(&table, {2, 3});
  QTest::keyClick(&table, Qt::Key_Backspace);
  EXPECT_EQ(recorder.deletes, 1);
  EXPECT_EQ(model.names.size(), 998u);
  EXPECT_EQ(model.names[2], QStringLiteral("Module 4"));
  zk_selectRows(&table, {0});
  QTest::keyClick(&table, Qt::Key_Delete);
  EXPECT_EQ(recorder.deletes, 2);
  EXPECT_EQ(model.names.size(), 997u);
  // Other keys are the table's own.
  QTest::keyClick(&table, Qt::Key_Down);
  EXPECT_EQ(recorder.deletes, 2);

  // The context menu applies to the selection when opened inside it.
  QMenu menu;
  menu.addAction(QStringLiteral("Remove"));
  table.setMenu(&menu);
  zk_selectRows(&table, {5, 6});
  sendContextMenu(&table, rowPoint(&table, 6));
  EXPECT_EQ(zk_selectedOrClickedIndexes(&table), (std::vector<int>{5, 6}));
  menu.hide();
  table.setMenu(nullptr);
}

TEST_F(TablesTest, SwitchCellsToggleByClickAndSpaceButNotWhenDisabled) {
  QStandardItemModel options;
  for (const char* title : {"Show notifications", "Play sound", "Managed"}) {
    auto* item = new QStandardItem(QString::fromUtf8(title));
    item->setCheckable(true);
    item->setCheckState(Qt::Unchecked);
    item->setEditable(false);
    options.appendRow(item);
  }
  options.item(2)->setEnabled(false);
  ZKDeleteTableView table;
  auto* cells = new DDSwitchTableCellView(&table);
  table.setItemDelegate(cells);
  table.setModel(&options);
  table.resize(320, 200);
  table.show();
  std::vector<std::pair<int, bool>> toggled;
  QObject::connect(cells, &DDSwitchTableCellView::switchToggled,
                   [&](const QModelIndex& index, bool on) { toggled.emplace_back(index.row(), on); });
  QStyleOptionViewItem option;
  option.rect = table.visualRect(options.index(0, 0));
  const QPoint onSwitch = cells->switchRect(option).center();
  sendMouse(&table, QEvent::MouseButtonPress, onSwitch);
  sendMouse(&table, QEvent::MouseButtonRelease, onSwitch);
  EXPECT_EQ(options.item(0)->checkState(), Qt::Checked);
  // A click on the title only selects.
  sendMouse(&table, QEvent::MouseButtonPress, rowPoint(&table, 1) - QPoint(100, 0));
  sendMouse(&table, QEvent::MouseButtonRelease, rowPoint(&table, 1) - QPoint(100, 0));
  EXPECT_EQ(options.item(1)->checkState(), Qt::Unchecked);
  table.setFocus();
  table.setCurrentIndex(options.index(1, 0));
  QTest::keyClick(&table, Qt::Key_Space);
  EXPECT_EQ(options.item(1)->checkState(), Qt::Checked);
  // The disabled row refuses both.
  option.rect = table.visualRect(options.index(2, 0));
  sendMouse(&table, QEvent::MouseButtonPress, cells->switchRect(option).center());
  sendMouse(&table, QEvent::MouseButtonRelease, cells->switchRect(option).center());
  EXPECT_EQ(options.item(2)->checkState(), Qt::Unchecked);
  EXPECT_EQ(toggled, (std::vector<std::pair<int, bool>>{{0, true}, {1, true}}));
}

TEST_F(TablesTest, ButtonCellsClickAndBusyRowsTurn) {
  QStandardItemModel modules;
  for (int i = 0; i < 1000; ++i) {
    auto* item = new QStandardItem(QStringLiteral("Module %1").arg(i));
    item->setData(QStringLiteral("Run"), ZKButtonTitleRole);
    item->setData(i == 1, ZKBusyRole);
    modules.appendRow(item);
  }
  SBDraggingTableView table;
  auto* cells = new ZKButtonTableCellView(&table);
  table.setItemDelegate(cells);
  table.setModel(&modules);
  table.resize(320, 300);
  table.show();
  std::vector<int> clicked;
  QObject::connect(cells, &ZKButtonTableCellView::buttonClicked,
                   [&](const QModelIndex& i) { clicked.push_back(i.row()); });
  QStyleOptionViewItem option;
  option.rect = table.visualRect(modules.index(3, 0));
  option.fontMetrics = table.fontMetrics();
  const QPoint onButton = cells->buttonRect(option, modules.index(3, 0)).center();
  sendMouse(&table, QEvent::MouseButtonPress, onButton);
  sendMouse(&table, QEvent::MouseButtonRelease, onButton);
  // Released outside the button: no click.
  sendMouse(&table, QEvent::MouseButtonPress, onButton);
  sendMouse(&table, QEvent::MouseButtonRelease, onButton - QPoint(150, 0));
  EXPECT_EQ(clicked, std::vector<int>{3});
  const int start = cells->indicatorPosition();
  ASSERT_TRUE(runUntil([&] { return cells->indicatorPosition() != start; }, 3));
  // Scrolled out of view, the busy row stops asking for frames.
  table.scrollTo(modules.index(900, 0), QAbstractItemView::PositionAtTop);
  runFor(0.2);
  const int parked = cells->indicatorPosition();
  runFor(0.2);
  EXPECT_EQ(cells->indicatorPosition(), parked);
}

TEST_F(TablesTest, OutlineGivesNoMenuOnGroupsAndNoTriangles) {
  QStandardItemModel groups;
  for (int g = 0; g < 50; ++g) {
    auto* group = new QStandardItem(QStringLiteral("Group %1").arg(g));
    for (int m = 0; m < 20; ++m)
      group->appendRow(new QStandardItem(QStringLiteral("Module %1.%2").arg(g).arg(m)));
    groups.appendRow(group);
  }
  SBOutlineView outline;
  outline.setModel(&groups);
  outline.setDelegate(&recorder);
  outline.expandAll();
  outline.resize(320, 400);
  outline.show();
  QMenu menu;
  menu.addAction(QStringLiteral("Edit"));
  outline.setMenu(&menu);
  const QModelIndex group = groups.index(0, 0);
  const QModelIndex module = groups.index(2, 0, group);
  sendContextMenu(&outline, outline.visualRect(group).center());
  EXPECT_FALSE(menu.isVisible());
  sendContextMenu(&outline, outline.visualRect(module).center());
  EXPECT_TRUE(menu.isVisible());
  EXPECT_EQ(zk_clickedRow(&outline), 3);
  EXPECT_EQ(outline.itemAtRow(3), module);
  EXPECT_EQ(outline.rowForItem(module), 3);
  EXPECT_TRUE(outline.frameOfOutlineCellAtRow(0).isNull());
  menu.hide();
  outline.setMenu(nullptr);
}

TEST_F(TablesTest, SidebarTableNeverTakesFocusOrScrollsItself) {
  DATableView table;
  table.setModel(&model);
  table.resize(200, 300);
  table.show();
  EXPECT_EQ(table.focusPolicy(), Qt::NoFocus);
  table.scrollTo(model.index(800, 0));
  EXPECT_EQ(table.verticalScrollBar()->value(), 0);
}

TEST_F(TablesTest, OptionCellsEditOnlyWhileEditingAndWriteBack) {
  // Title in column 0, value in column 1; each value cell makes its editor only while edited.
  QStandardItemModel options(3, 2);
  const QDateTime start(QDate(2026, 12, 11), QTime(9, 30));
  options.setData(options.index(0, 1), start, Qt::EditRole);
  options.setData(options.index(1, 1), 5, Qt::EditRole);
  options.setData(options.index(2, 1), QStringLiteral("5 min"), Qt::EditRole);
  options.setData(options.index(2, 1),
                  QStringList{QStringLiteral("1 min"), QStringLiteral("5 min"), QStringLiteral("1 h")},
                  ZKChoicesRole);
  ZKDeleteTableView table;
  auto* dates = new ZKDatePickerCellView(&table);
  auto* numbers = new ZKNumberStepperCellView(&table);
  auto* choices = new ZKPopupButtonCellView(&table);
  table.setModel(&options);
  table.setItemDelegateForRow(0, dates);
  table.setItemDelegateForRow(1, numbers);
  table.setItemDelegateForRow(2, choices);
  table.resize(400, 200);
  table.show();
  const int widgetsBefore = int(table.findChildren<QWidget*>().size());

  struct Case {
    const char* name;
    int row;
    std::function<void(QWidget*)> change;
    QVariant expected;
  };
  const Case cases[] = {
      {"date", 0, [&](QWidget* e) { static_cast<QDateTimeEdit*>(e)->setDateTime(start.addDays(1)); },
       start.addDays(1)},
      {"number", 1,
       [](QWidget* e) {
         ASSERT_TRUE(qobject_cast<QDoubleSpinBox*>(e));
         static_cast<QDoubleSpinBox*>(e)->setValue(7);
       },
       7},
      {"choice", 2, [](QWidget* e) { static_cast<QComboBox*>(e)->setCurrentIndex(2); },
       QStringLiteral("1 h")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QModelIndex index = options.index(c.row, 1);
    table.setCurrentIndex(index);
    table.edit(index);
    QWidget* editor = nullptr;
    for (QWidget* child : table.viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (child->isVisible() && child->geometry().intersects(table.visualRect(index))) editor = child;
    ASSERT_NE(editor, nullptr);
    c.change(editor);
    table.setCurrentIndex(options.index(c.row, 0));  // leaving the cell commits
    QApplication::processEvents();
    EXPECT_EQ(options.data(index, Qt::EditRole), c.expected);
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(int(table.findChildren<QWidget*>().size()), widgetsBefore);
  EXPECT_EQ(dates->displayText(start, QLocale::c()), QStringLiteral("11 Dec 2026, 09:30"));
}

TEST_F(TablesTest, ColourWellsAskForThePanelAndPathsKeepBothEnds) {
  QStandardItemModel rows(2, 1);
  rows.setData(rows.index(0, 0), QStringLiteral("Group colour"));
  rows.setData(rows.index(0, 0), QColor(Qt::red), ZKColorRole);
  ZKDeleteTableView table;
  auto* wells = new ZKColorWellTableCellView(&table);
  table.setModel(&rows);
  table.setItemDelegateForRow(0, wells);
  table.resize(300, 120);
  table.show();
  ASSERT_TRUE(runUntil([&] { return table.isVisible(); }));
  QApplication::processEvents();
  int asked = 0;
  QObject::connect(wells, &ZKColorWellTableCellView::colorWellClicked, [&] { ++asked; });
  QStyleOptionViewItem option;
  option.rect = table.visualRect(rows.index(0, 0));
  sendMouse(&table, QEvent::MouseButtonPress, wells->colorWellRect(option).center());
  sendMouse(&table, QEvent::MouseButtonRelease, wells->colorWellRect(option).center());
  EXPECT_EQ(asked, 1);
  auto editing = [&] {
    for (QWidget* child : table.viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (child->isVisible()) return true;
    return false;
  };
  EXPECT_FALSE(editing());  // the press was the well's
  // A click on the editable title edits it at once.
  sendMouse(&table, QEvent::MouseButtonPress, option.rect.topLeft() + QPoint(20, 10));
  EXPECT_TRUE(editing());
  table.setCurrentIndex(QModelIndex());
  QApplication::processEvents();
  // The well shows the row's colour.
  const QImage image = table.grab().toImage();
  qvtesting::saveImage(image, "uikit-tables", "colour-well");
  const double dpr = image.devicePixelRatio();
  const QPoint center = table.viewport()->mapTo(&table, wells->colorWellRect(option).center());
  EXPECT_EQ(image.pixelColor(int(center.x() * dpr), int(center.y() * dpr)), QColor(Qt::red));

  QStandardItemModel files(1, 1);
  files.setData(files.index(0, 0), QStringLiteral("Module database"));
  files.setData(
      files.index(0, 0),
      QStringLiteral("/home/someone/.local/share/com.quorvane.dashboard/Module Databases/weather_42.json"),
      ZKDetailTextRole);
  ZKDeleteTableView paths;
  paths.setItemDelegate(new ZKPathTableCellView(&paths));
  paths.setModel(&files);
  paths.verticalHeader()->setDefaultSectionSize(44);
  paths.resize(260, 60);
  paths.show();
  qvtesting::saveGrab(&paths, "uikit-tables", "path-cell");
}

TEST_F(TablesTest, GroupRowsShowAPointingHand) {
  QStandardItemModel groups;
  auto* group = new QStandardItem(QStringLiteral("Network"));
  group->appendRow(new QStandardItem(QStringLiteral("Ping")));
  groups.appendRow(group);
  SBOutlineView outline;
  outline.setDelegate(&recorder);
  outline.setModel(&groups);
  outline.expandAll();
  outline.setRowViewForRows(std::make_shared<ZKTableRowView>());
  outline.setRowViewForGroupRows(std::make_shared<QVGroupRowView>());
  outline.resize(200, 100);
  outline.show();
  sendMouse(&outline, QEvent::MouseMove, outline.visualRect(groups.index(0, 0)).center());
  EXPECT_EQ(outline.viewport()->cursor().shape(), Qt::PointingHandCursor);
  sendMouse(&outline, QEvent::MouseMove, outline.visualRect(groups.index(0, 0, groups.index(0, 0))).center());
  EXPECT_EQ(outline.viewport()->cursor().shape(), Qt::ArrowCursor);
}

QImage drawRow(const ZKTableRowView& row, bool selected) {
  QImage image(100, 20, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  row.drawRect(painter, QRectF(0, 0, 100, 20), QRectF(0, 0, 100, 20), selected);
  return image;
}

TEST_F(TablesTest, RowViewsDrawInTheThemesColours) {
  ZKThemableTableRowView row;
  // Keys set after configuring wait for the next theme change; no selection key: no selection.
  row.setBackgroundColorKey(QStringLiteral("windowColor"));
  row.setSeparatorColorKey(QStringLiteral("detailsTableSeparatorColor"));
  EXPECT_EQ(drawRow(row, true).pixelColor(50, 5).alpha(), 0);
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  QImage dark = drawRow(row, true);
  EXPECT_EQ(dark.pixelColor(50, 5).name(), QColor::fromRgbF(0.2f, 0.2196f, 0.2431f).name());
  EXPECT_EQ(dark.pixelColor(50, 19).name(), QColor::fromRgbF(0.3059f, 0.3333f, 0.3647f).name());
  row.setSelectedBackgroundColorKey(QStringLiteral("sidebarTableSelectedBackgroundColor"));
  row.applyTheme();
  dark = drawRow(row, true);
  EXPECT_EQ(dark.pixelColor(50, 10).name(), QColor::fromRgbF(0.0784f, 0.498f, 0.8784f).name());
  EXPECT_EQ(dark.pixelColor(99, 10).name(),
            QColor::fromRgbF(0.2f, 0.2196f, 0.2431f).name());  // two points narrower

  QVThemedGroupRow group;
  EXPECT_EQ(drawRow(group, false).pixelColor(10, 10).name(), QColor::fromRgbF(0.2f, 0.2196f, 0.2431f).name());
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
  EXPECT_EQ(drawRow(group, true).pixelColor(10, 10), QColor(Qt::white));
  DATableRowView sidebar;
  EXPECT_EQ(drawRow(sidebar, false).pixelColor(10, 10).alpha(), 0);
  EXPECT_EQ(drawRow(sidebar, true).pixelColor(10, 10).name(), SBTableRowView::selectionColor().name());
}

}  // namespace
