#include "platform/desktop/QVDesktopServices.h"

#include <QtCore/QFileInfo>
#include <QtGui/QDesktopServices>
#include <mutex>

namespace {

std::mutex servicesMutex;
std::shared_ptr<QVDesktopServices>& installed() {
  static std::shared_ptr<QVDesktopServices> services;
  return services;
}

}  // namespace

QVDesktopServices& QVDesktopServices::shared() {
  static QVSystemDesktopServices system;
  std::lock_guard lock(servicesMutex);
  if (auto& services = installed()) return *services;
  return system;
}

void QVDesktopServices::setShared(std::shared_ptr<QVDesktopServices> services) {
  std::lock_guard lock(servicesMutex);
  installed() = std::move(services);
}

bool QVSystemDesktopServices::openURL(const QUrl& url) {
  if (!url.isValid()) return false;
  return QDesktopServices::openUrl(url);
}

bool QVSystemDesktopServices::revealFile(const QString& path) {
  // The file manager opens the folder that holds the file (a folder shows itself).
  const QFileInfo info(path);
  if (!info.exists()) return false;
  return QDesktopServices::openUrl(
      QUrl::fromLocalFile(info.isDir() ? info.absoluteFilePath() : info.absolutePath()));
}
