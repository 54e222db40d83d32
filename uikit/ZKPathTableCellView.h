#pragma once

#include "uikit/ZKTableCellView.h"

// A row showing a file path: the title over the path (ZKDetailTextRole), the path shortened in its
// middle so that both its start and its file name stay visible.
class ZKPathTableCellView : public ZKDetailTableCellView {
  Q_OBJECT

 public:
  explicit ZKPathTableCellView(QObject* parent = nullptr) : ZKDetailTableCellView(parent) {}

 protected:
  Qt::TextElideMode detailElideMode() const override { return Qt::ElideMiddle; }
};
