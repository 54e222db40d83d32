#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/RefreshIntervals.h"
#include "platform/NotificationCenter.h"
#include "platform/Signal.h"

class QVDataManager;
class ZKTimer;

// Posted on the default centre, on the main thread, with the manager as object, each time the
// dashboard output snapshot (jsonObjectSnapshot()) has been rebuilt after a result, module or group
// change. Readers on other threads (the web-sharing endpoints, a waiting "/listen") take the new
// snapshot when they hear it.
inline constexpr const char* QVDashboardOutputDidChangeNotification = "QVDashboardOutputDidChange";

// The one owner of the module engine's lasting state: the user's groups of configured modules (kept
// in the groups archive "Modules.plist"), the module packages that can be added (built into the
// application's resources, or installed by the user into the "Modules" folder), and the dashboard
// output ("output.json" and the same JSON served over HTTP). All of its files live in the application
// support folder.
//
// Threads: the groups, loading, saving and the package lists belong to the main thread (installing
// may also run on a background queue). Results change on the runs' own threads; the manager hears of
// them and rebuilds the output snapshot on the main thread, then posts
// QVDashboardOutputDidChangeNotification. Other threads read the output through
// jsonObjectSnapshot(), a copy taken on the main thread, and never wait for it.
//
// Saves are gathered: save() writes the groups 0.1 s after the last request, saveOutput() writes
// "output.json" 0.1 s after the first request it does not hold yet, so a burst of changes costs one
// write and a steady stream of results still reaches the file. applicationWillTerminate() writes everything
// that is pending at once.
class QVDashboardModuleManager : public std::enable_shared_from_this<QVDashboardModuleManager> {
 public:
  using Pointer = std::shared_ptr<QVDashboardModuleManager>;
  using Groups = std::vector<QVDashboardGroup::Pointer>;
  using Modules = std::vector<QVDashboardModule::Pointer>;
  using LoadCompletionHandler = std::function<void(bool success, bool importedDefaultData)>;
  using Json = nlohmann::ordered_json;

  // Result codes of installUserModuleAtPath().
  enum InstallResult : std::int64_t {
    QVInstallResultInstalled = 1,         // moved, or copied when moving failed
    QVInstallResultInvalidModule = 2,     // not a "quorvanemodule" package, or it does not load
    QVInstallResultAlreadyInstalled = 3,  // the name is taken, or the bundle id is known
    QVInstallResultCouldNotInstall = 4,   // neither moving nor copying succeeded
  };

  // The resource "Default Data" of type "dashboardexport": the backup a first launch starts from.
  static constexpr const char* kDefaultDataResourceName = "Default Data";
  static constexpr const char* kBackupExtension = "dashboardexport";

  // The application's manager, made on first use.
  static Pointer sharedInstance();
  // A manager of its own (tests, tools): observers registered, no groups until configure().
  static Pointer make();
  ~QVDashboardModuleManager();
  QVDashboardModuleManager(const QVDashboardModuleManager&) = delete;
  QVDashboardModuleManager& operator=(const QVDashboardModuleManager&) = delete;

  // The 17 module categories, in the order the editors list them.
  static const std::vector<std::string>& availableCategories();
  // The nine refresh intervals; those a module may use (not below its minimum).
  static const std::vector<QVRefreshInterval>& availableRefreshIntervals();
  static std::vector<QVRefreshInterval> availableRefreshIntervalsForModule(
      const QVDashboardModule::Pointer& module);

  // ---- Loading ----

  // The start-up load (main thread). A first launch (the setting "loadedDefaults" is NO and there is
  // no user data yet) first imports the built-in "Default Data" backup, whatever its outcome; then the
  // groups archive is read (configure()) and, when that succeeds, the package lists are made and
  // "loadedDefaults" becomes YES. The handler gets (configure()'s result, whether an import was
  // made); it runs inside the call or later on the main thread.
  void loadWithCompletionHandler(LoadCompletionHandler completionHandler);
  // Reads the groups archive into the groups, adding a "Default Group" when there is none. NO when the
  // archive exists but cannot be read: then nothing is ever saved over it.
  bool configure();
  // True once configure() has succeeded.
  bool isLoaded() const { return loaded_.load(); }

  // ---- Groups (main thread) ----

  // A copy of the groups in display order.
  Groups groups() const;
  // The groups holding at least one module whose required options are filled.
  Groups nonEmptyGroups() const;
  // Appends the group (nullptr is ignored). Does not save.
  void addGroup(const QVDashboardGroup::Pointer& group);
  // The group's modules go with their files, then the group (nullptr is ignored). Does not save.
  void removeGroup(const QVDashboardGroup::Pointer& group);
  // Replaces the groups with the given ones in their order (reordering). Does not save.
  void updateGroups(const Groups& groups);
  // The configured modules of that interval, group after group, in order.
  Modules modulesForRefreshInterval(double interval) const;

  // Observers of the key "groups": (prior, groups before the change), told before and after every
  // change of the group list on the changing thread. After each change "QVModuleDidChange" is posted
  // with the manager.
  platform::Signal<bool, const Groups&> groupsDidChange;

  // ---- Files ----

  // Asks for a write of the groups archive 0.1 s after the last request (and a new output).
  void save();
  // Writes the groups archive now, atomically; true when it was written. Does nothing before the
  // groups were loaded, or after an import replaced the files.
  bool saveToFile();
  // Asks for a new output snapshot (rebuilt on the main thread) and a write of "output.json" 0.1 s
  // after the first request not yet written; callable from any thread.
  void saveOutput();
  // Writes "output.json" now (main thread); true when it was written.
  bool actuallySaveOutput();
  // At termination (main thread): stops every module process (TERM, then KILL after a short grace;
  // waits until they are gone, under 2 s), then writes the groups archive now, and the output and the
  // module logs that are waiting for their debounced write. The manager's destruction stops the
  // module processes the same way.
  void applicationWillTerminate();
  // TERM, then KILL after a short grace, to the process group of every running module; waits
  // (bounded) until they are gone.
  static void stopModuleProcesses();

  // The dashboard output: one object per group ("name", "modules", "isExpanded"), each module
  // {"name", then "hasAllRequiredFields": false | "updating": true | "success": true with "result",
  // "onClick", "options" | "success": false}. Built now from copies of the groups and modules (safe
  // from any thread, though it reads each module's state as it is at that moment).
  Json jsonObject() const;
  // The output as last built on the main thread after a change (an empty array before loading): what
  // other threads serve. Never waits for the main thread.
  std::shared_ptr<const Json> jsonObjectSnapshot() const;
  // Counts snapshot rebuilds, so that a waiting reader can tell a new one from the one it has.
  std::uint64_t snapshotVersion() const;

  std::string applicationSupportPath() const;
  // Application support folder + "Modules.plist".
  std::string saveURL() const;
  std::string outputPath() const;
  // Application support folder + "Modules" (created, with the debug line "Making folder").
  std::string userModuleDirectoryPath() const;

  // ---- Packages ----

  void reloadBundledModules();
  void reloadUserModules();
  Modules bundledModules() const;
  Modules userModules() const;
  // Installs a package into the user modules folder; see InstallResult. The user list is not
  // rescanned afterwards. Safe from a background queue.
  std::int64_t installUserModuleAtPath(const std::string& path);
  // Deletes the package of a module that is one of userModules() (by identity); NO otherwise or when
  // the deletion fails. The list is not rescanned.
  bool uninstallUserModule(const QVDashboardModule::Pointer& module);

 private:
  QVDashboardModuleManager();
  void registerObservers();
  void finishLoading(bool imported, const LoadCompletionHandler& completionHandler);
  // Main thread: rebuilds the snapshot and tells its readers.
  void refreshSnapshot();
  Json buildJsonObject() const;
  template <typename Change>
  void changeGroups(Change change);
  static Modules scanModules(const std::string& folder);

  mutable std::mutex groupsMutex_;
  Groups workingGroupsArray_;

  mutable std::mutex modulesMutex_;
  Modules bundledModules_;
  Modules userModules_;

  // Main thread only.
  std::shared_ptr<ZKTimer> saveDelayTimer_;
  std::shared_ptr<ZKTimer> saveOutputDelayTimer_;

  std::atomic<bool> loaded_{false};
  // Set once an import replaced the files under a loaded engine: nothing is written any more.
  std::atomic<bool> frozen_{false};
  std::atomic<bool> outputRefreshPending_{false};

  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const Json> snapshot_;
  std::uint64_t snapshotVersion_ = 0;

  std::vector<platform::ObserverToken> observers_;
};
