#pragma once

#include <QtGui/QColor>

// What the status item asks of the desktop's appearance, in one place: the theme manager answers
// these once it exists.

// Whether the desktop shows dark (the icon is then drawn white).
bool MTStatusItemIsDarkAppearance();
// The background the item draws behind its icon while highlighted.
QColor MTStatusItemHighlightColor();
