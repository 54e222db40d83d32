#pragma once

#include "Telemetry/Internals/Ingestion/TLHttpIngestion.h"

inline constexpr const char* kTLEventCollectorApiPath = "/EventCollector";
inline constexpr const char* kTLEventCollectorApiVersion = "1.0";
inline constexpr long kTLEventCollectorMaxConnections = 2;

// Sends batches of Event Schema logs as JSON lines to "/EventCollector/1.0", with the batch's
// target tokens in "apikey", the upload time, and the tickets its logs name.
class TLEventCollectorIngestion : public TLHttpIngestion {
 public:
  static std::shared_ptr<TLEventCollectorIngestion> initWithBaseUrl(const std::string& baseUrl);
  static std::shared_ptr<TLEventCollectorIngestion> make(
      const std::string& baseUrl, std::shared_ptr<TL_Reachability> reachability,
      std::vector<double> retryIntervals = kDefaultRetryIntervals);

  TLEventCollectorIngestion(const std::string& baseUrl, std::shared_ptr<TL_Reachability> reachability,
                            std::vector<double> retryIntervals);

  void sendAsync(const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>& authToken,
                 TLSendAsyncCompletionHandler handler) override;
  using TLHttpIngestion::sendAsync;
  std::optional<TLHttpRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                             const std::optional<std::string>& eTag,
                                             const std::optional<std::string>& authToken) override;
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const override;
  static std::string obfuscateTargetTokens(const std::string& tokenString);
  static std::string obfuscateTickets(const std::string& ticketString);
};
