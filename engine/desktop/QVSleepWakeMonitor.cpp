#include "engine/desktop/QVSleepWakeMonitor.h"

#include "engine/QVRunNotifications.h"
#include "platform/Log.h"

QVSleepWakeMonitor::QVSleepWakeMonitor(QDBusConnection bus, platform::NotificationCenter& center,
                                       QObject* parent)
    : QObject(parent), bus_(std::move(bus)), center_(center) {
  // QtDBus names the receiving slot by its signature; there is no pointer form for bus signals.
  listening_ =
      bus_.isConnected() &&
      bus_.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                   QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
  if (!listening_) platform::log("Sleep and wake are not followed: logind is not reachable");
}

QVSleepWakeMonitor::~QVSleepWakeMonitor() {
  if (listening_)
    bus_.disconnect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                    QString::fromLatin1(kInterface), QStringLiteral("PrepareForSleep"), this,
                    SLOT(prepareForSleep(bool)));
}

void QVSleepWakeMonitor::prepareForSleep(bool start) {
  center_.postNotificationName(start ? QVWorkspaceWillSleepNotification : QVWorkspaceDidWakeNotification,
                               this);
}
