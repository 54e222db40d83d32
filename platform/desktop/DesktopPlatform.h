#pragma once

namespace platform {

// Chooses Qt's platform before the QApplication is made: the application runs on X11 (global keys
// and window placement need it), so QT_QPA_PLATFORM becomes "xcb" unless the user set another
// platform. Answers the platform name in effect.
const char* prepareDesktopPlatform();

// Ends the application, whatever is on the screen: every event loop running now returns (an alert's,
// a menu's, a sheet's) and the main loop ends with status 0, so that aboutToQuit's handlers save what
// the application keeps. Not QCoreApplication::quit(): that first asks every top-level window to close
// and gives up when one refuses, as the dashboard window does (it hides instead).
void terminateApplication();

}  // namespace platform
