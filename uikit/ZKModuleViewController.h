#pragma once

#include <QtGui/QIcon>

#include "uikit/ZKViewController.h"

// A pane of a window with several panes (the preferences): it describes itself to the sidebar by
// title, subtitle and image, gives the window title while shown, and tells its navigation controller
// whether it is shown.
class ZKModuleViewController : public ZKViewController {
  Q_OBJECT

 public:
  explicit ZKModuleViewController(QObject* parent = nullptr);

  QString moduleTitle() const { return moduleTitle_; }
  void setModuleTitle(const QString& title) { moduleTitle_ = title; }
  QString moduleSubTitle() const { return moduleSubTitle_; }
  void setModuleSubTitle(const QString& title) { moduleSubTitle_ = title; }
  QIcon moduleImage() const { return moduleImage_; }
  void setModuleImage(const QIcon& image) { moduleImage_ = image; }
  // The window title while the pane is shown; a null string (the default) leaves the title alone.
  QString moduleWindowTitle() const { return moduleWindowTitle_; }
  void setModuleWindowTitle(const QString& title) { moduleWindowTitle_ = title; }
  bool moduleIsVisible() const { return moduleIsVisible_; }
  // Stores it and passes it to the navigation controller.
  void setModuleIsVisible(bool visible);
  // Whether the window may be resized while this pane shows; panes that are not answer false.
  virtual bool moduleIsResizable() const { return true; }
  void setModuleIsResizable(bool resizable) { moduleIsResizableSetting_ = resizable; }

  // After the base's wake-up, tells the navigation controller the pane's visibility.
  void awakeFromNib() override;
  // Refreshes what the pane shows; empty here.
  virtual void update() {}

 private:
  QString moduleTitle_;
  QString moduleSubTitle_;
  QIcon moduleImage_;
  QString moduleWindowTitle_;
  bool moduleIsVisible_ = false;
  // Kept for forms that set it; the base class answers true regardless.
  bool moduleIsResizableSetting_ = true;
};
