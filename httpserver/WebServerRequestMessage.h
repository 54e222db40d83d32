#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "httpserver/WebServerFunctions.h"

// The parsed head of one HTTP/1.x request: request line and header fields. It is built from the
// bytes up to and including the empty line that ends the head; nothing here reads from a socket.
class WebServerRequestMessage {
 public:
  enum class Status {
    OK,
    Malformed,             // not an HTTP/1.x request head
    URITooLong,            // the request target is longer than kMaximumTargetLength
    HeaderFieldsTooLarge,  // more than kMaximumHeaderCount header fields
    VersionNotSupported,   // a well-formed head of another major version
  };

  static constexpr std::size_t kMaximumTargetLength = 8192;
  static constexpr std::size_t kMaximumHeaderCount = 256;

  // Parses a complete head. Leading empty lines are skipped; every line must end in CR LF; field
  // names are tokens; values lose the white space around them and may not hold control
  // characters; folded lines are refused. Repeated fields are joined with ", ".
  static Status parse(std::string_view head, WebServerRequestMessage* message);

  const std::string& method() const { return method_; }
  // The request target as sent: "/path?query", an absolute URL, or "*".
  const std::string& target() const { return target_; }
  int versionMajor() const { return versionMajor_; }
  int versionMinor() const { return versionMinor_; }
  const WebServerHeaders& headers() const { return headers_; }
  WebServerHeaders& headers() { return headers_; }

 private:
  std::string method_;
  std::string target_;
  int versionMajor_ = 1;
  int versionMinor_ = 1;
  WebServerHeaders headers_;
};
