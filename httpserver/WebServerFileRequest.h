#pragma once

#include <filesystem>

#include "httpserver/WebServerRequest.h"

// A request whose body is written to a fresh temporary file. The file is deleted with the request;
// a handler that keeps the body moves the file away first.
class WebServerFileRequest : public WebServerRequest {
 public:
  ~WebServerFileRequest() override;

  const std::filesystem::path& temporaryPath() const { return temporaryPath_; }

  bool open(platform::Error* error) override;
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override;
  bool close(platform::Error* error) override;
  std::string description() const override;

 protected:
  bool initWithMethod(const std::string& method, const std::string& url, const WebServerHeaders& headers,
                      const std::string& path, const WebServerQuery& query) override;

 private:
  std::filesystem::path temporaryPath_;
  int file_ = -1;
  std::uint64_t written_ = 0;
};
