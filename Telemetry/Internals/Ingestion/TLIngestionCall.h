#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Ingestion/TLIngestionProtocol.h"
#include "platform/MainQueue.h"

// One payload on its way: its request data, the handler to tell, and its retry state. Every field
// is read and changed under its sender's lock.
class TLIngestionCall : public std::enable_shared_from_this<TLIngestionCall> {
 public:
  explicit TLIngestionCall(std::vector<double> retryIntervals) : retryIntervals(std::move(retryIntervals)) {}
  static std::shared_ptr<TLIngestionCall> initWithRetryIntervals(std::vector<double> intervals) {
    return std::make_shared<TLIngestionCall>(std::move(intervals));
  }

  bool hasReachedMaxRetries() const { return retryCount >= retryIntervals.size(); }
  // Half the interval plus a random whole number of seconds below that half; 0 past the last one.
  double delayForRetryCount(std::uint64_t retry) const;
  // Plans the next attempt on the global queue after the delay for the current count, and counts it.
  void startRetryTimerWithStatusCode(std::int64_t statusCode);
  void resetTimer();
  void resetRetry();
  // Decides what an answer means: wait for the network, retry later, or finish (telling the handler
  // and the sender). `networkReachable` is what the sender's reachability says now.
  void ingestionCallCompleted(const std::shared_ptr<const TLHttpResponse>& response,
                              const std::optional<platform::Data>& data,
                              const std::optional<platform::Error>& error, bool networkReachable);

  std::shared_ptr<TLLogContainer> data;
  std::optional<std::string> eTag;
  std::optional<std::string> authToken;
  std::string callId;
  TLSendAsyncCompletionHandler completionHandler;
  std::weak_ptr<TLIngestionCallDelegate> delegate;
  bool submitted = false;
  std::shared_ptr<platform::TimerHandle> timerSource;
  // Tells a firing of an older retry timer from the current one.
  std::uint64_t timerGeneration = 0;
  std::uint64_t retryCount = 0;
  std::vector<double> retryIntervals;
};
