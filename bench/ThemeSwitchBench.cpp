// Switching the theme with many themable views alive: the time until every view has re-applied its
// keys (changeTheme returns after the last observer), and that plus one full repaint of the window.
// Usage: qv_bench_theme_switch [views] [rounds]   (runs on Qt's offscreen platform unless told otherwise)
#include <QtCore/QElapsedTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGridLayout>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "uikit/BHThemableWindow.h"
#include "uikit/ZKThemableScrollView.h"
#include "uikit/ZKThemableTableTextField.h"
#include "uikit/ZKThemableTextField.h"
#include "uikit/ZKThemableView.h"
#include "uikit/ZKThemeManager.h"

namespace {

struct Figures {
  double median, best, worst;
};

Figures summarize(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front(), ms.back()};
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication::setStyle(QStringLiteral("Fusion"));
  QApplication app(argc, argv);
  const int views = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const int rounds = argc > 2 ? std::max(2, std::atoi(argv[2])) : 40;

  ZKThemeManager& manager = ZKThemeManager::sharedManager();
  manager.changeTheme(QStringLiteral("DDLightTheme"));

  // A window of rows as a dashboard has them: a drawn row view with a title and a value field, and a
  // few scroll views; each counts as one themable view.
  BHThemableWindow window;
  window.setBackgroundColorKey(QStringLiteral("windowColor"));
  auto* layout = new QGridLayout(&window);
  int made = 1;
  for (int row = 0; made < views; ++row) {
    QWidget* widget = nullptr;
    switch (row % 4) {
      case 0: {
        auto* v = new ZKThemableView;
        v->setBackgroundColorKey(QStringLiteral("tableGroupHeaderColor"));
        v->setBorderColorKey(QStringLiteral("detailsTableSeparatorColor"));
        v->setBorderWidth(1);
        widget = v;
        break;
      }
      case 1: {
        auto* t = new ZKThemableTextField;
        t->setText(QStringLiteral("Module %1").arg(row));
        t->setFontKey(QStringLiteral("tableTitleFont"));
        t->setTextColorKey(QStringLiteral("tableTitleColor"));
        widget = t;
        break;
      }
      case 2: {
        auto* t = new ZKThemableTableTextField;
        t->setText(QStringLiteral("%1 ms").arg(row * 7));
        t->setReadOnly(true);
        t->setFontKey(QStringLiteral("tableValueFont"));
        t->setTextColorKey(QStringLiteral("table-value-color"));
        widget = t;
        break;
      }
      default: {
        auto* s = new ZKThemableScrollView;
        s->setBackgroundColorKey(QStringLiteral("sidebarColor"));
        widget = s;
        break;
      }
    }
    widget->setMinimumSize(20, 14);
    layout->addWidget(widget, row / 20, row % 20);
    ++made;
  }
  window.resize(1600, 1000);
  window.show();
  app.processEvents();

  std::vector<double> reapply, withPaint;
  QElapsedTimer timer;
  for (int round = 0; round < rounds; ++round) {
    const QString theme = round % 2 ? QStringLiteral("DDLightTheme") : QStringLiteral("DDDarkTheme");
    timer.start();
    manager.changeTheme(theme);
    const double applied = double(timer.nsecsElapsed()) / 1e6;
    window.repaint();
    const double painted = double(timer.nsecsElapsed()) / 1e6;
    app.processEvents();
    if (round >= 2) {  // the first rounds fill caches (fonts, glyphs)
      reapply.push_back(applied);
      withPaint.push_back(painted);
    }
  }
  const Figures a = summarize(reapply), p = summarize(withPaint);
  std::printf("theme switch with %d themable views, %zu rounds\n", made, reapply.size());
  std::printf(
      "  re-apply (changeTheme until every view has its values): median %.2f ms, best %.2f, worst %.2f "
      "(target < 16 ms)\n",
      a.median, a.best, a.worst);
  std::printf(
      "  re-apply and repaint the window:                        median %.2f ms, best %.2f, worst %.2f\n",
      p.median, p.best, p.worst);
  return 0;
}
