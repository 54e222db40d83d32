#pragma once

namespace platform {

// Feeds Qt's application state into platform::ApplicationActivity, which posts the application's
// activity notifications. Called once, after the QGuiApplication exists.
void installApplicationActivityBridge();

}  // namespace platform
