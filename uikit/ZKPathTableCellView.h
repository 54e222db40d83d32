#pragma once

#include "uikit/ZKTableCellView.h"

// A row showing a file path: the title over the path (ZKDetailTextRole), the path shortened in its
// middle so that both its start and its file name stay visible.
class ZKPathTableCellView : public ZKDetailTableCellView {
  Q_OBJECT

 public:
  explicit ZKPathTableCellView(QObject* parent = nullptr) : ZKDetailTableCellView(parent) {}

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;
};
