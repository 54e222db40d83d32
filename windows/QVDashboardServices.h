#pragma once

#include <QtCore/QString>
#include <functional>
#include <memory>

#include "engine/QVDashboardModule.h"

class QVDashboardModuleManager;
class EngineBridge;

// What the dashboard's controllers work on: the module manager, the engine bridge that tells them its
// changes on the GUI thread, the user-initiated run, and the addresses of the maker's pages. The
// application's are the shared manager and runner; tests install their own before making a
// dashboard.
struct QVDashboardServices {
  std::shared_ptr<QVDashboardModuleManager> manager;
  // Made over the manager on first use when not given.
  std::shared_ptr<EngineBridge> bridge;
  std::function<void(const QVDashboardModule::Pointer&)> runModule;

  static QVDashboardServices& current();
  static void setCurrent(QVDashboardServices services);
  // The bridge of the current services (made when missing).
  EngineBridge* engineBridge();
};

// The maker's and the product's pages.
namespace QVWebPages {
inline constexpr const char* kProductSite = "https://quorvane.app/dashboard";
inline constexpr const char* kMakerSite = "https://quorvane.app";
inline constexpr const char* kSupportSite = "https://quorvane.app/support";
}  // namespace QVWebPages
