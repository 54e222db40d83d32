#include "platform/desktop/DesktopServices.h"

#include <QtCore/QFileInfo>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtGui/QDesktopServices>
#include <mutex>

namespace platform {

namespace {

std::mutex servicesMutex;
std::shared_ptr<DesktopServices> installedServices;

void openFolderOf(const QString& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

}  // namespace

DesktopServices& DesktopServices::shared() {
  static DesktopServices real;
  std::lock_guard lock(servicesMutex);
  return installedServices ? *installedServices : real;
}

void DesktopServices::setShared(std::shared_ptr<DesktopServices> services) {
  std::lock_guard lock(servicesMutex);
  installedServices = std::move(services);
}

bool DesktopServices::openURL(const QUrl& url) { return url.isValid() && QDesktopServices::openUrl(url); }

void DesktopServices::revealFile(const QString& path) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    openFolderOf(path);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
  // Asynchronous, so that a slow or absent file manager never holds the window up.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [path](QDBusPendingCallWatcher* done) {
                     if (done->isError()) openFolderOf(path);
                     done->deleteLater();
                   });
}

}  // namespace platform
