#pragma once

#include <sys/stat.h>

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
  // A response for a file the caller has already opened (for reading): the body is read from that
  // descriptor, never from the path again, so nothing can swap the file in between. The response
  // owns the descriptor from here on (it is closed on failure too); nullptr when it is not a regular
  // file. The path gives the content type and the attachment name.
  static std::shared_ptr<WebServerFileResponse> responseWithOpenFile(
      int descriptor, const std::filesystem::path& path, WebServerByteRange byteRange, bool isAttachment,
      const WebServerMIMETypeOverrides* mimeTypeOverrides = nullptr);

  WebServerFileResponse() = default;
  ~WebServerFileResponse() override;

  const std::filesystem::path& path() const { return path_; }

  bool open(platform::Error* error) override;
  std::optional<platform::Data> readData(platform::Error* error) override;
  void close() override;
  std::string description() const override;

 private:
  static std::shared_ptr<WebServerFileResponse> responseWithStatus(
      const std::filesystem::path& path, const struct stat& info, WebServerByteRange byteRange,
      bool isAttachment, const WebServerMIMETypeOverrides* overrides);

  std::filesystem::path path_;
  std::uint64_t offset_ = 0;
  std::uint64_t size_ = 0;
  int file_ = -1;
  // Set when the descriptor was handed in: open() then reads it instead of opening the path.
  bool preopened_ = false;
};
