#pragma once

#include <QtWidgets/QTableView>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKTableRowView.h"

// The preferences sidebar's table: it never takes the keyboard focus (so the keyboard never moves its
// selection) and never scrolls a row into view by itself.
class DATableView : public QTableView, public ZKAwakeFromNib, public ZKRowViewHost {
  Q_OBJECT

 public:
  explicit DATableView(QWidget* parent = nullptr);
  void scrollTo(const QModelIndex&, ScrollHint = EnsureVisible) override {}
  void awakeFromNib() override {}
  bool isGroupRowIndex(const QModelIndex&) const override { return false; }
  QRect rowRectForIndex(const QModelIndex& index) const override;
  QWidget* rowViewport() const override { return viewport(); }

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
};
