#pragma once

class QWidget;

// What a widget does once its form (a Designer .ui file) has made it and set its properties: the
// controllers call awakeFromNib on every widget of a form that implements this, after setupUi.
// Widgets made in code are set up by their maker instead.
class ZKAwakeFromNib {
 public:
  virtual ~ZKAwakeFromNib() = default;
  virtual void awakeFromNib() = 0;

  // Calls awakeFromNib on `root` and every widget below it that implements it, parents first.
  static void awakeWidgetTree(QWidget* root);
};
