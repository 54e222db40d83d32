#include "httpserver/WebServerMultiPartFormRequest.h"

namespace {
platform::Error formError(const char* description) {
  return platform::Error::make(kWebServerErrorDomain, -1, description);
}
}  // namespace

bool WebServerMultiPartFormRequest::open(platform::Error* error) {
  parser_ = WebServerMIMEStreamParser::make(WebServerHeaderParameterValue(contentType(), "boundary"),
                                            std::nullopt, &arguments_, &files_, limits_);
  if (!parser_) return platform::fail(error, formError("Failed starting to parse multipart form data"));
  received_ = 0;
  return true;
}

bool WebServerMultiPartFormRequest::writeData(std::span<const std::uint8_t> data, platform::Error* error) {
  if (!parser_) return platform::fail(error, formError("Failed continuing to parse multipart form data"));
  if (received_ + data.size() > maximumBodySize()) {
    parser_.reset();
    return platform::fail(error, platform::Error::make(kWebServerErrorDomain, kWebServerErrorBodyTooLarge,
                                                       "The body is larger than allowed"));
  }
  received_ += data.size();
  if (!parser_->appendBytes(data.data(), data.size())) {
    parser_.reset();
    return platform::fail(error, formError("Failed continuing to parse multipart form data"));
  }
  return true;
}

bool WebServerMultiPartFormRequest::close(platform::Error* error) {
  bool atEnd = parser_ && parser_->isAtEnd();
  parser_.reset();
  if (!atEnd) return platform::fail(error, formError("Failed finishing to parse multipart form data"));
  return true;
}

std::shared_ptr<WebServerMultiPartArgument> WebServerMultiPartFormRequest::firstArgumentForControlName(
    const std::string& name) const {
  for (const auto& argument : arguments_) {
    if (argument->controlName() == name) return argument;
  }
  return nullptr;
}

std::shared_ptr<WebServerMultiPartFile> WebServerMultiPartFormRequest::firstFileForControlName(
    const std::string& name) const {
  for (const auto& file : files_) {
    if (file->controlName() == name) return file;
  }
  return nullptr;
}

std::string WebServerMultiPartFormRequest::description() const {
  std::string text = WebServerRequest::description();
  if (!arguments_.empty()) {
    text += "\n";
    for (const auto& argument : arguments_) {
      text += fmt::format("\n{} ({})\n", argument->controlName(), argument->contentType());
      text += WebServerBodyDescription(argument->data(), argument->contentType());
    }
  }
  if (!files_.empty()) {
    text += "\n";
    for (const auto& file : files_) {
      text += fmt::format("\n{} ({}): {}\n{{{}}}", file->controlName(), file->contentType(), file->fileName(),
                          file->temporaryPath().string());
    }
  }
  return text;
}
