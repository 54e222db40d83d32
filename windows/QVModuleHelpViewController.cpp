#include "windows/QVModuleHelpViewController.h"

#include "platform/desktop/QtText.h"
#include "ui_QVModuleHelpViewController.h"
#include "windows/QVHelpBrowser.h"

ZK_INTERFACE_FORM(QVModuleHelpViewController, QWidget);

QVModuleHelpViewController* QVModuleHelpViewController::controllerWithModule(
    const QVDashboardModule::Pointer& module, QObject* parent) {
  auto* instance = new QVModuleHelpViewController(parent);
  instance->module_ = module;
  instance->loadFromInterface();
  return instance;
}

QVHelpBrowser* QVModuleHelpViewController::textView() const {
  auto* form = ui<Ui::QVModuleHelpViewController>();
  return form ? form->textView : nullptr;
}

void QVModuleHelpViewController::zk_viewDidLoad() {
  ZKViewController::zk_viewDidLoad();
  auto module = module_.lock();
  auto* browser = textView();
  if (!module || !browser) return;
  browser->setPackageFolder(platform::toQString(module->path()));
  const auto& path = module->helpDocumentPath();
  if (path) browser->showDocument(platform::toQString(*path));
}

QVNotificationsViewController* QVNotificationsViewController::controllerWithModule(
    const QVDashboardModule::Pointer& module, QObject* parent) {
  auto* instance = ZKViewController::controller<QVNotificationsViewController>(parent);
  instance->module_ = module;
  return instance;
}
