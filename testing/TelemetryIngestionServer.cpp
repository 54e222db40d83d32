#include "testing/TelemetryIngestionServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerDataRequest.h"
#include "httpserver/WebServerDataResponse.h"
#include "platform/DispatchQueue.h"
#include "testing/Sandbox.h"

namespace qvtesting {

namespace {

constexpr const char* kRawBodyAttribute = "TelemetryIngestionServer.raw";
constexpr const char* kDropAttribute = "TelemetryIngestionServer.drop";

// Keeps the bytes of the request as read, and can close without answering.
class RecordingConnection : public WebServerConnection {
 public:
  using WebServerConnection::WebServerConnection;

 protected:
  void didReadBytes(const std::uint8_t* bytes, std::size_t length) override {
    raw_.insert(raw_.end(), bytes, bytes + length);
    // A TLS handshake on this plain server is refused at once, as a service speaking only HTTP would.
    if (!raw_.empty() && raw_.front() == 0x16) ::shutdown(socket(), SHUT_RDWR);
    WebServerConnection::didReadBytes(bytes, length);
  }
  void processRequest(const std::shared_ptr<WebServerRequest>& request,
                      WebServerCompletionBlock completion) override {
    static const std::string kEnd = "\r\n\r\n";
    auto head = std::search(raw_.begin(), raw_.end(), kEnd.begin(), kEnd.end());
    platform::Data body = head == raw_.end() ? platform::Data{} : platform::Data(head + 4, raw_.end());
    request->setAttribute(body, kRawBodyAttribute);
    WebServerConnection::processRequest(request, std::move(completion));
  }
  void abortRequest(const std::shared_ptr<WebServerRequest>& request, int statusCode) override {
    if (request && request->attributeForKey(kDropAttribute).has_value()) {
      // Gone without a word: the client reads the end of the stream at once.
      ::shutdown(socket(), SHUT_RDWR);
      return;
    }
    WebServerConnection::abortRequest(request, statusCode);
  }

 private:
  platform::Data raw_;
};

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

TelemetryIngestionServer::TelemetryIngestionServer() : server_(WebServer::make()) {
  std::weak_ptr<bool> alive = alive_;
  server_->addDefaultHandlerForMethod(
      "POST", WebServerRequestClassOf<WebServerDataRequest>(),
      WebServerAsyncProcessBlock([this, alive](const std::shared_ptr<WebServerRequest>& request,
                                               WebServerCompletionBlock completion) {
        if (alive.lock()) handle(request, std::move(completion));
      }));
}

TelemetryIngestionServer::~TelemetryIngestionServer() {
  server_->stop();
  alive_.reset();
}

bool TelemetryIngestionServer::start() {
  WebServerOptions options({{WebServerOption_Port, port_},
                            {WebServerOption_BindToLocalhost, true},
                            {WebServerOption_ServerName, "TelemetryIngestionServer"},
                            {WebServerOption_RequestHeadTimeout, 5}},
                           WebServerConnectionClassOf<RecordingConnection>());
  if (!server_->startWithOptions(options)) return false;
  port_ = server_->port();
  return true;
}

void TelemetryIngestionServer::stop() { server_->stop(); }

bool TelemetryIngestionServer::isRunning() const { return server_->isRunning(); }

std::string TelemetryIngestionServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void TelemetryIngestionServer::script(std::vector<ScriptedAnswer> answers) {
  std::lock_guard lock(mutex_);
  script_.insert(script_.end(), answers.begin(), answers.end());
}

void TelemetryIngestionServer::setDefaultAnswer(ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultAnswer_ = std::move(answer);
}

std::vector<RecordedRequest> TelemetryIngestionServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TelemetryIngestionServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::vector<nlohmann::json> TelemetryIngestionServer::allLogs() const {
  std::lock_guard lock(mutex_);
  std::vector<nlohmann::json> logs;
  for (const auto& request : requests_)
    for (const auto& log : request.logs) logs.push_back(log);
  return logs;
}

bool TelemetryIngestionServer::waitForRequests(std::size_t count, double seconds) const {
  return runUntil([&] { return requestCount() >= count; }, seconds);
}

void TelemetryIngestionServer::clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void TelemetryIngestionServer::handle(const std::shared_ptr<WebServerRequest>& request,
                                      std::function<void(std::shared_ptr<WebServerResponse>)> completion) {
  RecordedRequest recorded;
  recorded.method = request->method();
  recorded.path = request->path();
  recorded.url = request->URL();
  for (const auto& [name, value] : request->headers()) recorded.headers.emplace_back(name, value);
  auto rawAttribute = request->attributeForKey(kRawBodyAttribute);
  if (auto* raw = std::any_cast<platform::Data>(&rawAttribute)) recorded.raw = *raw;
  if (auto data = std::dynamic_pointer_cast<WebServerDataRequest>(request))
    recorded.body = platform::stringFromData(data->data());
  recorded.logs = nlohmann::json::array();
  auto document = nlohmann::json::parse(recorded.body, nullptr, false);
  if (document.is_object() && document.contains("logs") && document["logs"].is_array()) {
    recorded.logs = document["logs"];
  } else {
    recorded.isJsonLines = true;
    std::size_t start = 0;
    while (start < recorded.body.size()) {
      auto end = recorded.body.find('\n', start);
      auto line = recorded.body.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!line.empty()) recorded.logs.push_back(nlohmann::json::parse(line, nullptr, false));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  ScriptedAnswer answer;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
    if (!script_.empty()) {
      answer = script_.front();
      script_.pop_front();
    } else {
      answer = defaultAnswer_;
    }
  }
  std::shared_ptr<WebServerResponse> response;
  if (answer.drop) {
    request->setAttribute(true, kDropAttribute);
  } else if (answer.body.empty()) {
    response = WebServerResponse::responseWithStatusCode(answer.status);
  } else {
    auto data =
        WebServerDataResponse::responseWithData(platform::dataFromString(answer.body), "application/json");
    data->setStatusCode(answer.status);
    response = data;
  }
  if (answer.delay > 0) {
    platform::DispatchQueue::global()->after(platform::Seconds(answer.delay),
                                             [completion, response] { completion(response); });
  } else {
    completion(response);
  }
}

}  // namespace qvtesting
