#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The code of a mapping on a gateway whose own external address is private: the port is mapped, but
// behind a further NAT.
inline constexpr int kWebServerDoubleNATError = -65558;

// A TCP port mapping on the network's gateway (NAT-PMP), kept up while the object lives and removed
// with it. Callbacks may come on any thread; none comes after the object is destroyed.
class WebServerPortMapper {
 public:
  // Each outcome: error 0 (or kWebServerDoubleNATError) with the external IPv4 address as numeric
  // text and the external port; any other error with nothing.
  using Callback =
      std::function<void(int error, const std::string& externalAddress, std::uint16_t externalPort)>;
  using Factory = std::function<std::unique_ptr<WebServerPortMapper>()>;

  virtual ~WebServerPortMapper() = default;

  // Asks for the port to be mapped to the same external port; 0 when the request is under way (the
  // callback then tells every outcome, including renewals), else an error code and no callback.
  virtual int start(std::uint16_t port, Callback callback) = 0;

  struct NATPMPOptions {
    // The gateway's IPv4 address as numeric text; the default route's gateway when none.
    std::optional<std::string> gateway;
    // How long to wait for an answer before the gateway counts as not supporting NAT-PMP; the
    // protocol's own schedule (about two minutes) when none.
    std::optional<double> responseTimeout;
    // The lifetime asked for, in seconds; the mapping is renewed at half of what the gateway grants.
    std::uint32_t lifetime = 7200;
  };
  // The mapper that speaks NAT-PMP (libnatpmp).
  static std::unique_ptr<WebServerPortMapper> makeNATPMPMapper(NATPMPOptions options);
  static std::unique_ptr<WebServerPortMapper> makeNATPMPMapper() { return makeNATPMPMapper(NATPMPOptions()); }
};
