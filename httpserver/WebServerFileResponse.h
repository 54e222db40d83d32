#pragma once

#include <filesystem>

#include "httpserver/WebServerRequest.h"
#include "httpserver/WebServerResponse.h"

// A response whose body is a regular file or a byte range of it, read in small pieces.
class WebServerFileResponse : public WebServerResponse {
 public:
  static constexpr std::size_t kPieceSize = 32 * 1024;

  // nullptr when the path is not a regular file (a final symbolic link is not followed). A range
  // that selects no byte of the file gives a bodiless 416 response with "Content-Range: bytes */N".
  static std::shared_ptr<WebServerFileResponse> responseWithFile(const std::filesystem::path& path);
  static std::shared_ptr<WebServerFileResponse> responseWithFile(const std::filesystem::path& path,
                                                                 bool isAttachment);
  static std::shared_ptr<WebServerFileResponse> responseWithFile(const std::filesystem::path& path,
                                                                 WebServerByteRange byteRange);
  static std::shared_ptr<WebServerFileResponse> responseWithFile(const std::filesystem::path& path,
                                                                 WebServerByteRange byteRange,
                                                                 bool isAttachment);
  static std::shared_ptr<WebServerFileResponse> responseWithFile(
      const std::filesystem::path& path, WebServerByteRange byteRange, bool isAttachment,
      const WebServerMIMETypeOverrides* mimeTypeOverrides);

  WebServerFileResponse() = default;
  ~WebServerFileResponse() override;

  const std::filesystem::path& path() const { return path_; }

  bool open(platform::Error* error) override;
  std::optional<platform::Data> readData(platform::Error* error) override;
  void close() override;
  std::string description() const override;

 private:
  std::filesystem::path path_;
  std::uint64_t offset_ = 0;
  std::uint64_t size_ = 0;
  int file_ = -1;
};
