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
  // After the head timeout's grace, a request body must keep coming at this many bytes per second
  // on average, so that a body trickling in one byte at a time cannot hold its connection for ever.
  double minimumBodyRate = 1024.0;
  // Connections alive at once, overall and per peer address. When either bound is reached, the
  // connection that has waited longest on its client is closed to make room; the newcomer is refused
  // when none waits on its client.
  std::size_t maximumConnections = 1024;
  std::size_t maximumConnectionsPerPeer = 128;
};
