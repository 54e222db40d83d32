#include "httpserver/WebServerDataResponse.h"

#include "platform/Escaping.h"
#include "platform/Files.h"
#include "platform/Json.h"

WebServerDataResponse::WebServerDataResponse(platform::Data data, const std::string& contentType)
    : data_(std::move(data)) {
  setContentType(contentType);
  setContentLength(data_.size());
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithData(
    platform::Data data, const std::string& contentType) {
  return std::make_shared<WebServerDataResponse>(std::move(data), contentType);
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithText(const std::string& text) {
  if (!WebServerIsValidUTF8(text)) return nullptr;
  return responseWithData(platform::dataFromString(text), "text/plain; charset=utf-8");
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithHTML(const std::string& html) {
  if (!WebServerIsValidUTF8(html)) return nullptr;
  return responseWithData(platform::dataFromString(html), "text/html; charset=utf-8");
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithHTMLTemplate(
    const std::string& path, const std::map<std::string, std::string>& variables) {
  auto text = platform::files::readTextFile(path, nullptr, 64 * 1024 * 1024);
  if (!text || !WebServerIsValidUTF8(*text)) return nullptr;
  std::string html = std::move(*text);
  for (const auto& [key, value] : variables) {
    std::string placeholder = "%" + key + "%";
    std::string replacement = platform::escapedHTML(value);
    std::size_t pos = 0;
    while ((pos = html.find(placeholder, pos)) != std::string::npos) {
      html.replace(pos, placeholder.size(), replacement);
      pos += replacement.size();
    }
  }
  return responseWithHTML(html);
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithJSONObject(
    const nlohmann::json& object) {
  return responseWithJSONObject(object, "application/json");
}

std::shared_ptr<WebServerDataResponse> WebServerDataResponse::responseWithJSONObject(
    const nlohmann::json& object, const std::string& contentType) {
  try {
    return responseWithData(platform::dataFromString(object.dump()), contentType);
  } catch (const nlohmann::json::exception&) {
    return nullptr;  // text that is not valid UTF-8
  }
}

std::optional<platform::Data> WebServerDataResponse::readData(platform::Error*) {
  if (done_) return platform::Data();
  done_ = true;
  // The response is read once: the bytes move out instead of being copied.
  return std::move(data_);
}

std::string WebServerDataResponse::description() const {
  return WebServerResponse::description() + "\n\n" + WebServerBodyDescription(data_, contentType());
}
