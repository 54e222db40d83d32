#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/WebServerHandler.h"

// What a running server's connections read: fixed from start to stop, so a connection that
// outlives a stop still sees the settings it started with.
struct WebServerConfiguration {
  std::string serverName;
  std::optional<std::string> authenticationRealm;
  std::optional<std::map<std::string, std::string>> authenticationBasicAccounts;
  std::optional<std::map<std::string, std::string>> authenticationDigestAccounts;
  bool shouldAutomaticallyMapHEADToGET = true;
  std::vector<std::shared_ptr<WebServerHandler>> handlers;
  std::uint64_t maximumRequestBodySize = 64ull * 1024 * 1024;
  double requestHeadTimeout = 30.0;
  double idleTimeout = 60.0;
};
