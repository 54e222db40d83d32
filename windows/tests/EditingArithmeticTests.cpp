// The row arithmetic of the group and module editors: one-row moves, dropped blocks, the row after a
// deletion, rows resolved before a move, and the drag data, each as a table of cases.
#include <gtest/gtest.h>

#include "windows/QVEditingArithmetic.h"

namespace windowstest {
namespace {

TEST(EditingArithmeticTest, MovesAndDeletionsKeepToTheList) {
  struct Case {
    std::int64_t row, count;
    bool up;
    std::int64_t moved;
  };
  for (const auto& c : std::vector<Case>{{0, 3, true, 0},
                                         {1, 3, true, 0},
                                         {2, 3, true, 1},
                                         {0, 3, false, 1},
                                         {2, 3, false, 2},
                                         {0, 1, false, 0}})
    EXPECT_EQ(QVMovedRow(c.row, c.count, c.up), c.moved) << c.row << (c.up ? " up" : " down");

  struct Deletion {
    std::int64_t row, remaining, selected;
  };
  for (const auto& c : std::vector<Deletion>{{0, 2, 0}, {2, 2, 1}, {1, 2, 0}, {5, 2, 1}, {0, 0, -1}})
    EXPECT_EQ(QVRowAfterDeletion(c.row, c.remaining), c.selected) << c.row << " of " << c.remaining;
}

TEST(EditingArithmeticTest, ADroppedBlockLandsBeforeTheDropRowInItsOldOrder) {
  struct Case {
    const char* what;
    std::int64_t count;
    std::vector<std::int64_t> dragged;
    std::int64_t dropRow;
    std::optional<std::vector<std::int64_t>> order;
    std::int64_t firstRow;
  };
  const std::vector<Case> cases = {
      {"rows 0 and 1 before row 3", 4, {0, 1}, 3, std::vector<std::int64_t>{2, 0, 1, 3}, 1},
      {"unsorted drag keeps the old order", 4, {1, 0}, 3, std::vector<std::int64_t>{2, 0, 1, 3}, 1},
      {"to the end", 3, {0}, 3, std::vector<std::int64_t>{1, 2, 0}, 2},
      {"to the top", 3, {2}, 0, std::vector<std::int64_t>{2, 0, 1}, 0},
      {"around the drop row", 5, {0, 4}, 2, std::vector<std::int64_t>{1, 0, 4, 2, 3}, 1},
      {"onto itself", 3, {1}, 1, std::vector<std::int64_t>{0, 1, 2}, 1},
      {"duplicates count once", 3, {1, 1}, 0, std::vector<std::int64_t>{1, 0, 2}, 0},
      {"nothing dragged", 3, {}, 1, std::nullopt, 0},
      {"a row past the list (stale drag)", 3, {1, 3}, 0, std::nullopt, 0},
      {"a negative row", 3, {-1}, 0, std::nullopt, 0},
      {"drop row past the end", 3, {0}, 4, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    const auto result = QVDropRows(c.count, c.dragged, c.dropRow);
    ASSERT_EQ(result.has_value(), c.order.has_value()) << c.what;
    if (!result) continue;
    EXPECT_EQ(result->order, *c.order) << c.what;
    EXPECT_EQ(result->firstRow, c.firstRow) << c.what;
    EXPECT_EQ(result->rowCount,
              static_cast<std::int64_t>(std::set(c.dragged.begin(), c.dragged.end()).size()))
        << c.what;
  }
}

TEST(EditingArithmeticTest, DraggedRowsResolveAllOrNothingAndTheirDataRoundTrips) {
  const std::vector<std::string> items = {"a", "b", "c"};
  struct Case {
    std::vector<std::int64_t> rows;
    std::optional<std::vector<std::string>> picked;
  };
  for (const auto& c : std::vector<Case>{{{2, 0}, std::vector<std::string>{"a", "c"}},
                                         {{1, 1}, std::vector<std::string>{"b"}},
                                         {{0, 3}, std::nullopt},
                                         {{}, std::nullopt}})
    EXPECT_EQ(QVItemsAtRows(items, c.rows), c.picked);

  const QVDraggedRows dragged{"group-7", {0, 2}};
  const auto back = QVDraggedRows::decode(dragged.encode());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->source, "group-7");
  EXPECT_EQ(back->rows, (std::vector<std::int64_t>{0, 2}));
  for (const char* bad : {"", "[1,2]", "{\"source\":1,\"rows\":[]}", "{\"source\":\"g\",\"rows\":[\"x\"]}",
                          "{\"source\":\"g\"}", "\xff\xfe"})
    EXPECT_FALSE(QVDraggedRows::decode(bad)) << bad;
}

}  // namespace
}  // namespace windowstest
