#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVDMUserOption.h"
#include "engine/QVModuleResult.h"
#include "platform/ArchiveObject.h"
#include "platform/Bundle.h"
#include "platform/Signal.h"

class QVDashboardGroup;
class QVModuleLog;

namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

// One module: a script package ("<name>.quorvanemodule" holding "package.json", "main.js" and maybe a
// README) and this instance's settings (its own name, click URL, refresh interval, option values),
// its last result and its log. The manager keeps one object per package; every module placed in a
// group is a copy with a uid of its own. Every way of making a module reads the package again; the
// manifest is never stored.
//
// Archived as "QVDashboardModule" with "uid", "path" (portable form), "name", "onClickURLString",
// "refreshInterval" (32-bit float), "userOptions" and "notificationOptions" (when present).
//
// Threads: modules are made, archived and edited on the main thread. The run sets lastResult, adds
// log lines and sets isUpdating from its own threads; those, and the user's fields the HTTP server
// reads, are safe from any thread.
class QVDashboardModule : public platform::Coding, public std::enable_shared_from_this<QVDashboardModule> {
 public:
  using Pointer = std::shared_ptr<QVDashboardModule>;
  using Options = std::vector<QVDMUserOption::Pointer>;
  static constexpr const char* kClassName = "QVDashboardModule";

  // The manifest keys that must be strings of at least one character, in the order they are checked.
  static const std::vector<std::string>& requiredPackageKeys();

  // A new module (new uid) from a package folder, or nullptr when the package cannot be read (the
  // reason logged).
  static Pointer moduleWithPath(const std::string& path);
  static Pointer initWithPath(const std::string& path) { return moduleWithPath(path); }
  // Restores an archived module. One whose package cannot be read is still returned, marked invalid.
  static Pointer initWithCoder(platform::KeyedUnarchiver& coder);
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }

  // A new module of the same package with a new uid, the user's name, click URL and refresh interval,
  // and the manifest's option defaults; nullptr when the package cannot be read. Posts
  // "QVModuleDidChange" for the copy (its name is set through setName).
  Pointer copy() const;
  // A copy that also keeps the user's option values, each option under a new uid; secure texts are
  // written to the keychain under the new uids so that the duplicate keeps them after a restart.
  Pointer copyWithUserOptions() const;

  // Package and manifest.
  const std::string& path() const { return path_; }
  const platform::Bundle& bundle() const { return bundle_; }
  const std::string& scriptPath() const { return scriptPath_; }
  const std::optional<std::string>& helpDocumentPath() const { return helpDocumentPath_; }
  const std::optional<std::string>& moduleName() const { return moduleName_; }
  const std::optional<std::string>& moduleDescription() const { return moduleDescription_; }
  const std::optional<std::string>& authorName() const { return authorName_; }
  const std::optional<std::string>& website() const { return website_; }
  const std::optional<std::string>& supportURL() const { return supportURL_; }
  const std::optional<std::string>& bundleID() const { return bundleID_; }
  const std::optional<std::string>& version() const { return version_; }
  const std::optional<std::string>& category() const { return category_; }
  const std::optional<std::string>& minAppVersion() const { return minAppVersion_; }
  // Seconds; -1 when the manifest gives none.
  double defaultRefreshInterval() const { return defaultRefreshInterval_; }
  // Seconds, snapped to the interval table; -1 for no minimum.
  double minimumRefreshInterval() const { return minimumRefreshInterval_; }
  bool hasNotifications() const { return hasNotifications_; }
  // False when the package needs a newer application than this one.
  bool canBeInstalled() const { return canBeInstalled_; }
  // Set when a restored module's package could not be read.
  bool isInvalid() const { return isInvalid_; }

  // This instance.
  std::string uid() const;
  std::optional<std::string> name() const;
  // Stores the name and posts "QVModuleDidChange" with the module.
  void setName(std::optional<std::string> name);
  // The name when set, else the manifest's name.
  std::optional<std::string> displayName() const;
  std::optional<std::string> onClickURLString() const;
  void setOnClickURLString(std::optional<std::string> url);
  double refreshInterval() const;
  void setRefreshInterval(double seconds);
  std::shared_ptr<QVDashboardGroup> group() const;
  void setGroup(const std::shared_ptr<QVDashboardGroup>& group);

  // The manifest's options with the user's values, in manifest order (empty when it declares none).
  Options userOptions() const;
  // Whether the manifest declared an option list at all (an archive writes it only then).
  bool hasUserOptionList() const;
  void setUserOptions(std::optional<Options> options);
  Options notificationOptions() const;
  void setNotificationOptions(std::optional<Options> options);
  // The first notification option with that name, or nullptr.
  QVDMUserOption::Pointer notificationOptionWithKey(const std::string& name) const;
  // False as soon as one required user option has an empty value (a secure text not read from the
  // keychain yet is not empty).
  bool hasAllRequiredFields() const;
  // Tells whoever shows the module that the user edited one of its option values or its click URL
  // (the values change in place, unseen by the module): posts "QVModuleDidChange" with the module.
  void optionsDidChange();
  // Starts reading, off the main thread, the secure texts of the user options that the keychain
  // keeps and that were not read yet (a module restored at start); once they are in, posts
  // "QVModuleDidChange" on the main thread, so that what shows whether the module is complete is
  // brought up to date.
  void loadSecureTexts();

  // The last result; nullptr before the first. Setting stores it and posts
  // "QVModuleResultDidChange" with the module, on the calling thread.
  QVModuleResult::Pointer lastResult() const;
  void setLastResult(QVModuleResult::Pointer result);
  // The log, made anew at each reading of the package (from the module's log file).
  std::shared_ptr<QVModuleLog> log() const;
  // True while a run is pending or executing (from creation until the first run ends).
  bool isUpdating() const { return isUpdating_.load(); }
  void setIsUpdating(bool updating);

  // "<application support>/Module Databases/<bundleID>_<uid>.json", creating the folder.
  std::string jsonDatabasePath() const;
  // Deletes the module's log file and its database file (the package and keychain items stay).
  void moduleWillBeRemoved();

  // "<QVDashboardModule 0x... name=... path=...>"
  std::string description() const;

  // Observers of the keys "name" and "isUpdating", told on the changing thread after the change.
  platform::Signal<> nameDidChange;
  platform::Signal<bool> isUpdatingDidChange;

  // The manifest readers: a string counts only as a JSON string and is trimmed of white space and
  // newlines, a blank one being absent; a number counts only as a JSON number or boolean.
  static std::optional<std::string> stringValueForKey(const std::string& key,
                                                      const nlohmann::json& dictionary);
  static std::optional<double> numberValueForKey(const std::string& key, const nlohmann::json& dictionary);

  // Use the factories; public for std::make_shared.
  QVDashboardModule() = default;
  QVDashboardModule(const QVDashboardModule&) = delete;
  QVDashboardModule& operator=(const QVDashboardModule&) = delete;

 private:
  // Reads the package at path_ (YES when it was read). The steps, in calling order:
  bool parseModule();
  bool validateJSONDict(const nlohmann::json& dictionary) const;
  bool processPackageJSON(const nlohmann::json& dictionary);
  std::optional<Options> processOptionsArray(const nlohmann::json* value, bool isNotifications) const;
  QVDMUserOption::Pointer existingUserOptionWithOption(const QVDMUserOption& option,
                                                       bool isNotifications) const;
  // The notification option list from the resource, or the current one when the resource is
  // missing or empty.
  std::optional<Options> notificationOptionsFromResource() const;
  void postDidChange(const char* name);

  // Manifest and package, written while the package is read (before the module is shared).
  std::string path_;
  platform::Bundle bundle_{std::filesystem::path()};
  std::string scriptPath_;
  std::optional<std::string> helpDocumentPath_;
  std::optional<std::string> moduleName_, moduleDescription_, authorName_, website_, supportURL_, bundleID_,
      version_, category_, minAppVersion_;
  double defaultRefreshInterval_ = -1;
  double minimumRefreshInterval_ = -1;
  bool hasNotifications_ = false;
  bool canBeInstalled_ = true;
  bool isInvalid_ = false;
  std::atomic<bool> isUpdating_{false};

  // Everything below is guarded by mutex_, which is never held while calling out.
  mutable std::mutex mutex_;
  std::string uid_;
  std::optional<std::string> name_;
  std::optional<std::string> onClickURLString_;
  double refreshInterval_ = 0;
  std::weak_ptr<QVDashboardGroup> group_;
  std::optional<Options> userOptions_;
  std::optional<Options> notificationOptions_;
  QVModuleResult::Pointer lastResult_;
  std::shared_ptr<QVModuleLog> log_;
};
