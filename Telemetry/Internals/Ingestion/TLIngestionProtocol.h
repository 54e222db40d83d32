#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Telemetry/Internals/Channel/TLEnable.h"
#include "Telemetry/Internals/Model/TLLogContainer.h"
#include "platform/Data.h"
#include "platform/Error.h"

class TLIngestionCall;
class TLIngestionProtocol;

// The error domain of the pipeline, and its codes.
inline constexpr const char* kTLTelemetryErrorDomain = "com.Telemetry.SDK.ErrorDomain";
inline constexpr std::int64_t kTLLogInvalidContainerErrorCode = 1;
inline constexpr std::int64_t kTLCanceledErrorCode = 100;
inline constexpr std::int64_t kTLConnectionHttpErrorCode = 101;
inline constexpr const char* kTLConnectionHttpCodeKey = "TLConnectionHttpCode";
inline constexpr const char* kTLLogInvalidContainerErrorDesc = "Invalid log container.";
inline constexpr const char* kTLCanceledErrorDesc = "Canceled, connection paused with log deletion.";
inline constexpr const char* kTLConnectionHttpErrorDesc = "An HTTP error occured.";

// The head of an HTTP answer: status, header fields of the final answer in order, and the URL it
// came from (after redirects).
struct TLHttpResponse {
  std::int64_t statusCode = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string url;

  // The first field of that name, compared without regard to case.
  std::optional<std::string> valueForHeader(const std::string& name) const;
};

// Call id, response (none when no answer came), body, error: every argument may be empty.
using TLSendAsyncCompletionHandler = std::function<void(
    const std::optional<std::string>& callId, const std::shared_ptr<const TLHttpResponse>& response,
    const std::optional<platform::Data>& data, const std::optional<platform::Error>& error)>;

// How a call ended: success or a final failure (100), recoverable failure with its retries used up
// (500), fatal failure (999).
enum TLIngestionCallResult : int {
  TLIngestionCallResultSuccess = 100,
  TLIngestionCallResultErrorRecoverable = 500,
  TLIngestionCallResultFatal = 999
};

// Hears of the sender pausing, resuming and failing for good. Every method is optional.
class TLIngestionDelegate {
 public:
  virtual ~TLIngestionDelegate() = default;
  virtual void ingestionDidPause(TLIngestionProtocol& /*ingestion*/) {}
  virtual void ingestionDidResume(TLIngestionProtocol& /*ingestion*/) {}
  virtual void ingestionDidReceiveFatalError(TLIngestionProtocol& /*ingestion*/) {}
};

// What a call asks of its sender.
class TLIngestionCallDelegate {
 public:
  virtual ~TLIngestionCallDelegate() = default;
  virtual void sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) = 0;
  virtual void callCompletedWithResult(const std::shared_ptr<TLIngestionCall>& call,
                                       TLIngestionCallResult result) = 0;
};

// A sender of log batches, as channel units see it.
class TLIngestionProtocol : public TLIngestionCallDelegate, public TLEnable {
 public:
  // A new call with a fresh id.
  virtual void sendAsync(const std::shared_ptr<TLLogContainer>& data,
                         const std::optional<std::string>& authToken,
                         TLSendAsyncCompletionHandler handler) = 0;
  void sendAsync(const std::shared_ptr<TLLogContainer>& data, TLSendAsyncCompletionHandler handler) {
    sendAsync(data, std::nullopt, std::move(handler));
  }
  // Delegates are held weakly.
  virtual void addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
  virtual bool isPaused() const = 0;
  virtual bool isReadyToSend() const = 0;
};
