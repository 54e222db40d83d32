#pragma once

#include <cstdint>

namespace platform {
class SettingsStore;
}

// The two web-sharing settings, kept in the standard settings store and readable on any thread. The
// application's typed settings object registers their defaults with the others and reaches them
// through the overloads that take a store, so the keys and their reading rules live here only.
namespace QVServerSettings {

// Boolean, default NO: whether web sharing was switched on, so that it starts with the application.
inline constexpr const char* kServerEnabledKey = "serverEnabled";
// Integer, default 8080: the TCP port the dashboard is shared on (0: any free port).
inline constexpr const char* kServerPortKey = "serverPort";
inline constexpr bool kDefaultServerEnabled = false;
inline constexpr std::int64_t kDefaultServerPort = 8080;

bool serverEnabled();
void setServerEnabled(bool enabled);
// The stored port as it is (it may be out of the port range); the default when none is stored.
std::int64_t serverPort();
void setServerPort(std::int64_t port);

bool serverEnabled(const platform::SettingsStore& store);
void setServerEnabled(platform::SettingsStore& store, bool enabled);
std::int64_t serverPort(const platform::SettingsStore& store);
void setServerPort(platform::SettingsStore& store, std::int64_t port);

}  // namespace QVServerSettings
