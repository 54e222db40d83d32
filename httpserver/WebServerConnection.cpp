#include "httpserver/WebServerConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerChunkedDecoder.h"
#include "httpserver/WebServerRequestMessage.h"
#include "httpserver/WebServerSocket.h"
#include "platform/UUID.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

constexpr std::size_t kBodyBufferSize = 256 * 1024;
constexpr std::size_t kChunkedBufferSize = 64 * 1024;

// The nonce of Digest challenges: the same for every connection of the process.
const std::string& digestNonce() {
  static const std::string nonce = WebServerMD5HexDigestOfText(platform::makeUUIDString());
  return nonce;
}

// The "Date" header value, made once per second and thread.
const std::string& currentDateText() {
  thread_local std::int64_t cachedSecond = -1;
  thread_local std::string cachedText;
  auto now = platform::Date::now();
  auto second = static_cast<std::int64_t>(std::floor(now.timeIntervalSince1970()));
  if (second != cachedSecond) {
    cachedSecond = second;
    cachedText = WebServerRFC822FromDate(now);
  }
  return cachedText;
}

bool connectionEqualsIgnoringCase(std::string_view a, std::string_view b) {
  WebServerCaseInsensitiveLess less;
  return !less(a, b) && !less(b, a);
}

bool isTokenText(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"(),/:;<=>?@[\\]{}", c)) return false;
  }
  return true;
}

// Header fields of a response head in the order they are set; setting a name again replaces it.
class HeadFields {
 public:
  void set(std::string_view name, std::string value) {
    for (auto& field : fields_) {
      if (connectionEqualsIgnoringCase(field.first, name)) {
        field.second = std::move(value);
        return;
      }
    }
    fields_.emplace_back(std::string(name), std::move(value));
  }

  // The status line and the fields. Names that are not tokens are left out, and line breaks or
  // other control characters in values become spaces, so that no value can start a field of its own.
  std::string serialize(int statusCode) const {
    std::string head = fmt::format("HTTP/1.1 {} {}\r\n", statusCode, WebServerReasonPhrase(statusCode));
    for (const auto& [name, value] : fields_) {
      if (!isTokenText(name)) continue;
      head += name;
      head += ": ";
      for (char c : value) {
        auto u = static_cast<unsigned char>(c);
        head.push_back((u < 0x20 && c != '\t') || u == 0x7F ? ' ' : c);
      }
      head += "\r\n";
    }
    head += "\r\n";
    return head;
  }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// The path as sent and the query text of a request URL (absolute, origin form or "*").
struct URLParts {
  std::string path;
  std::optional<std::string> query;
};

URLParts splitURL(std::string_view url) {
  url = url.substr(0, url.find('#'));
  std::string_view rest = url;
  if (!url.starts_with('/')) {
    auto scheme = url.find("://");
    if (scheme != std::string_view::npos) {
      rest = url.substr(scheme + 3);
      auto slash = rest.find_first_of("/?");
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
  }
  URLParts parts;
  auto question = rest.find('?');
  parts.path = std::string(rest.substr(0, question));
  if (question != std::string_view::npos) parts.query = std::string(rest.substr(question + 1));
  if (parts.path.empty()) parts.path = "/";
  return parts;
}

// An entity tag without a weak prefix or quotes, for comparisons.
std::string_view bareTag(std::string_view tag) {
  while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
  while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
  if (tag.starts_with("W/")) tag.remove_prefix(2);
  if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') tag = tag.substr(1, tag.size() - 2);
  return tag;
}

bool tagListMatches(std::string_view list, std::string_view tag) {
  if (bareTag(list) == "*") return true;
  std::string_view wanted = bareTag(tag);
  while (!list.empty()) {
    auto comma = list.find(',');
    if (bareTag(list.substr(0, comma)) == wanted) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

enum class ReadResult { Data, WouldBlock, End, Failed };

// One read that never blocks: the bytes read, or why there are none (errno in `error`).
ReadResult readSome(int descriptor, std::uint8_t* buffer, std::size_t length, std::size_t* count,
                    int* error) {
  while (true) {
    ssize_t n = ::recv(descriptor, buffer, length, MSG_DONTWAIT);
    if (n > 0) {
      *count = static_cast<std::size_t>(n);
      return ReadResult::Data;
    }
    if (n == 0) return ReadResult::End;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::WouldBlock;
    *error = errno;
    return ReadResult::Failed;
  }
}

}  // namespace

// Bytes waiting to be written, as a list of owned pieces written with one gathering call.
struct WebServerConnection::Outgoing {
  std::vector<platform::Data> pieces;
  std::size_t index = 0;   // the first piece not written completely
  std::size_t offset = 0;  // bytes of that piece already written

  void add(platform::Data data) {
    if (!data.empty()) pieces.push_back(std::move(data));
  }
  void add(std::string_view text) {
    if (!text.empty()) pieces.emplace_back(text.begin(), text.end());
  }
  bool done() const { return index >= pieces.size(); }
};

// Shared by every copy of a handler's completion: the first call answers, later calls are ignored,
// and dropping every copy without a call answers nullptr.
struct WebServerConnection::CompletionState {
  explicit CompletionState(std::shared_ptr<WebServerConnection> connection)
      : connection(std::move(connection)) {}
  ~CompletionState() {
    if (!called.load()) complete(nullptr);
  }
  void complete(std::shared_ptr<WebServerResponse> response) {
    if (called.exchange(true)) return;
    auto target = connection;
    asio::dispatch(target->socket_->strand, [target, response = std::move(response)]() mutable {
      target->finishWithResponse(std::move(response));
    });
  }

  std::shared_ptr<WebServerConnection> connection;
  std::atomic<bool> called{false};
};

void WebServerSocketDeleter::operator()(WebServerSocket* socket) const { delete socket; }

WebServerConnection::WebServerConnection(std::shared_ptr<WebServer> server, platform::Data localAddress,
                                         platform::Data remoteAddress, WebServerSocketHandle socket)
    : server_(std::move(server)),
      localAddressData_(std::move(localAddress)),
      remoteAddressData_(std::move(remoteAddress)),
      socket_(std::move(socket)),
      descriptor_(socket_->descriptor()) {
  configuration_ = socket_->configuration;
  if (!configuration_) configuration_ = std::make_shared<WebServerConfiguration>();
}

WebServerConnection::~WebServerConnection() {
  // Reached without a teardown only when the exchange was cut short from outside, or when the
  // server had no room for the connection.
  if (counted_) {
    socket_->close(nullptr);
    server_->didEndConnection(this);
  } else {
    server_->forgetConnection(this);
  }
}

int WebServerConnection::socket() const { return descriptor_; }

void WebServerConnection::setPhase(Phase phase) {
  phase_ = phase;
  waitingForClient_.store(phase == Phase::Head || phase == Phase::Body || phase == Phase::Lingering,
                          std::memory_order_relaxed);
}

bool WebServerConnection::isWaitingForClient() const {
  return waitingForClient_.load(std::memory_order_relaxed);
}

void WebServerConnection::closeIfWaitingForClient() {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand, [self] {
    if (!self->isWaitingForClient() || self->phase_ == Phase::Closed) return;
    WebServerLog(kWebServerLoggingLevel_Verbose, "Closing idle connection on socket {} to make room",
                 self->descriptor_);
    self->closeNow();
  });
}

bool WebServerConnection::isUsingIPv6() const {
  sa_family_t family = 0;
  if (localAddressData_.size() >= sizeof family)
    std::memcpy(&family, localAddressData_.data(), sizeof family);
  return family == AF_INET6;
}

std::string WebServerConnection::localAddressString() const {
  return WebServerAddressText(localAddressData_, true);
}

std::string WebServerConnection::remoteAddressString() const {
  return WebServerAddressText(remoteAddressData_, true);
}

// ---- Hooks ----

bool WebServerConnection::open() { return true; }

void WebServerConnection::didReadBytes(const std::uint8_t*, std::size_t length) { totalBytesRead_ += length; }

void WebServerConnection::didWriteBytes(const std::uint8_t*, std::size_t length) {
  totalBytesWritten_ += length;
}

std::string WebServerConnection::rewriteRequestURL(const std::string& url, const std::string&,
                                                   const WebServerHeaders&) {
  return url;
}

std::shared_ptr<WebServerResponse> WebServerConnection::preflightRequest(
    const std::shared_ptr<WebServerRequest>& request) {
  const auto& configuration = *configuration_;
  const std::string realm = configuration.authenticationRealm.value_or("");
  if (configuration.authenticationBasicAccounts) {
    auto authorization = request->headerValue("Authorization");
    if (authorization && authorization->starts_with("Basic ")) {
      std::string_view credentials = std::string_view(*authorization).substr(6);
      for (const auto& [user, value] : *configuration.authenticationBasicAccounts) {
        if (value == credentials) return nullptr;
      }
    }
    auto response = WebServerResponse::responseWithStatusCode(401);
    response->setValue(fmt::format("Basic realm=\"{}\"", realm), "WWW-Authenticate");
    return response;
  }
  if (configuration.authenticationDigestAccounts) {
    bool stale = false;
    auto authorization = request->headerValue("Authorization");
    if (authorization && authorization->starts_with("Digest ")) {
      auto sentRealm = WebServerHeaderParameterValue(authorization, "realm");
      auto nonce = WebServerHeaderParameterValue(authorization, "nonce");
      if (sentRealm == realm) {
        if (nonce == digestNonce()) {
          auto user = WebServerHeaderParameterValue(authorization, "username");
          auto uri = WebServerHeaderParameterValue(authorization, "uri");
          auto sentResponse = WebServerHeaderParameterValue(authorization, "response");
          auto account = user ? configuration.authenticationDigestAccounts->find(*user)
                              : configuration.authenticationDigestAccounts->end();
          if (account != configuration.authenticationDigestAccounts->end() && uri && sentResponse) {
            std::string ha2 = WebServerMD5HexDigest("{}:{}", request->method(), *uri);
            std::string expected = WebServerMD5HexDigest("{}:{}:{}", account->second, digestNonce(), ha2);
            if (*sentResponse == expected) return nullptr;
          }
        } else if (nonce && !nonce->empty()) {
          stale = true;
        }
      }
    }
    auto response = WebServerResponse::responseWithStatusCode(401);
    response->setValue(
        fmt::format("Digest realm=\"{}\", nonce=\"{}\"{}", realm, digestNonce(), stale ? ", stale=TRUE" : ""),
        "WWW-Authenticate");
    return response;
  }
  return nullptr;
}

void WebServerConnection::processRequest(const std::shared_ptr<WebServerRequest>& request,
                                         WebServerCompletionBlock completion) {
  handler_->asyncProcessBlock()(request, std::move(completion));
}

std::shared_ptr<WebServerResponse> WebServerConnection::overrideResponse(
    std::shared_ptr<WebServerResponse> response, const std::shared_ptr<WebServerRequest>& request) {
  int status = response->statusCode();
  if (status < 200 || status > 299) return response;
  bool current = false;
  if (request->ifNoneMatch()) {
    // With a tag list the dates are not looked at.
    current = response->eTag() && tagListMatches(*request->ifNoneMatch(), *response->eTag());
  } else if (request->ifModifiedSince() && response->lastModifiedDate()) {
    // Dates travel in whole seconds: compare the modification time in the precision that was sent.
    double modified = std::floor(response->lastModifiedDate()->timeIntervalSince1970());
    current = modified <= request->ifModifiedSince()->timeIntervalSince1970();
  }
  if (!current) return response;
  const std::string& method = request->method();
  auto replacement =
      WebServerResponse::responseWithStatusCode(method == "GET" || method == "HEAD" ? 304 : 412);
  replacement->setCacheControlMaxAge(response->cacheControlMaxAge());
  replacement->setLastModifiedDate(response->lastModifiedDate());
  replacement->setETag(response->eTag());
  return replacement;
}

void WebServerConnection::abortRequest(const std::shared_ptr<WebServerRequest>&, int statusCode) {
  HeadFields fields;
  fields.set("Connection", "Close");
  fields.set("Server", configuration_->serverName);
  fields.set("Date", currentDateText());
  writeData(platform::dataFromString(fields.serialize(statusCode)), [](bool) {});
}

void WebServerConnection::close() {
  if (WebServerGetLogLevel() > kWebServerLoggingLevel_Verbose) return;
  if (request_) {
    WebServerLog(kWebServerLoggingLevel_Verbose, "[{}] {} {} \"{} {}\" ({} | {})", localAddressString(),
                 remoteAddressString(), statusCode_, virtualHEAD_ ? std::string("HEAD") : request_->method(),
                 request_->path(), totalBytesRead_, totalBytesWritten_);
  } else {
    WebServerLog(kWebServerLoggingLevel_Verbose, "[{}] {} {} \"(invalid request)\" ({} | {})",
                 localAddressString(), remoteAddressString(), statusCode_, totalBytesRead_,
                 totalBytesWritten_);
  }
}

// ---- Start and head ----

void WebServerConnection::start() {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand, [self] { self->begin(); });
}

template <typename Fn>
void WebServerConnection::runHook(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& exception) {
    WebServerLog(kWebServerLoggingLevel_Error, "Exception in connection hook on socket {}: {}", descriptor_,
                 exception.what());
  } catch (...) {
    WebServerLog(kWebServerLoggingLevel_Error, "Exception in connection hook on socket {}", descriptor_);
  }
}

void WebServerConnection::begin() {
  // Closed to make room while its start was still queued on the strand: it never begins.
  if (phase_ == Phase::Closed) return;
  startTime_ = Clock::now();
  server_->willStartConnection(this);
  counted_ = true;
  bool accepted = false;
  runHook([&] { accepted = open(); });
  if (!accepted) {
    setPhase(Phase::Closed);
    socket_->close(nullptr);
    descriptor_ = -1;
    counted_ = false;
    server_->didEndConnection(this);
    return;
  }
  opened_ = true;
  head_.resize(1024);
  readHead();
}

void WebServerConnection::readHead() {
  if (phase_ != Phase::Head) return;
  auto self = shared_from_this();
  while (true) {
    if (headLength_ == head_.size()) head_.resize(std::min(head_.size() * 2, kMaximumHeadSize));
    std::size_t n = 0;
    int error = 0;
    auto result = readSome(descriptor_, head_.data() + headLength_, head_.size() - headLength_, &n, &error);
    if (result == ReadResult::WouldBlock) {
      setDeadlineAt(startTime_ + seconds(configuration_->requestHeadTimeout));
      socket_->asyncWait(asio::socket_base::wait_read, [self](const asio::error_code& waitError) {
        if (waitError) return;
        self->readHead();
      });
      return;
    }
    if (result == ReadResult::End) {
      if (totalBytesRead_ == 0) {
        WebServerLog(kWebServerLoggingLevel_Warning, "No data received from socket {}", descriptor_);
      } else {
        WebServerLog(kWebServerLoggingLevel_Error, "No more data available on socket {}", descriptor_);
      }
      closeNow();
      return;
    }
    if (result == ReadResult::Failed) {
      WebServerLog(kWebServerLoggingLevel_Error, "Error while reading from socket {}: {} ({})", descriptor_,
                   std::strerror(error), error);
      closeNow();
      return;
    }
    runHook([&] { didReadBytes(head_.data() + headLength_, n); });
    std::size_t searchFrom = headLength_ >= 3 ? headLength_ - 3 : 0;
    headLength_ += n;
    std::string_view received(reinterpret_cast<const char*>(head_.data()), headLength_);
    std::size_t terminator = received.find("\r\n\r\n", searchFrom);
    if (terminator != std::string_view::npos) {
      headComplete(terminator + 4);
      return;
    }
    if (headLength_ >= kMaximumHeadSize) {
      WebServerLog(kWebServerLoggingLevel_Error, "Request headers too large on socket {}", descriptor_);
      abort(nullptr, 431);
      return;
    }
  }
}

void WebServerConnection::headComplete(std::size_t headEnd) {
  clearDeadline();
  WebServerRequestMessage message;
  auto status = WebServerRequestMessage::parse(
      std::string_view(reinterpret_cast<const char*>(head_.data()), headEnd), &message);
  switch (status) {
    case WebServerRequestMessage::Status::OK:
      break;
    case WebServerRequestMessage::Status::Malformed:
      WebServerLog(kWebServerLoggingLevel_Error, "Failed parsing request headers from socket {}",
                   descriptor_);
      abort(nullptr, 400);
      return;
    case WebServerRequestMessage::Status::URITooLong:
      WebServerLog(kWebServerLoggingLevel_Error, "Request URL too long on socket {}", descriptor_);
      abort(nullptr, 414);
      return;
    case WebServerRequestMessage::Status::HeaderFieldsTooLarge:
      WebServerLog(kWebServerLoggingLevel_Error, "Request headers too large on socket {}", descriptor_);
      abort(nullptr, 431);
      return;
    case WebServerRequestMessage::Status::VersionNotSupported:
      WebServerLog(kWebServerLoggingLevel_Error, "Unsupported HTTP version on socket {}", descriptor_);
      abort(nullptr, 505);
      return;
  }
  httpMinorVersion_ = message.versionMinor();
  WebServerHeaders& headers = message.headers();

  // "Content-Length" is digits only; repeated values must agree.
  if (auto length = headers.find("Content-Length"); length != headers.end()) {
    std::optional<std::uint64_t> agreed;
    bool valid = true;
    std::string_view values = length->second;
    while (valid) {
      auto comma = values.find(',');
      std::string_view item = values.substr(0, comma);
      while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
      while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
      auto value = WebServerParseDecimal(item);
      if (!value || (agreed && *agreed != *value)) valid = false;
      agreed = value;
      if (comma == std::string_view::npos) break;
      values.remove_prefix(comma + 1);
    }
    if (!valid) {
      WebServerLog(kWebServerLoggingLevel_Error, "Invalid 'Content-Length' header on socket {}", descriptor_);
      abort(nullptr, 400);
      return;
    }
    length->second = std::to_string(*agreed);
  }
  // Bodies come with a length or chunked; another transfer coding cannot be read.
  if (auto coding = headers.find("Transfer-Encoding"); coding != headers.end()) {
    if (WebServerCanonicalHeaderValue(coding->second) != "chunked") {
      WebServerLog(kWebServerLoggingLevel_Error, "Unsupported 'Transfer-Encoding' header on socket {}",
                   descriptor_);
      abort(nullptr, 501);
      return;
    }
  }

  std::string method = message.method();
  if (configuration_->shouldAutomaticallyMapHEADToGET && method == "HEAD") {
    method = "GET";
    virtualHEAD_ = true;
  }
  std::string url;
  const std::string& target = message.target();
  if (target.starts_with('/') || target == "*") {
    auto host = headers.find("Host");
    std::string authority =
        host != headers.end() ? host->second : WebServerAddressText(localAddressData_, true);
    url = "http://" + authority + (target == "*" ? "/" : target);
  } else {
    url = target;
  }
  runHook([&] { url = rewriteRequestURL(url, method, headers); });
  URLParts parts = splitURL(url);
  auto path = WebServerPercentUnescape(parts.path);
  if (!path) {
    WebServerLog(kWebServerLoggingLevel_Error, "Invalid request path on socket {}", descriptor_);
    abort(nullptr, 400);
    return;
  }
  WebServerQuery query = parts.query ? WebServerParseFormText(*parts.query) : WebServerQuery();

  std::shared_ptr<WebServerRequest> request;
  try {
    for (const auto& handler : configuration_->handlers) {
      handler_ = handler;
      request = handler->matchBlock()(method, url, headers, *path, query);
      if (request) break;
    }
  } catch (const std::exception& exception) {
    WebServerLog(kWebServerLoggingLevel_Error, "Exception matching request on socket {}: {}", descriptor_,
                 exception.what());
    request_ = WebServerRequest::requestWithMethod(method, url, headers, *path, query);
    abort(request_, 500);
    return;
  }
  if (!request) {
    handler_.reset();
    request_ = WebServerRequest::requestWithMethod(method, url, headers, *path, query);
    abort(request_, 501);
    return;
  }
  request_ = std::move(request);
  request_->setLocalAddressData(localAddressData_);
  request_->setRemoteAddressData(remoteAddressData_);
  request_->setMaximumBodySize(configuration_->maximumRequestBodySize);
  headEnd_ = headEnd;

  if (!request_->hasBody()) {
    requestConsumed_ = headLength_ == headEnd;
    processRequestNow();
    return;
  }
  request_->prepareForWriting();
  std::size_t extra = headLength_ - headEnd;
  if (!request_->usesChunkedTransferEncoding()) {
    if (extra > request_->contentLength()) {
      WebServerLog(kWebServerLoggingLevel_Error, "Unexpected 'Content-Length' header value on socket {}",
                   descriptor_);
      abort(request_, 400);
      return;
    }
    if (request_->contentLength() > configuration_->maximumRequestBodySize) {
      WebServerLog(kWebServerLoggingLevel_Error, "Request body too large on socket {}", descriptor_);
      abort(request_, 413);
      return;
    }
  }
  if (auto expect = request_->headerValue("Expect")) {
    if (!connectionEqualsIgnoringCase(*expect, "100-continue")) {
      WebServerLog(kWebServerLoggingLevel_Error,
                   "Unsupported 'Expect' / 'Content-Length' header combination on socket {}", descriptor_);
      abort(request_, 417);
      return;
    }
    if (httpMinorVersion_ >= 1) {
      auto outgoing = std::make_shared<Outgoing>();
      outgoing->add(std::string_view("HTTP/1.1 100 Continue\r\n\r\n"));
      setPhase(Phase::Body);
      auto self = shared_from_this();
      auto result = send(outgoing, [self](bool success) {
        if (self->phase_ != Phase::Body) return;
        if (success) {
          self->startBody();
        } else {
          self->closeNow();
        }
      });
      if (result == SendResult::Done) startBody();
      if (result == SendResult::Failed) closeNow();
      return;
    }
  }
  startBody();
}

// ---- Request body ----

int WebServerConnection::statusForBodyError(const platform::Error& error) const {
  if (error.domain == kWebServerErrorDomain && error.code == kWebServerErrorBodyTooLarge) return 413;
  if (error.domain == kZlibErrorDomain) return 400;
  return 500;
}

void WebServerConnection::startBody() {
  setPhase(Phase::Body);
  bodyStartTime_ = Clock::now();
  platform::Error error;
  if (!request_->performOpen(&error)) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed opening request body for socket {}: {}", descriptor_,
                 error.description);
    abort(request_, statusForBodyError(error));
    return;
  }
  bodyOpened_ = true;
  const std::uint8_t* extra = head_.data() + headEnd_;
  std::size_t extraLength = headLength_ - headEnd_;
  if (request_->usesChunkedTransferEncoding()) {
    chunkedDecoder_ = std::make_unique<WebServerChunkedDecoder>();
    if (extraLength > 0 && !feedChunkedBody(extra, extraLength)) return;
    platform::Data().swap(head_);
    if (chunkedDecoder_->status() == WebServerChunkedDecoder::Status::Finished) {
      closeRequestBody();
    } else {
      readChunkedBody();
    }
    return;
  }
  bodyRemaining_ = request_->contentLength();
  if (extraLength > 0) {
    platform::Error writeError;
    if (!request_->performWriteData(std::span(extra, extraLength), &writeError)) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed writing request body on socket {}: {}", descriptor_,
                   writeError.description);
      failRequestBody(statusForBodyError(writeError));
      return;
    }
    bodyRemaining_ -= extraLength;
  }
  platform::Data().swap(head_);
  readFixedBody();
}

bool WebServerConnection::readBodyPiece(std::size_t want, void (WebServerConnection::*resume)(),
                                        std::size_t* count) {
  if (bodyBuffer_.size() < want) bodyBuffer_.resize(want);
  int error = 0;
  auto result = readSome(descriptor_, bodyBuffer_.data(), want, count, &error);
  if (result == ReadResult::WouldBlock) {
    // Each wait is bounded by the idle timeout, and the whole body by its minimum rate: every byte
    // earns only its share of time, so a trickle cannot keep moving the deadline out.
    auto deadline = Clock::now() + seconds(configuration_->idleTimeout);
    if (configuration_->minimumBodyRate > 0) {
      deadline = std::min(deadline,
                          bodyStartTime_ + seconds(configuration_->requestHeadTimeout) +
                              seconds(static_cast<double>(bodyBytesRead_) / configuration_->minimumBodyRate));
    }
    setDeadlineAt(deadline);
    socket_->asyncWait(asio::socket_base::wait_read,
                       [self = shared_from_this(), resume](const asio::error_code& waitError) {
                         if (waitError) return;
                         ((*self).*resume)();
                       });
    return false;
  }
  if (result == ReadResult::End) {
    WebServerLog(kWebServerLoggingLevel_Error, "No more data available on socket {}", descriptor_);
    failRequestBody(400);
    return false;
  }
  if (result == ReadResult::Failed) {
    WebServerLog(kWebServerLoggingLevel_Error, "Error while reading from socket {}: {} ({})", descriptor_,
                 std::strerror(error), error);
    closeNow();
    return false;
  }
  bodyBytesRead_ += *count;
  runHook([&] { didReadBytes(bodyBuffer_.data(), *count); });
  return true;
}

void WebServerConnection::readFixedBody() {
  if (phase_ != Phase::Body) return;
  auto self = shared_from_this();  // a failing hook or write may drop the last other reference
  while (bodyRemaining_ > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bodyRemaining_, kBodyBufferSize));
    std::size_t n = 0;
    if (!readBodyPiece(want, &WebServerConnection::readFixedBody, &n)) return;
    platform::Error writeError;
    if (!request_->performWriteData(std::span(bodyBuffer_.data(), n), &writeError)) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed writing request body on socket {}: {}", descriptor_,
                   writeError.description);
      failRequestBody(statusForBodyError(writeError));
      return;
    }
    bodyRemaining_ -= n;
  }
  requestConsumed_ = true;
  clearDeadline();
  closeRequestBody();
}

bool WebServerConnection::feedChunkedBody(const std::uint8_t* bytes, std::size_t length) {
  std::size_t consumed = 0;
  bool tooLarge = false;
  bool writeFailed = false;
  platform::Error writeError;
  auto status =
      chunkedDecoder_->decode(std::span(bytes, length), &consumed, [&](std::span<const std::uint8_t> piece) {
        bodyReceived_ += piece.size();
        if (bodyReceived_ > configuration_->maximumRequestBodySize) {
          tooLarge = true;
          return false;
        }
        if (!request_->performWriteData(piece, &writeError)) {
          writeFailed = true;
          return false;
        }
        return true;
      });
  if (status == WebServerChunkedDecoder::Status::Finished) {
    requestConsumed_ = consumed == length;
    return true;
  }
  if (status == WebServerChunkedDecoder::Status::NeedMoreData) return true;
  if (tooLarge) {
    WebServerLog(kWebServerLoggingLevel_Error, "Request body too large on socket {}", descriptor_);
    failRequestBody(413);
  } else if (writeFailed) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed writing request body on socket {}: {}", descriptor_,
                 writeError.description);
    failRequestBody(statusForBodyError(writeError));
  } else {
    switch (chunkedDecoder_->failure()) {
      case WebServerChunkedDecoder::Failure::MissingCRLF:
        WebServerLog(kWebServerLoggingLevel_Error,
                     "Missing terminating CRLF sequence for chunk reading request body on socket {}",
                     descriptor_);
        break;
      case WebServerChunkedDecoder::Failure::TrailersTooLarge:
        WebServerLog(kWebServerLoggingLevel_Error, "Request trailers too large on socket {}", descriptor_);
        break;
      default:
        WebServerLog(kWebServerLoggingLevel_Error, "Invalid chunk length reading request body on socket {}",
                     descriptor_);
        break;
    }
    failRequestBody(400);
  }
  return false;
}

void WebServerConnection::readChunkedBody() {
  if (phase_ != Phase::Body) return;
  auto self = shared_from_this();  // a failing hook or write may drop the last other reference
  while (true) {
    std::size_t n = 0;
    if (!readBodyPiece(kChunkedBufferSize, &WebServerConnection::readChunkedBody, &n)) return;
    if (!feedChunkedBody(bodyBuffer_.data(), n)) return;
    if (chunkedDecoder_->status() == WebServerChunkedDecoder::Status::Finished) {
      clearDeadline();
      closeRequestBody();
      return;
    }
  }
}

void WebServerConnection::closeRequestBody() {
  platform::Error error;
  bodyClosed_ = true;
  if (!request_->performClose(&error)) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed closing request body for socket {}: {}", descriptor_,
                 error.description);
    abort(request_, statusForBodyError(error));
    return;
  }
  processRequestNow();
}

void WebServerConnection::failRequestBody(int statusCode) {
  if (bodyOpened_ && !bodyClosed_) {
    bodyClosed_ = true;
    platform::Error closeError;
    if (!request_->performClose(&closeError)) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed closing request body for socket {}: {}", descriptor_,
                   closeError.description);
    }
  }
  abort(request_, statusCode);
}

// ---- Processing ----

void WebServerConnection::processRequestNow() {
  setPhase(Phase::Processing);
  clearDeadline();
  platform::Data().swap(head_);
  platform::Data().swap(bodyBuffer_);
  chunkedDecoder_.reset();

  std::shared_ptr<WebServerResponse> response;
  bool failed = false;
  try {
    response = preflightRequest(request_);
  } catch (const std::exception& exception) {
    WebServerLog(kWebServerLoggingLevel_Error, "Exception checking request on socket {}: {}", descriptor_,
                 exception.what());
    failed = true;
  }
  if (failed) {
    abort(request_, 500);
    return;
  }
  if (response) {
    finishWithResponse(std::move(response));
    return;
  }
  auto state = std::make_shared<CompletionState>(shared_from_this());
  try {
    processRequest(
        request_, [state](std::shared_ptr<WebServerResponse> answer) { state->complete(std::move(answer)); });
  } catch (const std::exception& exception) {
    WebServerLog(kWebServerLoggingLevel_Error, "Exception in request handler on socket {}: {}", descriptor_,
                 exception.what());
    state->complete(nullptr);
  }
  // When the handler kept no copy of the completion, dropping this one answers now.
  state.reset();
  if (!responded_ && phase_ == Phase::Processing) watchForPeerClose();
}

void WebServerConnection::watchForPeerClose() {
  watching_ = true;
  auto self = shared_from_this();
  socket_->asyncWait(asio::socket_base::wait_read, [self](const asio::error_code& error) {
    if (error || !self->watching_ || self->phase_ != Phase::Processing) return;
    self->watching_ = false;
    char byte;
    ssize_t n = ::recv(self->descriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      self->request_->cancel();
    } else if (n < 0) {
      self->watchForPeerClose();
    }
    // More bytes from the client (n > 0) are ignored: one request per connection.
  });
}

// ---- Response ----

std::string WebServerConnection::responseHead(const WebServerResponse& response) {
  HeadFields fields;
  fields.set("Connection", "Close");
  fields.set("Server", configuration_->serverName);
  fields.set("Date", currentDateText());
  if (response.lastModifiedDate())
    fields.set("Last-Modified", WebServerRFC822FromDate(*response.lastModifiedDate()));
  if (response.eTag()) fields.set("ETag", *response.eTag());
  int status = response.statusCode();
  if (status >= 200 && status <= 299) {
    fields.set("Cache-Control", response.cacheControlMaxAge() != 0
                                    ? fmt::format("max-age={}, public", response.cacheControlMaxAge())
                                    : std::string("no-cache"));
  }
  if (response.contentType())
    fields.set("Content-Type", *WebServerCanonicalHeaderValue(response.contentType()));
  if (response.contentLength() != kWebServerNotFound) {
    fields.set("Content-Length", std::to_string(response.contentLength()));
  }
  // HTTP/1.0 clients do not know chunks: their body simply ends when the connection closes.
  if (response.usesChunkedTransferEncoding() && httpMinorVersion_ >= 1)
    fields.set("Transfer-Encoding", "chunked");
  for (const auto& [name, value] : response.additionalHeaders()) fields.set(name, value);
  return fields.serialize(status);
}

void WebServerConnection::finishWithResponse(std::shared_ptr<WebServerResponse> response) {
  if (phase_ != Phase::Processing || responded_) return;
  responded_ = true;
  if (watching_) {
    watching_ = false;
    socket_->cancelWaits();
  }
  setPhase(Phase::Response);
  if (headWrittenByHook_) {
    // A subclass answered by itself: what it wrote is the response.
    endResponse(!hookWriteFailed_);
    return;
  }
  if (response) {
    std::shared_ptr<WebServerResponse> replaced;
    try {
      replaced = overrideResponse(response, request_);
    } catch (const std::exception& exception) {
      WebServerLog(kWebServerLoggingLevel_Error, "Exception in response override on socket {}: {}",
                   descriptor_, exception.what());
    }
    response = std::move(replaced);
  }
  bool sendBody = false;
  if (response && response->hasBody()) {
    response->prepareForReading();
    sendBody = !virtualHEAD_;
    if (sendBody) {
      platform::Error error;
      if (!response->performOpen(&error)) {
        WebServerLog(kWebServerLoggingLevel_Error, "Failed opening response body for socket {}: {}",
                     descriptor_, error.description);
        response.reset();
      }
    }
  }
  if (!response) {
    abort(request_, 500);
    return;
  }
  response_ = std::move(response);
  responseBodyOpened_ = sendBody;
  statusCode_ = response_->statusCode();
  chunkedResponse_ = response_->usesChunkedTransferEncoding() && httpMinorVersion_ >= 1;
  responseRemaining_ = response_->contentLength();

  auto self = shared_from_this();
  auto outgoing = std::make_shared<Outgoing>();
  outgoing->add(responseHead(*response_));
  if (!sendBody) {
    auto result = send(outgoing, [self](bool success) { self->endResponse(success); });
    if (result != SendResult::Pending) endResponse(result == SendResult::Done);
    return;
  }
  if (!response_->performsAsyncRead()) {
    // The first piece goes out with the head, in one write.
    std::optional<platform::Data> data;
    platform::Error error;
    response_->performReadDataWithCompletion(
        [&](std::optional<platform::Data> piece, const platform::Error& e) {
          data = std::move(piece);
          error = e;
        });
    bool finished = false;
    if (!takeResponsePiece(std::move(data), error, outgoing.get(), &finished)) {
      // Nothing was sent yet: the client can still be told.
      response_->performClose();
      responseBodyOpened_ = false;
      abort(request_, 500);
      return;
    }
    auto result = send(outgoing, [self, finished](bool success) {
      if (!success || finished) {
        self->endResponse(success);
      } else {
        self->pumpResponseBody();
      }
    });
    if (result == SendResult::Failed) {
      endResponse(false);
    } else if (result == SendResult::Done) {
      if (finished) {
        endResponse(true);
      } else {
        pumpResponseBody();
      }
    }
    return;
  }
  auto result = send(outgoing, [self](bool success) {
    if (success) {
      self->pumpResponseBody();
    } else {
      self->endResponse(false);
    }
  });
  if (result == SendResult::Done) pumpResponseBody();
  if (result == SendResult::Failed) endResponse(false);
}

bool WebServerConnection::takeResponsePiece(std::optional<platform::Data> data, const platform::Error& error,
                                            Outgoing* outgoing, bool* finished) {
  if (!data) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed reading response body for socket {}: {}", descriptor_,
                 error.description);
    return false;
  }
  if (data->empty()) {
    *finished = true;
    if (chunkedResponse_) {
      outgoing->add(std::string_view("0\r\n\r\n"));
    } else if (responseRemaining_ != kWebServerNotFound && responseRemaining_ > 0) {
      WebServerLog(kWebServerLoggingLevel_Error, "Response body shorter than its length for socket {}",
                   descriptor_);
      truncatedResponse_ = true;
    }
    return true;
  }
  if (chunkedResponse_) {
    outgoing->add(fmt::format("{:x}\r\n", data->size()));
    outgoing->add(std::move(*data));
    outgoing->add(std::string_view("\r\n"));
    return true;
  }
  if (responseRemaining_ != kWebServerNotFound) {
    // Never more than the declared length: the client would read the rest as garbage.
    if (data->size() > responseRemaining_) data->resize(static_cast<std::size_t>(responseRemaining_));
    responseRemaining_ -= data->size();
    if (responseRemaining_ == 0) *finished = true;
  }
  outgoing->add(std::move(*data));
  return true;
}

void WebServerConnection::pumpResponseBody() {
  auto self = shared_from_this();
  while (phase_ == Phase::Response) {
    if (response_->performsAsyncRead()) {
      auto strand = socket_->strand;
      response_->performReadDataWithCompletion(
          [self, strand](std::optional<platform::Data> data, const platform::Error& error) {
            asio::post(strand, [self, data = std::move(data), error]() mutable {
              self->responseBodyPiece(std::move(data), error);
            });
          });
      return;
    }
    std::optional<platform::Data> data;
    platform::Error error;
    response_->performReadDataWithCompletion(
        [&](std::optional<platform::Data> piece, const platform::Error& e) {
          data = std::move(piece);
          error = e;
        });
    if (!sendResponsePiece(std::move(data), error)) return;
  }
}

bool WebServerConnection::sendResponsePiece(std::optional<platform::Data> data,
                                            const platform::Error& error) {
  auto self = shared_from_this();
  auto outgoing = std::make_shared<Outgoing>();
  bool finished = false;
  if (!takeResponsePiece(std::move(data), error, outgoing.get(), &finished)) {
    endResponse(false);
    return false;
  }
  auto result = send(outgoing, [self, finished](bool success) {
    if (!success || finished) {
      self->endResponse(success);
    } else {
      self->pumpResponseBody();
    }
  });
  if (result == SendResult::Pending) return false;
  if (result == SendResult::Failed || finished) {
    endResponse(result == SendResult::Done);
    return false;
  }
  return true;
}

void WebServerConnection::responseBodyPiece(std::optional<platform::Data> data,
                                            const platform::Error& error) {
  if (phase_ != Phase::Response) return;
  auto self = shared_from_this();
  if (sendResponsePiece(std::move(data), error)) pumpResponseBody();
}

void WebServerConnection::endResponse(bool success) {
  if (phase_ != Phase::Response) return;
  if (responseBodyOpened_) {
    responseBodyOpened_ = false;
    response_->performClose();
  }
  if (success && !truncatedResponse_) {
    finishGracefully();
  } else {
    closeNow();
  }
}

// ---- Abort and close ----

void WebServerConnection::abort(const std::shared_ptr<WebServerRequest>& request, int statusCode) {
  if (phase_ == Phase::Closed || phase_ == Phase::Aborting || phase_ == Phase::Lingering) return;
  if (bodyOpened_ && !bodyClosed_) {
    bodyClosed_ = true;
    platform::Error ignored;
    request_->performClose(&ignored);
  }
  setPhase(Phase::Aborting);
  statusCode_ = statusCode;
  if (request) request_ = request;
  setDeadline(configuration_->idleTimeout);
  abortHookRunning_ = true;
  runHook([&] { abortRequest(request, statusCode); });
  abortHookRunning_ = false;
  if (phase_ == Phase::Aborting && pendingHookWrites_ == 0) {
    if (hookWriteFailed_) {
      closeNow();
    } else {
      linger();
    }
  }
}

// ---- I/O for subclasses ----

void WebServerConnection::readData(std::shared_ptr<platform::Data> buffer, std::size_t length,
                                   std::function<void(bool success)> completion) {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand,
                 [self, buffer = std::move(buffer), length, completion = std::move(completion)]() mutable {
                   self->readDataNow(std::move(buffer), length, std::move(completion));
                 });
}

void WebServerConnection::readDataNow(std::shared_ptr<platform::Data> buffer, std::size_t length,
                                      std::function<void(bool)> completion) {
  if (phase_ == Phase::Closed || !buffer) {
    completion(false);
    return;
  }
  const std::size_t start = buffer->size();
  buffer->resize(start + length);
  std::size_t n = 0;
  int error = 0;
  auto result = readSome(descriptor_, buffer->data() + start, length, &n, &error);
  buffer->resize(start + (result == ReadResult::Data ? n : 0));
  switch (result) {
    case ReadResult::WouldBlock:
      socket_->asyncWait(asio::socket_base::wait_read,
                         [self = shared_from_this(), buffer, length,
                          completion = std::move(completion)](const asio::error_code& waitError) mutable {
                           if (waitError) {
                             completion(false);
                           } else {
                             self->readDataNow(std::move(buffer), length, std::move(completion));
                           }
                         });
      return;
    case ReadResult::Data:
      runHook([&] { didReadBytes(buffer->data() + start, n); });
      completion(true);
      return;
    case ReadResult::End:
      if (totalBytesRead_ == 0) {
        WebServerLog(kWebServerLoggingLevel_Warning, "No data received from socket {}", descriptor_);
      } else {
        WebServerLog(kWebServerLoggingLevel_Error, "No more data available on socket {}", descriptor_);
      }
      completion(false);
      return;
    case ReadResult::Failed:
      WebServerLog(kWebServerLoggingLevel_Error, "Error while reading from socket {}: {} ({})", descriptor_,
                   std::strerror(error), error);
      completion(false);
      return;
  }
}

void WebServerConnection::readHeaders(std::shared_ptr<platform::Data> buffer,
                                      std::function<void(std::optional<platform::Data> extra)> completion) {
  readHeadersStep(std::move(buffer), 0, std::move(completion));
}

void WebServerConnection::readHeadersStep(std::shared_ptr<platform::Data> buffer, std::size_t searchFrom,
                                          std::function<void(std::optional<platform::Data>)> completion) {
  if (buffer) {
    std::string_view received(reinterpret_cast<const char*>(buffer->data()), buffer->size());
    auto terminator = received.find("\r\n\r\n", searchFrom);
    if (terminator != std::string_view::npos) {
      platform::Data extra(buffer->begin() + static_cast<std::ptrdiff_t>(terminator + 4), buffer->end());
      buffer->resize(terminator + 4);
      completion(std::move(extra));
      return;
    }
    if (buffer->size() >= kMaximumHeadSize) {
      WebServerLog(kWebServerLoggingLevel_Error, "Request headers too large on socket {}", descriptor_);
      completion(std::nullopt);
      return;
    }
  }
  const std::size_t next = buffer && buffer->size() >= 3 ? buffer->size() - 3 : 0;
  const std::size_t room = kMaximumHeadSize - (buffer ? buffer->size() : 0);
  auto self = shared_from_this();
  readData(buffer, std::min<std::size_t>(room, 4096),
           [self, buffer, next, completion = std::move(completion)](bool success) mutable {
             if (!success) {
               completion(std::nullopt);
             } else {
               self->readHeadersStep(std::move(buffer), next, std::move(completion));
             }
           });
}

void WebServerConnection::readBodyWithRemainingLength(std::uint64_t remaining,
                                                      std::function<void(bool success)> completion) {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand, [self, remaining, completion = std::move(completion)]() mutable {
    self->readBodyStep(remaining, std::move(completion));
  });
}

void WebServerConnection::readBodyStep(std::uint64_t remaining, std::function<void(bool)> completion) {
  if (remaining == 0) {
    completion(true);
    return;
  }
  auto piece = std::make_shared<platform::Data>();
  piece->reserve(kBodyBufferSize);
  auto self = shared_from_this();
  readDataNow(piece, static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kBodyBufferSize)),
              [self, piece, remaining, completion = std::move(completion)](bool success) mutable {
                if (!success || !self->request_) {
                  completion(false);
                  return;
                }
                platform::Error error;
                if (!self->request_->performWriteData(std::span(piece->data(), piece->size()), &error)) {
                  WebServerLog(kWebServerLoggingLevel_Error, "Failed writing request body on socket {}: {}",
                               self->descriptor_, error.description);
                  completion(false);
                  return;
                }
                self->readBodyStep(remaining - piece->size(), std::move(completion));
              });
}

void WebServerConnection::readNextBodyChunk(std::shared_ptr<platform::Data> buffer,
                                            std::function<void(bool success)> completion) {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand,
                 [self, buffer = std::move(buffer), completion = std::move(completion)]() mutable {
                   self->feedBodyChunks(std::make_shared<WebServerChunkedDecoder>(),
                                        buffer ? std::move(buffer) : std::make_shared<platform::Data>(),
                                        std::move(completion));
                 });
}

void WebServerConnection::feedBodyChunks(std::shared_ptr<WebServerChunkedDecoder> decoder,
                                         std::shared_ptr<platform::Data> buffer,
                                         std::function<void(bool)> completion) {
  if (!request_) {
    completion(false);
    return;
  }
  std::size_t consumed = 0;
  platform::Error writeError;
  auto status = decoder->decode(
      std::span(buffer->data(), buffer->size()), &consumed,
      [&](std::span<const std::uint8_t> piece) { return request_->performWriteData(piece, &writeError); });
  buffer->erase(buffer->begin(), buffer->begin() + static_cast<std::ptrdiff_t>(consumed));
  if (status == WebServerChunkedDecoder::Status::Finished) {
    completion(true);
    return;
  }
  if (status == WebServerChunkedDecoder::Status::Failed) {
    if (decoder->failure() == WebServerChunkedDecoder::Failure::SinkRefused) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed writing request body on socket {}: {}", descriptor_,
                   writeError.description);
    } else if (decoder->failure() == WebServerChunkedDecoder::Failure::MissingCRLF) {
      WebServerLog(kWebServerLoggingLevel_Error,
                   "Missing terminating CRLF sequence for chunk reading request body on socket {}",
                   descriptor_);
    } else {
      WebServerLog(kWebServerLoggingLevel_Error, "Invalid chunk length reading request body on socket {}",
                   descriptor_);
    }
    completion(false);
    return;
  }
  auto self = shared_from_this();
  readDataNow(buffer, kChunkedBufferSize,
              [self, decoder, buffer, completion = std::move(completion)](bool success) mutable {
                if (!success) {
                  completion(false);
                } else {
                  self->feedBodyChunks(std::move(decoder), std::move(buffer), std::move(completion));
                }
              });
}

void WebServerConnection::writeHeadersWithCompletionBlock(std::function<void(bool success)> completion) {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand, [self, completion = std::move(completion)]() mutable {
    if (!self->response_ || self->phase_ == Phase::Closed) {
      completion(false);
      return;
    }
    self->headWrittenByHook_ = true;
    self->statusCode_ = self->response_->statusCode();
    self->chunkedResponse_ = self->response_->usesChunkedTransferEncoding() && self->httpMinorVersion_ >= 1;
    self->responseRemaining_ = self->response_->contentLength();
    self->writeData(platform::dataFromString(self->responseHead(*self->response_)), std::move(completion));
  });
}

void WebServerConnection::writeBodyWithCompletionBlock(std::function<void(bool success)> completion) {
  auto self = shared_from_this();
  asio::dispatch(socket_->strand, [self, completion = std::move(completion)]() mutable {
    auto& response = self->response_;
    if (!response || self->phase_ == Phase::Closed) {
      completion(false);
      return;
    }
    if (!response->hasBody() || self->virtualHEAD_) {
      completion(true);
      return;
    }
    response->prepareForReading();
    platform::Error error;
    if (!response->performOpen(&error)) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed opening response body for socket {}: {}",
                   self->descriptor_, error.description);
      completion(false);
      return;
    }
    self->writeBodyStep([self, completion = std::move(completion)](bool success) {
      self->response_->performClose();
      completion(success);
    });
  });
}

void WebServerConnection::writeBodyStep(std::function<void(bool)> completion) {
  auto self = shared_from_this();
  auto strand = socket_->strand;
  response_->performReadDataWithCompletion(
      [self, strand, completion = std::move(completion)](std::optional<platform::Data> data,
                                                         const platform::Error& error) mutable {
        asio::dispatch(
            strand, [self, data = std::move(data), error, completion = std::move(completion)]() mutable {
              auto outgoing = std::make_shared<Outgoing>();
              bool finished = false;
              if (!self->takeResponsePiece(std::move(data), error, outgoing.get(), &finished)) {
                completion(false);
                return;
              }
              platform::Data bytes;
              for (auto& piece : outgoing->pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
              auto next = [self, finished, completion = std::move(completion)](bool success) mutable {
                if (!success || finished) {
                  completion(success);
                } else {
                  self->writeBodyStep(std::move(completion));
                }
              };
              if (bytes.empty()) {
                next(true);
              } else {
                self->writeData(std::move(bytes), std::move(next));
              }
            });
      });
}

void WebServerConnection::writeData(platform::Data data, std::function<void(bool success)> completion) {
  if (!socket_->strand.running_in_this_thread()) {
    // From a hook's own thread: the write joins the connection's other work on its strand.
    auto self = shared_from_this();
    asio::dispatch(socket_->strand,
                   [self, data = std::move(data), completion = std::move(completion)]() mutable {
                     self->writeData(std::move(data), std::move(completion));
                   });
    return;
  }
  if (phase_ == Phase::Closed) {
    if (completion) completion(false);
    return;
  }
  ++pendingHookWrites_;
  auto self = shared_from_this();
  auto done = [self, completion](bool success) {
    --self->pendingHookWrites_;
    if (!success) self->hookWriteFailed_ = true;
    if (completion) completion(success);
    if (self->phase_ == Phase::Aborting && self->pendingHookWrites_ == 0 && !self->abortHookRunning_) {
      if (self->hookWriteFailed_) {
        self->closeNow();
      } else {
        self->linger();
      }
    }
  };
  auto outgoing = std::make_shared<Outgoing>();
  outgoing->add(std::move(data));
  auto result = send(outgoing, done);
  if (result != SendResult::Pending) done(result == SendResult::Done);
}

void WebServerConnection::finishGracefully() {
  if (requestConsumed_) {
    int waiting = 0;
    if (::ioctl(descriptor_, FIONREAD, &waiting) == 0 && waiting == 0) {
      closeNow();
      return;
    }
  }
  linger();
}

// Closing a socket with unread bytes makes the kernel reset the connection, and the client may then
// lose the response it has not read yet. So the sending side is shut first (the client sees the
// end of the response), the rest of the request is read and dropped for a short, bounded while,
// and only then is the socket closed.
void WebServerConnection::linger() {
  if (phase_ == Phase::Closed || phase_ == Phase::Lingering) return;
  setPhase(Phase::Lingering);
  if (::shutdown(descriptor_, SHUT_WR) != 0) {
    closeNow();
    return;
  }
  setDeadline(kLingerTimeout);
  drainLinger();
}

void WebServerConnection::drainLinger() {
  if (phase_ != Phase::Lingering) return;
  std::uint8_t scratch[16 * 1024];
  while (true) {
    std::size_t n = 0;
    int error = 0;
    auto result = readSome(descriptor_, scratch, sizeof scratch, &n, &error);
    if (result == ReadResult::WouldBlock) {
      auto self = shared_from_this();
      socket_->asyncWait(asio::socket_base::wait_read, [self](const asio::error_code& waitError) {
        if (waitError) return;
        self->drainLinger();
      });
      return;
    }
    if (result != ReadResult::Data) {
      closeNow();
      return;
    }
    lingerBytes_ += n;
    if (lingerBytes_ > kMaximumLingerBytes) {
      closeNow();
      return;
    }
  }
}

void WebServerConnection::closeNow() {
  if (phase_ == Phase::Closed) return;
  Phase previous = phase_;
  setPhase(Phase::Closed);
  clearDeadline();
  socket_->timer.cancel();
  if (responseBodyOpened_) {
    responseBodyOpened_ = false;
    response_->performClose();
  }
  if (bodyOpened_ && !bodyClosed_) {
    bodyClosed_ = true;
    platform::Error closeError;
    request_->performClose(&closeError);
  }
  if (previous == Phase::Processing && request_) request_->cancel();
  int error = 0;
  if (!socket_->close(&error)) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed closing socket {} for connection: {} ({})",
                 descriptor_, std::strerror(error), error);
  }
  if (opened_) runHook([&] { close(); });
  descriptor_ = -1;
  // A connection closed to make room before it began was never counted as active: it only gives
  // back its admission.
  if (counted_) {
    counted_ = false;
    server_->didEndConnection(this);
  } else {
    server_->forgetConnection(this);
  }
  response_.reset();
  request_.reset();
  platform::Data().swap(head_);
  platform::Data().swap(bodyBuffer_);
}

// ---- Writing ----

WebServerConnection::SendResult WebServerConnection::send(std::shared_ptr<Outgoing> outgoing,
                                                          std::function<void(bool)> whenPending) {
  constexpr std::size_t kMaximumPieces = 64;
  iovec vectors[kMaximumPieces];
  while (!outgoing->done()) {
    if (phase_ == Phase::Closed) return SendResult::Failed;
    // A write that follows another must not wait for the acknowledgement of the first.
    if (writesStarted_ && !noDelay_) {
      int one = 1;
      ::setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      noDelay_ = true;
    }
    std::size_t count = 0;
    for (std::size_t i = outgoing->index; i < outgoing->pieces.size() && count < kMaximumPieces; ++i) {
      auto& piece = outgoing->pieces[i];
      std::size_t skip = i == outgoing->index ? outgoing->offset : 0;
      vectors[count].iov_base = piece.data() + skip;
      vectors[count].iov_len = piece.size() - skip;
      ++count;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    ssize_t result = ::sendmsg(descriptor_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      setDeadline(configuration_->idleTimeout);
      auto self = shared_from_this();
      socket_->asyncWait(
          asio::socket_base::wait_write,
          [self, outgoing, whenPending = std::move(whenPending)](const asio::error_code& waitError) {
            if (waitError) {
              whenPending(false);
              return;
            }
            self->continueSend(outgoing, whenPending);
          });
      return SendResult::Pending;
    }
    if (result < 0) {
      int error = errno;
      WebServerLog(kWebServerLoggingLevel_Error, "Error while writing to socket {}: {} ({})", descriptor_,
                   std::strerror(error), error);
      return SendResult::Failed;
    }
    writesStarted_ = true;
    auto written = static_cast<std::size_t>(result);
    // Tell the hook about every byte written, piece by piece.
    while (written > 0 && !outgoing->done()) {
      auto& piece = outgoing->pieces[outgoing->index];
      std::size_t take = std::min(written, piece.size() - outgoing->offset);
      runHook([&] { didWriteBytes(piece.data() + outgoing->offset, take); });
      written -= take;
      outgoing->offset += take;
      if (outgoing->offset == piece.size()) {
        ++outgoing->index;
        outgoing->offset = 0;
      }
    }
  }
  return SendResult::Done;
}

void WebServerConnection::continueSend(std::shared_ptr<Outgoing> outgoing,
                                       std::function<void(bool)> completion) {
  auto result = send(outgoing, completion);
  if (result == SendResult::Pending) return;
  if (phase_ == Phase::Response || phase_ == Phase::Aborting) clearDeadline();
  completion(result == SendResult::Done);
}

// ---- Deadlines ----

void WebServerConnection::setDeadline(double delay) { setDeadlineAt(Clock::now() + seconds(delay)); }

void WebServerConnection::setDeadlineAt(Clock::time_point deadline) {
  deadline_ = deadline;
  if (!timerArmed_) {
    armTimer();
  } else if (deadline < armedAt_) {
    // The timer would fire too late: its handler re-arms it at the new deadline.
    socket_->timer.cancel();
  }
}

void WebServerConnection::clearDeadline() { deadline_ = Clock::time_point::max(); }

// One timer serves every wait: it is armed at the current deadline and, when it fires, either acts
// (the deadline passed) or re-arms itself at a deadline that moved meanwhile.
void WebServerConnection::armTimer() {
  timerArmed_ = true;
  armedAt_ = deadline_;
  socket_->timer.expires_at(deadline_);
  auto self = shared_from_this();
  socket_->timer.async_wait([self](const asio::error_code&) {
    self->timerArmed_ = false;
    if (self->phase_ == Phase::Closed || self->deadline_ == Clock::time_point::max()) return;
    if (Clock::now() < self->deadline_) {
      self->armTimer();
      return;
    }
    self->deadlinePassed();
  });
}

void WebServerConnection::deadlinePassed() {
  clearDeadline();
  switch (phase_) {
    case Phase::Head:
      if (headLength_ == 0) {
        WebServerLog(kWebServerLoggingLevel_Warning, "No request received in time on socket {}", descriptor_);
        closeNow();
      } else {
        WebServerLog(kWebServerLoggingLevel_Error, "Timed out reading request headers from socket {}",
                     descriptor_);
        abort(nullptr, 408);
      }
      return;
    case Phase::Body:
      WebServerLog(kWebServerLoggingLevel_Error, "Timed out reading request body from socket {}",
                   descriptor_);
      failRequestBody(408);
      return;
    case Phase::Response:
    case Phase::Aborting:
      WebServerLog(kWebServerLoggingLevel_Error, "Timed out writing to socket {}", descriptor_);
      closeNow();
      return;
    case Phase::Lingering:
      closeNow();
      return;
    case Phase::Processing:
    case Phase::Closed:
      return;
  }
}
