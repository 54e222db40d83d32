#pragma once

#include <QtCore/QSizeF>

class QWidget;

// Size helpers on every top-level window (a QWidget that is a window).

// The content size the window's layouts use: its content view's size less the 37-point title strip
// that the window's own content draws at its top.
QSizeF zk_contentSize(const QWidget* window);
// Gives the content the wanted size by changing the window's frame by the difference, keeping the top
// edge and the horizontal centre where they are; animated over 0.1 s when asked. `borderThickness`
// is taken off the current content height first.
void zk_setContentSize(QWidget* window, QSizeF size, bool animated, double borderThickness = 0);
// The same frame change through the window's own geometry, with the platform's animation when asked
// (Qt has none of its own, so the window moves at once).
void zk_originalSetContentSize(QWidget* window, QSizeF size, bool animated);
// Lets the user resize the window, or fixes it at its present size; the earlier limits come back
// when resizing is allowed again.
void zk_setResizable(QWidget* window, bool resizable);
bool zk_isResizable(const QWidget* window);
// Whether the window is in full screen.
bool zk_isFullScreen(const QWidget* window);
// Full-screen behaviour stays as the window has it.
inline void zk_enableFullScreen(QWidget*) {}
inline void zk_disableFullScreen(QWidget*) {}
