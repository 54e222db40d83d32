#pragma once

#include <QtCore/QMetaType>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVModuleLogLine.h"
#include "engine/QVModuleResult.h"
#include "platform/NotificationCenter.h"

class QVDashboardModuleManager;

// What a view shows of one module, taken when the change happened: the views never read engine
// state that a run's thread may be writing. A change of any kind carries all of it, so a module's row
// is always shown whole as it was then.
struct QVModuleSnapshot {
  std::string uid;
  std::optional<std::string> displayName;
  QVModuleResult::Pointer lastResult;  // immutable once made
  bool isUpdating = false;
  bool hasAllRequiredFields = true;
  std::optional<std::string> onClickURLString;
};

// A module's log lines at one moment, oldest first (the lines themselves are immutable).
struct QVModuleLogSnapshot {
  std::string uid;
  std::vector<QVModuleLogLine::Pointer> lines;
};

Q_DECLARE_METATYPE(QVModuleSnapshot)
Q_DECLARE_METATYPE(QVModuleLogSnapshot)
Q_DECLARE_METATYPE(std::shared_ptr<const nlohmann::ordered_json>)

// The one place where the engine's notifications, signals and observers become Qt signals. Whatever
// thread the engine tells a change on (a run's output thread, the main queue), the signal is emitted
// later on the bridge's own (GUI) thread, carrying a snapshot taken when the change was told.
class EngineBridge : public QObject {
  Q_OBJECT

 public:
  // Follows the notifications of `center`; `manager` (may be null) gives the dashboard output.
  explicit EngineBridge(std::shared_ptr<QVDashboardModuleManager> manager = nullptr,
                        platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter(),
                        QObject* parent = nullptr);
  ~EngineBridge() override;

  // Follows one module's updating flag and log lines, for the views that show them, until
  // unwatchModule or the bridge goes. Watching a module again replaces the earlier watch.
  void watchModule(const QVDashboardModule::Pointer& module);
  void unwatchModule(const std::string& uid);
  std::size_t watchedModuleCount() const;
  // Follows only the updating flag of each given module (the rows a dashboard shows), replacing the
  // set given before; moduleUpdatingDidChange tells the changes. Cheaper than watchModule, which
  // also follows the log.
  void watchUpdatingOfModules(const std::vector<QVDashboardModule::Pointer>& modules);
  std::size_t updatingWatchCount() const;
  // Follows one module's log for one viewer: moduleLogDidChange is emitted for each change of the log
  // while the returned handle lives, whether or not the module is also watched (a watch and a follow
  // of the same module each emit). Null for a null module.
  std::shared_ptr<void> followModuleLog(const QVDashboardModule::Pointer& module);

  static QVModuleSnapshot snapshotOf(const QVDashboardModule& module);

 Q_SIGNALS:
  // A module's result was set.
  void moduleResultDidChange(const QVModuleSnapshot& module);
  // A module's own fields changed (its name, options...).
  void moduleDidChange(const QVModuleSnapshot& module);
  // The group list or a group changed.
  void groupsDidChange();
  // The dashboard output was rebuilt (the snapshot the web sharing serves too).
  void dashboardOutputDidChange(const std::shared_ptr<const nlohmann::ordered_json>& output);
  // A watched module started or finished updating.
  void moduleUpdatingDidChange(const QString& uid, bool isUpdating);
  // A watched module's log gained lines.
  void moduleLogDidChange(const QVModuleLogSnapshot& log);

 private:
  struct Watch;
  struct Target;

  std::shared_ptr<Target> target_;
  std::weak_ptr<QVDashboardModuleManager> manager_;
  std::vector<platform::ObserverToken> observers_;
  mutable std::mutex watchesMutex_;
  std::map<std::string, std::unique_ptr<Watch>> watches_;
  std::map<std::string, platform::Connection> updatingWatches_;
};
