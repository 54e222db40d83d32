#pragma once

#include <QtCore/QString>
#include <string>
#include <string_view>

namespace platform {

// Text crosses between the widgets (QString) and the layers below (UTF-8 std::string) here only.
inline QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string toStdString(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace platform
