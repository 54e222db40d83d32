#pragma once

#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <cstdint>
#include <deque>
#include <memory>

#include "engine/QVNotificationSink.h"

class QDBusServiceWatcher;
class QVNotificationCenter;

// Module notifications on the desktop: freedesktop notifications ("org.freedesktop.Notifications"
// on the session bus). A notification's sound is heard exactly once: as the notification's
// "sound-file" hint (or "sound-name" for a name of the desktop's sound theme) when the server says it
// plays sounds (its capability "sound"), and otherwise, or when the notification cannot be shown,
// played by the desktop's sound player (paplay, pw-play or aplay), as is a sound without a pop-up. A
// notification with a link offers the default action (and the module's action button); invoking it
// tells the notification centre, which opens the link. Attention requests mark the application's
// windows urgent.
//
// The server's capabilities are asked once and kept until another server takes the name; the
// notifications wait for the answer in the order they came, so that each one's sound goes one way,
// decided once.
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
  // What the sink knows of the server's capabilities.
  enum class ServerState { Unknown, Asking, Known };

  // GUI thread: queues the notification and sends what can go.
  void enqueue(const QVUserNotification& notification);
  // GUI thread: sends the waiting notifications once the capabilities are known; asks for them first.
  void sendWaiting();
  void askCapabilities();
  void send(const QVUserNotification& notification);
  void playAlone(const QString& soundPath);
  // The sink's own thread is the caller's.
  void checkThread() const;

  class SoundPlayers;

  QDBusConnection bus_;
  QDBusServiceWatcher* serverWatcher_ = nullptr;
  std::weak_ptr<QVNotificationCenter> center_;
  bool hasCenter_ = false;
  QHash<uint, QVUserNotification> shown_;
  std::shared_ptr<SoundPlayers> players_;

  // GUI thread only.
  ServerState serverState_ = ServerState::Unknown;
  bool serverPlaysSounds_ = false;
  // Counts the changes of the server's owner: an answer from an earlier owner is not kept.
  std::uint64_t serverGeneration_ = 0;
  std::deque<QVUserNotification> waiting_;
};
