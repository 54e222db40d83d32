#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Ingestion/TLHttpClient.h"
#include "Telemetry/Internals/Ingestion/TLIngestionCall.h"
#include "Telemetry/Internals/Ingestion/TLIngestionProtocol.h"
#include "Telemetry/Internals/Util/TL_Reachability.h"
#include "platform/NotificationCenter.h"

// The base sender: turns each payload into one HTTP call kept in a table of pending calls until it
// ends, retries recoverable failures on timers, holds calls while the network is down and sends
// them when it comes back, and turns a final failure into a fatal error that disables the sender.
// Subclasses build the requests. Every state change runs under one re-entrant lock.
class TLHttpIngestion : public TLIngestionProtocol, public std::enable_shared_from_this<TLHttpIngestion> {
 public:
  using Headers = std::map<std::string, std::string>;
  using QueryStrings = std::vector<std::pair<std::string, std::string>>;

  static inline const std::vector<double> kDefaultRetryIntervals{10, 300, 1200};
  static constexpr long kDefaultMaxNumberOfConnections = 4;

  TLHttpIngestion(std::string baseUrl, std::string apiPath, Headers headers, QueryStrings queryStrings,
                  std::shared_ptr<TL_Reachability> reachability,
                  std::vector<double> retryIntervals = kDefaultRetryIntervals,
                  long maxNumberOfConnections = kDefaultMaxNumberOfConnections);
  ~TLHttpIngestion() override;

  // ---- TLIngestionProtocol ----
  void sendAsync(const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>& authToken,
                 TLSendAsyncCompletionHandler handler) override;
  using TLIngestionProtocol::sendAsync;
  // The one path every send takes: reuses the pending call of that id, else makes one.
  void sendAsync(const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>& eTag,
                 const std::optional<std::string>& authToken, const std::string& callId,
                 TLSendAsyncCompletionHandler handler);
  void addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) override;
  void pause() override;
  void resume() override;
  bool isPaused() const override;
  bool isReadyToSend() const override { return true; }
  bool isEnabled() const;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) override;
  void callCompletedWithResult(const std::shared_ptr<TLIngestionCall>& call,
                               TLIngestionCallResult result) override;

  // ---- For subclasses and owners ----
  // The request of a payload; none when it cannot be built now (the call waits for the next resume).
  virtual std::optional<TLHttpRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                                     const std::optional<std::string>& eTag,
                                                     const std::optional<std::string>& authToken);
  // A header's value as logs show it.
  virtual std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const;
  // "name = value" pairs joined with ", ", masked.
  std::string prettyPrintHeaders(const std::vector<std::pair<std::string, std::string>>& headers) const;
  void setBaseURL(const std::string& baseURL);
  void networkStateChanged();
  void retryTimerFired(const std::shared_ptr<TLIngestionCall>& call, std::uint64_t generation);
  static std::optional<std::string> eTagFromResponse(const TLHttpResponse& response);
  // True when the value can travel in a header: no CR, LF or NUL.
  static bool isSafeHeaderValue(const std::string& value);

  std::string baseURL() const;
  std::string sendURL() const;
  const std::string& apiPath() const { return apiPath_; }
  const Headers& httpHeaders() const { return httpHeaders_; }
  const std::shared_ptr<TL_Reachability>& reachability() const { return reachability_; }
  long maxNumberOfConnections() const { return maxNumberOfConnections_; }
  const std::vector<double>& callsRetryIntervals() const { return callsRetryIntervals_; }
  std::size_t pendingCallCount() const;
  std::shared_ptr<TLIngestionCall> pendingCall(const std::string& callId) const;
  std::optional<std::uint64_t> retryCountForCall(const std::string& callId) const;
  // Session worker wake-ups so far (0 before the first request).
  std::uint64_t sessionWakeUps() const;

 protected:
  // Registers for reachability changes and starts the notifier; the makers call it once the object
  // is owned by a shared pointer.
  void startObservingReachability();
  // The send of a sender whose payloads are batches: a valid container goes under its batch id, a
  // missing or invalid one fails at once (the error is logged and handed to the handler).
  void sendBatchAsync(const std::shared_ptr<TLLogContainer>& data,
                      const std::optional<std::string>& authToken, TLSendAsyncCompletionHandler handler);
  // A POST request to the send URL that carries the sender's headers.
  TLHttpRequest postRequest() const;
  // Logs the request's URL and masked headers at the verbose level.
  void logRequest(const TLHttpRequest& request) const;
  mutable std::recursive_mutex lock_;

 private:
  std::shared_ptr<TLHttpClient> session();
  void pauseLocked();
  void dataTaskCompleted(const std::shared_ptr<TLIngestionCall>& call,
                         const std::shared_ptr<const TLHttpResponse>& response,
                         const std::optional<platform::Data>& data,
                         const std::optional<platform::Error>& error);
  template <typename Fn>
  void enumerateDelegates(Fn&& fn);

  std::string baseURL_;
  const std::string apiPath_;
  std::string sendURL_;
  Headers httpHeaders_;
  std::shared_ptr<TL_Reachability> reachability_;
  const std::vector<double> callsRetryIntervals_;
  const long maxNumberOfConnections_;
  std::map<std::string, std::shared_ptr<TLIngestionCall>> pendingCalls_;
  std::shared_ptr<TLHttpClient> session_;
  std::shared_ptr<platform::DispatchQueue> completionQueue_;
  std::vector<std::weak_ptr<TLIngestionDelegate>> delegates_;
  std::optional<platform::ObserverToken> reachabilityObserver_;
  bool enabled_ = true;
  bool paused_ = false;
};
