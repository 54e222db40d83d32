#include "Telemetry/Internals/Util/TLHttpUtil.h"

#include <vector>

#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Utf8.h"

bool TLHttpUtil::isRecoverableError(std::int64_t statusCode) {
  return statusCode >= 500 || statusCode == 408 || statusCode == 429 || statusCode == 0;
}

bool TLHttpUtil::isSuccessStatusCode(std::int64_t statusCode) {
  return statusCode >= 200 && statusCode <= 299;
}

bool TLHttpUtil::isNoInternetConnectionError(const platform::Error& error) {
  return error.domain == kTLURLErrorDomain &&
         (error.code == kTLURLErrorNotConnectedToInternet || error.code == kTLURLErrorNetworkConnectionLost);
}

bool TLHttpUtil::isSSLConnectionError(const platform::Error& error) {
  return error.domain == kTLURLErrorDomain && error.code >= -2000 && error.code <= -1200;
}

std::string TLHttpUtil::hideSecret(std::string_view secret) {
  constexpr std::size_t kVisible = 8;
  std::string text =
      platform::utf8::isValid(secret) ? std::string(secret) : platform::utf8::sanitized(secret);
  // Keep the longest run of whole characters at the end that fits in 8 UTF-16 units; every unit
  // before it becomes a star.
  std::size_t total = TLUtility::utf16Length(text);
  if (total <= kVisible) return std::string(total, '*');
  std::size_t tailStart = text.size();
  std::size_t keptUnits = 0;
  while (tailStart > 0) {
    std::size_t begin = tailStart - 1;
    while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) --begin;
    std::size_t width = (tailStart - begin) == 4 ? 2 : 1;
    if (keptUnits + width > kVisible) break;
    keptUnits += width;
    tailStart = begin;
  }
  return std::string(total - keptUnits, '*') + text.substr(tailStart);
}

std::string TLHttpUtil::hideAuthToken(std::string_view token) {
  // Split at every white-space character, keeping empty pieces.
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= token.size(); ++i) {
    if (i == token.size() || token[i] == ' ' || token[i] == '\t' || token[i] == '\n' || token[i] == '\r' ||
        token[i] == '\v' || token[i] == '\f') {
      pieces.push_back(token.substr(start, i - start));
      start = i + 1;
    }
  }
  if (pieces.size() == 1) return "***";
  return std::string(pieces.front()) + " ***";
}
