#include "app/QVTelemetryStart.h"

#include "app/ZKStoreHelper.h"
#include "platform/desktop/ApplicationActivityBridge.h"

void QVStartTelemetry() {
  // The session tracker hears of activity from Qt's application state; the store helper starts the
  // SDK with the analytics and crash services (a build without an ingestion address starts nothing).
  platform::installApplicationActivityBridge();
  ZKStoreHelper::sharedHelper()->configureWithAppSecret(kQVTelemetryAppSecret);
}
