#pragma once

#include "httpserver/WebServerDataResponse.h"

// An HTML error page: "HTTP Error N" with the message and, when given, the underlying error. Every
// text put into the page is HTML-escaped.
class WebServerErrorResponse : public WebServerDataResponse {
 public:
  template <typename... Args>
  static std::shared_ptr<WebServerErrorResponse> responseWithClientError(int statusCode,
                                                                         fmt::format_string<Args...> format,
                                                                         Args&&... args) {
    return errorResponse(statusCode, nullptr, fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static std::shared_ptr<WebServerErrorResponse> responseWithServerError(int statusCode,
                                                                         fmt::format_string<Args...> format,
                                                                         Args&&... args) {
    return errorResponse(statusCode, nullptr, fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static std::shared_ptr<WebServerErrorResponse> responseWithClientError(
      int statusCode, const platform::Error& underlyingError, fmt::format_string<Args...> format,
      Args&&... args) {
    return errorResponse(statusCode, &underlyingError, fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  static std::shared_ptr<WebServerErrorResponse> responseWithServerError(
      int statusCode, const platform::Error& underlyingError, fmt::format_string<Args...> format,
      Args&&... args) {
    return errorResponse(statusCode, &underlyingError, fmt::format(format, std::forward<Args>(args)...));
  }

  // The page for a status, an optional underlying error and a finished message.
  static std::shared_ptr<WebServerErrorResponse> errorResponse(int statusCode,
                                                               const platform::Error* underlyingError,
                                                               const std::string& message);

  WebServerErrorResponse(platform::Data page);
};
