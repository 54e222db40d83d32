// Scrolling the dashboard's outline of 1,000 rows (groups with module rows, painting delegates, themed
// row views, a few busy rows): the time of one scrolled frame, from the scroll to the end of the
// synchronous repaint of the outline, in the light and the dark theme. Target: under 8 ms per frame.
// Usage: qv_bench_outline_scroll [frames] [rows per step] [light|dark|both]   (Qt's offscreen platform unless
// told otherwise)
#include <QtCore/QElapsedTimer>
#include <QtGui/QStandardItemModel>
#include <QtWidgets/QApplication>
#include <QtWidgets/QScrollBar>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "uikit/SBOutlineView.h"
#include "uikit/ZKTableCellView.h"
#include "uikit/ZKThemableTableRowView.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemeManager.h"

namespace {

struct Groups : SBOutlineViewDelegate {
  bool outlineViewIsGroupItem(SBOutlineView*, const QModelIndex& item) override {
    return !item.parent().isValid();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 600;
  const int rowsPerStep = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string which = argc > 3 ? argv[3] : "both";

  // 50 groups of 19 modules: 1,000 rows.
  QStandardItemModel model;
  for (int g = 0; g < 50; ++g) {
    auto* group = new QStandardItem(QStringLiteral("Group %1").arg(g));
    group->setData(QStringLiteral("📈"), ZKEmojiRole);
    for (int m = 0; m < 19; ++m) {
      auto* module = new QStandardItem(QStringLiteral("Module %1.%2 — 42 items, 12 ms").arg(g).arg(m));
      module->setData(QStringLiteral("Run"), ZKButtonTitleRole);
      module->setData(m % 7 == 0, ZKBusyRole);
      group->appendRow(module);
    }
    model.appendRow(group);
  }

  SBOutlineView outline;
  Groups groups;
  outline.setDelegate(&groups);
  auto* cells = new ZKButtonTableCellView(&outline);
  outline.setItemDelegate(cells);
  auto rows = std::make_shared<ZKThemableTableRowView>();
  rows->setBackgroundColorKey(QStringLiteral("windowColor"));
  rows->setSelectedBackgroundColorKey(QStringLiteral("sidebarTableSelectedBackgroundColor"));
  rows->setSeparatorColorKey(QStringLiteral("detailsTableSeparatorColor"));
  outline.setRowViewForRows(rows);
  outline.setRowViewForGroupRows(std::make_shared<QVThemedGroupRow>());
  outline.setModel(&model);
  outline.expandAll();
  outline.resize(420, 640);
  outline.show();
  QApplication::processEvents();

  for (const char* theme : {"DDLightTheme", "DDDarkTheme"}) {
    if ((which == "light" && theme[2] != 'L') || (which == "dark" && theme[2] != 'D')) continue;
    ZKThemeManager::sharedManager().changeTheme(QString::fromUtf8(theme));
    const QColor window = ZKThemeManager::sharedManager().colorForKey(QStringLiteral("windowColor"));
    const QColor grid =
        ZKThemeManager::sharedManager().colorForKey(QStringLiteral("detailsTableSeparatorColor"));
    outline.setStyleSheet(zk_itemViewStyleSheet(QStringLiteral("QTreeView"), window, grid));
    QApplication::processEvents();

    QScrollBar* bar = outline.verticalScrollBar();
    const int step = outline.visualRect(model.index(0, 0)).height() * rowsPerStep;
    int direction = 1;
    // One pass over every row first, so that glyph and emoji caches are warm: the figures are those
    // of steady scrolling.
    for (int v = 0; v <= bar->maximum(); v += step) {
      bar->setValue(v);
      outline.viewport()->repaint();
    }
    bar->setValue(0);
    outline.viewport()->repaint();
    std::vector<double> ms;
    ms.reserve(size_t(frames));
    QElapsedTimer timer;
    for (int f = 0; f < frames; ++f) {
      if (bar->value() + step * direction > bar->maximum() || bar->value() + step * direction < 0)
        direction = -direction;
      timer.start();
      bar->setValue(bar->value() + step * direction);
      outline.viewport()->repaint();
      ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p95 = ms[ms.size() * 95 / 100];
    std::printf(
        "%-12s outline of %d rows, %d rows per step, %d frames: median %.3f ms, p95 %.3f ms, worst %.3f ms "
        "per scrolled frame (target < 8 ms): %s\n",
        theme, 1000, rowsPerStep, frames, median, p95, ms.back(), p95 < 8.0 ? "met" : "NOT met");
  }
  return 0;
}
