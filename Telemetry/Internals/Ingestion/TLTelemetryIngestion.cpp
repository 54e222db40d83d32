#include "Telemetry/Internals/Ingestion/TLTelemetryIngestion.h"

#include "Telemetry/Internals/Util/TLCompression.h"
#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "Telemetry/Internals/Util/TLLogger.h"

void TLSetRequestBody(TLHttpRequest& request, platform::Data body) {
  if (body.size() >= kTLCompressionThreshold) {
    if (auto compressed = TLCompression::compressData(body)) {
      request.headers.emplace_back("Content-Encoding", "gzip");
      request.body = std::move(*compressed);
      return;
    }
  }
  request.body = std::move(body);
}

std::shared_ptr<TLTelemetryIngestion> TLTelemetryIngestion::initWithBaseUrl(const std::string& baseUrl,
                                                                            const std::string& installId) {
  return make(baseUrl, installId, TL_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<TLTelemetryIngestion> TLTelemetryIngestion::make(
    const std::string& baseUrl, const std::string& installId, std::shared_ptr<TL_Reachability> reachability,
    std::vector<double> retryIntervals) {
  auto ingestion = std::make_shared<TLTelemetryIngestion>(baseUrl, installId, std::move(reachability),
                                                          std::move(retryIntervals));
  ingestion->startObservingReachability();
  return ingestion;
}

TLTelemetryIngestion::TLTelemetryIngestion(const std::string& baseUrl, const std::string& installId,
                                           std::shared_ptr<TL_Reachability> reachability,
                                           std::vector<double> retryIntervals)
    : TLHttpIngestion(baseUrl, kTLTelemetryApiPath,
                      {{"Content-Type", "application/json"}, {"Install-ID", installId}},
                      {{"api-version", "1.0.0"}}, std::move(reachability), std::move(retryIntervals)) {}

bool TLTelemetryIngestion::isReadyToSend() const {
  std::lock_guard lock(lock_);
  return appSecret_.has_value();
}

std::optional<std::string> TLTelemetryIngestion::appSecret() const {
  std::lock_guard lock(lock_);
  return appSecret_;
}

void TLTelemetryIngestion::setAppSecret(std::optional<std::string> appSecret) {
  std::lock_guard lock(lock_);
  appSecret_ = std::move(appSecret);
}

void TLTelemetryIngestion::sendAsync(const std::shared_ptr<TLLogContainer>& data,
                                     const std::optional<std::string>& authToken,
                                     TLSendAsyncCompletionHandler handler) {
  sendBatchAsync(data, authToken, std::move(handler));
}

std::optional<TLHttpRequest> TLTelemetryIngestion::createRequest(
    const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>&,
    const std::optional<std::string>& authToken) {
  std::lock_guard lock(lock_);
  if (!appSecret_) {
    TLLogError(kTLLogTag, "Telemetry ingestion is used without app secret.");
    return std::nullopt;
  }
  // A value that could end the header early would let it write further headers of its own.
  if (!isSafeHeaderValue(*appSecret_) || (authToken && !isSafeHeaderValue(*authToken))) {
    TLLogError(kTLLogTag,
               "The app secret or the auth token holds a line break or NUL; the request is not sent.");
    return std::nullopt;
  }
  TLHttpRequest request = postRequest();
  request.headers.emplace_back("App-Secret", *appSecret_);
  if (authToken && !authToken->empty()) request.headers.emplace_back("Authorization", "Bearer " + *authToken);
  auto json = data ? data->serializeLog() : std::nullopt;
  TLSetRequestBody(request, platform::dataFromString(json.value_or("")));
  logRequest(request);
  return request;
}

std::string TLTelemetryIngestion::obfuscateHeaderValue(const std::string& value,
                                                       const std::string& key) const {
  if (key == "Authorization") return TLHttpUtil::hideAuthToken(value);
  if (key == "App-Secret") return TLHttpUtil::hideSecret(value);
  return value;
}
