#pragma once

namespace platform {

// Chooses Qt's platform before the QApplication is made: the application runs on X11 (global keys
// and window placement need it), so QT_QPA_PLATFORM becomes "xcb" unless the user set another
// platform. Answers the platform name in effect.
const char* prepareDesktopPlatform();

}  // namespace platform
