#pragma once

#include "uikit/ZKTableCellView.h"

// A colour row: the title, then a colour well showing the row's colour (ZKColorRole) and
// an image after it (Qt::DecorationRole, the expand mark). A click on the well asks for the colour
// panel (colorWellClicked); its owner opens the panel and writes the chosen colour to the model.
class ZKColorWellTableCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit ZKColorWellTableCellView(QObject* parent = nullptr) : ZKTableCellView(parent) {}

  QRect colorWellRect(const QStyleOptionViewItem& option) const;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

 Q_SIGNALS:
  void colorWellClicked(const QModelIndex& index);

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;
};
