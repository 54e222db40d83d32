#pragma once

#include <QtCore/QAbstractTableModel>
#include <QtCore/QMimeData>
#include <functional>
#include <optional>
#include <string>

#include "windows/QVEditingArithmetic.h"

// The one-column model of the editors' tables (groups, a group's modules): the rows are drawn by cell
// widgets, the model only counts them and carries drags. A drag writes the dragged rows with the
// source's identity under the model's own drag type; drops are handed to the owner as decoded rows,
// between rows (`onRow` false, `row` is the insertion row) or on a row.
class QVRowListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  struct Drop {
    QString type;
    QVDraggedRows rows;
    int row = 0;
    bool onRow = false;
  };
  explicit QVRowListModel(QString dragType, QObject* parent = nullptr)
      : QAbstractTableModel(parent), dragType_(std::move(dragType)) {}

  std::function<int()> count;
  std::function<std::string()> sourceIdentity;
  // The types a drop may carry, whether a drop is accepted, and the drop itself.
  QStringList acceptedTypes;
  std::function<bool(const Drop&)> validateDrop;
  std::function<bool(const Drop&)> acceptDrop;

  // Lays the rows out again (the list behind it changed).
  void reload() {
    beginResetModel();
    endResetModel();
  }
  // The drop a mime payload describes (the first accepted type it holds); nullopt without one.
  std::optional<Drop> dropFor(const QMimeData* data, int row, const QModelIndex& parent) const;

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() || !count ? 0 : count();
  }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 1; }
  QVariant data(const QModelIndex&, int) const override { return {}; }
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override { return acceptedTypes; }
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  Qt::DropActions supportedDropActions() const override { return Qt::MoveAction | Qt::CopyAction; }
  Qt::DropActions supportedDragActions() const override { return Qt::MoveAction | Qt::CopyAction; }
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;

 private:
  QString dragType_;
};
