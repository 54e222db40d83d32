#pragma once

class QWindow;

namespace platform {

// Whether the application's windows have entries in the desktop's task bar (and pager). Off, every
// top-level window that the window manager manages says so in its EWMH state
// (_NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER); on, none does. The choice reaches the
// windows on the screen at once (through the window manager) and each window shown later before it
// is mapped: the window manager drops a window's state when it is withdrawn, so every show sets it
// again. Only the X11 platform has such a state; elsewhere the calls change nothing on the screen.
// GUI thread only.
void setApplicationListedInTaskbar(bool listed);
bool applicationListedInTaskbar();

// A window that keeps its task-bar entry whatever the application's choice is (a main window whose
// only way back is the desktop's window list). Stored on the window; takes effect at its next show.
void setWindowAlwaysListedInTaskbar(QWindow* window, bool always);

// Whether the window's EWMH state on the X server holds _NET_WM_STATE_SKIP_TASKBAR (what a task bar
// reads). False off X11 and for a window without a native window.
bool windowSkipsTaskbar(QWindow* window);

}  // namespace platform
