#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The row arithmetic of the group and module editors: moving one row, dropping a block of dragged
// rows between rows, and the row selected after a deletion. Everything that arrives from a drag is
// checked against the list as it is now: a drop that no longer matches changes nothing.

// Where row i goes when moved one row up or down in a list of `count` rows (it stays at the ends).
inline std::int64_t QVMovedRow(std::int64_t i, std::int64_t count, bool up) {
  return up ? std::max<std::int64_t>(i - 1, 0) : std::min<std::int64_t>(count - 1, i + 1);
}

// The row selected after the row i was deleted, among `remaining` rows (-1 when none remain).
inline std::int64_t QVRowAfterDeletion(std::int64_t i, std::int64_t remaining) {
  if (remaining <= 0) return -1;
  return std::min<std::int64_t>(remaining - 1, std::max<std::int64_t>(i - 1, 0));
}

// A drop of dragged rows between rows: the new order (as old row numbers) and the rows the dropped
// block now occupies.
struct QVDropResult {
  std::vector<std::int64_t> order;
  std::int64_t firstRow = 0;
  std::int64_t rowCount = 0;
};

// The dragged rows (any order, duplicates ignored) removed and put back, in their old order, as one
// block before the row `dropRow` (0...count) of the list as it was: the block starts at dropRow minus
// the dragged rows above it. nullopt when nothing is dragged, a dragged row or the drop row lies
// outside the list.
std::optional<QVDropResult> QVDropRows(std::int64_t count, const std::vector<std::int64_t>& dragged,
                                       std::int64_t dropRow);

// The items at the given rows of a list, in ascending row order, all resolved before anything is
// changed; nullopt when a row is outside the list or none is given.
template <class T>
std::optional<std::vector<T>> QVItemsAtRows(const std::vector<T>& items,
                                            const std::vector<std::int64_t>& rows) {
  if (rows.empty()) return std::nullopt;
  std::set<std::int64_t> unique(rows.begin(), rows.end());
  std::vector<T> picked;
  for (const auto row : unique) {
    if (row < 0 || row >= static_cast<std::int64_t>(items.size())) return std::nullopt;
    picked.push_back(items[static_cast<std::size_t>(row)]);
  }
  return picked;
}

// The drag data of rows of one list: the list's identity (the group the rows belong to, or "" for
// the group list itself) and the rows. Written as JSON text under the pasteboard types
// "ZKGroupDraggingType" and "ZKModuleDraggingType".
struct QVDraggedRows {
  std::string source;
  std::vector<std::int64_t> rows;
  std::string encode() const;
  // nullopt for data that is not such a record.
  static std::optional<QVDraggedRows> decode(const std::string& data);
};
