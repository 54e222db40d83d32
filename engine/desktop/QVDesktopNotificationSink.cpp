#include "engine/desktop/QVDesktopNotificationSink.h"

#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>

#include "engine/QVNotificationCenter.h"
#include "platform/Log.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"

namespace {

constexpr const char* kApplicationName = "Quorvane Dashboard";
constexpr const char* kDefaultAction = "default";
constexpr const char* kButtonAction = "open";

}  // namespace

QVDesktopNotificationSink::QVDesktopNotificationSink(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
  qRegisterMetaType<QVUserNotification>("QVUserNotification");
  // QtDBus names the receiving slot by its signature; there is no pointer form for bus signals.
  bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
               QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
  bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
               QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

QVDesktopNotificationSink::~QVDesktopNotificationSink() {
  bus_.disconnect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                  QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
  bus_.disconnect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                  QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

void QVDesktopNotificationSink::setNotificationCenter(std::weak_ptr<QVNotificationCenter> center) {
  center_ = std::move(center);
  hasCenter_ = true;
}

void QVDesktopNotificationSink::playSound(const platform::Data&, const std::string& path) {
  const QString sound = platform::toQString(path);
  const auto thread = std::this_thread::get_id();
  {
    std::lock_guard lock(soundsMutex_);
    pendingSounds_[thread] = sound;
  }
  // When no pop-up from the same thread has taken the sound by the turn after, it plays alone.
  QMetaObject::invokeMethod(
      this,
      [this, thread] {
        QTimer::singleShot(0, this, [this, thread] {
          QString alone;
          {
            std::lock_guard lock(soundsMutex_);
            auto it = pendingSounds_.find(thread);
            if (it == pendingSounds_.end()) return;
            alone = it->second;
            pendingSounds_.erase(it);
          }
          playAlone(alone);
        });
      },
      Qt::QueuedConnection);
}

void QVDesktopNotificationSink::deliverNotification(const QVUserNotification& notification) {
  QString sound;
  {
    std::lock_guard lock(soundsMutex_);
    auto it = pendingSounds_.find(std::this_thread::get_id());
    if (it != pendingSounds_.end()) {
      sound = it->second;
      pendingSounds_.erase(it);
    }
  }
  QMetaObject::invokeMethod(
      this, [this, notification, sound] { send(notification, sound); }, Qt::QueuedConnection);
}

void QVDesktopNotificationSink::send(const QVUserNotification& notification, const QString& soundPath) {
  QString url;
  if (notification.userInfo.is_object()) {
    auto it = notification.userInfo.find("url");
    if (it != notification.userInfo.end() && it->is_string())
      url = platform::toQString(it->get<std::string>());
  }
  QStringList actions;
  if (!url.isEmpty()) {
    const QString button = notification.actionButtonTitle
                               ? platform::toQString(*notification.actionButtonTitle)
                               : QStringLiteral("Open");
    actions << QString::fromLatin1(kDefaultAction) << button;
    if (notification.actionButtonTitle) actions << QString::fromLatin1(kButtonAction) << button;
  }
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quorvane-dashboard"));
  if (!soundPath.isEmpty()) {
    // A path names a file; anything else is a name of the desktop's sound theme.
    if (soundPath.startsWith(QLatin1Char('/'))) {
      hints.insert(QStringLiteral("sound-file"), soundPath);
    } else {
      hints.insert(QStringLiteral("sound-name"), soundPath);
    }
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kInterface), QStringLiteral("Notify"));
  call << QString::fromLatin1(kApplicationName) << uint(0) << QString()
       << platform::toQString(notification.title) << platform::toQString(notification.informativeText)
       << actions << hints << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, notification](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<uint> reply = *done;
            if (reply.isError()) {
              platform::log("Could not show the notification: {}",
                            platform::toStdString(reply.error().message()));
              Q_EMIT notificationSent(0);
              return;
            }
            const uint id = reply.value();
            shown_.insert(id, notification);
            Q_EMIT notificationSent(id);
          });
}

void QVDesktopNotificationSink::actionInvoked(uint id, const QString& actionKey) {
  auto it = shown_.find(id);
  if (it == shown_.end()) return;  // another application's notification
  if (actionKey != QLatin1String(kDefaultAction) && actionKey != QLatin1String(kButtonAction)) return;
  const QVUserNotification notification = it.value();
  auto center = hasCenter_ ? center_.lock() : QVNotificationCenter::sharedInstance();
  if (center) center->userNotificationCenterDidActivateNotification(notification);
}

void QVDesktopNotificationSink::notificationClosed(uint id, uint) { shown_.remove(id); }

void QVDesktopNotificationSink::playAlone(const QString& soundPath) {
  if (!QFileInfo::exists(soundPath)) return;
  for (const char* player : {"paplay", "pw-play", "aplay"}) {
    const QString program = QStandardPaths::findExecutable(QString::fromLatin1(player));
    if (program.isEmpty()) continue;
    QProcess::startDetached(program, {soundPath});
    return;
  }
}

void QVDesktopNotificationSink::requestUserAttention() {
  QMetaObject::invokeMethod(
      this,
      [] {
        for (QWindow* window : QGuiApplication::topLevelWindows())
          if (window->isVisible()) window->alert(0);
      },
      Qt::QueuedConnection);
}

void QVDesktopNotificationSink::openURL(const std::string& url) {
  const QUrl target(platform::toQString(url).trimmed(), QUrl::TolerantMode);
  QMetaObject::invokeMethod(
      this,
      [target] {
        if (target.isValid() && !target.isRelative()) platform::DesktopServices::shared().openURL(target);
      },
      Qt::QueuedConnection);
}
