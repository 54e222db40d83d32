#include "windows/QVEditingArithmetic.h"

#include <nlohmann/json.hpp>

std::optional<QVDropResult> QVDropRows(std::int64_t count, const std::vector<std::int64_t>& dragged,
                                       std::int64_t dropRow) {
  if (dragged.empty() || dropRow < 0 || dropRow > count) return std::nullopt;
  const std::set<std::int64_t> rows(dragged.begin(), dragged.end());
  if (*rows.begin() < 0 || *rows.rbegin() >= count) return std::nullopt;
  const auto above = static_cast<std::int64_t>(
      std::count_if(rows.begin(), rows.end(), [&](std::int64_t row) { return row < dropRow; }));
  QVDropResult result;
  for (std::int64_t row = 0; row < count; ++row)
    if (!rows.count(row)) result.order.push_back(row);
  result.firstRow = dropRow - above;
  result.rowCount = static_cast<std::int64_t>(rows.size());
  result.order.insert(result.order.begin() + result.firstRow, rows.begin(), rows.end());
  return result;
}

std::string QVDraggedRows::encode() const {
  return nlohmann::json{{"source", source}, {"rows", rows}}.dump();
}

std::optional<QVDraggedRows> QVDraggedRows::decode(const std::string& data) {
  const auto json = nlohmann::json::parse(data, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  const auto source = json.find("source");
  const auto rows = json.find("rows");
  if (source == json.end() || !source->is_string() || rows == json.end() || !rows->is_array())
    return std::nullopt;
  QVDraggedRows dragged{source->get<std::string>(), {}};
  for (const auto& row : *rows) {
    if (!row.is_number_integer()) return std::nullopt;
    dragged.rows.push_back(row.get<std::int64_t>());
  }
  return dragged;
}
