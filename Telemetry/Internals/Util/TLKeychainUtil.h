#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/SecretStore.h"

// Generic-password items holding UTF-8 strings, under the service "<bundle id>.Telemetry", in the
// application's secret store (or a given one).
class TLKeychainUtil {
 public:
  static std::string serviceName();

  // Adds the item, replacing one that exists; true when stored.
  static bool storeString(const std::string& string, const std::string& key,
                          const std::string& service = serviceName(), platform::SecretStore* store = nullptr);
  // The stored string; nullopt when absent, unreadable or not UTF-8. `status` (when given) receives
  // the store's answer, so callers can tell "not there" from a failure.
  static std::optional<std::string> stringForKey(const std::string& key,
                                                 const std::string& service = serviceName(),
                                                 platform::SecretStore* store = nullptr,
                                                 platform::OSStatus* status = nullptr);
  // Deletes the item and returns its string; nullopt when there was none or the delete failed.
  static std::optional<std::string> deleteStringForKey(const std::string& key,
                                                       const std::string& service = serviceName(),
                                                       platform::SecretStore* store = nullptr);
  // Deletes every item of the service; true on success (also when there was none).
  static bool clear(const std::string& service = serviceName(), platform::SecretStore* store = nullptr);
};
