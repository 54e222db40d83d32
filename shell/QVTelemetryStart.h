#pragma once

// The one place where start-up starts telemetry: the SDK with its analytics and crash services, and
// the crash-report consent alert. Main thread.
void QVStartTelemetry();

// Passes the main screen's size (in pixels, height first) to the telemetry SDK's device description
// now and whenever the screens change. Part of QVStartTelemetry; main thread, once.
void QVInstallScreenSizeReporting();

// Gives the store helper the consent alert it shows when the crash service has unsent reports: a
// warning with "Always Send", "Send" and "Don't Send", through the kit's alert presenter, waited for
// on the main thread. Part of QVStartTelemetry; on its own for tests.
void QVInstallCrashConsentAlert();
