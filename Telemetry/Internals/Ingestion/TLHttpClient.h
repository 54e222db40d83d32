#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Telemetry/Internals/Ingestion/TLIngestionProtocol.h"
#include "platform/DispatchQueue.h"

namespace platform {
struct CurlFunctions;
}

// One HTTP request as the senders build it.
struct TLHttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::pair<std::string, std::string>> headers;
  platform::Data body;

  std::optional<std::string> valueForHeader(const std::string& name) const;
};

// The sender's HTTP session over libcurl (opened by the worker on the first request, never on the
// caller's thread; where it cannot be opened, every request fails with a transport error that names
// the reason): one multi handle driven by a worker
// thread that sleeps in curl_multi_poll while transfers run and on a condition variable while there are none,
// so an idle session never wakes. Connections per host are limited; redirects between http and https are
// followed; no cookies, no "Expect:". Completions run on the given serial queue, one at a time, in
// the order transfers end. Transport failures come as URL errors (the codes of the platform's URL
// loading system), so the retry rules can tell them apart.
class TLHttpClient {
 public:
  using Completion = std::function<void(const std::shared_ptr<const TLHttpResponse>& response,
                                        const std::optional<platform::Data>& body,
                                        const std::optional<platform::Error>& error)>;
  static constexpr std::size_t kMaxResponseBodySize = 1024 * 1024;
  static constexpr long kConnectTimeoutSeconds = 60;
  static constexpr long kLowSpeedTimeSeconds = 60;

  // `isOffline` tells whether the machine has no network now: resolution and connection failures
  // are then reported as not connected (-1009) rather than as a host that cannot be found or reached.
  TLHttpClient(long maxConnectionsPerHost, std::shared_ptr<platform::DispatchQueue> completionQueue,
               std::function<bool()> isOffline);
  // Cancels every transfer (their completions get the cancellation error) and joins the worker.
  ~TLHttpClient();
  TLHttpClient(const TLHttpClient&) = delete;
  TLHttpClient& operator=(const TLHttpClient&) = delete;

  void start(TLHttpRequest request, Completion completion);
  // Ends every transfer now; each completion gets the cancellation error (-999).
  void cancelAll();

  // The URL error code of a libcurl result.
  static std::int64_t urlErrorCodeForCurlCode(int curlCode, bool offline);
  // Worker wake-ups since creation (for the idle benchmark).
  std::uint64_t wakeUps() const;

 private:
  struct Transfer;
  // On the worker: libcurl's table, failing the transfers that come while it cannot be had; nullptr
  // when the session stops first.
  const platform::CurlFunctions* openLibrary();
  void run();
  void finish(Transfer* transfer, int curlCode);

  const long maxConnectionsPerHost_;
  std::shared_ptr<platform::DispatchQueue> completionQueue_;
  std::function<bool()> isOffline_;
  const platform::CurlFunctions* curl_ = nullptr;
  void* multi_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  std::map<void*, std::unique_ptr<Transfer>> running_;
  bool cancelRequested_ = false;
  bool stopping_ = false;
  bool polling_ = false;
  std::uint64_t wakeUps_ = 0;
  std::thread worker_;
};
