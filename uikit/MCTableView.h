#pragma once

#include <QtWidgets/QTableView>

#include "uikit/ZKAwakeFromNib.h"

// A table that lets a click drag its window: the kit's table with nothing else changed on Linux,
// where windows are moved by their frame.
class MCTableView : public QTableView, public ZKAwakeFromNib {
  Q_OBJECT

 public:
  explicit MCTableView(QWidget* parent = nullptr);
  void awakeFromNib() override {}
};
