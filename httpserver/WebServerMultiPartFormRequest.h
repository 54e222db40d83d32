#pragma once

#include <memory>
#include <string>
#include <vector>

#include "httpserver/WebServerMIMEStreamParser.h"
#include "httpserver/WebServerMultiPart.h"
#include "httpserver/WebServerRequest.h"

// A request with a "multipart/form-data" body (an HTML form upload), parsed while it arrives: fields
// without a file name are kept in memory (arguments), file fields go to temporary files (files), and
// "multipart/mixed" fields are opened into their parts. Any part that cannot be parsed or kept fails
// the body, and the connection aborts the exchange.
class WebServerMultiPartFormRequest : public WebServerRequest {
 public:
  using Arguments = WebServerMIMEStreamParser::Arguments;
  using Files = WebServerMIMEStreamParser::Files;

  static std::string mimeType() { return "multipart/form-data"; }

  // In-memory fields and files, in body order.
  const Arguments& arguments() const { return arguments_; }
  void setArguments(Arguments arguments) { arguments_ = std::move(arguments); }
  const Files& files() const { return files_; }
  void setFiles(Files files) { files_ = std::move(files); }

  // The first field whose control name is exactly the name; nullptr when there is none.
  std::shared_ptr<WebServerMultiPartArgument> firstArgumentForControlName(const std::string& name) const;
  std::shared_ptr<WebServerMultiPartFile> firstFileForControlName(const std::string& name) const;

  // The caps of the parse; set them before the body arrives (in a handler's match step).
  const WebServerMIMEStreamParser::Limits& limits() const { return limits_; }
  void setLimits(const WebServerMIMEStreamParser::Limits& limits) { limits_ = limits; }

  bool open(platform::Error* error) override;
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override;
  bool close(platform::Error* error) override;
  std::string description() const override;

 private:
  Arguments arguments_;
  Files files_;
  WebServerMIMEStreamParser::Limits limits_;
  std::unique_ptr<WebServerMIMEStreamParser> parser_;
  std::uint64_t received_ = 0;
};
