#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Error.h"

// The URL loading error domain and the codes the pipeline tells apart.
inline constexpr const char* kTLURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::int64_t kTLURLErrorCancelled = -999;
inline constexpr std::int64_t kTLURLErrorTimedOut = -1001;
inline constexpr std::int64_t kTLURLErrorCannotFindHost = -1003;
inline constexpr std::int64_t kTLURLErrorCannotConnectToHost = -1004;
inline constexpr std::int64_t kTLURLErrorNetworkConnectionLost = -1005;
inline constexpr std::int64_t kTLURLErrorNotConnectedToInternet = -1009;
inline constexpr std::int64_t kTLURLErrorSecureConnectionFailed = -1200;

// Classifies HTTP answers and transport errors, and masks secrets before they are logged.
class TLHttpUtil {
 public:
  // 5xx, 408, 429, or 0 (no HTTP answer).
  static bool isRecoverableError(std::int64_t statusCode);
  static bool isSuccessStatusCode(std::int64_t statusCode);
  // Not connected (-1009) or connection lost (-1005) in the URL error domain.
  static bool isNoInternetConnectionError(const platform::Error& error);
  // -2000 ... -1200 in the URL error domain.
  static bool isSSLConnectionError(const platform::Error& error);
  // Every character but the last 8 replaced by "*" (all of them for 8 or fewer); the length in
  // UTF-16 units never changes.
  static std::string hideSecret(std::string_view secret);
  // "Bearer abc" → "Bearer ***"; a single word → "***".
  static std::string hideAuthToken(std::string_view token);
};
