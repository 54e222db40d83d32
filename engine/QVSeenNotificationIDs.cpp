#include "engine/QVSeenNotificationIDs.h"

#include "platform/ArchiveObject.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/SettingsStore.h"

std::optional<std::vector<nlohmann::json>> QVReadSeenNotificationIDs(
    const platform::SettingsStore& settings) {
  if (!settings.objectForKey(QVSeenNotificationIDsKey)) return std::nullopt;
  std::vector<nlohmann::json> ids;
  auto data = settings.dataForKey(QVSeenNotificationIDsKey);
  if (!data || data->empty()) return ids;
  platform::ArchiveObject root = platform::KeyedUnarchiver::unarchiveTopLevelObjectWithData(*data);
  if (const auto* array = root.asArray()) {
    ids.reserve(array->size());
    for (const auto& item : *array) ids.push_back(item.toJson());
  }
  return ids;
}

bool QVWriteSeenNotificationIDs(platform::SettingsStore& settings, const std::vector<nlohmann::json>& ids) {
  platform::ArchiveObject::Array array;
  array.reserve(ids.size());
  for (const auto& id : ids) array.push_back(platform::ArchiveObject::fromJson(id));
  settings.setObject(platform::PropertyList(platform::KeyedArchiver::archivedDataWithRootObject(
                         platform::ArchiveObject(std::move(array)))),
                     QVSeenNotificationIDsKey);
  return settings.synchronize();
}
