#include "shell/MTStatusItemAppearance.h"

#include <QtGui/QGuiApplication>
#include <QtGui/QPalette>

#include "uikit/QVApplicationTheme.h"

// The item sits on the desktop's panel: the desktop's palette tells, not the application's theme.
bool MTStatusItemIsDarkAppearance() {
  // The desktop's palette tells a dark theme by its window colour.
  return QVApplicationTheme::desktopPalette().color(QPalette::Window).lightness() < 128;
}

QColor MTStatusItemHighlightColor() {
  return QVApplicationTheme::desktopPalette().color(QPalette::Highlight);
}
