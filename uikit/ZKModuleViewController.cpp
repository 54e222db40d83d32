#include "uikit/ZKModuleViewController.h"

#include "uikit/ZKNavigationController.h"

ZKModuleViewController::ZKModuleViewController(QObject* parent) : ZKViewController(parent) {}

void ZKModuleViewController::setModuleIsVisible(bool visible) {
  moduleIsVisible_ = visible;
  if (auto* navigation = navigationController()) navigation->setIsVisible(visible);
}

void ZKModuleViewController::awakeFromNib() {
  ZKViewController::awakeFromNib();
  if (auto* navigation = navigationController()) navigation->setIsVisible(moduleIsVisible_);
}
