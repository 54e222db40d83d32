#pragma once

#include <nlohmann/json.hpp>
#include <optional>

#include "httpserver/WebServerRequest.h"

// A request whose body is kept in memory, with text and JSON views of it.
class WebServerDataRequest : public WebServerRequest {
 public:
  // Room reserved at open for a declared length, at most this much: the rest grows as bytes come.
  static constexpr std::size_t kMaximumReservation = 1024 * 1024;

  const platform::Data& data() const { return data_; }
  void setData(platform::Data data) { data_ = std::move(data); }
  // The body decoded in the charset of its "text/..." type; nullopt for other types or bytes that
  // are not valid in that charset. Computed once.
  const std::optional<std::string>& text() const;
  // The body parsed as a JSON object or array for "application/json", "text/json" and
  // "text/javascript"; nullopt otherwise or on a parse error. Computed once.
  const std::optional<nlohmann::json>& jsonObject() const;

  bool open(platform::Error* error) override;
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override;
  bool close(platform::Error* error) override;
  std::string description() const override;

 private:
  platform::Data data_;
  mutable bool textComputed_ = false;
  mutable std::optional<std::string> text_;
  mutable bool jsonComputed_ = false;
  mutable std::optional<nlohmann::json> json_;
};
