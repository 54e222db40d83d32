#include "platform/SettingsStore.h"

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>

#include "platform/BundleInfo.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// How long the writer waits after a change, so that a burst of changes is written once.
constexpr std::chrono::milliseconds kWriteDelay{100};
// A settings file larger than this is not read (and is moved aside as unreadable).
constexpr std::uint64_t kMaxFileSize = std::uint64_t(64) << 20;

// The standard store is never destroyed: work still running on other threads while the process
// exits (a late network answer, a queued task) may read or change settings after static objects
// are gone. What it holds is written out at exit instead, by `gStandardFlush` below.
struct StandardStore {
  std::mutex mutex;
  std::shared_ptr<SettingsStore> store;
};

StandardStore& standardStore() {
  static auto* standard = new StandardStore;
  return *standard;
}

struct StandardFlushAtExit {
  ~StandardFlushAtExit() {
    std::shared_ptr<SettingsStore> store;
    {
      std::lock_guard lock(standardStore().mutex);
      store = standardStore().store;
    }
    if (store) store->synchronize();
  }
} gStandardFlush;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Observations

struct SettingsStore::Observation::Entry {
  std::string key;
  SettingsStore::Observer observer;
  std::atomic<bool> active{true};
};

struct SettingsStore::Observation::Registry {
  std::mutex mutex;
  std::map<std::string, std::vector<std::shared_ptr<Entry>>, std::less<>> byKey;
};

SettingsStore::Observation& SettingsStore::Observation::operator=(Observation&& other) noexcept {
  if (this != &other) {
    invalidate();
    registry_ = std::move(other.registry_);
    entry_ = std::move(other.entry_);
  }
  return *this;
}

void SettingsStore::Observation::invalidate() {
  if (!entry_) return;
  entry_->active = false;
  if (auto registry = registry_.lock()) {
    std::lock_guard lock(registry->mutex);
    auto it = registry->byKey.find(entry_->key);
    if (it != registry->byKey.end()) {
      std::erase(it->second, entry_);
      if (it->second.empty()) registry->byKey.erase(it);
    }
  }
  entry_.reset();
  registry_.reset();
}

// ---------------------------------------------------------------------------------------------
// Making stores

std::filesystem::path SettingsStore::standardPath() {
  return paths::configDirectory() / (std::string(bundleinfo::kIdentifier) + ".plist");
}

std::shared_ptr<SettingsStore> SettingsStore::standardUserDefaults() {
  auto& standard = standardStore();
  std::lock_guard lock(standard.mutex);
  if (!standard.store) standard.store = storeWithPath(standardPath());
  return standard.store;
}

void SettingsStore::setStandardUserDefaults(std::shared_ptr<SettingsStore> store) {
  std::shared_ptr<SettingsStore> previous;
  {
    auto& standard = standardStore();
    std::lock_guard lock(standard.mutex);
    previous = std::exchange(standard.store, std::move(store));
  }
  // The previous store writes what it still holds as it goes, outside the lock.
}

std::shared_ptr<SettingsStore> SettingsStore::storeWithPath(const std::filesystem::path& path) {
  std::shared_ptr<SettingsStore> store(new SettingsStore(path));
  store->load();
  return store;
}

std::shared_ptr<SettingsStore> SettingsStore::inMemoryStore() {
  return std::shared_ptr<SettingsStore>(new SettingsStore(fs::path()));
}

SettingsStore::SettingsStore(std::filesystem::path path)
    : path_(std::move(path)), observers_(std::make_shared<Observation::Registry>()) {}

SettingsStore::~SettingsStore() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  synchronize();
}

void SettingsStore::load() {
  persistent_ = true;
  // A save cut short leaves its temporary file beside the settings.
  files::removeAtomicWriteTemporaries(path_.parent_path(), path_.filename().string());
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path_, ec))) return;
  Error error;
  std::optional<PropertyList> root;
  if (auto bytes = files::readFile(path_, &error, kMaxFileSize)) {
    root = PropertyList::read(*bytes, &error);
    if (root && !root->asDictionary()) {
      root.reset();
      error =
          Error::make(kCocoaErrorDomain, kPropertyListReadCorruptError, "the top level is not a dictionary");
    }
  }
  if (root) {
    values_ = std::move(*root->asDictionary());
    return;
  }
  // Keep the unreadable file for the user under a name of its own; writing over it would lose it.
  fs::path aside;
  for (int n = 1; n <= 1000; ++n) {
    fs::path candidate = n == 1 ? fs::path(path_.string() + ".corrupt")
                                : fs::path(fmt::format("{}.{}.corrupt", path_.string(), n));
    if (!fs::exists(fs::symlink_status(candidate, ec))) {
      aside = candidate;
      break;
    }
  }
  Error moveError;
  if (!aside.empty() && files::moveItem(path_, aside, &moveError)) {
    log("Settings file {} could not be read ({}); moved it to {} and started with empty settings",
        path_.string(), error.description, aside.string());
    return;
  }
  persistent_ = false;
  log("Settings file {} could not be read ({}) nor moved aside ({}); settings will not be saved",
      path_.string(), error.description, aside.empty() ? "no free name" : moveError.description);
}

// ---------------------------------------------------------------------------------------------
// Reading

std::optional<PropertyList> SettingsStore::effectiveValue(std::string_view key) const {
  if (auto it = values_.find(key); it != values_.end()) return it->second;
  if (auto it = defaults_.find(key); it != defaults_.end()) return it->second;
  return std::nullopt;
}

std::optional<PropertyList> SettingsStore::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return effectiveValue(key);
}

void SettingsStore::registerDefaults(const PropertyList::Dictionary& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : defaults) defaults_.insert_or_assign(key, value);
}

PropertyList::Dictionary SettingsStore::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  PropertyList::Dictionary out = defaults_;
  for (const auto& [key, value] : values_) out.insert_or_assign(key, value);
  return out;
}

std::optional<std::string> SettingsStore::stringForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (auto s = value->asString()) return *s;
  if (auto i = value->asInteger()) return std::to_string(*i);
  if (auto b = value->asBoolean()) return *b ? "1" : "0";
  if (auto r = value->asReal()) return fmt::format("{}", *r);
  return std::nullopt;
}

std::optional<PropertyList::Array> SettingsStore::arrayForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->asArray()) return std::nullopt;
  return *value->asArray();
}

std::optional<std::vector<std::string>> SettingsStore::stringArrayForKey(std::string_view key) const {
  auto array = arrayForKey(key);
  if (!array) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : *array) {
    if (!item.asString()) return std::nullopt;
    out.push_back(*item.asString());
  }
  return out;
}

std::optional<PropertyList::Dictionary> SettingsStore::dictionaryForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->asDictionary()) return std::nullopt;
  return *value->asDictionary();
}

std::optional<Data> SettingsStore::dataForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->asData()) return std::nullopt;
  return *value->asData();
}

bool SettingsStore::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (auto b = value->asBoolean()) return *b;
  if (auto i = value->asInteger()) return *i != 0;
  if (auto r = value->asReal()) return *r != 0.0;
  if (auto s = value->asString()) return json::boolValue(nlohmann::json(*s)).value_or(false);
  return false;
}

std::int64_t SettingsStore::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto b = value->asBoolean()) return *b ? 1 : 0;
  if (auto i = value->asInteger()) return *i;
  if (auto r = value->asReal()) return json::integerValue(nlohmann::json(*r)).value_or(0);
  if (auto s = value->asString()) return json::integerValue(nlohmann::json(*s)).value_or(0);
  return 0;
}

double SettingsStore::doubleForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto b = value->asBoolean()) return *b ? 1 : 0;
  if (auto i = value->asInteger()) return static_cast<double>(*i);
  if (auto r = value->asReal()) return *r;
  if (auto s = value->asString()) return json::doubleValue(nlohmann::json(*s)).value_or(0);
  return 0;
}

float SettingsStore::floatForKey(std::string_view key) const {
  double value = doubleForKey(key);
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// ---------------------------------------------------------------------------------------------
// Writing and observing

void SettingsStore::setObject(const std::optional<PropertyList>& value, std::string_view key) {
  std::optional<PropertyList> oldValue, newValue;
  {
    std::lock_guard lock(mutex_);
    oldValue = effectiveValue(key);
    if (value) {
      values_.insert_or_assign(std::string(key), *value);
    } else if (auto it = values_.find(key); it != values_.end()) {
      values_.erase(it);
    }
    newValue = effectiveValue(key);
    ++version_;
  }
  scheduleWrite();

  std::vector<std::shared_ptr<Observation::Entry>> entries;
  {
    std::lock_guard lock(observers_->mutex);
    if (auto it = observers_->byKey.find(key); it != observers_->byKey.end()) entries = it->second;
  }
  const std::string keyText(key);
  for (const auto& entry : entries) {
    if (entry->active) entry->observer(keyText, oldValue, newValue);
  }
}

SettingsStore::Observation SettingsStore::addObserverForKey(std::string key, Observer observer) {
  auto entry = std::make_shared<Observation::Entry>();
  entry->key = key;
  entry->observer = std::move(observer);
  {
    std::lock_guard lock(observers_->mutex);
    observers_->byKey[key].push_back(entry);
  }
  return Observation(observers_, std::move(entry));
}

void SettingsStore::scheduleWrite() {
  if (path_.empty()) return;
  std::lock_guard lock(mutex_);
  if (!persistent_ || stopping_) return;
  if (!writer_.joinable()) writer_ = std::thread([this] { writerLoop(); });
  wake_.notify_all();
}

void SettingsStore::writerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // Sleep until there is a change that has not been tried yet.
    wake_.wait(lock, [&] { return stopping_ || version_ != attemptedVersion_; });
    if (stopping_) return;
    // Let a burst of changes settle, then write them once.
    if (wake_.wait_for(lock, kWriteDelay, [&] { return stopping_; })) return;
    lock.unlock();
    synchronize();
    lock.lock();
  }
}

bool SettingsStore::synchronize() {
  if (path_.empty()) return true;
  std::lock_guard writing(writeMutex_);
  PropertyList::Dictionary snapshot;
  std::uint64_t version = 0;
  {
    std::lock_guard lock(mutex_);
    if (!persistent_) return false;
    if (version_ == writtenVersion_) return true;
    snapshot = values_;
    version = version_;
    attemptedVersion_ = version;
  }
  Error error;
  bool ok = false;
  if (auto bytes = PropertyList(std::move(snapshot)).write(PropertyList::Format::Binary, &error)) {
    ok = files::createDirectory(path_.parent_path(), &error) &&
         files::writeAtomically(path_, *bytes, &error, 0600);
  }
  std::lock_guard lock(mutex_);
  if (ok) {
    writtenVersion_ = std::max(writtenVersion_, version);
    writeFailing_ = false;
  } else if (!writeFailing_) {
    // One line per run of failures; the next change tries again.
    writeFailing_ = true;
    log("Could not write settings to {}: {}", path_.string(), error.description);
  }
  return ok && writtenVersion_ == version_;
}

}  // namespace platform
