#include "httpserver/dashboard/QVServerHelper.h"

#include <cerrno>
#include <random>
#include <system_error>

#include "httpserver/WebServerDataResponse.h"
#include "httpserver/dashboard/QVServerSettings.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string makeInstanceTag() {
  std::random_device random;
  return fmt::format("{:08x}", static_cast<std::uint32_t>(random()));
}

// The folder that holds "index.html" in the main bundle's "web" folder.
std::optional<std::filesystem::path> mainWebFolder() {
  auto index = platform::Bundle::main().pathForResource("index.html", "", "web");
  if (!index) return std::nullopt;
  return index->parent_path();
}

}  // namespace

QVServerHelper::Pointer QVServerHelper::sharedInstance() {
  // Made once and never destroyed, like the manager it serves.
  static Pointer* shared = new Pointer(make(QVDashboardModuleManager::sharedInstance(), mainWebFolder()));
  return *shared;
}

QVServerHelper::Pointer QVServerHelper::make(QVDashboardModuleManager::Pointer manager,
                                             std::optional<std::filesystem::path> webFolder) {
  return Pointer(new QVServerHelper(std::move(manager), std::move(webFolder)));
}

QVServerHelper::QVServerHelper(QVDashboardModuleManager::Pointer manager,
                               std::optional<std::filesystem::path> webFolder)
    : manager_(std::move(manager)), webFolder_(std::move(webFolder)), instanceTag_(makeInstanceTag()) {}

QVServerHelper::~QVServerHelper() {
  if (webServer_) webServer_->stop();
  // Whatever still waits is answered by dropping its completion.
  std::map<std::uint64_t, Waiting> waiting;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(waiting_);
    if (timeoutTimer_) timeoutTimer_->cancel();
  }
}

void QVServerHelper::startIfNeeded() {
  if (QVServerSettings::serverEnabled()) start();
}

void QVServerHelper::start() {
  // A server of an earlier start gives up its port (and its waits) first.
  if (webServer_) stop();

  auto server = WebServer::make();
  // Only warnings and errors.
  WebServer::setLogLevel(kWebServerLoggingLevel_Warning);
  std::weak_ptr<QVServerHelper> weakSelf = weak_from_this();

  if (webFolder_) {
    server->addGETHandlerForBasePath("/", *webFolder_, std::string("index.html"), 0, false);
  } else {
    // The folder route without a folder: every other GET names nothing there is.
    server->addDefaultHandlerForMethod(
        "GET", WebServerRequestClassOf<WebServerRequest>(),
        [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
          return WebServerResponse::responseWithStatusCode(404);
        });
  }
  server->addHandlerForMethod(
      "GET", "/output.json", WebServerRequestClassOf<WebServerRequest>(),
      [weakSelf](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto self = weakSelf.lock();
        return self ? self->responseWithOutput(self->currentOutput()) : nullptr;
      });
  server->addHandlerForMethod(
      "GET", "/listen", WebServerRequestClassOf<WebServerRequest>(),
      [weakSelf](const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion) {
        if (auto self = weakSelf.lock()) {
          self->listen(request, std::move(completion));
        } else {
          completion(nullptr);
        }
      });

  // The served output follows the manager's from now on.
  refreshOutput();
  outputObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      QVDashboardOutputDidChangeNotification, manager_.get(), [weakSelf](const platform::Notification&) {
        if (auto self = weakSelf.lock()) self->refreshOutput();
      });

  const std::int64_t port = QVServerSettings::serverPort();
  platform::Error error;
  bool started = false;
  if (port < 0 || port > 65535) {
    error = platform::Error::make(platform::kPOSIXErrorDomain, EINVAL, "not a TCP port");
  } else {
    // Every answered "/listen" ends its connection, so all waiting browsers reconnect at once: a
    // deep queue of pending connections keeps the kernel from dropping them.
    nlohmann::json options = {{WebServerOption_Port, port},
                              {WebServerOption_MaxPendingConnections, kPendingConnections}};
    for (const auto& [key, value] : serverOptions_.items()) options[key] = value;
    started = server->startWithOptions(WebServerOptions(options), &error);
  }
  webServer_ = std::move(server);
  startFailureReason_.reset();
  if (!started) {
    // Said at once and always, not only on a terminal: whoever started the program learns that the
    // dashboard will not be shared, and why.
    startFailureReason_ = startFailureReasonFor(port, error);
    platform::log("Web sharing could not start: {}", *startFailureReason_);
  }
}

std::optional<std::string> QVServerHelper::startFailureReason() const {
  if (enabled()) return std::nullopt;
  return startFailureReason_;
}

std::string QVServerHelper::startFailureReasonFor(std::int64_t port, const platform::Error& error) {
  if (port < 0 || port > 65535) return fmt::format("{} is not a TCP port", port);
  if (error.domain == platform::kPOSIXErrorDomain) {
    switch (error.code) {
      case EADDRINUSE:
        return fmt::format("port {} is already in use by another program", port);
      case EACCES:
      case EPERM:
        return fmt::format("port {} may only be used with administrator rights", port);
      default:
        if (error.code > 0)
          return fmt::format("port {}: {}", port,
                             std::generic_category().message(static_cast<int>(error.code)));
    }
  }
  return error.description.empty() ? fmt::format("port {}: the server did not start", port)
                                   : fmt::format("port {}: {}", port, error.description);
}

void QVServerHelper::stop() {
  if (webServer_) webServer_->stop();
  webServer_.reset();
  startFailureReason_.reset();
  outputObserver_ = platform::ObserverToken();
  // The server no longer takes requests; those still waiting get the dashboard as it is.
  answerAllWaiting();
}

bool QVServerHelper::enabled() const { return webServer_ && webServer_->isRunning(); }

std::optional<std::string> QVServerHelper::serverURL() const {
  if (!webServer_ || !webServer_->isRunning()) return std::nullopt;
  return webServer_->serverURL();
}

std::shared_ptr<WebServer> QVServerHelper::webServer() const { return webServer_; }

QVServerHelper::Json QVServerHelper::jsonObject() const {
  auto output = currentOutput();
  if (!output.text) return Json::array();
  return Json::parse(*output.text);
}

// ---- The served output ----

void QVServerHelper::refreshOutput() {
  Json json = manager_ ? manager_->jsonObject() : Json::array();
  if (!json.is_array()) json = Json::array();
  // The output is built from the groups in their order on this thread: their colours line up.
  if (manager_) {
    auto groups = manager_->groups();
    if (groups.size() == json.size()) {
      for (std::size_t i = 0; i < groups.size(); ++i) {
        if (auto color = groups[i]->color(); color && json[i].is_object()) {
          // A clear colour (a new group's default) is no colour; a translucent one keeps its alpha.
          std::string hex = color->hexString();  // "#RRGGBBAA"
          const std::string alpha = hex.substr(7);
          if (alpha == "FF") hex.resize(7);
          if (alpha != "00") json[i]["color"] = hex;
        }
      }
    }
  }
  Output output;
  output.text =
      std::make_shared<const std::string>(json.dump(-1, ' ', false, Json::error_handler_t::replace));
  output.version = fmt::format("{}-{}", instanceTag_, ++outputCounter_);
  {
    std::lock_guard lock(mutex_);
    output_ = std::move(output);
  }
  answerAllWaiting();
}

QVServerHelper::Output QVServerHelper::currentOutput() const {
  std::lock_guard lock(mutex_);
  return output_;
}

std::shared_ptr<WebServerResponse> QVServerHelper::responseWithOutput(const Output& output) const {
  if (!output.text) return nullptr;
  auto response =
      WebServerDataResponse::responseWithData(platform::dataFromString(*output.text), "application/json");
  response->setValue(output.version, kVersionHeader);
  return response;
}

// ---- "/listen" ----

void QVServerHelper::listen(const std::shared_ptr<WebServerRequest>& request,
                            WebServerCompletionBlock completion) {
  std::shared_ptr<WebServerResponse> answerNow;
  WebServerCompletionBlock evicted;
  Output evictedOutput;
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    auto known = request->query().find("version");
    if (known != request->query().end() && known->second != output_.version) {
      // The client shows an older dashboard than the current one.
      answerNow = responseWithOutput(output_);
    } else {
      if (waiting_.size() >= maximumWaiting_ && !waiting_.empty()) {
        evicted = std::move(waiting_.begin()->second.completion);
        waiting_.erase(waiting_.begin());
        evictedOutput = output_;
      }
      id = nextWaitId_++;
      auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(listenTimeout_));
      waiting_.emplace(id, Waiting{std::move(completion), deadline});
      armTimeoutLocked();
    }
  }
  if (evicted) evicted(responseWithOutput(evictedOutput));
  if (id == 0) {
    completion(answerNow);
    return;
  }
  // Registered outside the lock: a client already gone runs the handler at once.
  std::weak_ptr<QVServerHelper> weakSelf = weak_from_this();
  request->setCancellationHandler([weakSelf, id] {
    if (auto self = weakSelf.lock()) self->endWait(id);
  });
}

void QVServerHelper::endWait(std::uint64_t id) {
  WebServerCompletionBlock completion;
  {
    std::lock_guard lock(mutex_);
    auto it = waiting_.find(id);
    if (it == waiting_.end()) return;
    completion = std::move(it->second.completion);
    waiting_.erase(it);
    armTimeoutLocked();
  }
  // Nobody reads the answer any more: dropping the completion ends the exchange.
  completion = nullptr;
}

void QVServerHelper::answerAllWaiting() {
  std::map<std::uint64_t, Waiting> waiting;
  Output output;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(waiting_);
    output = output_;
    armTimeoutLocked();
  }
  for (auto& [id, wait] : waiting) wait.completion(responseWithOutput(output));
}

void QVServerHelper::answerExpiredWaits() {
  std::vector<WebServerCompletionBlock> expired;
  Output output;
  {
    std::lock_guard lock(mutex_);
    timeoutTimer_.reset();
    auto now = Clock::now();
    while (!waiting_.empty() && waiting_.begin()->second.deadline <= now) {
      expired.push_back(std::move(waiting_.begin()->second.completion));
      waiting_.erase(waiting_.begin());
    }
    output = output_;
    armTimeoutLocked();
  }
  for (auto& completion : expired) completion(responseWithOutput(output));
}

void QVServerHelper::armTimeoutLocked() {
  if (waiting_.empty()) {
    if (timeoutTimer_) timeoutTimer_->cancel();
    timeoutTimer_.reset();
    return;
  }
  // Waits end in arrival order, so the oldest one's deadline is the next.
  auto deadline = waiting_.begin()->second.deadline;
  if (timeoutTimer_ && timerDeadline_ <= deadline) return;
  if (timeoutTimer_) timeoutTimer_->cancel();
  timeoutTimer_.reset();
  auto queue = platform::MainQueue::shared();
  if (!queue) return;
  std::weak_ptr<QVServerHelper> weakSelf = weak_from_this();
  // A little after the deadline, so that the oldest wait has surely expired when the timer fires.
  double delay = std::chrono::duration<double>(deadline - Clock::now()).count() + 0.001;
  timeoutTimer_ = queue->postAfter(platform::Seconds(std::max(0.0, delay)), [weakSelf] {
    if (auto self = weakSelf.lock()) self->answerExpiredWaits();
  });
  timerDeadline_ = deadline;
}

// ---- Settings of the waits ----

std::size_t QVServerHelper::waitingRequestCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

std::size_t QVServerHelper::maximumWaitingRequests() const {
  std::lock_guard lock(mutex_);
  return maximumWaiting_;
}

void QVServerHelper::setMaximumWaitingRequests(std::size_t count) {
  std::lock_guard lock(mutex_);
  maximumWaiting_ = std::max<std::size_t>(1, count);
}

void QVServerHelper::setServerOptions(nlohmann::json options) {
  serverOptions_ = options.is_object() ? std::move(options) : nlohmann::json::object();
}

double QVServerHelper::listenTimeout() const {
  std::lock_guard lock(mutex_);
  return listenTimeout_;
}

void QVServerHelper::setListenTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  listenTimeout_ = std::max(0.0, seconds);
}
