#include "httpserver/WebServerErrorResponse.h"

#include "platform/Escaping.h"

WebServerErrorResponse::WebServerErrorResponse(platform::Data page)
    : WebServerDataResponse(std::move(page), "text/html; charset=utf-8") {}

std::shared_ptr<WebServerErrorResponse> WebServerErrorResponse::errorResponse(
    int statusCode, const platform::Error* underlyingError, const std::string& message) {
  std::string title = fmt::format("HTTP Error {}", statusCode);
  std::string errorText;
  if (underlyingError) {
    errorText = fmt::format("[{}] {} ({})", platform::escapedHTML(underlyingError->domain),
                            platform::escapedHTML(underlyingError->description), underlyingError->code);
  }
  std::string page = fmt::format(
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>{}</title></head><body><h1>{}: "
      "{}</h1><h3>{}</h3></body></html>",
      title, title, platform::escapedHTML(message), errorText);
  auto response = std::make_shared<WebServerErrorResponse>(platform::dataFromString(page));
  response->setStatusCode(statusCode);
  return response;
}
