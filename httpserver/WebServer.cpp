#include "httpserver/WebServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <list>
#include <thread>
#include <unordered_map>

#include "httpserver/WebServerPathRegex.h"
#include "httpserver/WebServerSocket.h"
#include "httpserver/WebServerThreadPool.h"
#include "platform/AsioMainQueue.h"
#include "platform/Json.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kClassName = "WebServer";

bool serverEqualsIgnoringCase(std::string_view a, std::string_view b) {
  WebServerCaseInsensitiveLess less;
  return !less(a, b) && !less(b, a);
}

std::optional<std::uint64_t> readUnsigned(const nlohmann::json& values, const char* key) {
  auto it = values.find(key);
  if (it == values.end()) return std::nullopt;
  auto value = platform::json::integerValue(*it);
  if (!value || *value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

std::optional<double> readDouble(const nlohmann::json& values, const char* key) {
  auto it = values.find(key);
  if (it == values.end()) return std::nullopt;
  return platform::json::doubleValue(*it);
}

std::optional<bool> readBool(const nlohmann::json& values, const char* key) {
  auto it = values.find(key);
  if (it == values.end()) return std::nullopt;
  return platform::json::boolValue(*it);
}

std::optional<std::string> readString(const nlohmann::json& values, const char* key) {
  auto it = values.find(key);
  if (it == values.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

platform::Error socketError(const std::string& message, int code) {
  return platform::Error::make(platform::kPOSIXErrorDomain, code, message);
}

platform::Data endpointData(const asio::ip::tcp::endpoint& endpoint) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(endpoint.data());
  return platform::Data(bytes, bytes + endpoint.size());
}

std::atomic<bool> gRunning{false};

extern "C" void stopRunning(int) {
  gRunning = false;
  ssize_t ignored = ::write(STDOUT_FILENO, "\n", 1);
  (void)ignored;
}

}  // namespace

// One listening socket and its accept loop. Accepting runs on the thread pool; each accepted socket
// gets a strand of its own and becomes a connection.
class WebServer::Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(bool ipv6, std::weak_ptr<WebServer> server, WebServerConnectionClass connectionClass)
      : ipv6_(ipv6),
        server_(std::move(server)),
        connectionClass_(std::move(connectionClass)),
        acceptor_(WebServerThreadPool::shared().context()),
        backoff_(WebServerThreadPool::shared().context()) {}

  const char* familyName() const { return ipv6_ ? "IPv6" : "IPv4"; }

  // Creates, binds and listens; on failure the error is logged and returned with the socket closed.
  bool listen(const asio::ip::address& address, std::uint16_t port, int backlog, platform::Error* error,
              int* errorCode) {
    auto failWith = [&](const char* what, const asio::error_code& code) {
      std::string message = fmt::format("Failed {} {} listening socket: {} ({})", what, familyName(),
                                        code.message(), code.value());
      WebServerLog(kWebServerLoggingLevel_Error, "{}", message);
      if (errorCode) *errorCode = code.value();
      asio::error_code ignored;
      acceptor_.close(ignored);
      return platform::fail(error, socketError(message, code.value()));
    };
    asio::error_code code;
    // Close-on-exec from the start: child processes (module runs, helpers) must never inherit the
    // listening socket, or they would keep the port after the server stopped.
    const auto protocol = ipv6_ ? asio::ip::tcp::v6() : asio::ip::tcp::v4();
    int descriptor = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (descriptor < 0) return failWith("creating", asio::error_code(errno, asio::system_category()));
    acceptor_.assign(protocol, descriptor, code);
    if (code) {
      ::close(descriptor);
      return failWith("creating", code);
    }
    acceptor_.set_option(asio::socket_base::reuse_address(true), code);
    if (ipv6_) acceptor_.set_option(asio::ip::v6_only(true), code);
    acceptor_.bind(asio::ip::tcp::endpoint(address, port), code);
    if (code) return failWith("binding", code);
    acceptor_.listen(backlog, code);
    if (code) return failWith("starting", code);
    return true;
  }

  std::optional<std::uint16_t> localPort() {
    asio::error_code code;
    auto endpoint = acceptor_.local_endpoint(code);
    if (code) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed retrieving socket address: {} ({})", code.message(),
                   code.value());
      return std::nullopt;
    }
    return endpoint.port();
  }

  void resume(std::shared_ptr<const WebServerConfiguration> configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(configuration);
    // Where the socket is bound to one address, every connection's local address is known.
    asio::error_code code;
    auto local = acceptor_.local_endpoint(code);
    if (!code && !local.address().is_unspecified()) localAddress_ = endpointData(local);
    open_ = true;
    waitForConnections();
  }

  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    backoff_.cancel();
    asio::error_code code;
    acceptor_.close(code);
    if (code) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed closing {} listening socket: {} ({})", familyName(),
                   code.message(), code.value());
    }
  }

 private:
  // Called with the mutex held.
  void waitForConnections() {
    auto self = shared_from_this();
    acceptor_.async_wait(asio::socket_base::wait_read,
                         [self](const asio::error_code& error) { self->ready(error); });
  }

  // Accepts what is waiting. The last accepted connection starts on this thread at once; the others
  // are queued, so the pool's other threads can take them.
  void ready(const asio::error_code& error) {
    struct Accepted {
      int descriptor;
      sockaddr_storage peer;
      socklen_t peerLength;
    };
    std::vector<Accepted> accepted;
    std::shared_ptr<WebServer> server;
    WebServerConnectionClass connectionClass;
    std::shared_ptr<const WebServerConfiguration> configuration;
    platform::Data localAddress;
    {
      std::lock_guard lock(mutex_);
      if (!open_ || error == asio::error::operation_aborted) return;
      server = server_.lock();
      if (!server) return;
      acceptPending(&accepted);
      connectionClass = connectionClass_;
      configuration = configuration_;
      localAddress = localAddress_;
    }
    for (std::size_t i = 0; i < accepted.size(); ++i) {
      auto connection = connect(server, connectionClass, configuration, localAddress, accepted[i].descriptor,
                                accepted[i].peer, accepted[i].peerLength);
      if (!connection) continue;
      if (i + 1 == accepted.size()) {
        connection->start();
      } else {
        asio::post(WebServerThreadPool::shared().context(), [connection] { connection->start(); });
      }
    }
  }

  // Called with the mutex held: takes the waiting sockets and arranges for the next wake-up.
  template <typename List>
  void acceptPending(List* accepted) {
    while (accepted->size() < kAcceptsPerWakeUp) {
      typename List::value_type item{};
      item.peerLength = sizeof item.peer;
      item.descriptor = ::accept4(acceptor_.native_handle(), reinterpret_cast<sockaddr*>(&item.peer),
                                  &item.peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (item.descriptor >= 0) {
        failureLogged_ = false;
        delay_ = kFirstBackoff;
        accepted->push_back(item);
        continue;
      }
      int code = errno;
      if (code == EINTR || code == ECONNABORTED || code == EPROTO) continue;  // that one client gave up
      if (code == EAGAIN || code == EWOULDBLOCK) {
        waitForConnections();
        return;
      }
      // A failure streak is logged once; running out of descriptors or memory waits a little
      // (longer each time) instead of failing again at once in a busy loop.
      if (!failureLogged_) {
        WebServerLog(kWebServerLoggingLevel_Error, "Failed accepting {} socket: {} ({})", familyName(),
                     std::strerror(code), code);
        failureLogged_ = true;
      }
      if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
        backoff_.expires_after(
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay_)));
        delay_ = std::min(delay_ * 2, 1.0);
        auto self = shared_from_this();
        backoff_.async_wait([self](const asio::error_code& waitError) {
          if (waitError) return;
          std::lock_guard relock(self->mutex_);
          if (self->open_) self->waitForConnections();
        });
      } else {
        waitForConnections();
      }
      return;
    }
    // Many at once: let them run, then accept more.
    auto self = shared_from_this();
    asio::post(WebServerThreadPool::shared().context(), [self] { self->ready(asio::error_code()); });
  }

  std::shared_ptr<WebServerConnection> connect(
      const std::shared_ptr<WebServer>& server, const WebServerConnectionClass& connectionClass,
      const std::shared_ptr<const WebServerConfiguration>& configuration, platform::Data localData,
      int descriptor, const sockaddr_storage& peer, socklen_t peerLength) {
    const auto* peerBytes = reinterpret_cast<const std::uint8_t*>(&peer);
    platform::Data remoteData(peerBytes, peerBytes + peerLength);
    if (localData.empty()) {
      sockaddr_storage local{};
      socklen_t localLength = sizeof local;
      if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &localLength) == 0) {
        const auto* localBytes = reinterpret_cast<const std::uint8_t*>(&local);
        localData.assign(localBytes, localBytes + localLength);
      }
    }
    std::string peerAddress = WebServerAddressText(remoteData, false);
    WebServerSocketHandle socket(new WebServerSocket(
        asio::make_strand(WebServerThreadPool::shared().context()), descriptor, ipv6_, configuration));
    std::shared_ptr<WebServerConnection> connection;
    try {
      if (connectionClass) {
        connection = connectionClass(server, std::move(localData), std::move(remoteData), std::move(socket));
      } else {
        connection = std::make_shared<WebServerConnection>(server, std::move(localData),
                                                           std::move(remoteData), std::move(socket));
      }
    } catch (const std::exception& exception) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed creating connection: {}", exception.what());
      return nullptr;
    }
    if (!connection || !server->admitConnection(connection, peerAddress, *configuration)) return nullptr;
    return connection;
  }

  static constexpr std::size_t kAcceptsPerWakeUp = 64;
  static constexpr double kFirstBackoff = 0.01;

  const bool ipv6_;
  const std::weak_ptr<WebServer> server_;
  const WebServerConnectionClass connectionClass_;
  std::mutex mutex_;
  std::shared_ptr<const WebServerConfiguration> configuration_;
  platform::Data localAddress_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer backoff_;
  bool open_ = false;
  bool failureLogged_ = false;
  double delay_ = kFirstBackoff;
};

// The connection count and the connected state reported to the delegate. Bursts of short
// connections produce one connect and one disconnect report: the disconnect comes one coalescing
// interval after the last connection ended, checked by a single timer rather than one per connection.
struct WebServer::ConnectedState {
  std::mutex mutex;
  std::int64_t active = 0;
  bool connected = false;
  bool timerPending = false;
  bool listening = false;
  std::uint64_t generation = 0;
  double delay = 1.0;
  Clock::time_point lastEnd;
};

// Every admitted connection, oldest first, with its peer address: what the bounds on connections
// count and where the connection to close for a newcomer is looked for.
struct WebServer::Admissions {
  struct Slot {
    std::weak_ptr<WebServerConnection> connection;
    std::string peer;
    bool leaving = false;  // chosen to make room: no longer counted
  };
  std::mutex mutex;
  std::list<Slot> slots;
  std::unordered_map<const WebServerConnection*, std::list<Slot>::iterator> index;
  std::unordered_map<std::string, std::size_t> perPeer;
  std::size_t counted = 0;
  bool refusing = false;    // a refusal streak is logged once
  bool makingRoom = false;  // and so is a streak of closing connections to make room

  // Marks the oldest connection (of the peer, when given) that waits on its client as leaving.
  std::shared_ptr<WebServerConnection> makeRoom(const std::string* peer) {
    for (auto& slot : slots) {
      if (slot.leaving || (peer && slot.peer != *peer)) continue;
      auto connection = slot.connection.lock();
      if (!connection || !connection->isWaitingForClient()) continue;
      slot.leaving = true;
      --perPeer[slot.peer];
      --counted;
      return connection;
    }
    return nullptr;
  }
};

std::shared_ptr<WebServer> WebServer::make() { return std::shared_ptr<WebServer>(new WebServer()); }

WebServer::WebServer()
    : connected_(std::make_unique<ConnectedState>()), admissions_(std::make_unique<Admissions>()) {
  WebServerPrepareDateFormatters();
}

WebServer::~WebServer() {
  // A server that goes away stops listening; it makes no delegate calls any more.
  if (listener6_) listener6_->close();
  if (listener4_) listener4_->close();
}

// ---- Handlers ----

void WebServer::addHandler(std::shared_ptr<WebServerHandler> handler) {
  std::lock_guard lock(mutex_);
  handlers_.insert(handlers_.begin(), std::move(handler));
}

namespace {
WebServerAsyncProcessBlock wrapProcessBlock(WebServerProcessBlock processBlock) {
  return [processBlock = std::move(processBlock)](const std::shared_ptr<WebServerRequest>& request,
                                                  WebServerCompletionBlock completion) {
    completion(processBlock(request));
  };
}
}  // namespace

void WebServer::addHandlerWithMatchBlock(WebServerMatchBlock matchBlock,
                                         WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!matchBlock || !asyncProcessBlock) return;
  addHandler(std::make_shared<WebServerHandler>(std::move(matchBlock), std::move(asyncProcessBlock)));
}

void WebServer::addHandlerWithMatchBlock(WebServerMatchBlock matchBlock, WebServerProcessBlock processBlock) {
  if (!processBlock) return;
  addHandlerWithMatchBlock(std::move(matchBlock), wrapProcessBlock(std::move(processBlock)));
}

void WebServer::removeAllHandlers() {
  std::lock_guard lock(mutex_);
  handlers_.clear();
}

void WebServer::addDefaultHandlerForMethod(const std::string& method, WebServerRequestClass requestClass,
                                           WebServerProcessBlock processBlock) {
  if (!processBlock) return;
  addDefaultHandlerForMethod(method, std::move(requestClass), wrapProcessBlock(std::move(processBlock)));
}

void WebServer::addDefaultHandlerForMethod(const std::string& method, WebServerRequestClass requestClass,
                                           WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!requestClass) return;
  addHandlerWithMatchBlock(
      [method, requestClass](const std::string& requestMethod, const std::string& url,
                             const WebServerHeaders& headers, const std::string& path,
                             const WebServerQuery& query) -> std::shared_ptr<WebServerRequest> {
        if (requestMethod != method) return nullptr;
        return requestClass(requestMethod, url, headers, path, query);
      },
      std::move(asyncProcessBlock));
}

void WebServer::addHandlerForMethod(const std::string& method, const std::string& path,
                                    WebServerRequestClass requestClass, WebServerProcessBlock processBlock) {
  if (!processBlock) return;
  addHandlerForMethod(method, path, std::move(requestClass), wrapProcessBlock(std::move(processBlock)));
}

void WebServer::addHandlerForMethod(const std::string& method, const std::string& path,
                                    WebServerRequestClass requestClass,
                                    WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!path.starts_with('/') || !requestClass) return;
  addHandlerWithMatchBlock(
      [method, path, requestClass](const std::string& requestMethod, const std::string& url,
                                   const WebServerHeaders& headers, const std::string& requestPath,
                                   const WebServerQuery& query) -> std::shared_ptr<WebServerRequest> {
        if (requestMethod != method || !serverEqualsIgnoringCase(requestPath, path)) return nullptr;
        return requestClass(requestMethod, url, headers, requestPath, query);
      },
      std::move(asyncProcessBlock));
}

void WebServer::addHandlerForMethodPathRegex(const std::string& method, const std::string& regex,
                                             WebServerRequestClass requestClass,
                                             WebServerProcessBlock processBlock) {
  if (!processBlock) return;
  addHandlerForMethodPathRegex(method, regex, std::move(requestClass),
                               wrapProcessBlock(std::move(processBlock)));
}

void WebServer::addHandlerForMethodPathRegex(const std::string& method, const std::string& regex,
                                             WebServerRequestClass requestClass,
                                             WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!requestClass) return;
  auto expression = WebServerPathRegex::regexWithPattern(regex);
  if (!expression) return;
  addHandlerWithMatchBlock(
      [method, expression, requestClass](const std::string& requestMethod, const std::string& url,
                                         const WebServerHeaders& headers, const std::string& path,
                                         const WebServerQuery& query) -> std::shared_ptr<WebServerRequest> {
        if (requestMethod != method) return nullptr;
        auto captures = expression->capturesInPath(path);
        if (!captures) return nullptr;
        auto request = requestClass(requestMethod, url, headers, path, query);
        if (request) request->setAttribute(std::move(*captures), WebServerRequestAttribute_RegexCaptures);
        return request;
      },
      std::move(asyncProcessBlock));
}

std::vector<std::shared_ptr<WebServerHandler>> WebServer::handlers() const {
  std::lock_guard lock(mutex_);
  return handlers_;
}

// ---- Lifecycle ----

bool WebServer::startWithOptions(const WebServerOptions& options, platform::Error* error) {
  std::lock_guard lock(mutex_);
  if (options_) return false;
  options_ = options;
  if (!options_->values.is_object()) options_->values = nlohmann::json::object();
  if (!startListening(*options_, error)) {
    options_.reset();
    return false;
  }
  return true;
}

bool WebServer::startListening(const WebServerOptions& options, platform::Error* error) {
  const nlohmann::json& values = options.values;
  auto port = readUnsigned(values, WebServerOption_Port).value_or(0);
  if (port > 65535) {
    std::string message = fmt::format("Invalid port {}", port);
    WebServerLog(kWebServerLoggingLevel_Error, "{}", message);
    return platform::fail(error, socketError(message, EINVAL));
  }
  bool bindToLocalhost = readBool(values, WebServerOption_BindToLocalhost).value_or(false);
  auto backlog = static_cast<int>(std::min<std::uint64_t>(
      readUnsigned(values, WebServerOption_MaxPendingConnections).value_or(16), 4096));

  std::weak_ptr<WebServer> weakSelf = shared_from_this();
  auto listener4 = std::make_shared<Listener>(false, weakSelf, options.connectionClass);
  auto address4 = bindToLocalhost ? asio::ip::address(asio::ip::address_v4::loopback())
                                  : asio::ip::address(asio::ip::address_v4::any());
  if (!listener4->listen(address4, static_cast<std::uint16_t>(port), backlog, error, nullptr)) return false;
  if (port == 0) port = listener4->localPort().value_or(0);

  auto listener6 = std::make_shared<Listener>(true, weakSelf, options.connectionClass);
  auto address6 = bindToLocalhost ? asio::ip::address(asio::ip::address_v6::loopback())
                                  : asio::ip::address(asio::ip::address_v6::any());
  int code = 0;
  platform::Error error6;
  if (!listener6->listen(address6, static_cast<std::uint16_t>(port), backlog, &error6, &code)) {
    // A machine without IPv6 still serves IPv4; any other failure (such as the port being taken)
    // fails the start.
    if (code == EAFNOSUPPORT || code == EADDRNOTAVAIL || code == EPROTONOSUPPORT) {
      WebServerLog(kWebServerLoggingLevel_Warning, "IPv6 is not available: serving IPv4 only");
      listener6.reset();
    } else {
      listener4->close();
      if (error) *error = error6;
      return false;
    }
  }

  auto configuration = std::make_shared<Configuration>();
  configuration->serverName = readString(values, WebServerOption_ServerName).value_or(kClassName);
  auto method = readString(values, WebServerOption_AuthenticationMethod);
  if (method == WebServerAuthenticationMethod_Basic || method == WebServerAuthenticationMethod_DigestAccess) {
    std::string realm =
        readString(values, WebServerOption_AuthenticationRealm).value_or(configuration->serverName);
    configuration->authenticationRealm = realm;
    std::map<std::string, std::string> accounts;
    if (auto it = values.find(WebServerOption_AuthenticationAccounts);
        it != values.end() && it->is_object()) {
      for (const auto& [user, password] : it->items()) {
        if (!password.is_string()) continue;
        if (method == WebServerAuthenticationMethod_Basic) {
          accounts[user] = WebServerBase64(fmt::format("{}:{}", user, password.get<std::string>()));
        } else {
          accounts[user] = WebServerMD5HexDigest("{}:{}:{}", user, realm, password.get<std::string>());
        }
      }
    }
    if (method == WebServerAuthenticationMethod_Basic) {
      configuration->authenticationBasicAccounts = std::move(accounts);
    } else {
      configuration->authenticationDigestAccounts = std::move(accounts);
    }
  }
  configuration->shouldAutomaticallyMapHEADToGET =
      readBool(values, WebServerOption_AutomaticallyMapHEADToGET).value_or(true);
  configuration->handlers = handlers_;
  if (auto size = readUnsigned(values, WebServerOption_MaxRequestBodySize))
    configuration->maximumRequestBodySize = *size;
  if (auto seconds = readDouble(values, WebServerOption_RequestHeadTimeout); seconds && *seconds > 0) {
    configuration->requestHeadTimeout = *seconds;
  }
  if (auto seconds = readDouble(values, WebServerOption_IdleTimeout); seconds && *seconds > 0) {
    configuration->idleTimeout = *seconds;
  }
  if (auto rate = readDouble(values, WebServerOption_MinimumBodyRate); rate && *rate >= 0) {
    configuration->minimumBodyRate = *rate;
  }
  // Connections never take more than half the descriptors the process may open.
  const std::uint64_t descriptorLimit = WebServerRaiseDescriptorLimit();
  configuration->maximumConnections = static_cast<std::size_t>(std::clamp<std::uint64_t>(
      readUnsigned(values, WebServerOption_MaxConnections).value_or(configuration->maximumConnections), 1,
      std::max<std::uint64_t>(descriptorLimit / 2, 16)));
  configuration->maximumConnectionsPerPeer = static_cast<std::size_t>(
      std::max<std::uint64_t>(1, readUnsigned(values, WebServerOption_MaxConnectionsPerPeer)
                                     .value_or(configuration->maximumConnectionsPerPeer)));
  double coalescing = readDouble(values, WebServerOption_ConnectedStateCoalescingInterval).value_or(1.0);
  dispatchQueuePriority_ = static_cast<long>(
      platform::json::integerValue(values.value(WebServerOption_DispatchQueuePriority, nlohmann::json(0)))
          .value_or(0));
  connectionClass_ = options.connectionClass;

  configuration_ = configuration;
  listener4_ = listener4;
  listener6_ = listener6;
  port_ = static_cast<std::uint16_t>(port);
  bindToLocalhost_ = bindToLocalhost;
  {
    std::lock_guard state(connected_->mutex);
    connected_->delay = coalescing;
    connected_->listening = true;
  }

  listener4_->resume(configuration);
  if (listener6_) listener6_->resume(configuration);

  if (WebServerGetLogLevel() <= kWebServerLoggingLevel_Info) {
    std::string host = bindToLocalhost_ ? std::string("localhost")
                                        : WebServerPrimaryInterfaceAddress(false).value_or(std::string());
    std::string url = host.empty() ? std::string("(null)")
                                   : (port_ == 80 ? fmt::format("http://{}/", host)
                                                  : fmt::format("http://{}:{}/", host, port_));
    WebServerLog(kWebServerLoggingLevel_Info, "{} started on port {} and reachable at {}", kClassName, port_,
                 url);
  }
  startDiscovery(values);
  postToDelegate(&WebServerDelegate::webServerDidStart);
  return true;
}

// ---- Local service discovery and port mapping ----

void WebServer::setBonjourServiceFactory(WebServerBonjourService::Factory factory) {
  std::lock_guard lock(mutex_);
  bonjourServiceFactory_ = std::move(factory);
}

void WebServer::setPortMapperFactory(WebServerPortMapper::Factory factory) {
  std::lock_guard lock(mutex_);
  portMapperFactory_ = std::move(factory);
}

// Callbacks of the service and the mapper come on their own threads, sometimes from inside the call
// that starts them; their handling runs on the main queue (or a server thread where there is none),
// never on the caller's stack.
void WebServer::runForDiscovery(std::function<void()> work) {
  if (auto queue = platform::MainQueue::shared()) {
    queue->post(std::move(work));
  } else {
    asio::post(WebServerThreadPool::shared().context(), std::move(work));
  }
}

// Called with the mutex held, once the sockets listen.
void WebServer::startDiscovery(const nlohmann::json& values) {
  std::weak_ptr<WebServer> weakSelf = weak_from_this();
  const std::uint64_t generation = ++discoveryGeneration_;
  if (auto bonjourName = readString(values, WebServerOption_BonjourName)) {
    std::string name = bonjourName->empty() ? configuration_->serverName : *bonjourName;
    std::string type = readString(values, WebServerOption_BonjourType).value_or(std::string());
    if (type.empty()) type = "_http._tcp";
    auto service = bonjourServiceFactory_ ? bonjourServiceFactory_(type, name, port_)
                                          : WebServerBonjourService::makeAvahiService(type, name, port_);
    if (!service) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed creating CFNetService for registration");
    } else {
      bonjourService_ = std::move(service);
      bonjourService_->registerService([weakSelf, generation](std::optional<WebServerServiceError> error) {
        if (auto self = weakSelf.lock()) {
          self->runForDiscovery([weakSelf, generation, error] {
            if (auto server = weakSelf.lock()) server->bonjourRegistrationDidFinish(generation, error);
          });
        }
      });
    }
  }
  if (readBool(values, WebServerOption_RequestNATPortMapping).value_or(false)) {
    auto mapper = portMapperFactory_ ? portMapperFactory_() : WebServerPortMapper::makeNATPMPMapper();
    int result = mapper
                     ? mapper->start(
                           port_,
                           [weakSelf, generation](int error, const std::string& address, std::uint16_t port) {
                             if (auto self = weakSelf.lock()) {
                               self->runForDiscovery([weakSelf, generation, error, address, port] {
                                 if (auto server = weakSelf.lock())
                                   server->portMappingDidUpdate(generation, error, address, port);
                               });
                             }
                           })
                     : -1;
    if (result != 0) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed creating NAT port mapping ({})", result);
    } else {
      portMapper_ = std::move(mapper);
    }
  }
}

void WebServer::bonjourRegistrationDidFinish(std::uint64_t generation,
                                             std::optional<WebServerServiceError> error) {
  std::lock_guard lock(mutex_);
  if (generation != discoveryGeneration_ || !bonjourService_) return;
  if (error) {
    WebServerLog(kWebServerLoggingLevel_Error, "Bonjour registration error {} (domain {})", error->code,
                 error->domain);
    return;
  }
  WebServerLog(kWebServerLoggingLevel_Verbose, "Bonjour registration complete for {}", kClassName);
  std::weak_ptr<WebServer> weakSelf = weak_from_this();
  bool resolving = bonjourService_->resolveWithTimeout(
      5.0,
      [weakSelf, generation](std::optional<std::string> host, std::optional<WebServerServiceError> error) {
        if (auto self = weakSelf.lock()) {
          self->runForDiscovery([weakSelf, generation, host, error] {
            if (auto server = weakSelf.lock()) server->bonjourResolutionDidFinish(generation, host, error);
          });
        }
      });
  if (!resolving) WebServerLog(kWebServerLoggingLevel_Error, "Failed starting Bonjour resolution");
}

void WebServer::bonjourResolutionDidFinish(std::uint64_t generation, std::optional<std::string> host,
                                           std::optional<WebServerServiceError> error) {
  {
    std::lock_guard lock(mutex_);
    if (generation != discoveryGeneration_ || !bonjourService_) return;
    if (error || !host) {
      // A resolution that simply found nothing in time is not worth an error line.
      bool timedOut = error && error->domain == kWebServerNetServicesErrorDomain &&
                      error->code == kWebServerNetServicesTimeoutError;
      if (error && !timedOut) {
        WebServerLog(kWebServerLoggingLevel_Error, "Bonjour resolution error {} (domain {})", error->code,
                     error->domain);
      }
      return;
    }
    bonjourTargetHost_ = *host;
    WebServerLog(kWebServerLoggingLevel_Info, "{} now locally reachable at {}", kClassName,
                 bonjourServerURLLocked().value_or("(null)"));
  }
  postToDelegate(&WebServerDelegate::webServerDidCompleteBonjourRegistration);
}

void WebServer::portMappingDidUpdate(std::uint64_t generation, int error, const std::string& address,
                                     std::uint16_t port) {
  {
    std::lock_guard lock(mutex_);
    if (generation != discoveryGeneration_ || !portMapper_) return;
    if (error == 0 || error == kWebServerDoubleNATError) {
      dnsAddress_ = address;
      dnsPort_ = port;
      WebServerLog(kWebServerLoggingLevel_Info, "{} now publicly reachable at {}", kClassName,
                   publicServerURLLocked().value_or("(null)"));
    } else {
      WebServerLog(kWebServerLoggingLevel_Error, "DNS service error {}", error);
      dnsAddress_.reset();
      dnsPort_ = 0;
    }
  }
  postToDelegate(&WebServerDelegate::webServerDidUpdateNATPortMapping);
}

namespace {
std::string urlWithHostAndPort(const std::string& host, std::uint16_t port) {
  return port == 80 ? fmt::format("http://{}/", host) : fmt::format("http://{}:{}/", host, port);
}
}  // namespace

std::optional<std::string> WebServer::bonjourServerURLLocked() const {
  if (!listener4_ || !bonjourService_ || !bonjourTargetHost_ || bonjourTargetHost_->empty())
    return std::nullopt;
  std::string host = *bonjourTargetHost_;
  if (host.ends_with('.')) host.pop_back();
  if (host.empty()) return std::nullopt;
  return urlWithHostAndPort(host, port_);
}

std::optional<std::string> WebServer::publicServerURLLocked() const {
  if (!listener4_ || !portMapper_ || !dnsAddress_ || dnsAddress_->empty() || dnsPort_ == 0)
    return std::nullopt;
  return urlWithHostAndPort(*dnsAddress_, dnsPort_);
}

std::optional<std::string> WebServer::bonjourServerURL() const {
  std::lock_guard lock(mutex_);
  return bonjourServerURLLocked();
}

std::optional<std::string> WebServer::publicServerURL() const {
  std::lock_guard lock(mutex_);
  return publicServerURLLocked();
}

std::optional<std::string> WebServer::bonjourName() const {
  std::lock_guard lock(mutex_);
  if (!bonjourService_) return std::nullopt;
  std::string name = bonjourService_->name();
  if (name.empty()) return std::nullopt;
  return name;
}

std::optional<std::string> WebServer::bonjourType() const {
  std::lock_guard lock(mutex_);
  if (!bonjourService_) return std::nullopt;
  std::string type = bonjourService_->type();
  if (type.empty()) return std::nullopt;
  return type;
}

bool WebServer::start() { return startWithPort(8080, std::string()); }

bool WebServer::startWithPort(std::uint16_t port, const std::optional<std::string>& bonjourName) {
  nlohmann::json values = {{WebServerOption_Port, port}};
  if (bonjourName) values[WebServerOption_BonjourName] = *bonjourName;
  return startWithOptions(WebServerOptions(values), nullptr);
}

bool WebServer::runWithPort(std::uint16_t port, const std::optional<std::string>& bonjourName) {
  nlohmann::json values = {{WebServerOption_Port, port}};
  if (bonjourName) values[WebServerOption_BonjourName] = *bonjourName;
  return runWithOptions(WebServerOptions(values), nullptr);
}

bool WebServer::runWithOptions(const WebServerOptions& options, platform::Error* error) {
  gRunning = true;
  struct sigaction action {};
  action.sa_handler = stopRunning;
  sigemptyset(&action.sa_mask);
  struct sigaction previousTerm {
  }, previousInt{};
  if (sigaction(SIGTERM, &action, &previousTerm) != 0) return false;
  if (sigaction(SIGINT, &action, &previousInt) != 0) {
    sigaction(SIGTERM, &previousTerm, nullptr);
    return false;
  }
  auto mainQueue = std::dynamic_pointer_cast<platform::AsioMainQueue>(platform::MainQueue::shared());
  bool result = false;
  if (startWithOptions(options, error)) {
    while (gRunning) {
      if (mainQueue) {
        mainQueue->runUntil([] { return !gRunning.load(); }, platform::Seconds(1.0));
      } else {
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
    }
    stop();
    result = true;
  }
  if (mainQueue) mainQueue->runFor(platform::Seconds(0));
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  return result;
}

void WebServer::stop() {
  std::unique_ptr<WebServerPortMapper> mapper;
  std::unique_ptr<WebServerBonjourService> service;
  {
    std::lock_guard lock(mutex_);
    if (!options_) return;
    // The port mapping and the published service go first; callbacks still on their way are
    // recognised as stale by the generation.
    ++discoveryGeneration_;
    mapper = std::move(portMapper_);
    dnsAddress_.reset();
    dnsPort_ = 0;
    service = std::move(bonjourService_);
    bonjourTargetHost_.reset();
    if (listener4_) stopListening();
    options_.reset();
  }
  // Outside the lock: their threads may be delivering a callback that takes it.
  mapper.reset();
  service.reset();
}

void WebServer::stopListening() {
  if (listener6_) listener6_->close();
  listener4_->close();
  listener6_.reset();
  listener4_.reset();
  port_ = 0;
  bindToLocalhost_ = false;
  configuration_.reset();
  {
    std::lock_guard state(connected_->mutex);
    connected_->listening = false;
    if (connected_->timerPending) {
      // The pending disconnect report comes now instead of later.
      connected_->timerPending = false;
      ++connected_->generation;
      if (connected_->connected && connected_->active == 0) {
        connected_->connected = false;
        postToDelegate(&WebServerDelegate::webServerDidDisconnect);
      }
    }
  }
  WebServerLog(kWebServerLoggingLevel_Info, "{} stopped", kClassName);
  postToDelegate(&WebServerDelegate::webServerDidStop);
}

bool WebServer::isRunning() const {
  std::lock_guard lock(mutex_);
  return options_.has_value();
}

// ---- Properties ----

std::optional<std::string> WebServer::serverURL() const {
  std::lock_guard lock(mutex_);
  if (!listener4_) return std::nullopt;
  std::optional<std::string> host =
      bindToLocalhost_ ? std::optional<std::string>("localhost") : WebServerPrimaryInterfaceAddress(false);
  if (!host) return std::nullopt;
  if (port_ == 80) return fmt::format("http://{}/", *host);
  return fmt::format("http://{}:{}/", *host, port_);
}

std::uint16_t WebServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::string WebServer::serverName() const {
  std::lock_guard lock(mutex_);
  return configuration_ ? configuration_->serverName : std::string();
}

std::optional<std::string> WebServer::authenticationRealm() const {
  std::lock_guard lock(mutex_);
  return configuration_ ? configuration_->authenticationRealm : std::nullopt;
}

std::optional<std::map<std::string, std::string>> WebServer::authenticationBasicAccounts() const {
  std::lock_guard lock(mutex_);
  return configuration_ ? configuration_->authenticationBasicAccounts : std::nullopt;
}

std::optional<std::map<std::string, std::string>> WebServer::authenticationDigestAccounts() const {
  std::lock_guard lock(mutex_);
  return configuration_ ? configuration_->authenticationDigestAccounts : std::nullopt;
}

bool WebServer::shouldAutomaticallyMapHEADToGET() const {
  std::lock_guard lock(mutex_);
  return configuration_ ? configuration_->shouldAutomaticallyMapHEADToGET : true;
}

long WebServer::dispatchQueuePriority() const {
  std::lock_guard lock(mutex_);
  return dispatchQueuePriority_;
}

std::shared_ptr<const WebServer::Configuration> WebServer::configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

std::shared_ptr<WebServerDelegate> WebServer::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void WebServer::setDelegate(std::weak_ptr<WebServerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::int64_t WebServer::activeConnections() const {
  std::lock_guard lock(connected_->mutex);
  return connected_->active;
}

// ---- Connected state ----

void WebServer::postToDelegate(void (WebServerDelegate::*call)(WebServer&)) {
  auto queue = platform::MainQueue::shared();
  if (!queue) return;
  auto self = shared_from_this();
  queue->post([self, call] {
    if (auto delegate = self->delegate()) (delegate.get()->*call)(*self);
  });
}

void WebServer::willStartConnection(WebServerConnection*) {
  std::lock_guard lock(connected_->mutex);
  if (connected_->active == 0 && !connected_->connected) {
    connected_->connected = true;
    postToDelegate(&WebServerDelegate::webServerDidConnect);
  }
  ++connected_->active;
}

bool WebServer::admitConnection(const std::shared_ptr<WebServerConnection>& connection,
                                const std::string& peer, const Configuration& configuration) {
  std::vector<std::shared_ptr<WebServerConnection>> closing;
  bool admitted = true;
  {
    std::lock_guard lock(admissions_->mutex);
    auto& admissions = *admissions_;
    auto fromPeer = admissions.perPeer.find(peer);  // no entry is made for a refused address
    if (fromPeer != admissions.perPeer.end() && fromPeer->second >= configuration.maximumConnectionsPerPeer) {
      auto room = admissions.makeRoom(&peer);
      if (room) closing.push_back(std::move(room));
      admitted = !closing.empty();
    }
    if (admitted && admissions.counted >= configuration.maximumConnections) {
      auto room = admissions.makeRoom(nullptr);
      admitted = room != nullptr;
      if (room) closing.push_back(std::move(room));
    }
    if (!closing.empty() && !admissions.makingRoom) {
      admissions.makingRoom = true;
      WebServerLog(kWebServerLoggingLevel_Warning,
                   "Too many connections: closing those that waited longest on their clients");
    } else if (closing.empty() && admitted) {
      admissions.makingRoom = false;
    }
    if (admitted) {
      admissions.slots.push_back({connection, peer, false});
      admissions.index[connection.get()] = std::prev(admissions.slots.end());
      ++admissions.perPeer[peer];
      ++admissions.counted;
      admissions.refusing = false;
    } else if (!admissions.refusing) {
      admissions.refusing = true;
      WebServerLog(kWebServerLoggingLevel_Warning,
                   "Refusing connections from {}: too many connections wait on their clients", peer);
    }
  }
  for (auto& room : closing) room->closeIfWaitingForClient();
  return admitted;
}

void WebServer::forgetConnection(const WebServerConnection* connection) {
  std::lock_guard lock(admissions_->mutex);
  auto& admissions = *admissions_;
  auto it = admissions.index.find(connection);
  if (it == admissions.index.end()) return;
  auto slot = it->second;
  if (!slot->leaving) {
    --admissions.counted;
    if (--admissions.perPeer[slot->peer] == 0) admissions.perPeer.erase(slot->peer);
  } else if (admissions.perPeer[slot->peer] == 0) {
    admissions.perPeer.erase(slot->peer);
  }
  admissions.slots.erase(slot);
  admissions.index.erase(it);
}

void WebServer::didEndConnection(WebServerConnection* connection) {
  forgetConnection(connection);
  std::lock_guard lock(connected_->mutex);
  if (--connected_->active > 0) return;
  connected_->lastEnd = Clock::now();
  if (!connected_->connected) return;
  if (connected_->delay > 0 && connected_->listening && platform::MainQueue::shared()) {
    if (!connected_->timerPending) {
      connected_->timerPending = true;
      scheduleDisconnectReport(connected_->delay);
    }
  } else {
    connected_->connected = false;
    postToDelegate(&WebServerDelegate::webServerDidDisconnect);
  }
}

// Called with the state's mutex held.
void WebServer::scheduleDisconnectReport(double delay) {
  auto queue = platform::MainQueue::shared();
  if (!queue) return;
  std::weak_ptr<WebServer> weakSelf = shared_from_this();
  std::uint64_t generation = connected_->generation;
  queue->postAfter(platform::Seconds(delay), [weakSelf, generation] {
    if (auto self = weakSelf.lock()) self->reportDisconnectIfIdle(generation);
  });
}

void WebServer::reportDisconnectIfIdle(std::uint64_t generation) {
  {
    std::lock_guard lock(connected_->mutex);
    if (generation != connected_->generation || !connected_->timerPending) return;
    connected_->timerPending = false;
    if (connected_->active > 0 || !connected_->connected) return;
    auto idle = std::chrono::duration<double>(Clock::now() - connected_->lastEnd).count();
    if (idle < connected_->delay) {
      // Another burst ended since the timer was set: wait out the rest of the interval.
      connected_->timerPending = true;
      scheduleDisconnectReport(connected_->delay - idle);
      return;
    }
    connected_->connected = false;
  }
  if (auto delegate = this->delegate()) delegate->webServerDidDisconnect(*this);
}
