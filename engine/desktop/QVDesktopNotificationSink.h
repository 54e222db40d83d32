#pragma once

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/QVNotificationSink.h"

class QVNotificationCenter;

// Module notifications on the desktop: freedesktop notifications ("org.freedesktop.Notifications"
// on the session bus). A sound the module asked for goes with its pop-up as the "sound-file" hint
// (or "sound-name" for a name of the desktop's sound theme); a sound without a pop-up is played by
// the desktop's sound player. A notification with a link offers the default action (and the module's
// action button); invoking it tells the notification centre, which opens the link. Attention requests
// mark the application's windows urgent.
//
// The engine calls in from the runs' output threads; every D-Bus call and reply is handled on the
// sink's own (GUI) thread.
class QVDesktopNotificationSink : public QObject, public QVNotificationSink {
  Q_OBJECT

 public:
  // Talks to the notification server on `bus` (the session bus unless told otherwise).
  explicit QVDesktopNotificationSink(QDBusConnection bus = QDBusConnection::sessionBus(),
                                     QObject* parent = nullptr);
  ~QVDesktopNotificationSink() override;

  // The centre told about invoked actions (the shared one when none is set).
  void setNotificationCenter(std::weak_ptr<QVNotificationCenter> center);

  void deliverNotification(const QVUserNotification& notification) override;
  void playSound(const platform::Data& sound, const std::string& path) override;
  void requestUserAttention() override;
  void openURL(const std::string& url) override;

  // The notifications shown and not yet closed, by server id.
  int openNotificationCount() const { return int(shown_.size()); }

  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";
  static constexpr const char* kInterface = "org.freedesktop.Notifications";

 Q_SIGNALS:
  // A notification reached the server (its id), or could not (0).
  void notificationSent(uint id);

 private Q_SLOTS:
  // Signals of the notification server (QtDBus delivers them by slot name).
  void actionInvoked(uint id, const QString& actionKey);
  void notificationClosed(uint id, uint reason);

 private:
  void send(const QVUserNotification& notification, const QString& soundPath);
  void playAlone(const QString& soundPath);

  QDBusConnection bus_;
  std::weak_ptr<QVNotificationCenter> center_;
  bool hasCenter_ = false;
  // Sounds waiting for the pop-up that the same output thread sends right after them.
  std::mutex soundsMutex_;
  std::map<std::thread::id, QString> pendingSounds_;
  QHash<uint, QVUserNotification> shown_;
};
