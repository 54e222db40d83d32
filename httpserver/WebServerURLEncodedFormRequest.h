#pragma once

#include "httpserver/WebServerDataRequest.h"

// A request with an "application/x-www-form-urlencoded" body, decoded into arguments at close.
class WebServerURLEncodedFormRequest : public WebServerDataRequest {
 public:
  static std::string mimeType() { return "application/x-www-form-urlencoded"; }

  // The decoded form; empty when the body is not valid in its declared charset.
  const WebServerQuery& arguments() const { return arguments_; }

  bool close(platform::Error* error) override;
  std::string description() const override;

 private:
  WebServerQuery arguments_;
};
