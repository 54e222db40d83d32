#pragma once

#include "uikit/ZKTableCellView.h"

// A number option's cell: shows the row's number (Qt::EditRole) and edits it with a stepper field,
// made only while the cell is edited; whole numbers step by 1, others by 0.1.
class ZKNumberStepperCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit ZKNumberStepperCellView(QObject* parent = nullptr) : ZKTableCellView(parent) {}

  double minimum() const { return minimum_; }
  double maximum() const { return maximum_; }
  void setRange(double minimum, double maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
  }

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

 private:
  double minimum_ = -1e9;
  double maximum_ = 1e9;
};
