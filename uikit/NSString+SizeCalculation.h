#pragma once

#include <QtCore/QString>
#include <QtGui/QFont>

// The width the text takes on one line in the font, nothing wrapped.
double zk_stringWidthWithFont(const QString& text, const QFont& font);
