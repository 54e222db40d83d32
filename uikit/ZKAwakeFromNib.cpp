#include "uikit/ZKAwakeFromNib.h"

#include <QtWidgets/QWidget>

void ZKAwakeFromNib::awakeWidgetTree(QWidget* root) {
  if (!root) return;
  // Collected first: a widget may add children while it wakes (effect views, backings), and those
  // were not made by the form.
  QList<QWidget*> widgets{root};
  widgets += root->findChildren<QWidget*>();
  for (QWidget* widget : widgets) {
    if (auto* awakening = dynamic_cast<ZKAwakeFromNib*>(widget)) awakening->awakeFromNib();
  }
}
