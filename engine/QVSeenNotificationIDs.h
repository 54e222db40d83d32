#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace platform {
class SettingsStore;
}

// The setting that remembers which module notifications were delivered, across launches: the ids as
// a keyed archive of an array (data) under "seenNotificationIDs" in the user's settings. The
// application's typed settings object reads and writes it through these two functions, so the
// stored form lives in one place.
inline constexpr const char* QVSeenNotificationIDsKey = "seenNotificationIDs";

// The stored ids, oldest first; nullopt when nothing was ever stored. Data of zero length, an archive
// that cannot be read or does not hold an array give an empty list.
std::optional<std::vector<nlohmann::json>> QVReadSeenNotificationIDs(const platform::SettingsStore& settings);

// Stores the ids (oldest first) and writes the settings to disk at once; false when that failed.
bool QVWriteSeenNotificationIDs(platform::SettingsStore& settings, const std::vector<nlohmann::json>& ids);
