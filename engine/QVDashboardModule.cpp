#include "engine/QVDashboardModule.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

#include "engine/NSString+NumericCompare.h"
#include "engine/NSString+QVPathConversions.h"
#include "engine/QVArchiveReading.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVJsonValues.h"
#include "engine/QVModuleLog.h"
#include "engine/QVNotifications.h"
#include "engine/RefreshIntervals.h"
#include "platform/Files.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/UUID.h"

namespace fs = std::filesystem;

namespace {

// A manifest or the notification preferences larger than this are not read: real ones are a few
// kilobytes, and a package from outside must not make the program allocate without bound.
constexpr std::uint64_t kMaximumManifestBytes = 4u << 20;

// The name of the notification option whose value is a sound file path, stored in portable form.
constexpr const char* kSoundNameOption = "soundName";

// A text that can name a file inside its folder: no "/", no NUL, not starting with ".".
bool isSafeFileNamePart(const std::string& text, bool allowLeadingDot) {
  if (text.find('/') != std::string::npos || text.find('\0') != std::string::npos) return false;
  return allowLeadingDot || text.empty() || text.front() != '.';
}

// A uid restored from an archive must be usable as part of a file name.
bool isUsableUid(const std::string& uid) { return !uid.empty() && isSafeFileNamePart(uid, false); }

std::string orNull(const std::optional<std::string>& text) { return text ? *text : "(null)"; }

std::optional<std::string> stringObject(const platform::ArchiveObject& object) {
  if (const std::string* text = object.asString()) return *text;
  return std::nullopt;
}

// The options stored under the key: objects of the option class, anything else dropped.
std::optional<QVDashboardModule::Options> decodeOptions(platform::KeyedUnarchiver& coder,
                                                        std::string_view key) {
  platform::ArchiveObject stored = coder.decodeObjectForKey(key);
  const auto* array = stored.asArray();
  if (!array) return std::nullopt;
  QVDashboardModule::Options options;
  for (const auto& item : *array) {
    if (auto option = item.asObjectOfClass<QVDMUserOption>()) options.push_back(std::move(option));
  }
  return options;
}

}  // namespace

const std::vector<std::string>& QVDashboardModule::requiredPackageKeys() {
  static const std::vector<std::string> keys = {"name", "author", "bundleID", "version", "description"};
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Making modules

QVDashboardModule::Pointer QVDashboardModule::moduleWithPath(const std::string& path) {
  auto module = std::make_shared<QVDashboardModule>();
  module->path_ = path;
  module->uid_ = platform::makeUUIDString();
  if (!module->parseModule()) return nullptr;
  module->isUpdating_.store(true);
  double interval = closestAvailableTimeIntervalWithInterval(module->defaultRefreshInterval_, true);
  if (module->minimumRefreshInterval_ != kQVNoRefreshInterval && module->minimumRefreshInterval_ > interval) {
    interval = module->minimumRefreshInterval_;
  }
  module->refreshInterval_ = interval;
  return module;
}

QVDashboardModule::Pointer QVDashboardModule::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto module = std::make_shared<QVDashboardModule>();
  module->path_ = zk_importedPath(stringObject(QVDecodeLeafObject(coder, "path"))).value_or("");
  // A uid that is missing or could not name the module's files is replaced, so that the module still
  // has an identity of its own and its files stay in their folders.
  std::optional<std::string> uid = stringObject(QVDecodeLeafObject(coder, "uid"));
  module->uid_ = uid && isUsableUid(*uid) ? *uid : platform::makeUUIDString();
  module->name_ = stringObject(QVDecodeLeafObject(coder, "name"));
  module->onClickURLString_ = stringObject(QVDecodeLeafObject(coder, "onClickURLString"));
  // Stored at single precision; a value no float can hold counts as missing.
  std::optional<double> interval = QVDecodeLeafDouble(coder, "refreshInterval");
  if (interval && !(std::isfinite(*interval) && std::fabs(*interval) <= std::numeric_limits<float>::max())) {
    interval.reset();
  }
  if (interval) module->refreshInterval_ = static_cast<double>(static_cast<float>(*interval));
  module->userOptions_ = decodeOptions(coder, "userOptions");
  module->isUpdating_.store(true);

  module->notificationOptions_ = decodeOptions(coder, "notificationOptions");
  if (module->notificationOptions_) {
    for (const auto& option : *module->notificationOptions_) {
      if (option->name() != kSoundNameOption || !option->value() ||
          option->value()->type() != QVDMOptionType::string) {
        continue;
      }
      option->value()->setStringValue(zk_importedPath(option->value()->stringValue()));
    }
  }

  if (!module->parseModule()) {
    module->isInvalid_ = true;
  } else if (!interval) {
    // An archive without a usable interval: the module runs at its package's own.
    module->refreshInterval_ =
        closestAvailableTimeIntervalWithInterval(module->defaultRefreshInterval_, true);
    if (module->minimumRefreshInterval_ != kQVNoRefreshInterval &&
        module->minimumRefreshInterval_ > module->refreshInterval_) {
      module->refreshInterval_ = module->minimumRefreshInterval_;
    }
  }
  return module;
}

void QVDashboardModule::encodeWithCoder(platform::KeyedArchiver& coder) const {
  std::string uid;
  std::optional<std::string> name, onClick;
  double interval;
  std::optional<Options> userOptions, notificationOptions;
  {
    std::lock_guard lock(mutex_);
    uid = uid_;
    name = name_;
    onClick = onClickURLString_;
    interval = refreshInterval_;
    userOptions = userOptions_;
    notificationOptions = notificationOptions_;
  }
  coder.encodeObject(uid, "uid");
  coder.encodeObject(
      path_.empty() ? platform::ArchiveObject() : platform::ArchiveObject(zk_exportablePath(path_)), "path");
  coder.encodeObject(name, "name");
  coder.encodeObject(onClick, "onClickURLString");
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  coder.encodeFloat(
      static_cast<float>(std::isnan(interval) ? 0.0 : std::clamp(interval, -kFloatMax, kFloatMax)),
      "refreshInterval");
  if (userOptions) coder.encodeObject(*userOptions, "userOptions");
  if (notificationOptions) {
    // Written from copies: the sound path goes in its portable form and without its long list of
    // choices, which is built anew when the module is read back; the live options stay untouched.
    Options copies;
    for (const auto& option : *notificationOptions) {
      auto copy = option->copy();
      copy->setUid(option->uid());
      if (copy->name() == kSoundNameOption && copy->value() &&
          copy->value()->type() == QVDMOptionType::string) {
        auto sound = copy->value()->stringValue();
        copy->value()->setOptions(nullptr);
        copy->value()->setStringValue(sound ? std::optional<std::string>(zk_exportablePath(*sound))
                                            : std::nullopt);
      }
      copies.push_back(std::move(copy));
    }
    coder.encodeObject(copies, "notificationOptions");
  }
}

QVDashboardModule::Pointer QVDashboardModule::copy() const {
  auto module = std::make_shared<QVDashboardModule>();
  module->path_ = path_;
  {
    std::lock_guard lock(mutex_);
    module->onClickURLString_ = onClickURLString_;
    module->refreshInterval_ = refreshInterval_;
  }
  module->uid_ = platform::makeUUIDString();
  module->isUpdating_.store(true);
  module->setName(name());
  if (!module->parseModule()) return nullptr;
  return module;
}

QVDashboardModule::Pointer QVDashboardModule::copyWithUserOptions() const {
  auto module = copy();
  if (!module) return nullptr;
  Options copies;
  for (const auto& option : userOptions()) {
    auto copy = option->copy();
    copy->setUid(platform::makeUUIDString());
    if (copy->value() && copy->value()->type() == QVDMOptionType::string && copy->value()->isSecure()) {
      copy->value()->keepSecureText();
    }
    copies.push_back(std::move(copy));
  }
  module->setUserOptions(std::move(copies));
  module->isUpdating_.store(true);
  return module;
}

// ---------------------------------------------------------------------------------------------
// Reading the package

std::optional<std::string> QVDashboardModule::stringValueForKey(const std::string& key,
                                                                const nlohmann::json& dictionary) {
  auto text = QVJsonString(QVJsonMember(dictionary, key));
  if (!text) return std::nullopt;
  std::string trimmed = QVTrimmedString(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::optional<double> QVDashboardModule::numberValueForKey(const std::string& key,
                                                           const nlohmann::json& dictionary) {
  const nlohmann::json* value = QVJsonMember(dictionary, key);
  if (!value) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (value->is_number()) return value->get<double>();
  return std::nullopt;
}

bool QVDashboardModule::parseModule() {
  std::error_code ec;
  if (path_.empty() || !fs::exists(path_, ec)) {
    platform::log("File doesn't exist at path: {}", path_.empty() ? "(null)" : path_);
    return false;
  }
  bundle_ = platform::Bundle(path_);
  auto packagePath = bundle_.pathForResource("package", "json");
  auto script = bundle_.pathForResource("main", "js");
  if (!packagePath || !script) {
    platform::log("Missing required module files (package.json or main.js)");
    return false;
  }
  scriptPath_ = script->string();

  auto text = platform::files::readTextFile(*packagePath, nullptr, kMaximumManifestBytes);
  if (!text || text->empty()) {
    platform::log("Package file is empty");
    return false;
  }
  std::string parseError;
  auto root = QVParseJSON(*text, &parseError);
  if (!root) {
    platform::log("An error occurred while parsing the JSON.");
    platform::log("{}", parseError);
    return false;
  }
  if (!root->is_object() || root->empty()) {
    platform::log("Invalid Root Package Object Type. Exception dictionary got: {}", QVJsonClassName(&*root));
    return false;
  }
  if (!validateJSONDict(*root)) {
    platform::log("Missing required keys");
    return false;
  }
  // The bundle identifier names the module's log and database files inside their folders: one that
  // could name a file elsewhere (a "/", a NUL, a leading ".") makes the package invalid.
  if (auto identifier = stringValueForKey("bundleID", *root);
      identifier && !isSafeFileNamePart(*identifier, false)) {
    platform::log("Invalid bundleID: {}", *identifier);
    return false;
  }

  helpDocumentPath_.reset();
  for (const char* extension : {"txt", "rtf", "rtfd", "html"}) {
    if (auto readme = bundle_.pathForResource("README", extension)) {
      helpDocumentPath_ = readme->string();
      break;
    }
  }
  return processPackageJSON(*root);
}

bool QVDashboardModule::validateJSONDict(const nlohmann::json& dictionary) const {
  for (const auto& key : requiredPackageKeys()) {
    const nlohmann::json* value = QVJsonMember(dictionary, key);
    if (!value || !value->is_string() || value->get_ref<const std::string&>().empty()) {
      platform::log("Missing required key: {}", key);
      return false;
    }
  }
  return true;
}

bool QVDashboardModule::processPackageJSON(const nlohmann::json& dictionary) {
  canBeInstalled_ = true;
  moduleName_ = stringValueForKey("name", dictionary);
  moduleDescription_ = stringValueForKey("description", dictionary);
  authorName_ = stringValueForKey("author", dictionary);
  bundleID_ = stringValueForKey("bundleID", dictionary);
  version_ = stringValueForKey("version", dictionary);
  website_ = stringValueForKey("website", dictionary);
  supportURL_ = stringValueForKey("supportURL", dictionary);
  category_ = stringValueForKey("category", dictionary);
  minAppVersion_ = stringValueForKey("minAppVersion", dictionary);

  if (minAppVersion_ && zk_compareNumeric(*minAppVersion_, QVEngineEnvironment::appShortVersion()) > 0) {
    canBeInstalled_ = false;
  }

  defaultRefreshInterval_ = numberValueForKey("refreshInterval", dictionary).value_or(kQVNoRefreshInterval);
  minimumRefreshInterval_ = closestAvailableTimeIntervalWithInterval(
      numberValueForKey("minimumRefreshInterval", dictionary).value_or(kQVNoRefreshInterval), false);
  {
    std::lock_guard lock(mutex_);
    if (minimumRefreshInterval_ != kQVNoRefreshInterval && minimumRefreshInterval_ > refreshInterval_) {
      refreshInterval_ = minimumRefreshInterval_;
    }
  }
  hasNotifications_ = QVJsonNumberBool(QVJsonMember(dictionary, "hasNotifications")).value_or(false);

  auto userOptions = processOptionsArray(QVJsonMember(dictionary, "user_options"), false);
  setUserOptions(std::move(userOptions));
  auto notificationOptions = notificationOptionsFromResource();
  setNotificationOptions(std::move(notificationOptions));

  auto log = QVModuleLog::logForModule(bundleID_.value_or(""), uid());
  {
    std::lock_guard lock(mutex_);
    log_ = std::move(log);
  }
  return true;
}

std::optional<QVDashboardModule::Options> QVDashboardModule::notificationOptionsFromResource() const {
  std::optional<Options> current;
  {
    std::lock_guard lock(mutex_);
    current = notificationOptions_;
  }
  auto path = QVEngineEnvironment::resourceBundle().pathForResource("notification_preferences", "json");
  if (!path) return current;
  auto text = platform::files::readTextFile(*path, nullptr, kMaximumManifestBytes);
  if (!text || text->empty()) return current;
  std::string parseError;
  auto list = QVParseJSON(*text, &parseError);
  if (!list) {
    platform::log("Could not read the notification preferences: {}", parseError);
    return std::nullopt;
  }
  return processOptionsArray(&*list, true);
}

std::optional<QVDashboardModule::Options> QVDashboardModule::processOptionsArray(const nlohmann::json* value,
                                                                                 bool isNotifications) const {
  if (!value) return std::nullopt;
  if (!value->is_array()) {
    platform::log("Skipping options because it's in the wrong format. Excepted an array, got: {}",
                  QVJsonClassName(value));
    return std::nullopt;
  }
  Options options;
  for (const auto& element : *value) {
    if (!element.is_object()) {
      platform::log("Skipping value because it's not a dictionary/object: {}", QVJsonDescription(&element));
      continue;
    }
    auto option = QVDMUserOption::optionWithDictionary(element);
    if (!option) continue;
    auto existing = existingUserOptionWithOption(*option, isNotifications);
    if (existing && existing->type() == option->type() && existing->value() && option->value()) {
      option->setUid(existing->uid());
      if (option->type() == QVDMOptionType::string) {
        option->value()->takeStringValueFrom(*existing->value());
      } else {
        option->value()->setObjectValue(existing->value()->jsonValue(), option->type());
      }
    }
    options.push_back(std::move(option));
  }
  return options;
}

QVDMUserOption::Pointer QVDashboardModule::existingUserOptionWithOption(const QVDMUserOption& option,
                                                                        bool isNotifications) const {
  std::optional<Options> current;
  {
    std::lock_guard lock(mutex_);
    current = isNotifications ? notificationOptions_ : userOptions_;
  }
  if (!current) return nullptr;
  for (const auto& candidate : *current) {
    if (candidate && candidate->name() == option.name()) return candidate;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Fields

std::string QVDashboardModule::uid() const {
  std::lock_guard lock(mutex_);
  return uid_;
}

std::optional<std::string> QVDashboardModule::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void QVDashboardModule::setName(std::optional<std::string> name) {
  {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
  }
  nameDidChange.emit();
  postDidChange(QVModuleDidChangeNotification);
}

std::optional<std::string> QVDashboardModule::displayName() const {
  std::lock_guard lock(mutex_);
  return name_ ? name_ : moduleName_;
}

std::optional<std::string> QVDashboardModule::onClickURLString() const {
  std::lock_guard lock(mutex_);
  return onClickURLString_;
}

void QVDashboardModule::setOnClickURLString(std::optional<std::string> url) {
  std::lock_guard lock(mutex_);
  onClickURLString_ = std::move(url);
}

double QVDashboardModule::refreshInterval() const {
  std::lock_guard lock(mutex_);
  return refreshInterval_;
}

void QVDashboardModule::setRefreshInterval(double seconds) {
  std::lock_guard lock(mutex_);
  refreshInterval_ = seconds;
}

std::shared_ptr<QVDashboardGroup> QVDashboardModule::group() const {
  std::lock_guard lock(mutex_);
  return group_.lock();
}

void QVDashboardModule::setGroup(const std::shared_ptr<QVDashboardGroup>& group) {
  std::lock_guard lock(mutex_);
  group_ = group;
}

QVDashboardModule::Options QVDashboardModule::userOptions() const {
  std::lock_guard lock(mutex_);
  return userOptions_.value_or(Options{});
}

bool QVDashboardModule::hasUserOptionList() const {
  std::lock_guard lock(mutex_);
  return userOptions_.has_value();
}

void QVDashboardModule::setUserOptions(std::optional<Options> options) {
  std::lock_guard lock(mutex_);
  userOptions_ = std::move(options);
}

QVDashboardModule::Options QVDashboardModule::notificationOptions() const {
  std::lock_guard lock(mutex_);
  return notificationOptions_.value_or(Options{});
}

void QVDashboardModule::setNotificationOptions(std::optional<Options> options) {
  std::lock_guard lock(mutex_);
  notificationOptions_ = std::move(options);
}

QVDMUserOption::Pointer QVDashboardModule::notificationOptionWithKey(const std::string& name) const {
  for (const auto& option : notificationOptions()) {
    if (option->name() == name) return option;
  }
  return nullptr;
}

bool QVDashboardModule::hasAllRequiredFields() const {
  for (const auto& option : userOptions()) {
    if (option->required() && (!option->value() || option->value()->isEmpty())) return false;
  }
  return true;
}

void QVDashboardModule::optionsDidChange() { postDidChange(QVModuleDidChangeNotification); }
void QVDashboardModule::loadSecureTexts() {
  std::vector<QVDMOptionValue::Pointer> pending;
  for (const auto& option : userOptions()) {
    if (option->value() && option->value()->isSecureTextPending()) pending.push_back(option->value());
  }
  if (pending.empty()) return;
  auto remaining = std::make_shared<std::size_t>(pending.size());
  std::weak_ptr<QVDashboardModule> weak = weak_from_this();
  for (const auto& value : pending) {
    // The completions run one by one on the main thread.
    value->loadSecureText([weak, remaining] {
      if (--*remaining > 0) return;
      if (auto module = weak.lock()) module->postDidChange(QVModuleDidChangeNotification);
    });
  }
}

QVModuleResult::Pointer QVDashboardModule::lastResult() const {
  std::lock_guard lock(mutex_);
  return lastResult_;
}

void QVDashboardModule::setLastResult(QVModuleResult::Pointer result) {
  {
    std::lock_guard lock(mutex_);
    lastResult_ = std::move(result);
  }
  postDidChange(QVModuleResultDidChangeNotification);
}

std::shared_ptr<QVModuleLog> QVDashboardModule::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void QVDashboardModule::setIsUpdating(bool updating) {
  isUpdating_.store(updating);
  isUpdatingDidChange.emit(updating);
}

void QVDashboardModule::postDidChange(const char* name) {
  platform::NotificationCenter::defaultCenter().postNotificationName(name, this, weak_from_this().lock());
}

std::string QVDashboardModule::jsonDatabasePath() const {
  std::string identifier = bundleID_.value_or("");
  std::string uid = this->uid();
  if (!isSafeFileNamePart(identifier, false) || !isSafeFileNamePart(uid, false)) return {};
  fs::path folder = supportPathWithFolder("Module Databases");
  platform::files::createDirectory(folder);
  return (folder / fmt::format("{}_{}.json", identifier, uid)).string();
}

void QVDashboardModule::moduleWillBeRemoved() {
  if (auto log = this->log()) log->willBeRemoved();
  std::string database = jsonDatabasePath();
  if (database.empty()) return;
  std::error_code ec;
  if (fs::symlink_status(database, ec).type() != fs::file_type::not_found)
    platform::files::removeItem(database);
}

std::string QVDashboardModule::description() const {
  return fmt::format("<QVDashboardModule {} name={} path={}>", static_cast<const void*>(this), orNull(name()),
                     path_.empty() ? "(null)" : path_);
}
