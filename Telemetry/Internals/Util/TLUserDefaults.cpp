#include "Telemetry/Internals/Util/TLUserDefaults.h"

#include <cmath>
#include <mutex>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Date.h"

namespace {
// Merging updates read, compare and write back; two of them on one key must not interleave or an
// entry of one would be lost. One lock for every instance, since instances may share a store;
// re-entrant, because settings observers are told on this thread and may merge in turn.
std::recursive_mutex gMergeMutex;
}  // namespace

std::shared_ptr<TLUserDefaults> TLUserDefaults::shared() {
  // Never destroyed: pipeline work that finishes while the process exits still reaches it.
  static auto* instance = new std::shared_ptr<TLUserDefaults>(std::make_shared<TLUserDefaults>(nullptr));
  return *instance;
}

std::shared_ptr<TLUserDefaults> TLUserDefaults::userDefaultsWithStore(
    std::shared_ptr<platform::SettingsStore> store) {
  return std::make_shared<TLUserDefaults>(std::move(store));
}

std::shared_ptr<platform::SettingsStore> TLUserDefaults::store() const {
  return store_ ? store_ : platform::SettingsStore::standardUserDefaults();
}

std::optional<platform::PropertyList> TLUserDefaults::objectForKey(std::string_view key) const {
  return store()->objectForKey(key);
}

std::optional<bool> TLUserDefaults::flagForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (const bool* flag = value->asBoolean()) return *flag;
  if (const std::int64_t* number = value->asInteger()) return *number != 0;
  if (const double* number = value->asReal()) return *number != 0;
  return std::nullopt;
}

void TLUserDefaults::setObject(const platform::PropertyList& object, std::string_view key) {
  store()->setObject(object, key);
}

void TLUserDefaults::removeObjectForKey(std::string_view key) { store()->removeObjectForKey(key); }

platform::PropertyList::Dictionary TLUserDefaults::updateDictionary(
    const platform::PropertyList::Dictionary& dictionary, std::string_view key, double expiration) {
  auto settings = store();
  std::lock_guard lock(gMergeMutex);
  platform::PropertyList::Dictionary update = dictionary;
  std::optional<platform::PropertyList::Dictionary> stored;
  if (auto value = settings->objectForKey(key); value && value->asDictionary())
    stored = *value->asDictionary();
  double ts = 0;
  if (stored) {
    if (auto it = stored->find(kTLUserDefaultsTimestampKey); it != stored->end()) {
      if (auto real = it->second.asReal())
        ts = *real;
      else if (auto integer = it->second.asInteger())
        ts = static_cast<double>(*integer);
    }
  }
  TLLogVerbose(kTLLogTag, "Settings:store[{}]={}", key,
               stored ? TLUtility::describePropertyList(*stored) : std::string("(null)"));

  double now = platform::Date::now().timeIntervalSinceReferenceDate();
  bool expired = expiration > 0 && ts > 0 && std::fabs(now - ts) >= expiration;
  if (!expired && stored) {
    for (const auto& [storedKey, storedValue] : *stored) {
      auto it = update.find(storedKey);
      if (it != update.end() && it->second == storedValue) update.erase(it);
    }
  }
  if (update.empty()) return update;

  TLLogDebug(kTLLogTag, "Settings:update[{}]={}", key, TLUtility::describePropertyList(update));
  platform::PropertyList::Dictionary merged = stored ? *stored : platform::PropertyList::Dictionary{};
  for (const auto& [updateKey, value] : update) merged[updateKey] = value;
  merged[kTLUserDefaultsTimestampKey] = platform::Date::now().timeIntervalSinceReferenceDate();
  settings->setObject(platform::PropertyList(std::move(merged)), key);
  return update;
}

bool TLUserDefaults::updateObject(const platform::PropertyList& object, std::string_view key,
                                  double expiration) {
  auto written = updateDictionary({{"v", object}}, key, expiration);
  return written.contains("v");
}
