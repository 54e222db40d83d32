#pragma once

#include <map>
#include <nlohmann/json.hpp>

#include "httpserver/WebServerResponse.h"

// A response whose body is bytes held in memory, handed out in one piece.
class WebServerDataResponse : public WebServerResponse {
 public:
  static std::shared_ptr<WebServerDataResponse> responseWithData(platform::Data data,
                                                                 const std::string& contentType);
  // "text/plain; charset=utf-8"; nullptr when the text is not valid UTF-8.
  static std::shared_ptr<WebServerDataResponse> responseWithText(const std::string& text);
  // "text/html; charset=utf-8"; nullptr when the text is not valid UTF-8.
  static std::shared_ptr<WebServerDataResponse> responseWithHTML(const std::string& html);
  // The UTF-8 file at the path with every "%key%" replaced by its value, HTML-escaped; nullptr
  // when the file cannot be read as UTF-8.
  static std::shared_ptr<WebServerDataResponse> responseWithHTMLTemplate(
      const std::string& path, const std::map<std::string, std::string>& variables);
  // Compact JSON, "application/json" unless another type is given.
  static std::shared_ptr<WebServerDataResponse> responseWithJSONObject(const nlohmann::json& object);
  static std::shared_ptr<WebServerDataResponse> responseWithJSONObject(const nlohmann::json& object,
                                                                       const std::string& contentType);

  WebServerDataResponse(platform::Data data, const std::string& contentType);

  const platform::Data& data() const { return data_; }

  // All the data on the first call, then empty data.
  std::optional<platform::Data> readData(platform::Error* error) override;
  std::string description() const override;

 private:
  platform::Data data_;
  bool done_ = false;
};
