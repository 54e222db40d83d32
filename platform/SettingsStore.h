#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Data.h"
#include "platform/PropertyList.h"

namespace platform {

// The user's settings: one store per file, a binary property list whose root dictionary maps
// keys to values. The standard store lives at $XDG_CONFIG_HOME/<bundle id>/<bundle id>.plist.
//
// - Registered defaults are kept in memory and never written; a read falls back to them for keys
//   that hold no value.
// - A value set is visible to every thread at once. Writes reach the disk soon after (a writer
//   thread coalesces bursts) and at synchronize(), always atomically.
// - A settings file that cannot be read is moved aside to a name ending ".corrupt", with a log
//   line, and the store starts empty: it is never overwritten in place.
// - Observers of a key are told, on the thread that made the change and outside any lock, of
//   every set or removal of that key, with the old and new values as reads would give them.
// - Safe to use from several threads.
class SettingsStore {
 public:
  using Observer = std::function<void(const std::string& key, const std::optional<PropertyList>& oldValue,
                                      const std::optional<PropertyList>& newValue)>;

  // Keeps an observer registered while alive. Releasing it (or invalidate()) stops further calls
  // for changes made afterwards; a call already under way on another thread may still finish.
  class Observation {
   public:
    Observation() = default;
    Observation(Observation&&) noexcept = default;
    Observation& operator=(Observation&& other) noexcept;
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation() { invalidate(); }
    void invalidate();
    bool isValid() const { return entry_ != nullptr; }

   private:
    friend class SettingsStore;
    struct Entry;
    struct Registry;
    Observation(std::weak_ptr<Registry> registry, std::shared_ptr<Entry> entry)
        : registry_(std::move(registry)), entry_(std::move(entry)) {}
    std::weak_ptr<Registry> registry_;
    std::shared_ptr<Entry> entry_;
  };

  // The application's store, made on first use at standardPath() unless one was installed.
  static std::shared_ptr<SettingsStore> standardUserDefaults();
  // Replaces the application's store (tests install their own; nullptr makes the next
  // standardUserDefaults() open the standard file again).
  static void setStandardUserDefaults(std::shared_ptr<SettingsStore> store);
  static std::filesystem::path standardPath();

  // A store kept in the given file (read now; created on the first write).
  static std::shared_ptr<SettingsStore> storeWithPath(const std::filesystem::path& path);
  // A store that lives in memory only.
  static std::shared_ptr<SettingsStore> inMemoryStore();

  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;
  // Writes what is still pending.
  ~SettingsStore();

  // Adds to the registered defaults (a key registered again takes the new value).
  void registerDefaults(const PropertyList::Dictionary& defaults);

  // The value, or the registered default, or nullopt.
  std::optional<PropertyList> objectForKey(std::string_view key) const;
  // Typed reads, with the conversions of user defaults:
  // - a string is a string; a number reads as its decimal text ("1"/"0" for booleans);
  // - arrays, dictionaries and data only as themselves;
  // - a boolean is a number of value 0 or 1; a missing boolean is false, a missing number 0;
  //   numbers of another kind convert (reals are truncated toward zero for integers); strings
  //   convert as their text reads ("YES", "true", "1" are true; "42abc" is 42).
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<PropertyList::Array> arrayForKey(std::string_view key) const;
  // An array whose every element is a string.
  std::optional<std::vector<std::string>> stringArrayForKey(std::string_view key) const;
  std::optional<PropertyList::Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  // The registered defaults overlaid with the stored values.
  PropertyList::Dictionary dictionaryRepresentation() const;

  // Stores the value; nullopt removes the key.
  void setObject(const std::optional<PropertyList>& value, std::string_view key);
  void setBool(bool value, std::string_view key) { setObject(PropertyList(value), key); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(PropertyList(value), key); }
  void setDouble(double value, std::string_view key) { setObject(PropertyList(value), key); }
  void setFloat(float value, std::string_view key) { setObject(PropertyList(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

  // Writes pending changes now; true when everything set so far is on disk (always true for an
  // in-memory store, false for a file store that could not move an unreadable file aside).
  bool synchronize();

  // Calls the observer for every change of the key until the returned observation is released.
  [[nodiscard]] Observation addObserverForKey(std::string key, Observer observer);

  // The file, or empty for an in-memory store.
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit SettingsStore(std::filesystem::path path);
  void load();
  void scheduleWrite();
  void writerLoop();
  std::optional<PropertyList> effectiveValue(std::string_view key) const;  // caller holds mutex_

  const std::filesystem::path path_;
  bool persistent_ = false;

  mutable std::mutex mutex_;
  PropertyList::Dictionary values_;
  PropertyList::Dictionary defaults_;
  std::uint64_t version_ = 0;         // counts changes
  std::uint64_t writtenVersion_ = 0;  // the last version on disk
  std::uint64_t attemptedVersion_ = 0;
  bool writeFailing_ = false;

  std::mutex writeMutex_;  // one writer of the file at a time
  std::condition_variable wake_;
  std::thread writer_;
  bool stopping_ = false;

  std::shared_ptr<Observation::Registry> observers_;
};

}  // namespace platform
