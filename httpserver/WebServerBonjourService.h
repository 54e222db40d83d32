#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// An error of service discovery or port mapping: a code and the domain it belongs to.
struct WebServerServiceError {
  int code = 0;
  int domain = 0;
};

// The domain of errors reported by the service-discovery daemon (Avahi's error codes), and the code
// that stands for a resolution that timed out.
inline constexpr int kWebServerNetServicesErrorDomain = 10;
inline constexpr int kWebServerNetServicesTimeoutError = -72007;

// One service published for local discovery (DNS-SD over multicast DNS) and the resolution of the
// host name it is reachable under. Callbacks may come on any thread, even from inside the call that
// starts the step; none comes after the object is destroyed.
class WebServerBonjourService {
 public:
  // Registration succeeded (no error) or failed.
  using RegistrationCallback = std::function<void(std::optional<WebServerServiceError> error)>;
  // The target host (a fully qualified name, with or without the final dot) or the error.
  using ResolutionCallback =
      std::function<void(std::optional<std::string> targetHost, std::optional<WebServerServiceError> error)>;
  // Makes the service (not yet published); nullptr when it cannot be made. The domain is "local.".
  using Factory = std::function<std::unique_ptr<WebServerBonjourService>(
      const std::string& type, const std::string& name, std::uint16_t port)>;

  virtual ~WebServerBonjourService() = default;

  // Publishes the service; the callback tells the outcome once.
  virtual void registerService(RegistrationCallback callback) = 0;
  // Resolves the published service; false when resolution cannot start. The callback tells the
  // outcome once, a time-out after `timeout` seconds at the latest.
  virtual bool resolveWithTimeout(double timeout, ResolutionCallback callback) = 0;
  // The name as published (a name taken on the network is replaced by a free one) and the type.
  virtual std::string name() const = 0;
  virtual std::string type() const = 0;

  // The service on the Avahi daemon of this machine; nullptr when it cannot be made.
  static std::unique_ptr<WebServerBonjourService> makeAvahiService(const std::string& type,
                                                                   const std::string& name,
                                                                   std::uint16_t port);
};
