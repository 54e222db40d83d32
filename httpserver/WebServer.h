#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/WebServerBonjourService.h"
#include "httpserver/WebServerConnection.h"
#include "httpserver/WebServerDelegate.h"
#include "httpserver/WebServerHandler.h"
#include "httpserver/WebServerPortMapper.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"

// Option keys of startWithOptions.
inline constexpr const char* WebServerOption_Port = "Port";  // unsigned, 0 = any free port
inline constexpr const char* WebServerOption_BindToLocalhost = "BindToLocalhost";              // bool
inline constexpr const char* WebServerOption_MaxPendingConnections = "MaxPendingConnections";  // unsigned
inline constexpr const char* WebServerOption_ServerName = "ServerName";                        // string
inline constexpr const char* WebServerOption_AuthenticationMethod =
    "AuthenticationMethod";  // "Basic", "DigestAccess"
inline constexpr const char* WebServerOption_AuthenticationRealm = "AuthenticationRealm";  // string
inline constexpr const char* WebServerOption_AuthenticationAccounts =
    "AuthenticationAccounts";                                                      // {user: password}
inline constexpr const char* WebServerOption_ConnectionClass = "ConnectionClass";  // see WebServerOptions
inline constexpr const char* WebServerOption_AutomaticallyMapHEADToGET = "AutomaticallyMapHEADToGET";  // bool
inline constexpr const char* WebServerOption_ConnectedStateCoalescingInterval =
    "ConnectedStateCoalescingInterval";                                                        // seconds
inline constexpr const char* WebServerOption_DispatchQueuePriority = "DispatchQueuePriority";  // integer
inline constexpr const char* WebServerOption_BonjourName = "BonjourName";
inline constexpr const char* WebServerOption_BonjourType = "BonjourType";
inline constexpr const char* WebServerOption_RequestNATPortMapping = "RequestNATPortMapping";
// Limits of this system's server.
inline constexpr const char* WebServerOption_MaxRequestBodySize =
    "MaxRequestBodySize";  // bytes, default 64 MiB
inline constexpr const char* WebServerOption_RequestHeadTimeout =
    "RequestHeadTimeout";                                                  // seconds, default 30
inline constexpr const char* WebServerOption_IdleTimeout = "IdleTimeout";  // seconds, default 60
inline constexpr const char* WebServerOption_MinimumBodyRate =
    "MinimumBodyRate";  // bytes per second after the head timeout's grace, default 1024
inline constexpr const char* WebServerOption_MaxConnections =
    "MaxConnections";  // default 1024, at most half the process's descriptor limit
inline constexpr const char* WebServerOption_MaxConnectionsPerPeer =
    "MaxConnectionsPerPeer";  // per remote address, default 128

inline constexpr const char* WebServerAuthenticationMethod_Basic = "Basic";
inline constexpr const char* WebServerAuthenticationMethod_DigestAccess = "DigestAccess";

// The start options: the values under the keys above, and the connection class (the
// "ConnectionClass" option, a class rather than a value).
struct WebServerOptions {
  WebServerOptions(nlohmann::json values = nlohmann::json::object(),
                   WebServerConnectionClass connectionClass = {})
      : values(std::move(values)), connectionClass(std::move(connectionClass)) {}
  nlohmann::json values;
  WebServerConnectionClass connectionClass;
};

// The embedded HTTP/1.1 server: an IPv4 and an IPv6 listening socket on one port, an ordered list
// of handlers (the most recently added is asked first), optional Basic or Digest authentication,
// and a connected state told to a delegate. Each connection carries one request and closes.
// Sockets and connections run on a small process-wide thread pool; delegate calls come on the main
// queue (none are made when no main queue is installed).
class WebServer : public std::enable_shared_from_this<WebServer> {
 public:
  using Configuration = WebServerConfiguration;

  static std::shared_ptr<WebServer> make();
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // ---- Handlers (register while stopped; a running server keeps the list it started with) ----
  void addHandlerWithMatchBlock(WebServerMatchBlock matchBlock, WebServerAsyncProcessBlock asyncProcessBlock);
  void addHandlerWithMatchBlock(WebServerMatchBlock matchBlock, WebServerProcessBlock processBlock);
  void removeAllHandlers();
  // Every request with the method (compared exactly).
  void addDefaultHandlerForMethod(const std::string& method, WebServerRequestClass requestClass,
                                  WebServerProcessBlock processBlock);
  void addDefaultHandlerForMethod(const std::string& method, WebServerRequestClass requestClass,
                                  WebServerAsyncProcessBlock asyncProcessBlock);
  // Requests with the method whose path equals `path` without regard to case; nothing is
  // registered when the path does not start with "/".
  void addHandlerForMethod(const std::string& method, const std::string& path,
                           WebServerRequestClass requestClass, WebServerProcessBlock processBlock);
  void addHandlerForMethod(const std::string& method, const std::string& path,
                           WebServerRequestClass requestClass, WebServerAsyncProcessBlock asyncProcessBlock);
  // Requests with the method whose path the case-insensitive regular expression finds a match in;
  // the captures are stored as the request attribute WebServerRequestAttribute_RegexCaptures.
  // Nothing is registered when the expression does not compile.
  void addHandlerForMethodPathRegex(const std::string& method, const std::string& regex,
                                    WebServerRequestClass requestClass, WebServerProcessBlock processBlock);
  void addHandlerForMethodPathRegex(const std::string& method, const std::string& regex,
                                    WebServerRequestClass requestClass,
                                    WebServerAsyncProcessBlock asyncProcessBlock);
  std::vector<std::shared_ptr<WebServerHandler>> handlers() const;

  // ---- Ready-made GET handlers ----
  // Answers GET on the path (letter case ignored) with the bytes, of the content type, cached by
  // clients for `cacheAge` seconds (0: "no-cache").
  void addGETHandlerForPath(const std::string& path, platform::Data staticData,
                            const std::string& contentType, std::uint32_t cacheAge);
  // Answers GET on the path with the file (500 when it is not a readable regular file). With
  // `allowRangeRequests` the "Range" of the request is honoured and "Accept-Ranges: bytes" sent.
  void addGETHandlerForPath(const std::string& path, const std::filesystem::path& filePath, bool isAttachment,
                            std::uint32_t cacheAge, bool allowRangeRequests);
  // Serves the folder below the base path (which must start and end with "/"; compared with letter
  // case): files, the index file of a folder when there is one, else an HTML listing. Requests that
  // name a missing item, a symbolic link or anything but a file or a folder answer 404, and so do
  // paths that hold a ".." segment, a NUL or a backslash. Below the folder itself no symbolic link is
  // followed, so nothing outside it can be reached.
  void addGETHandlerForBasePath(const std::string& basePath, const std::filesystem::path& directoryPath,
                                const std::optional<std::string>& indexFilename, std::uint32_t cacheAge,
                                bool allowRangeRequests);
  // An HTML page listing the folder's files and sub-folders (hidden ones left out, names escaped);
  // nullptr when the folder cannot be read.
  static std::shared_ptr<WebServerResponse> responseWithContentsOfDirectory(
      const std::filesystem::path& directoryPath);

  // ---- Lifecycle ----
  // False (error untouched) when already running; false with the error when a socket fails.
  bool startWithOptions(const WebServerOptions& options, platform::Error* error = nullptr);
  // Port 8080 with an empty Bonjour name.
  bool start();
  bool startWithPort(std::uint16_t port, const std::optional<std::string>& bonjourName);
  // Blocks until SIGINT or SIGTERM, running the installed main queue meanwhile; for command-line
  // hosts.
  bool runWithPort(std::uint16_t port, const std::optional<std::string>& bonjourName);
  bool runWithOptions(const WebServerOptions& options, platform::Error* error = nullptr);
  // Closes both listening sockets before it returns; open connections finish on their own.
  void stop();
  bool isRunning() const;

  // ---- Properties ----
  // "http://<primary IPv4 address or localhost>:<port>/" ("http://host/" on port 80); nullopt when
  // not listening or when the machine has no primary IPv4 address.
  std::optional<std::string> serverURL() const;
  // "http://<host>:<port>/" with the host name that local service discovery resolved the server's
  // service to (without the final dot); nullopt until it is resolved, and when not listening.
  std::optional<std::string> bonjourServerURL() const;
  // "http://<external address>:<external port>/" of the gateway's port mapping; nullopt until one is
  // made, and when not listening.
  std::optional<std::string> publicServerURL() const;
  // The name (as published) and type of the service; nullopt without one.
  std::optional<std::string> bonjourName() const;
  std::optional<std::string> bonjourType() const;
  // The port listened on; 0 when stopped.
  std::uint16_t port() const;
  std::string serverName() const;
  std::optional<std::string> authenticationRealm() const;
  std::optional<std::map<std::string, std::string>> authenticationBasicAccounts() const;
  std::optional<std::map<std::string, std::string>> authenticationDigestAccounts() const;
  bool shouldAutomaticallyMapHEADToGET() const;
  long dispatchQueuePriority() const;
  // The settings of the current run; nullptr when stopped.
  std::shared_ptr<const Configuration> configuration() const;

  std::shared_ptr<WebServerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<WebServerDelegate> delegate);

  // What the "BonjourName" and "RequestNATPortMapping" options use: by default the machine's Avahi
  // daemon and NAT-PMP on the default route's gateway. Set before start.
  void setBonjourServiceFactory(WebServerBonjourService::Factory factory);
  void setPortMapperFactory(WebServerPortMapper::Factory factory);

  // Connections alive now (every accepted socket until its teardown).
  std::int64_t activeConnections() const;

  // ---- Logging ----
  static void setLogLevel(int level) { WebServerSetLogLevel(level); }
  template <typename... Args>
  static void logVerbose(fmt::format_string<Args...> format, Args&&... args) {
    WebServerLog(kWebServerLoggingLevel_Verbose, "{}", fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static void logInfo(fmt::format_string<Args...> format, Args&&... args) {
    WebServerLog(kWebServerLoggingLevel_Info, "{}", fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static void logWarning(fmt::format_string<Args...> format, Args&&... args) {
    WebServerLog(kWebServerLoggingLevel_Warning, "{}", fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static void logError(fmt::format_string<Args...> format, Args&&... args) {
    WebServerLog(kWebServerLoggingLevel_Error, "{}", fmt::format(format, std::forward<Args>(args)...));
  }

  // ---- For connections ----
  void willStartConnection(WebServerConnection* connection);
  void didEndConnection(WebServerConnection* connection);
  // Makes room for a new connection from the peer address within the configuration's bounds,
  // closing the connections that have waited longest on their clients; false when there is no room
  // (the connection is then dropped unanswered).
  bool admitConnection(const std::shared_ptr<WebServerConnection>& connection, const std::string& peer,
                       const Configuration& configuration);
  // Forgets an admitted connection (at its end; more calls do nothing).
  void forgetConnection(const WebServerConnection* connection);

 private:
  WebServer();
  class Listener;
  struct ConnectedState;

  void addHandler(std::shared_ptr<WebServerHandler> handler);
  bool startListening(const WebServerOptions& options, platform::Error* error);
  void stopListening();
  void scheduleDisconnectReport(double delay);
  void reportDisconnectIfIdle(std::uint64_t generation);
  void postToDelegate(void (WebServerDelegate::*call)(WebServer&));
  // Local service discovery and port mapping (called with the mutex held, or taking it).
  void startDiscovery(const nlohmann::json& values);
  void runForDiscovery(std::function<void()> work);
  void bonjourRegistrationDidFinish(std::uint64_t generation, std::optional<WebServerServiceError> error);
  void bonjourResolutionDidFinish(std::uint64_t generation, std::optional<std::string> host,
                                  std::optional<WebServerServiceError> error);
  void portMappingDidUpdate(std::uint64_t generation, int error, const std::string& address,
                            std::uint16_t port);
  std::optional<std::string> bonjourServerURLLocked() const;
  std::optional<std::string> publicServerURLLocked() const;

  mutable std::mutex mutex_;  // everything below but the connected state
  std::vector<std::shared_ptr<WebServerHandler>> handlers_;
  std::optional<WebServerOptions> options_;
  std::shared_ptr<const Configuration> configuration_;
  std::shared_ptr<Listener> listener4_;
  std::shared_ptr<Listener> listener6_;
  std::uint16_t port_ = 0;
  bool bindToLocalhost_ = false;
  long dispatchQueuePriority_ = 0;
  WebServerConnectionClass connectionClass_;
  std::weak_ptr<WebServerDelegate> delegate_;

  WebServerBonjourService::Factory bonjourServiceFactory_;
  WebServerPortMapper::Factory portMapperFactory_;
  // The current run's service and mapping; callbacks of an earlier run carry an older generation.
  std::uint64_t discoveryGeneration_ = 0;
  std::unique_ptr<WebServerBonjourService> bonjourService_;
  std::optional<std::string> bonjourTargetHost_;
  std::unique_ptr<WebServerPortMapper> portMapper_;
  std::optional<std::string> dnsAddress_;
  std::uint16_t dnsPort_ = 0;

  std::unique_ptr<ConnectedState> connected_;
  struct Admissions;
  std::unique_ptr<Admissions> admissions_;
};
