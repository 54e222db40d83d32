#include "uikit/ZKDatePickerCellView.h"

#include <QtCore/QDateTime>
#include <QtWidgets/QDateTimeEdit>

QWidget* ZKDatePickerCellView::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                            const QModelIndex&) const {
  auto* picker = new QDateTimeEdit(parent);
  picker->setCalendarPopup(true);
  picker->setDisplayFormat(displayFormat());
  picker->setFrame(false);
  return picker;
}

void ZKDatePickerCellView::setEditorData(QWidget* editor, const QModelIndex& index) const {
  const QDateTime value = index.data(Qt::EditRole).toDateTime();
  static_cast<QDateTimeEdit*>(editor)->setDateTime(value.isValid() ? value : QDateTime::currentDateTime());
}

void ZKDatePickerCellView::setModelData(QWidget* editor, QAbstractItemModel* model,
                                        const QModelIndex& index) const {
  model->setData(index, static_cast<QDateTimeEdit*>(editor)->dateTime(), Qt::EditRole);
}

QString ZKDatePickerCellView::displayText(const QVariant& value, const QLocale& locale) const {
  const QDateTime date = value.toDateTime();
  return date.isValid() ? locale.toString(date, displayFormat())
                        : ZKTableCellView::displayText(value, locale);
}
