#include "httpserver/WebServerStreamedResponse.h"

WebServerStreamedResponse::WebServerStreamedResponse(const std::string& contentType,
                                                     WebServerAsyncStreamBlock block)
    : block_(std::move(block)) {
  setContentType(contentType);
}

std::shared_ptr<WebServerStreamedResponse> WebServerStreamedResponse::responseWithContentType(
    const std::string& contentType, WebServerStreamBlock streamBlock) {
  return std::make_shared<WebServerStreamedResponse>(
      contentType, [streamBlock = std::move(streamBlock)](WebServerBodyReaderCompletionBlock completion) {
        platform::Error error;
        auto data = streamBlock(&error);
        completion(std::move(data), error);
      });
}

std::shared_ptr<WebServerStreamedResponse> WebServerStreamedResponse::responseWithContentType(
    const std::string& contentType, WebServerAsyncStreamBlock asyncStreamBlock) {
  return std::make_shared<WebServerStreamedResponse>(contentType, std::move(asyncStreamBlock));
}

void WebServerStreamedResponse::asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) {
  block_(std::move(completion));
}

std::string WebServerStreamedResponse::description() const {
  return WebServerResponse::description() + "\n\n<STREAM>";
}
