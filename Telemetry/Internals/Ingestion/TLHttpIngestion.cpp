#include "Telemetry/Internals/Ingestion/TLHttpIngestion.h"

#include <algorithm>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/CurlLibrary.h"
#include "platform/Escaping.h"
#include "platform/UUID.h"

namespace {

constexpr std::size_t kMaxLoggedPayloadSize = 64 * 1024;

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TLHttpIngestion::TLHttpIngestion(std::string baseUrl, std::string apiPath, Headers headers,
                                 QueryStrings queryStrings, std::shared_ptr<TL_Reachability> reachability,
                                 std::vector<double> retryIntervals, long maxNumberOfConnections)
    : baseURL_(std::move(baseUrl)),
      apiPath_(std::move(apiPath)),
      httpHeaders_(std::move(headers)),
      reachability_(std::move(reachability)),
      callsRetryIntervals_(std::move(retryIntervals)),
      maxNumberOfConnections_(maxNumberOfConnections),
      completionQueue_(platform::DispatchQueue::serial("com.telemetry.sdk.IngestionQueue")) {
  std::string query;
  for (const auto& [key, value] : queryStrings) query += (query.empty() ? "" : "&") + key + "=" + value;
  sendURL_ = baseURL_ + apiPath_;
  if (!query.empty()) sendURL_ += "?" + platform::percentEscaped(query, "!$&'()*+,;=:@/?");
}

TLHttpIngestion::~TLHttpIngestion() {
  if (reachability_) reachability_->stopNotifier();
  reachabilityObserver_.reset();
  session_.reset();
}

void TLHttpIngestion::startObservingReachability() {
  if (!reachability_) return;
  std::weak_ptr<TLHttpIngestion> weakSelf = weak_from_this();
  reachabilityObserver_.emplace(platform::NotificationCenter::defaultCenter().addObserverForName(
      kTLNetworkReachabilityChangedNotification, reachability_.get(),
      [weakSelf](const platform::Notification&) {
        if (auto self = weakSelf.lock()) self->networkStateChanged();
      }));
  reachability_->startNotifier();
}

std::shared_ptr<TLHttpClient> TLHttpIngestion::session() {
  if (!session_) {
    std::weak_ptr<TL_Reachability> weakReachability = reachability_;
    session_ = std::make_shared<TLHttpClient>(maxNumberOfConnections_, completionQueue_, [weakReachability] {
      auto reachability = weakReachability.lock();
      return reachability && reachability->currentReachabilityStatus() == TLNotReachable;
    });
  }
  return session_;
}

std::uint64_t TLHttpIngestion::sessionWakeUps() const {
  std::lock_guard lock(lock_);
  return session_ ? session_->wakeUps() : 0;
}

template <typename Fn>
void TLHttpIngestion::enumerateDelegates(Fn&& fn) {
  auto snapshot = delegates_;
  for (const auto& weak : snapshot)
    if (auto delegate = weak.lock()) fn(*delegate);
}

// ---- Sending ----

void TLHttpIngestion::sendAsync(const std::shared_ptr<TLLogContainer>& data,
                                const std::optional<std::string>& authToken,
                                TLSendAsyncCompletionHandler handler) {
  sendAsync(data, std::nullopt, authToken, platform::makeUUIDString(), std::move(handler));
}

void TLHttpIngestion::sendBatchAsync(const std::shared_ptr<TLLogContainer>& data,
                                     const std::optional<std::string>& authToken,
                                     TLSendAsyncCompletionHandler handler) {
  if (data && data->isValid()) {
    sendAsync(data, std::nullopt, authToken, data->batchId().value_or(""), std::move(handler));
    return;
  }
  auto error = platform::Error::make(kTLTelemetryErrorDomain, kTLLogInvalidContainerErrorCode,
                                     kTLLogInvalidContainerErrorDesc);
  TLLogError(kTLLogTag, "{}", error.description);
  if (handler) handler(data ? data->batchId() : std::nullopt, nullptr, std::nullopt, error);
}

void TLHttpIngestion::sendAsync(const std::shared_ptr<TLLogContainer>& data,
                                const std::optional<std::string>& eTag,
                                const std::optional<std::string>& authToken, const std::string& callId,
                                TLSendAsyncCompletionHandler handler) {
  std::lock_guard lock(lock_);
  auto found = pendingCalls_.find(callId);
  std::shared_ptr<TLIngestionCall> call;
  if (found != pendingCalls_.end()) {
    call = found->second;
  } else {
    call = TLIngestionCall::initWithRetryIntervals(callsRetryIntervals_);
    call->delegate = std::static_pointer_cast<TLIngestionCallDelegate>(shared_from_this());
    call->data = data;
    call->authToken = authToken;
    call->eTag = eTag;
    call->callId = callId;
    call->completionHandler = std::move(handler);
    pendingCalls_[callId] = call;
  }
  sendCallAsync(call);
}

void TLHttpIngestion::sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) {
  std::lock_guard lock(lock_);
  // A call whose request is on the wire is never sent a second time.
  if (paused_ || !enabled_ || !call || call->submitted) return;
  auto request = createRequest(call->data, call->eTag, call->authToken);
  if (!request) return;
  call->resetTimer();
  call->submitted = true;
  std::weak_ptr<TLHttpIngestion> weakSelf = weak_from_this();
  session()->start(std::move(*request),
                   [weakSelf, call](const std::shared_ptr<const TLHttpResponse>& response,
                                    const std::optional<platform::Data>& body,
                                    const std::optional<platform::Error>& error) {
                     if (auto self = weakSelf.lock()) self->dataTaskCompleted(call, response, body, error);
                   });
}

void TLHttpIngestion::retryTimerFired(const std::shared_ptr<TLIngestionCall>& call,
                                      std::uint64_t generation) {
  std::lock_guard lock(lock_);
  if (call->timerGeneration != generation) return;
  auto found = pendingCalls_.find(call->callId);
  if (found == pendingCalls_.end() || found->second != call) return;
  call->timerSource.reset();
  sendCallAsync(call);
}

void TLHttpIngestion::dataTaskCompleted(const std::shared_ptr<TLIngestionCall>& call,
                                        const std::shared_ptr<const TLHttpResponse>& response,
                                        const std::optional<platform::Data>& data,
                                        const std::optional<platform::Error>& error) {
  std::lock_guard lock(lock_);
  if (error) {
    TLLogDebug(kTLLogTag, "HTTP request error with code: {}, domain: {}, description: {}", error->code,
               error->domain, error->description);
  } else if (TLLogger::isEnabled(TLLogLevelVerbose) && response) {
    std::string payload = "(null)";
    if (data && !data->empty()) {
      // Only the head of a large answer is shown, so masking stays cheap.
      platform::Data head(data->begin(), data->begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(data->size(), kMaxLoggedPayloadSize)));
      std::string contentType = response->valueForHeader("Content-Type").value_or("");
      std::optional<std::string> text;
      if (startsWith(contentType, "application/json")) {
        text = TLUtility::prettyPrintJson(head);
      } else if (contentType.empty() || startsWith(contentType, "text/") ||
                 startsWith(contentType, "application/")) {
        text = platform::stringFromData(head);
      } else {
        payload = "<binary>";
      }
      if (text) {
        text = TLUtility::obfuscateString(text, "\"token\"\\s*:\\s*\"[^\"]+\"", "\"token\" : \"***\"");
        text = TLUtility::obfuscateString(text, "\"redirect_uri\"\\s*:\\s*\"[^\"]+\"",
                                          "\"redirect_uri\" : \"***\"");
        payload = text.value_or("");
      }
    }
    TLLogVerbose(kTLLogTag, "HTTP response received with status code: {}, payload:\n{}", response->statusCode,
                 payload);
  }
  call->submitted = false;
  bool reachable = !reachability_ || reachability_->currentReachabilityStatus() != TLNotReachable;
  call->ingestionCallCompleted(response, data, error, reachable);
}

void TLHttpIngestion::callCompletedWithResult(const std::shared_ptr<TLIngestionCall>& call,
                                              TLIngestionCallResult result) {
  std::lock_guard lock(lock_);
  if (result == TLIngestionCallResultErrorRecoverable) {
    setEnabled(false, false);
  } else if (result == TLIngestionCallResultFatal) {
    setEnabled(false, true);
    enumerateDelegates(
        [this](TLIngestionDelegate& delegate) { delegate.ingestionDidReceiveFatalError(*this); });
  }
  if (call && !call->callId.empty()) {
    auto found = pendingCalls_.find(call->callId);
    if (found != pendingCalls_.end() && found->second == call) pendingCalls_.erase(found);
    if (TLLogger::isEnabled(TLLogLevelInfo)) {
      std::string ids;
      for (const auto& [id, pending] : pendingCalls_) ids += (ids.empty() ? "" : ", ") + id;
      TLLogInfo(kTLLogTag, "Removed call id:{} from pending calls:{{{}}}", call->callId, ids);
    }
  } else {
    TLLogWarning(kTLLogTag, "Call object is invalid");
  }
}

// ---- State ----

void TLHttpIngestion::addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) {
  std::lock_guard lock(lock_);
  if (delegate) delegates_.push_back(delegate);
}

void TLHttpIngestion::removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) {
  std::lock_guard lock(lock_);
  std::erase_if(delegates_, [&](const std::weak_ptr<TLIngestionDelegate>& weak) {
    auto held = weak.lock();
    return !held || held == delegate;
  });
}

bool TLHttpIngestion::isPaused() const {
  std::lock_guard lock(lock_);
  return paused_;
}

bool TLHttpIngestion::isEnabled() const {
  std::lock_guard lock(lock_);
  return enabled_;
}

void TLHttpIngestion::pause() {
  std::lock_guard lock(lock_);
  pauseLocked();
}

void TLHttpIngestion::pauseLocked() {
  if (paused_) return;
  TLLogInfo(kTLLogTag, "Pause ingestion.");
  paused_ = true;
  for (const auto& [id, call] : pendingCalls_)
    if (!call->submitted) call->resetRetry();
  enumerateDelegates([this](TLIngestionDelegate& delegate) { delegate.ingestionDidPause(*this); });
}

void TLHttpIngestion::resume() {
  std::lock_guard lock(lock_);
  if (!paused_ || !enabled_) return;
  TLLogInfo(kTLLogTag, "Resume ingestion.");
  paused_ = false;
  auto calls = pendingCalls_;
  for (const auto& [id, call] : calls)
    if (!call->submitted) sendCallAsync(call);
  enumerateDelegates([this](TLIngestionDelegate& delegate) { delegate.ingestionDidResume(*this); });
}

void TLHttpIngestion::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  std::lock_guard lock(lock_);
  if (isEnabled != enabled_) {
    enabled_ = isEnabled;
    if (isEnabled) {
      if (reachability_) reachability_->startNotifier();
    } else {
      if (reachability_) reachability_->stopNotifier();
      pauseLocked();
    }
  }
  if (!isEnabled && deleteDataOnDisabled) {
    // Drop the requests on the wire (their handlers hear of the cancellation), every retry timer
    // and every pending call; a new session is made on next use.
    session_.reset();
    for (const auto& [id, call] : pendingCalls_) call->resetTimer();
    pendingCalls_.clear();
  }
}

void TLHttpIngestion::networkStateChanged() {
  if (!reachability_) return;
  if (reachability_->currentReachabilityStatus() == TLNotReachable) {
    TLLogInfo(kTLLogTag, "Internet connection is down.");
    pause();
  } else {
    TLLogInfo(kTLLogTag, "Internet connection is up.");
    resume();
  }
}

// ---- Requests and URLs ----

std::optional<TLHttpRequest> TLHttpIngestion::createRequest(const std::shared_ptr<TLLogContainer>&,
                                                            const std::optional<std::string>&,
                                                            const std::optional<std::string>&) {
  return std::nullopt;
}

TLHttpRequest TLHttpIngestion::postRequest() const {
  TLHttpRequest request;
  request.url = sendURL();
  request.method = "POST";
  for (const auto& [name, value] : httpHeaders()) request.headers.emplace_back(name, value);
  return request;
}

std::string TLHttpIngestion::obfuscateHeaderValue(const std::string& value, const std::string&) const {
  return value;
}

std::string TLHttpIngestion::prettyPrintHeaders(
    const std::vector<std::pair<std::string, std::string>>& headers) const {
  std::string out;
  for (const auto& [name, value] : headers) {
    if (!out.empty()) out += ", ";
    out += name + " = " + obfuscateHeaderValue(value, name);
  }
  return out;
}

void TLHttpIngestion::logRequest(const TLHttpRequest& request) const {
  if (!TLLogger::isEnabled(TLLogLevelVerbose)) return;
  TLLogVerbose(kTLLogTag, "URL: {}", request.url);
  TLLogVerbose(kTLLogTag, "Headers: {}", prettyPrintHeaders(request.headers));
}

bool TLHttpIngestion::isSafeHeaderValue(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::optional<std::string> TLHttpIngestion::eTagFromResponse(const TLHttpResponse& response) {
  return response.valueForHeader("etag");
}

std::string TLHttpIngestion::baseURL() const {
  std::lock_guard lock(lock_);
  return baseURL_;
}

std::string TLHttpIngestion::sendURL() const {
  std::lock_guard lock(lock_);
  return sendURL_;
}

std::size_t TLHttpIngestion::pendingCallCount() const {
  std::lock_guard lock(lock_);
  return pendingCalls_.size();
}

std::shared_ptr<TLIngestionCall> TLHttpIngestion::pendingCall(const std::string& callId) const {
  std::lock_guard lock(lock_);
  auto found = pendingCalls_.find(callId);
  return found == pendingCalls_.end() ? nullptr : found->second;
}

std::optional<std::uint64_t> TLHttpIngestion::retryCountForCall(const std::string& callId) const {
  std::lock_guard lock(lock_);
  auto found = pendingCalls_.find(callId);
  return found == pendingCalls_.end() ? std::nullopt
                                      : std::optional<std::uint64_t>(found->second->retryCount);
}

void TLHttpIngestion::setBaseURL(const std::string& baseURL) {
  std::lock_guard lock(lock_);
  baseURL_ = baseURL;
  bool updated = false;
  // The URL parts are taken apart and put together by libcurl's URL parser; without libcurl no
  // request could go out either, and the send URL stays as it was.
  if (const platform::CurlFunctions* curl = platform::curl()) {
    CURLU* fresh = curl->curl_url();
    CURLU* current = curl->curl_url();
    if (curl->curl_url_set(fresh, CURLUPART_URL, (baseURL + apiPath_).c_str(), 0) == CURLUE_OK &&
        curl->curl_url_set(current, CURLUPART_URL, sendURL_.c_str(), 0) == CURLUE_OK) {
      for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_HOST,
                             CURLUPART_PORT, CURLUPART_PATH}) {
        char* value = nullptr;
        if (curl->curl_url_get(fresh, part, &value, 0) == CURLUE_OK && value) {
          curl->curl_url_set(current, part, value, 0);
        } else {
          curl->curl_url_set(current, part, nullptr, 0);
        }
        curl->curl_free(value);
      }
      char* url = nullptr;
      if (curl->curl_url_get(current, CURLUPART_URL, &url, 0) == CURLUE_OK && url) {
        sendURL_ = url;
        updated = true;
      }
      curl->curl_free(url);
    }
    curl->curl_url_cleanup(fresh);
    curl->curl_url_cleanup(current);
  }
  if (!updated) TLLogInfo(kTLLogTag, "Failed to update HTTP URL {} with {}", sendURL_, baseURL);
}
