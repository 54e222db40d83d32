// Feeds arbitrary bytes to the request-head parser and to everything that reads the parsed head:
// the request's derived fields (lengths, ranges, dates, encodings), URL path unescaping, query
// parsing and header parameters.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "httpserver/WebServerFunctions.h"
#include "httpserver/WebServerRequest.h"
#include "httpserver/WebServerRequestMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool silenced = [] {
    WebServerSetLogLevel(5);
    return true;
  }();
  (void)silenced;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  // The text helpers see raw input too.
  (void)WebServerPercentUnescape(input);
  (void)WebServerParseFormText(input);
  (void)WebServerDateFromRFC822(input);
  (void)WebServerHeaderParameterValue(std::string(input), "name");
  (void)WebServerCanonicalHeaderValue(std::string(input));
  (void)WebServerParseByteRange(std::string(input));

  WebServerRequestMessage message;
  if (WebServerRequestMessage::parse(input, &message) != WebServerRequestMessage::Status::OK) return 0;
  if (message.target().size() > WebServerRequestMessage::kMaximumTargetLength) std::abort();
  const std::string& target = message.target();
  std::string_view path = std::string_view(target).substr(0, target.find('?'));
  auto decoded = WebServerPercentUnescape(path);
  WebServerQuery query;
  if (auto question = target.find('?'); question != std::string::npos) {
    query = WebServerParseFormText(std::string_view(target).substr(question + 1));
  }
  auto request = WebServerRequest::requestWithMethod(message.method(), "http://localhost" + target,
                                                     message.headers(), decoded.value_or("/"), query);
  if (request) {
    if (request->hasByteRange() && request->byteRange() == kWebServerNoByteRange) std::abort();
    (void)WebServerHeaderParameterValue(request->contentType(), "charset");
    (void)WebServerHeaderParameterValue(request->contentType(), "boundary");
    (void)WebServerEncodingFromCharsetName(WebServerHeaderParameterValue(request->contentType(), "charset"));
    (void)request->description();
    if (auto authorization = request->headerValue("Authorization")) {
      (void)WebServerHeaderParameterValue(authorization, "nonce");
      (void)WebServerHeaderParameterValue(authorization, "username");
    }
  }
  return 0;
}
