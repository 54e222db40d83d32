#include "engine/desktop/EngineBridge.h"

#include <QtCore/QMetaObject>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVModuleLog.h"
#include "engine/QVNotifications.h"
#include "platform/desktop/QtText.h"

// One watched module: its updating observer and its log observer, removed together.
struct EngineBridge::Watch {
  platform::Connection updating;
  std::weak_ptr<QVModuleLog> log;
  std::uint64_t logToken = 0;

  ~Watch() {
    updating = platform::Connection();
    if (auto strong = log.lock()) strong->removeLogLinesObserver(logToken);
  }
};

// What the engine's callbacks hold instead of the bridge: some engine observers may still be called
// once after their removal, so they find the bridge through this, cleared when the bridge goes.
struct EngineBridge::Target {
  std::mutex mutex;
  EngineBridge* bridge = nullptr;

  // Queues `emitter` on the bridge's thread. Always queued, also from the GUI thread: a view reacting
  // to a change never runs inside the engine call that made it.
  template <typename F>
  void deliver(F&& emitter) {
    std::lock_guard lock(mutex);
    if (bridge) QMetaObject::invokeMethod(bridge, std::forward<F>(emitter), Qt::QueuedConnection);
  }
};

EngineBridge::EngineBridge(std::shared_ptr<QVDashboardModuleManager> manager,
                           platform::NotificationCenter& center, QObject* parent)
    : QObject(parent), target_(std::make_shared<Target>()), manager_(manager) {
  target_->bridge = this;
  static const bool registered = [] {
    qRegisterMetaType<QVModuleSnapshot>();
    qRegisterMetaType<QVModuleLogSnapshot>();
    qRegisterMetaType<std::shared_ptr<const nlohmann::ordered_json>>();
    return true;
  }();
  (void)registered;

  observers_.push_back(center.addObserverForName(
      QVModuleResultDidChangeNotification, nullptr,
      [this, target = target_](const platform::Notification& note) {
        auto module = note.objectAs<QVDashboardModule>();
        if (!module) return;
        target->deliver([this, snapshot = snapshotOf(*module)] { Q_EMIT moduleResultDidChange(snapshot); });
      }));
  observers_.push_back(center.addObserverForName(
      QVModuleDidChangeNotification, nullptr, [this, target = target_](const platform::Notification& note) {
        if (auto module = note.objectAs<QVDashboardModule>()) {
          target->deliver([this, snapshot = snapshotOf(*module)] { Q_EMIT moduleDidChange(snapshot); });
        } else {
          target->deliver([this] { Q_EMIT groupsDidChange(); });
        }
      }));
  if (manager) {
    const void* sender = manager.get();
    observers_.push_back(center.addObserverForName(
        QVDashboardOutputDidChangeNotification, sender,
        [this, target = target_, weakManager = manager_](const platform::Notification&) {
          auto manager = weakManager.lock();
          if (!manager) return;
          target->deliver(
              [this, output = manager->jsonObjectSnapshot()] { Q_EMIT dashboardOutputDidChange(output); });
        }));
  }
}

EngineBridge::~EngineBridge() {
  {
    std::lock_guard lock(target_->mutex);
    target_->bridge = nullptr;
  }
  // Events already posted are dropped with the object.
  observers_.clear();
  std::map<std::string, std::unique_ptr<Watch>> watches;
  std::map<std::string, platform::Connection> updatingWatches;
  {
    std::lock_guard lock(watchesMutex_);
    watches.swap(watches_);
    updatingWatches.swap(updatingWatches_);
  }
}

QVModuleSnapshot EngineBridge::snapshotOf(const QVDashboardModule& module) {
  return QVModuleSnapshot{module.uid(),        module.displayName(),          module.lastResult(),
                          module.isUpdating(), module.hasAllRequiredFields(), module.onClickURLString()};
}

void EngineBridge::watchModule(const QVDashboardModule::Pointer& module) {
  if (!module) return;
  auto watch = std::make_unique<Watch>();
  const std::string uid = module->uid();
  const QString quid = platform::toQString(uid);
  watch->updating = module->isUpdatingDidChange.connect([this, target = target_, quid](bool updating) {
    target->deliver([this, quid, updating] { Q_EMIT moduleUpdatingDidChange(quid, updating); });
  });
  if (auto log = module->log()) {
    watch->log = log;
    watch->logToken =
        log->addLogLinesObserver([this, target = target_, uid](const QVModuleLog& changed, bool prior) {
          if (prior) return;
          target->deliver([this, snapshot = QVModuleLogSnapshot{uid, changed.logLines()}] {
            Q_EMIT moduleLogDidChange(snapshot);
          });
        });
  }
  std::unique_ptr<Watch> replaced;
  std::lock_guard lock(watchesMutex_);
  replaced = std::exchange(watches_[uid], std::move(watch));
}

void EngineBridge::unwatchModule(const std::string& uid) {
  std::unique_ptr<Watch> removed;
  std::lock_guard lock(watchesMutex_);
  auto it = watches_.find(uid);
  if (it == watches_.end()) return;
  removed = std::move(it->second);
  watches_.erase(it);
}

std::size_t EngineBridge::watchedModuleCount() const {
  std::lock_guard lock(watchesMutex_);
  return watches_.size();
}

void EngineBridge::watchUpdatingOfModules(const std::vector<QVDashboardModule::Pointer>& modules) {
  std::map<std::string, platform::Connection> watches;
  for (const auto& module : modules) {
    if (!module) continue;
    const QString quid = platform::toQString(module->uid());
    watches[module->uid()] =
        module->isUpdatingDidChange.connect([this, target = target_, quid](bool updating) {
          target->deliver([this, quid, updating] { Q_EMIT moduleUpdatingDidChange(quid, updating); });
        });
  }
  // The replaced connections are dropped outside the lock.
  std::lock_guard lock(watchesMutex_);
  watches.swap(updatingWatches_);
}

std::size_t EngineBridge::updatingWatchCount() const {
  std::lock_guard lock(watchesMutex_);
  return updatingWatches_.size();
}

std::shared_ptr<void> EngineBridge::followModuleLog(const QVDashboardModule::Pointer& module) {
  if (!module) return nullptr;
  auto log = module->log();
  if (!log) return nullptr;
  const std::string uid = module->uid();
  const auto token =
      log->addLogLinesObserver([this, target = target_, uid](const QVModuleLog& changed, bool prior) {
        if (prior) return;
        target->deliver([this, snapshot = QVModuleLogSnapshot{uid, changed.logLines()}] {
          Q_EMIT moduleLogDidChange(snapshot);
        });
      });
  std::weak_ptr<QVModuleLog> weakLog = log;
  return std::shared_ptr<void>(nullptr, [weakLog, token](void*) {
    if (auto strong = weakLog.lock()) strong->removeLogLinesObserver(token);
  });
}
