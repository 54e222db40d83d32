#pragma once

#include <QtCore/QString>

// The installed family that stands in for a font family the design names. The family itself when it
// is installed (or was registered by the application); else the first installed family of the one
// table of nearest families (the design's text family: Inter, Cantarell, Noto Sans, DejaVu Sans; its
// emoji family: Noto Color Emoji); an empty string when none is installed.
QString zk_installedFontFamily(const QString& designFamily);

// Forgets the answers given so far (after fonts were registered).
void zk_resetInstalledFontFamilies();
