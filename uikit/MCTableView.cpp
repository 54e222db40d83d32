#include "uikit/MCTableView.h"

#include "uikit/SBDraggingTableView.h"

MCTableView::MCTableView(QWidget* parent) : QTableView(parent) { zk_setUpKitItemView(this); }
