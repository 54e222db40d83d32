#include "engine/QVDashboardModuleManager.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "engine/ModuleCategories.h"
#include "engine/NSString+NextAvailable.h"
#include "engine/NSString+QVPathConversions.h"
#include "engine/QVDataManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVEngineSettings.h"
#include "engine/QVModuleLog.h"
#include "engine/QVNotifications.h"
#include "engine/QVTimerQueue.h"
#include "engine/ZKTimer.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/Task.h"

namespace fs = std::filesystem;

namespace {

// Saves and output writes happen this long after the last request.
constexpr double kSaveDelay = 0.1;
// A groups archive larger than this is not ours: refused rather than read whole.
constexpr std::uint64_t kMaximumModuleGroupsArchiveBytes = 256u << 20;

constexpr const char* kGroupsArchiveName = "Modules.plist";
constexpr const char* kOutputName = "output.json";
constexpr const char* kUserModulesFolder = "Modules";
constexpr const char* kDefaultGroupName = "Default Group";

bool moduleItemExists(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Spaces and tabs only, as a group's emoji is trimmed for the output.
std::string trimSpacesAndTabs(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool caseInsensitiveLess(const std::string& a, const std::string& b) {
  icu::UnicodeString left = icu::UnicodeString::fromUTF8(a);
  icu::UnicodeString right = icu::UnicodeString::fromUTF8(b);
  return left.caseCompare(right, U_FOLD_CASE_DEFAULT) < 0;
}

void sortByModuleName(QVDashboardModuleManager::Modules& modules) {
  std::stable_sort(modules.begin(), modules.end(), [](const auto& a, const auto& b) {
    return caseInsensitiveLess(a->moduleName().value_or(""), b->moduleName().value_or(""));
  });
}

bool hasPackageExtension(const fs::path& path) {
  return path.extension() == std::string(".") + kQVModulePackageExtension;
}

void runOnMain(std::function<void()> fn) {
  auto main = platform::MainQueue::shared();
  if (!main) {
    platform::log("No main queue: dropping work meant for the main thread");
    return;
  }
  if (main->isCurrent()) {
    fn();
  } else {
    main->post(std::move(fn));
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Making

QVDashboardModuleManager::QVDashboardModuleManager()
    : snapshot_(std::make_shared<const Json>(Json::array())) {}

QVDashboardModuleManager::~QVDashboardModuleManager() {
  observers_.clear();
  if (saveDelayTimer_) saveDelayTimer_->invalidate();
  if (saveOutputDelayTimer_) saveOutputDelayTimer_->invalidate();
  stopModuleProcesses();
}

void QVDashboardModuleManager::stopModuleProcesses() {
  platform::Task::stopAllProcessGroups(platform::Seconds(QVTimerQueue::kStopGracePeriod),
                                       platform::Seconds(QVTimerQueue::kStopWaitLimit));
}

QVDashboardModuleManager::Pointer QVDashboardModuleManager::sharedInstance() {
  // Made once and never destroyed, so that no static destructor races the threads still using it.
  static Pointer* shared = new Pointer(make());
  return *shared;
}

QVDashboardModuleManager::Pointer QVDashboardModuleManager::make() {
  Pointer manager(new QVDashboardModuleManager());
  manager->registerObservers();
  return manager;
}

void QVDashboardModuleManager::registerObservers() {
  std::weak_ptr<QVDashboardModuleManager> weakSelf = weak_from_this();
  auto changed = [weakSelf](const platform::Notification&) {
    if (auto self = weakSelf.lock()) self->saveOutput();
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(center.addObserverForName(QVModuleResultDidChangeNotification, nullptr, changed));
  observers_.push_back(center.addObserverForName(QVModuleDidChangeNotification, nullptr, changed));
  // An import stops the writes before it replaces any file; a failed one lets them go on, with what
  // was edited meanwhile.
  observers_.push_back(center.addObserverForName(QVBackupWillImportNotification, nullptr,
                                                 [weakSelf](const platform::Notification&) {
                                                   auto self = weakSelf.lock();
                                                   if (!self || !self->loaded_.load()) return;
                                                   self->frozen_.store(true);
                                                 }));
  observers_.push_back(center.addObserverForName(QVBackupDidFailImportNotification, nullptr,
                                                 [weakSelf](const platform::Notification&) {
                                                   auto self = weakSelf.lock();
                                                   if (!self || !self->loaded_.load()) return;
                                                   self->frozen_.store(false);
                                                   self->save();
                                                 }));
  observers_.push_back(center.addObserverForName(QVBackupDidImportNotification, nullptr,
                                                 [weakSelf](const platform::Notification&) {
                                                   auto self = weakSelf.lock();
                                                   // The first-launch import runs before the groups are
                                                   // loaded; only an import under a running engine replaces
                                                   // files the engine would otherwise write over.
                                                   if (!self || !self->loaded_.load()) return;
                                                   self->frozen_.store(true);
                                                   runOnMain([weakSelf] {
                                                     auto self = weakSelf.lock();
                                                     if (!self) return;
                                                     if (self->saveDelayTimer_)
                                                       self->saveDelayTimer_->invalidate();
                                                     if (self->saveOutputDelayTimer_)
                                                       self->saveOutputDelayTimer_->invalidate();
                                                   });
                                                 }));
}

// ---------------------------------------------------------------------------------------------
// Tables

const std::vector<std::string>& QVDashboardModuleManager::availableCategories() {
  return ::availableCategories();
}

const std::vector<QVRefreshInterval>& QVDashboardModuleManager::availableRefreshIntervals() {
  return ::availableRefreshIntervals();
}

std::vector<QVRefreshInterval> QVDashboardModuleManager::availableRefreshIntervalsForModule(
    const QVDashboardModule::Pointer& module) {
  return availableRefreshIntervalsForMinimum(module ? module->minimumRefreshInterval()
                                                    : kQVNoRefreshInterval);
}

// ---------------------------------------------------------------------------------------------
// Loading

void QVDashboardModuleManager::loadWithCompletionHandler(LoadCompletionHandler completionHandler) {
  // Saves cut short by a crash or a kill leave their temporary files; nothing of ours writes yet.
  const fs::path support = applicationSupportPath();
  platform::files::removeAtomicWriteTemporaries(support);
  platform::files::removeAtomicWriteTemporaries(support / "Logs");
  if (QVEngineSettings::loadedDefaults()) {
    finishLoading(false, completionHandler);
    return;
  }
  // The defaults seed a first launch only. Settings can be lost while the user's files remain: the
  // import would replace those files, so it runs only when none of them exists.
  for (const auto& item : QVDataManager::backedUpItems()) {
    if (moduleItemExists(fs::path(applicationSupportPath()) / item)) {
      platform::log("Not importing the default data: {} already exists", item);
      finishLoading(false, completionHandler);
      return;
    }
  }
  auto resource =
      QVEngineEnvironment::resourceBundle().pathForResource(kDefaultDataResourceName, kBackupExtension);
  if (!resource) {
    finishLoading(false, completionHandler);
    return;
  }
  std::weak_ptr<QVDashboardModuleManager> weakSelf = weak_from_this();
  QVDataManager::sharedInstance()->importWithPath(
      resource->string(), [weakSelf, completionHandler](bool success) {
        if (!success) platform::log("Could not import the default data; starting without it");
        if (auto self = weakSelf.lock()) self->finishLoading(true, completionHandler);
      });
}

void QVDashboardModuleManager::finishLoading(bool imported, const LoadCompletionHandler& completionHandler) {
  const bool configured = configure();
  if (configured) {
    // The restored modules' secret options come from the keychain, which may have to ask the user
    // first: read off the main thread, they are filled in when they come.
    for (const auto& group : groups()) {
      for (const auto& module : group->modules()) module->loadSecureTexts();
    }
    reloadBundledModules();
    reloadUserModules();
    QVEngineSettings::setLoadedDefaults(true);
  }
  if (completionHandler) completionHandler(configured, imported);
}

bool QVDashboardModuleManager::configure() {
  try {
    Groups groups;
    const fs::path path = saveURL();
    if (moduleItemExists(path)) {
      platform::Error error;
      auto data = platform::files::readFile(path, &error, kMaximumModuleGroupsArchiveBytes);
      if (!data) {
        // An archive that exists but cannot be read is not "no groups": starting empty would write
        // an empty archive over the user's groups.
        platform::log("Could not load actions because of error: {}", error.description);
        return false;
      }
      auto decoded = QVDashboardGroup::groupsWithArchiveData(*data, &error);
      if (!decoded) {
        platform::log("Could not load actions because of error: {}", error.description);
        return false;
      }
      groups = std::move(*decoded);
    }
    {
      std::lock_guard lock(groupsMutex_);
      workingGroupsArray_ = groups;
    }
    if (groups.empty()) {
      auto group = QVDashboardGroup::init();
      group->setName(kDefaultGroupName);
      addGroup(group);
    }
  } catch (const std::exception& exception) {
    platform::log("Could not load actions because of error: {}", exception.what());
    return false;
  }
  loaded_.store(true);
  refreshSnapshot();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Groups

QVDashboardModuleManager::Groups QVDashboardModuleManager::groups() const {
  std::lock_guard lock(groupsMutex_);
  return workingGroupsArray_;
}

QVDashboardModuleManager::Groups QVDashboardModuleManager::nonEmptyGroups() const {
  Groups result;
  for (const auto& group : groups()) {
    if (!group->configuredModules().empty()) result.push_back(group);
  }
  return result;
}

template <typename Change>
void QVDashboardModuleManager::changeGroups(Change change) {
  Groups old = groups();
  groupsDidChange.emit(true, old);
  {
    std::lock_guard lock(groupsMutex_);
    change(workingGroupsArray_);
  }
  groupsDidChange.emit(false, old);
  platform::NotificationCenter::defaultCenter().postNotificationName(QVModuleDidChangeNotification, this,
                                                                     shared_from_this());
}

void QVDashboardModuleManager::addGroup(const QVDashboardGroup::Pointer& group) {
  if (!group) return;
  changeGroups([&](Groups& groups) { groups.push_back(group); });
}

void QVDashboardModuleManager::removeGroup(const QVDashboardGroup::Pointer& group) {
  if (!group) return;
  group->willBeRemoved();
  changeGroups([&](Groups& groups) { std::erase(groups, group); });
}

void QVDashboardModuleManager::updateGroups(const Groups& given) {
  Groups groups;
  for (const auto& group : given) {
    if (group) groups.push_back(group);
  }
  changeGroups([&](Groups& working) { working = groups; });
}

QVDashboardModuleManager::Modules QVDashboardModuleManager::modulesForRefreshInterval(double interval) const {
  Modules modules;
  for (const auto& group : groups()) {
    for (const auto& module : group->modules()) {
      if (module->refreshInterval() == interval && module->hasAllRequiredFields()) modules.push_back(module);
    }
  }
  return modules;
}

// ---------------------------------------------------------------------------------------------
// Saving

void QVDashboardModuleManager::save() {
  std::weak_ptr<QVDashboardModuleManager> weakSelf = weak_from_this();
  runOnMain([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (self->saveDelayTimer_) self->saveDelayTimer_->invalidate();
    self->saveDelayTimer_ = ZKTimer::timerWithInterval(kSaveDelay, false, [weakSelf](ZKTimer&) {
      if (auto self = weakSelf.lock()) self->saveToFile();
    });
  });
  // Edits that post no change of their own (a group folded, a click URL) reach the output this way.
  saveOutput();
}

bool QVDashboardModuleManager::saveToFile() {
  if (saveDelayTimer_ && platform::MainQueue::isMainThread()) saveDelayTimer_->invalidate();
  if (!loaded_.load() || frozen_.load()) return false;
  platform::Data data = QVDashboardGroup::archivedDataWithGroups(groups());
  platform::Error error;
  if (!platform::files::writeAtomically(saveURL(), data, &error)) {
    platform::log("Could not save the groups: {}", error.description);
    return false;
  }
  return true;
}

void QVDashboardModuleManager::saveOutput() {
  std::weak_ptr<QVDashboardModuleManager> weakSelf = weak_from_this();
  auto main = platform::MainQueue::shared();
  if (!main) {
    platform::log("No main queue: the dashboard output is not updated");
    return;
  }
  // One rebuild of the snapshot serves any number of changes that reach it before it runs, so it is
  // always queued, also from the main thread.
  if (!outputRefreshPending_.exchange(true)) {
    main->post([weakSelf] {
      auto self = weakSelf.lock();
      if (!self) return;
      self->outputRefreshPending_.store(false);
      self->refreshSnapshot();
    });
  }
  // The file is written once at most kSaveDelay after the first change it does not hold yet: changes
  // meanwhile join that write rather than put it off again, so a steady stream of results (results
  // closer together than the delay) cannot keep the file from being written, and the first result of
  // a start is not held back by the runs finishing after it.
  runOnMain([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (self->saveOutputDelayTimer_ && self->saveOutputDelayTimer_->isValid()) return;
    self->saveOutputDelayTimer_ =
        ZKTimer::timerWithInterval(kSaveDelay, false, self, &QVDashboardModuleManager::actuallySaveOutput);
  });
}

bool QVDashboardModuleManager::actuallySaveOutput() {
  if (saveOutputDelayTimer_) saveOutputDelayTimer_->invalidate();
  // The output shows the loaded groups: before a load there is nothing to show.
  if (!loaded_.load() || frozen_.load()) return false;
  const std::string text = jsonObject().dump(2, ' ', false, Json::error_handler_t::replace);
  platform::Error error;
  if (!platform::files::writeAtomically(outputPath(), text, &error)) {
    platform::log("Could not write the dashboard output: {}", error.description);
    return false;
  }
  return true;
}

void QVDashboardModuleManager::applicationWillTerminate() {
  // The KILL that follows a TERM is a timer of this process: the module processes must be gone
  // before it exits.
  stopModuleProcesses();
  saveToFile();
  // Output requests may still be on their way from other threads: write it now in any case.
  if (loaded_.load()) actuallySaveOutput();
  for (const auto& group : groups()) {
    for (const auto& module : group->modules()) {
      auto log = module->log();
      if (log && log->hasPendingSave()) log->actuallySave();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Output

void QVDashboardModuleManager::refreshSnapshot() {
  auto snapshot = std::make_shared<const Json>(buildJsonObject());
  {
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = std::move(snapshot);
    ++snapshotVersion_;
  }
  platform::NotificationCenter::defaultCenter().postNotificationName(QVDashboardOutputDidChangeNotification,
                                                                     this, shared_from_this());
}

QVDashboardModuleManager::Json QVDashboardModuleManager::jsonObject() const { return buildJsonObject(); }

std::shared_ptr<const QVDashboardModuleManager::Json> QVDashboardModuleManager::jsonObjectSnapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}

std::uint64_t QVDashboardModuleManager::snapshotVersion() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshotVersion_;
}

QVDashboardModuleManager::Json QVDashboardModuleManager::buildJsonObject() const {
  Json output = Json::array();
  for (const auto& group : groups()) {
    std::string name = group->name().value_or("Group");
    const std::string emoji = trimSpacesAndTabs(group->emoji().value_or(""));
    if (!emoji.empty()) name = emoji + " " + name;

    Json modules = Json::array();
    for (const auto& module : group->modules()) {
      Json entry = Json::object();
      entry["name"] = module->displayName().value_or("");
      auto result = module->lastResult();
      if (!module->hasAllRequiredFields()) {
        entry["hasAllRequiredFields"] = false;
      } else if (module->isUpdating() && !result) {
        entry["updating"] = true;
      } else if (result && result->success()) {
        entry["success"] = true;
        entry["result"] = result->resultString().value_or("");
        std::optional<std::string> onClick;
        if (result->options() && result->options()->onClickString() &&
            !result->options()->onClickString()->empty()) {
          onClick = result->options()->onClickString();
        } else {
          onClick = module->onClickURLString();
        }
        if (onClick && !onClick->empty()) entry["onClick"] = *onClick;
        if (result->options()) entry["options"] = Json(result->options()->jsonValue());
      } else {
        entry["success"] = false;
      }
      modules.push_back(std::move(entry));
    }

    Json object = Json::object();
    object["name"] = name;
    object["modules"] = std::move(modules);
    object["isExpanded"] = group->isExpanded();
    output.push_back(std::move(object));
  }
  return output;
}

// ---------------------------------------------------------------------------------------------
// Paths

std::string QVDashboardModuleManager::applicationSupportPath() const {
  return platform::paths::applicationSupportDirectory().string();
}

std::string QVDashboardModuleManager::saveURL() const {
  return (fs::path(applicationSupportPath()) / kGroupsArchiveName).string();
}

std::string QVDashboardModuleManager::outputPath() const {
  return (fs::path(applicationSupportPath()) / kOutputName).string();
}

std::string QVDashboardModuleManager::userModuleDirectoryPath() const {
  const fs::path folder = fs::path(applicationSupportPath()) / kUserModulesFolder;
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    platform::logDebug("Making folder");
    platform::files::createDirectory(folder);
  }
  return folder.string();
}

// ---------------------------------------------------------------------------------------------
// Packages

QVDashboardModuleManager::Modules QVDashboardModuleManager::scanModules(const std::string& folder) {
  Modules modules;
  auto names = platform::files::contentsOfDirectory(folder);
  if (!names) return modules;
  for (const auto& name : *names) {
    if (name.empty() || name.front() == '.') continue;
    const fs::path path = fs::path(folder) / name;
    if (!hasPackageExtension(path)) continue;
    if (auto module = QVDashboardModule::moduleWithPath(path.string())) modules.push_back(std::move(module));
  }
  sortByModuleName(modules);
  return modules;
}

void QVDashboardModuleManager::reloadBundledModules() {
  const fs::path folder = QVEngineEnvironment::resourceBundle().resourcePath() / "Modules";
  Modules modules = scanModules(folder.string());
  std::lock_guard lock(modulesMutex_);
  bundledModules_ = std::move(modules);
}

void QVDashboardModuleManager::reloadUserModules() {
  Modules modules = scanModules(userModuleDirectoryPath());
  std::lock_guard lock(modulesMutex_);
  userModules_ = std::move(modules);
}

QVDashboardModuleManager::Modules QVDashboardModuleManager::bundledModules() const {
  std::lock_guard lock(modulesMutex_);
  return bundledModules_;
}

QVDashboardModuleManager::Modules QVDashboardModuleManager::userModules() const {
  std::lock_guard lock(modulesMutex_);
  return userModules_;
}

std::int64_t QVDashboardModuleManager::installUserModuleAtPath(const std::string& path) {
  fs::path source(path);
  // "Name.quorvanemodule/" names the same package as "Name.quorvanemodule".
  if (!source.has_filename()) source = source.parent_path();
  if (!hasPackageExtension(source)) return QVInstallResultInvalidModule;
  auto module = QVDashboardModule::moduleWithPath(source.string());
  if (!module) return QVInstallResultInvalidModule;

  const fs::path destination = fs::path(userModuleDirectoryPath()) / source.filename();
  if (moduleItemExists(destination)) return QVInstallResultAlreadyInstalled;

  reloadUserModules();
  Modules known = bundledModules();
  for (const auto& other : userModules()) known.push_back(other);
  for (const auto& other : known) {
    if (other->bundleID() == module->bundleID()) return QVInstallResultAlreadyInstalled;
  }

  const fs::path target = zk_nextAvailablePath(destination.string());
  platform::log("Moving: {} to {}", source.string(), target.string());
  // A plain rename either moves the whole package or changes nothing; anything else is a copy.
  if (::rename(source.c_str(), target.c_str()) == 0) return QVInstallResultInstalled;
  platform::log("Could not move the file because of error: {}",
                std::error_code(errno, std::generic_category()).message());
  platform::log("Trying to copy {} to {}", source.string(), target.string());
  platform::Error error;
  if (platform::files::copyItem(source, target, &error)) return QVInstallResultInstalled;
  platform::log("Could not move the file because of error: {}", error.description);
  // Nothing was at the target before: whatever a failed copy left there is partial.
  if (moduleItemExists(target)) {
    std::error_code ignored;
    fs::remove_all(target, ignored);
  }
  return QVInstallResultCouldNotInstall;
}

bool QVDashboardModuleManager::uninstallUserModule(const QVDashboardModule::Pointer& module) {
  if (!module) return false;
  const Modules modules = userModules();
  if (std::find(modules.begin(), modules.end(), module) == modules.end()) return false;
  platform::Error error;
  if (!platform::files::removeItem(module->path(), &error)) {
    platform::log("Could not remove with error: {}", error.description);
    return false;
  }
  return true;
}
