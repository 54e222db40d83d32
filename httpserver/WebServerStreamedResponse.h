#pragma once

#include "httpserver/WebServerResponse.h"

// The next piece of a streamed body: data, empty data at the end, or nullopt with the error.
using WebServerStreamBlock = std::function<std::optional<platform::Data>(platform::Error* error)>;
// Asked for the next piece; calls the completion once, now or later, from any thread.
using WebServerAsyncStreamBlock = std::function<void(WebServerBodyReaderCompletionBlock completion)>;

// A response whose body is produced piece by piece by a block; its length is not known, so it goes
// out chunked.
class WebServerStreamedResponse : public WebServerResponse {
 public:
  static std::shared_ptr<WebServerStreamedResponse> responseWithContentType(const std::string& contentType,
                                                                            WebServerStreamBlock streamBlock);
  static std::shared_ptr<WebServerStreamedResponse> responseWithContentType(
      const std::string& contentType, WebServerAsyncStreamBlock asyncStreamBlock);

  WebServerStreamedResponse(const std::string& contentType, WebServerAsyncStreamBlock block);

  bool implementsAsyncReadData() const override { return true; }
  void asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) override;
  std::string description() const override;

 private:
  WebServerAsyncStreamBlock block_;
};
