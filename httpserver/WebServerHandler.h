#pragma once

#include <functional>
#include <memory>
#include <string>

#include "httpserver/WebServerRequest.h"
#include "httpserver/WebServerResponse.h"

// Answers a request object when the handler takes the request, nullptr otherwise. Called on a
// server thread with the method, the full URL, the headers, the decoded path and the query.
using WebServerMatchBlock = std::function<std::shared_ptr<WebServerRequest>(
    const std::string& method, const std::string& url, const WebServerHeaders& headers,
    const std::string& path, const WebServerQuery& query)>;

// Hands the response (or nullptr, which the connection answers with 500) back to the connection.
// Call it exactly once, from any thread, now or later; dropping every copy of it without a call
// counts as answering nullptr.
using WebServerCompletionBlock = std::function<void(std::shared_ptr<WebServerResponse> response)>;

// Produces the response at once, on the server thread that runs the request.
using WebServerProcessBlock =
    std::function<std::shared_ptr<WebServerResponse>(const std::shared_ptr<WebServerRequest>& request)>;

// Produces the response later through the completion; the server thread is free in the meantime,
// so a handler may wait as long as it likes (long polls) without holding a thread.
using WebServerAsyncProcessBlock = std::function<void(const std::shared_ptr<WebServerRequest>& request,
                                                      WebServerCompletionBlock completion)>;

// Makes the request object of a handler: a request kind chosen with WebServerRequestClassOf<Kind>().
using WebServerRequestClass = WebServerMatchBlock;

template <class Kind>
WebServerRequestClass WebServerRequestClassOf() {
  static_assert(std::is_base_of_v<WebServerRequest, Kind>, "request classes derive from WebServerRequest");
  return [](const std::string& method, const std::string& url, const WebServerHeaders& headers,
            const std::string& path, const WebServerQuery& query) -> std::shared_ptr<WebServerRequest> {
    return WebServerRequest::requestWithMethod<Kind>(method, url, headers, path, query);
  };
}

// One entry of the server's handler list: a match step and an asynchronous process step.
class WebServerHandler {
 public:
  WebServerHandler(WebServerMatchBlock matchBlock, WebServerAsyncProcessBlock asyncProcessBlock)
      : matchBlock_(std::move(matchBlock)), asyncProcessBlock_(std::move(asyncProcessBlock)) {}

  const WebServerMatchBlock& matchBlock() const { return matchBlock_; }
  const WebServerAsyncProcessBlock& asyncProcessBlock() const { return asyncProcessBlock_; }

 private:
  const WebServerMatchBlock matchBlock_;
  const WebServerAsyncProcessBlock asyncProcessBlock_;
};
