#include "windows/QVDashboardServices.h"

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVShowRunner.h"
#include "engine/desktop/EngineBridge.h"

namespace {

std::unique_ptr<QVDashboardServices>& installed() {
  static std::unique_ptr<QVDashboardServices> services;
  return services;
}

}  // namespace

QVDashboardServices& QVDashboardServices::current() {
  auto& services = installed();
  if (!services) {
    services = std::make_unique<QVDashboardServices>();
    services->manager = QVDashboardModuleManager::sharedInstance();
    services->runModule = [](const QVDashboardModule::Pointer& module) {
      QVShowRunner::sharedInstance()->runModule(module);
    };
  }
  return *services;
}

void QVDashboardServices::setCurrent(QVDashboardServices services) {
  installed() = std::make_unique<QVDashboardServices>(std::move(services));
}

EngineBridge* QVDashboardServices::engineBridge() {
  if (!bridge) bridge = std::make_shared<EngineBridge>(manager);
  return bridge.get();
}
