#include "Telemetry/Internals/Ingestion/TLIngestionCall.h"

#include <cmath>
#include <random>

#include "Telemetry/Internals/Ingestion/TLHttpIngestion.h"
#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "platform/DispatchQueue.h"

namespace {

std::uint32_t uniformBelow(std::uint32_t bound) {
  if (bound == 0) return 0;
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(generator);
}

}  // namespace

double TLIngestionCall::delayForRetryCount(std::uint64_t retry) const {
  if (retry >= retryIntervals.size()) return 0;
  auto interval = static_cast<std::uint32_t>(retryIntervals[retry]);
  std::uint32_t half = interval / 2;
  return half + uniformBelow(half);
}

void TLIngestionCall::startRetryTimerWithStatusCode(std::int64_t statusCode) {
  resetTimer();
  double delay = delayForRetryCount(retryCount);
  TLLogWarning(kTLLogTag, "Call attempt #{} failed with status code: {}, it will be retried in {:.0f} ms.",
               retryCount, statusCode, std::round(delay * 1000));
  ++retryCount;
  std::uint64_t generation = ++timerGeneration;
  std::weak_ptr<TLIngestionCall> weakSelf = weak_from_this();
  std::weak_ptr<TLIngestionCallDelegate> weakDelegate = delegate;
  timerSource = platform::DispatchQueue::global()->after(
      platform::Seconds(delay), [weakSelf, weakDelegate, generation] {
        auto self = weakSelf.lock();
        auto owner = std::dynamic_pointer_cast<TLHttpIngestion>(weakDelegate.lock());
        if (self && owner) owner->retryTimerFired(self, generation);
      });
}

void TLIngestionCall::resetTimer() {
  if (timerSource) {
    timerSource->cancel();
    timerSource.reset();
  }
  ++timerGeneration;
}

void TLIngestionCall::resetRetry() {
  retryCount = 0;
  resetTimer();
}

void TLIngestionCall::ingestionCallCompleted(const std::shared_ptr<const TLHttpResponse>& response,
                                             const std::optional<platform::Data>& body,
                                             const std::optional<platform::Error>& error,
                                             bool networkReachable) {
  std::int64_t status = response ? response->statusCode : 0;
  bool cancelled = error && error->domain == kTLURLErrorDomain && error->code == kTLURLErrorCancelled;
  bool offline = error && TLHttpUtil::isNoInternetConnectionError(*error);
  bool insecure = error && TLHttpUtil::isSSLConnectionError(*error);
  if ((offline || insecure) && !networkReachable) {
    // The network is down: wait for it to come back, without counting this attempt.
    resetRetry();
    TLLogInfo(kTLLogTag, "Ingestion call failed with error: {}",
              offline ? "Internet connection is down." : "Could not establish secure connection.");
    return;
  }
  // Our own cancellation is final; everything else with no usable answer counts as status 0.
  if (!cancelled && TLHttpUtil::isRecoverableError(status) && !hasReachedMaxRetries()) {
    startRetryTimerWithStatusCode(status);
    return;
  }
  std::optional<platform::Error> outcome = error;
  if (!outcome && status != 200) {
    platform::Error httpError = platform::Error::make(kTLTelemetryErrorDomain, kTLConnectionHttpErrorCode,
                                                      kTLConnectionHttpErrorDesc);
    httpError.userInfo[kTLConnectionHttpCodeKey] = status;
    outcome = httpError;
  }
  bool exhausted = !cancelled && TLHttpUtil::isRecoverableError(status) && hasReachedMaxRetries();
  bool fatal = outcome && !exhausted && !cancelled;
  if (completionHandler) completionHandler(callId, response, body, outcome);
  if (auto owner = delegate.lock()) {
    owner->callCompletedWithResult(shared_from_this(), exhausted ? TLIngestionCallResultErrorRecoverable
                                                       : fatal   ? TLIngestionCallResultFatal
                                                                 : TLIngestionCallResultSuccess);
  }
}
