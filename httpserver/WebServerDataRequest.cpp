#include "httpserver/WebServerDataRequest.h"

#include "platform/Json.h"

bool WebServerDataRequest::open(platform::Error*) {
  data_.clear();
  if (contentLength() != kWebServerNotFound) {
    data_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(contentLength(), kMaximumReservation)));
  }
  return true;
}

bool WebServerDataRequest::writeData(std::span<const std::uint8_t> data, platform::Error* error) {
  if (data_.size() + data.size() > maximumBodySize()) {
    return platform::fail(error, platform::Error::make(kWebServerErrorDomain, kWebServerErrorBodyTooLarge,
                                                       "The body is larger than allowed"));
  }
  data_.insert(data_.end(), data.begin(), data.end());
  return true;
}

bool WebServerDataRequest::close(platform::Error*) { return true; }

const std::optional<std::string>& WebServerDataRequest::text() const {
  if (!textComputed_) {
    textComputed_ = true;
    if (contentType() && contentType()->starts_with("text/")) {
      auto encoding =
          WebServerEncodingFromCharsetName(WebServerHeaderParameterValue(contentType(), "charset"));
      text_ = WebServerStringFromData(data_, encoding);
    }
  }
  return text_;
}

const std::optional<nlohmann::json>& WebServerDataRequest::jsonObject() const {
  if (!jsonComputed_) {
    jsonComputed_ = true;
    auto base = WebServerHeaderValueBase(contentType());
    if (base == "application/json" || base == "text/json" || base == "text/javascript") {
      auto parsed =
          platform::json::parse(std::string_view(reinterpret_cast<const char*>(data_.data()), data_.size()));
      if (parsed && (parsed->is_object() || parsed->is_array())) json_ = std::move(parsed);
    }
  }
  return json_;
}

std::string WebServerDataRequest::description() const {
  std::string text = WebServerRequest::description();
  text += "\n\n";
  text += WebServerBodyDescription(data_, contentType());
  return text;
}
