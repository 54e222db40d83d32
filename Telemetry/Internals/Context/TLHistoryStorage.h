#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "platform/KeyedArchiver.h"

// Reads and writes a history (an array of entries of class T) kept as a keyed archive in the
// settings. A value that is missing, not data, not an archive, or not an array of T entries counts
// as an empty history; anything but "missing" is logged.
template <typename T>
std::vector<std::shared_ptr<T>> TLLoadHistory(TLUserDefaults& settings, const std::string& key) {
  auto stored = settings.objectForKey(key);
  if (!stored) return {};
  const platform::Data* data = stored->asData();
  platform::ArchiveObject root = data ? TLUnarchivedObject(*data) : platform::ArchiveObject();
  const platform::ArchiveObject::Array* array = root.asArray();
  std::vector<std::shared_ptr<T>> history;
  bool damaged = !array;
  if (array) {
    for (const auto& item : *array) {
      auto entry = item.asObjectOfClass<T>();
      if (!entry) {
        damaged = true;
        break;
      }
      history.push_back(std::move(entry));
    }
  }
  if (damaged) {
    TLLogWarning(kTLLogTag, "The stored history \"{}\" cannot be read; starting a new one.", key);
    return {};
  }
  return history;
}

template <typename T>
void TLStoreHistory(TLUserDefaults& settings, const std::string& key,
                    const std::vector<std::shared_ptr<T>>& history) {
  settings.setObject(platform::PropertyList(TLArchivedData(platform::ArchiveObject(history))), key);
}
