#include "app/QVTelemetryStart.h"

void QVStartTelemetry() {
  // TLTelemetryBootstrap() is called here once the telemetry start is part of the application.
}
