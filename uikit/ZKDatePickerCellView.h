#pragma once

#include "uikit/ZKTableCellView.h"

// A date option's cell: shows the row's date and time (Qt::EditRole, a QDateTime) and edits it with a
// date and time field with a calendar, made only while the cell is edited.
class ZKDatePickerCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit ZKDatePickerCellView(QObject* parent = nullptr) : ZKTableCellView(parent) {}

  // How the date is shown (a QDateTime format).
  static QString displayFormat() { return QStringLiteral("d MMM yyyy, HH:mm"); }

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
  QString displayText(const QVariant& value, const QLocale& locale) const override;
};
