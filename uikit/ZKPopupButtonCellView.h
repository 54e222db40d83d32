#pragma once

#include "uikit/ZKTableCellView.h"

// A choice option's cell: shows the chosen title with a pop-up mark and chooses among the row's titles
// (ZKChoicesRole) in a pop-up list, made only while the cell is edited. The model keeps the title.
class ZKPopupButtonCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit ZKPopupButtonCellView(QObject* parent = nullptr) : ZKTableCellView(parent) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;
};
