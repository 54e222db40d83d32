#include "httpserver/WebServerURLEncodedFormRequest.h"

bool WebServerURLEncodedFormRequest::close(platform::Error* error) {
  if (!WebServerDataRequest::close(error)) return false;
  auto encoding = WebServerEncodingFromCharsetName(WebServerHeaderParameterValue(contentType(), "charset"));
  auto text = WebServerStringFromData(data(), encoding);
  arguments_ = text ? WebServerParseFormText(*text) : WebServerQuery();
  return true;
}

std::string WebServerURLEncodedFormRequest::description() const {
  std::string text = WebServerDataRequest::description();
  text += "\n";
  for (const auto& [name, value] : arguments_) text += fmt::format("\n{} = {}", name, value);
  return text;
}
