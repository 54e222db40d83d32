#pragma once

#include <memory>

#include "engine/QVDashboardModule.h"
#include "uikit/ZKViewController.h"

class QVHelpBrowser;

// The help tab of the edit-module sheet: the README the module's package carries, as rich text, plain
// text or a local page, loaded once when the view loads. Links stay inside the package or open in the
// browser (QVHelpBrowser).
class QVModuleHelpViewController : public ZKViewController {
  Q_OBJECT

 public:
  explicit QVModuleHelpViewController(QObject* parent = nullptr) : ZKViewController(parent) {}

  static QVModuleHelpViewController* controllerWithModule(const QVDashboardModule::Pointer& module,
                                                          QObject* parent = nullptr);

  QVDashboardModule::Pointer module() const { return module_.lock(); }
  QVHelpBrowser* textView() const;

  void zk_viewDidLoad() override;

 private:
  std::weak_ptr<QVDashboardModule> module_;
};

// The controller of a notifications view made for one module. Nothing creates one: the sheet's
// notifications tab is the option editor in its notification mode.
class QVNotificationsViewController : public ZKViewController {
  Q_OBJECT

 public:
  explicit QVNotificationsViewController(QObject* parent = nullptr) : ZKViewController(parent) {}
  static QVNotificationsViewController* controllerWithModule(const QVDashboardModule::Pointer& module,
                                                             QObject* parent = nullptr);
  QVDashboardModule::Pointer module() const { return module_.lock(); }

 private:
  std::weak_ptr<QVDashboardModule> module_;
};
