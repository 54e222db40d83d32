#pragma once

// The one place where start-up starts telemetry (the SDK with crash-report consent). Until the
// telemetry start is linked in, it does nothing.
void QVStartTelemetry();
