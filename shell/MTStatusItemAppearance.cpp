#include "shell/MTStatusItemAppearance.h"

#include <QtGui/QGuiApplication>
#include <QtGui/QPalette>

bool MTStatusItemIsDarkAppearance() {
  // The desktop's palette tells a dark theme by its window colour.
  return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QColor MTStatusItemHighlightColor() { return QGuiApplication::palette().color(QPalette::Highlight); }
