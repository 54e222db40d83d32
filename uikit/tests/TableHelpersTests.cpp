#include <gtest/gtest.h>

#include <QtCore/QAbstractTableModel>
#include <QtWidgets/QTableView>
#include <set>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/NSTableView+Helpers.h"

namespace {

// A table whose cells count how often the view asks for them, row by row.
class CountingModel : public QAbstractTableModel {
 public:
  int rows = 8;
  mutable std::map<int, int> asked;

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows; }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 3; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DisplayRole) {
      ++asked[index.row()];
      return QStringLiteral("%1:%2").arg(index.row()).arg(index.column());
    }
    return {};
  }
  void setRows(int count) {
    beginResetModel();
    rows = count;
    endResetModel();
  }
};

class TableHelpersTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    view.setModel(&model);
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.setSelectionMode(QAbstractItemView::ExtendedSelection);
    view.resize(400, 400);
    view.show();
    ASSERT_TRUE(runUntil([&] { return !model.asked.empty(); }));
  }
  std::vector<int> selected() { return zk_selectedRows(&view); }

  CountingModel model;
  QTableView view;
};

struct ClickCase {
  const char* name;
  std::vector<int> selection;
  int clicked;
  std::vector<int> expected;
};

TEST_F(TableHelpersTest, ActionsApplyToTheClickedRowOutsideTheSelectionElseToTheSelection) {
  const ClickCase cases[] = {
      {"click inside the selection", {1, 2}, 2, {1, 2}},
      {"click outside the selection", {1, 2}, 5, {5}},
      {"no click", {1, 2}, -1, {1, 2}},
      {"click with nothing selected", {}, 3, {3}},
      {"nothing at all", {}, -1, {}},
  };
  for (const auto& c : cases) {
    zk_selectRows(&view, c.selection);
    zk_setClickedRow(&view, c.clicked);
    EXPECT_EQ(zk_selectedOrClickedIndexes(&view), c.expected) << c.name;
  }
  EXPECT_EQ(zk_clickedRow(&view), -1);
  QTableView fresh;
  EXPECT_EQ(zk_clickedRow(&fresh), -1);
}

TEST_F(TableHelpersTest, ReloadingARowAsksForThatRowOnly) {
  view.clearSelection();
  model.asked.clear();
  zk_reloadCurrentRow(&view);  // nothing selected: nothing reloaded
  runFor(0.05);
  EXPECT_TRUE(model.asked.empty());

  zk_selectRows(&view, {4});
  runFor(0.05);
  model.asked.clear();
  zk_reloadCurrentRow(&view);
  ASSERT_TRUE(runUntil([&] { return model.asked.count(4) > 0; }));
  for (const auto& [row, count] : model.asked) EXPECT_EQ(row, 4);
}

TEST_F(TableHelpersTest, ReloadsKeepOrSetTheSelection) {
  zk_selectRows(&view, {1, 3, 6});
  zk_reloadDataMaintainingSelection(&view);
  EXPECT_EQ(selected(), (std::vector<int>{1, 3, 6}));

  // The model lost rows meanwhile: the rows that still exist stay selected.
  model.setRows(4);
  zk_selectRows(&view, {1, 3});
  model.setRows(3);  // a reset clears Qt's selection
  zk_selectRows(&view, {0, 2});
  zk_reloadDataMaintainingSelection(&view);
  EXPECT_EQ(selected(), (std::vector<int>{0, 2}));

  zk_reloadDataSelectingRow(&view, 1);
  EXPECT_EQ(selected(), std::vector<int>{1});
  zk_reloadDataAndSelectFirstRow(&view);
  EXPECT_EQ(selected(), std::vector<int>{0});
  zk_selectRows(&view, {1, 2});
  zk_selectFirstRow(&view);
  EXPECT_EQ(selected(), std::vector<int>{0});
  zk_reloadDataSelectingRow(&view, 99);  // no such row: nothing selected
  EXPECT_TRUE(selected().empty());
}

}  // namespace
