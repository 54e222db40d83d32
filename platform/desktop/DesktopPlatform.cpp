#include "platform/desktop/DesktopPlatform.h"

#include <QtCore/QCoreApplication>
#include <cstdlib>

namespace platform {

const char* prepareDesktopPlatform() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if (chosen && *chosen) return chosen;
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  return std::getenv("QT_QPA_PLATFORM");
}

void terminateApplication() { QCoreApplication::exit(0); }

}  // namespace platform
