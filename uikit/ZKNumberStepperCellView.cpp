#include "uikit/ZKNumberStepperCellView.h"

#include <QtWidgets/QDoubleSpinBox>
#include <cmath>

QWidget* ZKNumberStepperCellView::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                               const QModelIndex& index) const {
  auto* stepper = new QDoubleSpinBox(parent);
  stepper->setRange(minimum_, maximum_);
  const double value = index.data(Qt::EditRole).toDouble();
  const bool whole = index.data(Qt::EditRole).typeId() != QMetaType::Double || value == std::floor(value);
  stepper->setDecimals(whole ? 0 : 2);
  stepper->setSingleStep(whole ? 1.0 : 0.1);
  stepper->setFrame(false);
  return stepper;
}

void ZKNumberStepperCellView::setEditorData(QWidget* editor, const QModelIndex& index) const {
  static_cast<QDoubleSpinBox*>(editor)->setValue(index.data(Qt::EditRole).toDouble());
}

void ZKNumberStepperCellView::setModelData(QWidget* editor, QAbstractItemModel* model,
                                           const QModelIndex& index) const {
  auto* stepper = static_cast<QDoubleSpinBox*>(editor);
  stepper->interpretText();
  const double value = stepper->value();
  // A whole number stays an integer in the model.
  if (stepper->decimals() == 0)
    model->setData(index, static_cast<qlonglong>(std::llround(value)), Qt::EditRole);
  else
    model->setData(index, value, Qt::EditRole);
}
