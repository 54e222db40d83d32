#pragma once

#include "Telemetry/Internals/Ingestion/TLHttpIngestion.h"

inline constexpr const char* kTLTelemetryApiPath = "/logs";
inline constexpr const char* kTLCompressionThresholdHeader = "Content-Encoding";
// Bodies of at least this many bytes travel gzip-compressed.
inline constexpr std::size_t kTLCompressionThreshold = 1400;

// Sends batches of SDK logs as one JSON document to the service's "/logs?api-version=1.0.0", with
// the application secret, the optional bearer token and the install id in its headers.
class TLTelemetryIngestion : public TLHttpIngestion {
 public:
  // Over the machine's internet reachability.
  static std::shared_ptr<TLTelemetryIngestion> initWithBaseUrl(const std::string& baseUrl,
                                                               const std::string& installId);
  // Over the given reachability, with other retry intervals (tests, benchmarks).
  static std::shared_ptr<TLTelemetryIngestion> make(
      const std::string& baseUrl, const std::string& installId, std::shared_ptr<TL_Reachability> reachability,
      std::vector<double> retryIntervals = kDefaultRetryIntervals);

  TLTelemetryIngestion(const std::string& baseUrl, const std::string& installId,
                       std::shared_ptr<TL_Reachability> reachability, std::vector<double> retryIntervals);

  // Ready once an app secret is set.
  bool isReadyToSend() const override;
  void sendAsync(const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>& authToken,
                 TLSendAsyncCompletionHandler handler) override;
  using TLHttpIngestion::sendAsync;
  std::optional<TLHttpRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                             const std::optional<std::string>& eTag,
                                             const std::optional<std::string>& authToken) override;
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const override;

  std::optional<std::string> appSecret() const;
  void setAppSecret(std::optional<std::string> appSecret);

 private:
  std::optional<std::string> appSecret_;
};

// The body, gzip-compressed (with the header set) when it reaches the threshold and compresses.
void TLSetRequestBody(TLHttpRequest& request, platform::Data body);
