#include "windows/QVRowListModel.h"

#include <set>

Qt::ItemFlags QVRowListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QMimeData* QVRowListModel::mimeData(const QModelIndexList& indexes) const {
  std::set<std::int64_t> rows;
  for (const auto& index : indexes)
    if (index.isValid()) rows.insert(index.row());
  QVDraggedRows dragged{sourceIdentity ? sourceIdentity() : std::string(), {rows.begin(), rows.end()}};
  auto* data = new QMimeData;
  data->setData(dragType_, QByteArray::fromStdString(dragged.encode()));
  return data;
}

std::optional<QVRowListModel::Drop> QVRowListModel::dropFor(const QMimeData* data, int row,
                                                            const QModelIndex& parent) const {
  if (!data) return std::nullopt;
  for (const auto& type : acceptedTypes) {
    if (!data->hasFormat(type)) continue;
    auto rows = QVDraggedRows::decode(data->data(type).toStdString());
    if (!rows) return std::nullopt;
    Drop drop{type, std::move(*rows), row, false};
    if (row < 0) {
      // On a row (or on the empty area after the rows, which is a drop at the end).
      if (parent.isValid()) {
        drop.row = parent.row();
        drop.onRow = true;
      } else {
        drop.row = rowCount();
      }
    }
    return drop;
  }
  return std::nullopt;
}

bool QVRowListModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int row, int,
                                     const QModelIndex& parent) const {
  const auto drop = dropFor(data, row, parent);
  return drop && validateDrop && validateDrop(*drop);
}

bool QVRowListModel::dropMimeData(const QMimeData* data, Qt::DropAction, int row, int,
                                  const QModelIndex& parent) {
  const auto drop = dropFor(data, row, parent);
  if (!drop || !validateDrop || !validateDrop(*drop) || !acceptDrop) return false;
  return acceptDrop(*drop);
}
