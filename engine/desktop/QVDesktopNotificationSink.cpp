#include "engine/desktop/QVDesktopNotificationSink.h"

#include <unistd.h>

#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtCore/QThread>
#include <QtCore/QUrl>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtDBus/QDBusServiceWatcher>
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/QVNotificationCenter.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"

namespace {

constexpr const char* kApplicationName = "Quorvane Dashboard";
constexpr const char* kDefaultAction = "default";
constexpr const char* kButtonAction = "open";
// Notifications wait for the server's capabilities: a server that does not tell them in this time
// (milliseconds) is taken as one that plays no sounds.
constexpr int kCapabilitiesTimeout = 3000;

// The process's environment as it is now, for a player that should find the sound server the
// application uses.
std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

}  // namespace

// Runs the desktop's sound player, once per sound and a few at a time: a burst of notifications would
// otherwise start hundreds of players at once, more than a sound server takes as clients, and sounds
// would be lost. The others wait their turn in order. Each player ends by itself; its process is
// reaped by the task reactor. Safe from any thread: players are started by play() and, as others end,
// on the task reactor's thread.
class QVDesktopNotificationSink::SoundPlayers : public std::enable_shared_from_this<SoundPlayers> {
 public:
  static constexpr std::size_t kMaximumPlaying = 4;

  void play(std::string program, std::string file) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back({std::move(program), std::move(file)});
    }
    startWaiting();
  }

 private:
  struct Sound {
    std::string program;
    std::string file;
  };

  void startWaiting() {
    for (;;) {
      std::shared_ptr<platform::Task> task;
      {
        std::lock_guard lock(mutex_);
        if (waiting_.empty() || playing_.size() >= kMaximumPlaying) return;
        Sound sound = std::move(waiting_.front());
        waiting_.pop_front();
        task = platform::Task::make();
        task->setLaunchPath(std::move(sound.program));
        task->setArguments({std::move(sound.file)});
        playing_.emplace(task.get(), task);
      }
      task->setEnvironment(currentEnvironment());
      std::weak_ptr<SoundPlayers> weakSelf = weak_from_this();
      // A player that could not start ends here as well.
      task->setTerminationHandler(
          [weakSelf, ended = task.get()](const platform::TaskTermination& termination) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (termination.launchFailed())
              platform::log("Could not play a notification sound: {}", termination.error->description);
            std::shared_ptr<platform::Task> done;
            {
              std::lock_guard lock(self->mutex_);
              auto it = self->playing_.find(ended);
              if (it != self->playing_.end()) {
                done = std::move(it->second);
                self->playing_.erase(it);
              }
            }
            self->startWaiting();
          });
      task->launch();
    }
  }

  std::mutex mutex_;
  std::deque<Sound> waiting_;
  // The players running, kept until they end (a task let go of would not report its end).
  std::map<platform::Task*, std::shared_ptr<platform::Task>> playing_;
};

QVDesktopNotificationSink::QVDesktopNotificationSink(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), players_(std::make_shared<SoundPlayers>()) {
  qRegisterMetaType<QVUserNotification>("QVUserNotification");
  // QtDBus names the receiving slot by its signature; there is no pointer form for bus signals.
  bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
               QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
  bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
               QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
  // Another server (or none) may answer from now on: its capabilities are asked afresh.
  serverWatcher_ = new QDBusServiceWatcher(QString::fromLatin1(kService), bus_,
                                           QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(serverWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
    ++serverGeneration_;
    if (serverState_ == ServerState::Known) serverState_ = ServerState::Unknown;
  });
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

void QVDesktopNotificationSink::checkThread() const { Q_ASSERT(QThread::currentThread() == thread()); }

void QVDesktopNotificationSink::playSound(const platform::Data&, const std::string& path) {
  // No pop-up goes with this sound: it plays by itself.
  QMetaObject::invokeMethod(
      this, [this, sound = platform::toQString(path)] { playAlone(sound); }, Qt::QueuedConnection);
}

void QVDesktopNotificationSink::deliverNotification(const QVUserNotification& notification) {
  QMetaObject::invokeMethod(
      this, [this, notification] { enqueue(notification); }, Qt::QueuedConnection);
}

void QVDesktopNotificationSink::enqueue(const QVUserNotification& notification) {
  checkThread();
  waiting_.push_back(notification);
  sendWaiting();
}

void QVDesktopNotificationSink::sendWaiting() {
  checkThread();
  if (serverState_ == ServerState::Unknown) askCapabilities();
  if (serverState_ != ServerState::Known) return;
  while (!waiting_.empty()) {
    const QVUserNotification notification = std::move(waiting_.front());
    waiting_.pop_front();
    send(notification);
  }
}

void QVDesktopNotificationSink::askCapabilities() {
  checkThread();
  serverState_ = ServerState::Asking;
  const std::uint64_t generation = serverGeneration_;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kInterface), QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCapabilitiesTimeout), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, generation](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<QStringList> reply = *done;
            if (generation != serverGeneration_) {
              // The answer is of a server that has gone meanwhile: the one there now is asked.
              serverState_ = ServerState::Unknown;
            } else {
              // No server, or one that does not answer, plays no sounds.
              serverPlaysSounds_ = !reply.isError() && reply.value().contains(QStringLiteral("sound"));
              serverState_ = ServerState::Known;
            }
            sendWaiting();
          });
}

void QVDesktopNotificationSink::send(const QVUserNotification& notification) {
  checkThread();
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
  // The sound goes one way only, decided here: with the notification when the server plays sounds,
  // else played now. Should the notification then not reach the server, it is played after all.
  const QString soundPath = notification.soundPath ? platform::toQString(*notification.soundPath) : QString();
  const bool soundWithNotification = !soundPath.isEmpty() && serverPlaysSounds_;
  if (soundWithNotification) {
    // A path names a file; anything else is a name of the desktop's sound theme.
    if (soundPath.startsWith(QLatin1Char('/'))) {
      hints.insert(QStringLiteral("sound-file"), soundPath);
    } else {
      hints.insert(QStringLiteral("sound-name"), soundPath);
    }
  } else if (!soundPath.isEmpty()) {
    playAlone(soundPath);
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kInterface), QStringLiteral("Notify"));
  call << QString::fromLatin1(kApplicationName) << uint(0) << QString()
       << platform::toQString(notification.title) << platform::toQString(notification.informativeText)
       << actions << hints << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, notification, soundWithNotification, soundPath](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<uint> reply = *done;
            if (reply.isError()) {
              platform::log("Could not show the notification: {}",
                            platform::toStdString(reply.error().message()));
              if (soundWithNotification) playAlone(soundPath);
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
  checkThread();
  if (!QFileInfo::exists(soundPath)) return;
  for (const char* player : {"paplay", "pw-play", "aplay"}) {
    const QString program = QStandardPaths::findExecutable(QString::fromLatin1(player));
    if (program.isEmpty()) continue;
    players_->play(platform::toStdString(program), platform::toStdString(soundPath));
    return;
  }
  platform::logDebug("No sound player (paplay, pw-play or aplay) plays {}", platform::toStdString(soundPath));
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
