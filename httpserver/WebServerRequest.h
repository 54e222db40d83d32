#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "httpserver/WebServerFunctions.h"
#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/Error.h"

inline constexpr const char* kWebServerErrorDomain = "WebServerErrorDomain";
inline constexpr const char* kZlibErrorDomain = "ZlibErrorDomain";
// The code of a body error in kWebServerErrorDomain that means "larger than the server accepts".
inline constexpr std::int64_t kWebServerErrorBodyTooLarge = 413;

// The request attribute under which path handlers with a regular expression store the captures
// (a std::vector<std::string>).
inline constexpr const char* WebServerRequestAttribute_RegexCaptures =
    "WebServerRequestAttribute_RegexCaptures";

// Receives a request body: open, then each piece in order, then close.
class WebServerBodyWriter {
 public:
  virtual ~WebServerBodyWriter() = default;
  virtual bool open(platform::Error* error) = 0;
  virtual bool writeData(std::span<const std::uint8_t> data, platform::Error* error) = 0;
  virtual bool close(platform::Error* error) = 0;
};

// A byte range asked for by "Range": (location, length). Location kWebServerNotFound with a
// length is a suffix of that many bytes; length kWebServerNotFound runs to the end of the file.
struct WebServerByteRange {
  std::uint64_t location = kWebServerNotFound;
  std::uint64_t length = 0;
  bool operator==(const WebServerByteRange&) const = default;
};
inline constexpr WebServerByteRange kWebServerNoByteRange{};

class WebServerBodyDecoder;

// One HTTP request as a handler sees it. The base kind discards its body; the data, file and form
// kinds keep it. Requests are made by a handler's match step through requestWithMethod<Kind>().
class WebServerRequest : public WebServerBodyWriter {
 public:
  WebServerRequest();
  ~WebServerRequest() override;
  WebServerRequest(const WebServerRequest&) = delete;
  WebServerRequest& operator=(const WebServerRequest&) = delete;

  // A request of the given kind derived from the head; nullptr when the head is refused (a
  // "Content-Length" together with chunked transfer, or one that is not a plain number).
  template <class Kind = WebServerRequest>
  static std::shared_ptr<Kind> requestWithMethod(const std::string& method, const std::string& url,
                                                 const WebServerHeaders& headers, const std::string& path,
                                                 const WebServerQuery& query) {
    static_assert(std::is_base_of_v<WebServerRequest, Kind>, "requests derive from WebServerRequest");
    auto request = std::make_shared<Kind>();
    if (!static_cast<WebServerRequest*>(request.get())->initWithMethod(method, url, headers, path, query)) {
      return nullptr;
    }
    return request;
  }

  const std::string& method() const { return method_; }
  const std::string& URL() const { return url_; }
  const WebServerHeaders& headers() const { return headers_; }
  // A header's value, or nullopt.
  std::optional<std::string> headerValue(std::string_view name) const;
  // The percent-decoded path.
  const std::string& path() const { return path_; }
  const WebServerQuery& query() const { return query_; }
  // The normalised "Content-Type"; nullopt when the request has no body.
  const std::optional<std::string>& contentType() const { return contentType_; }
  // The declared body length; kWebServerNotFound when none is declared.
  std::uint64_t contentLength() const { return contentLength_; }
  bool usesChunkedTransferEncoding() const { return usesChunkedTransferEncoding_; }
  const std::optional<platform::Date>& ifModifiedSince() const { return ifModifiedSince_; }
  const std::optional<std::string>& ifNoneMatch() const { return ifNoneMatch_; }
  WebServerByteRange byteRange() const { return byteRange_; }
  bool acceptsGzipContentEncoding() const { return acceptsGzipContentEncoding_; }
  bool hasBody() const { return contentType_.has_value(); }
  bool hasByteRange() const { return byteRange_.location != kWebServerNotFound || byteRange_.length > 0; }

  const platform::Data& localAddressData() const { return localAddressData_; }
  const platform::Data& remoteAddressData() const { return remoteAddressData_; }
  void setLocalAddressData(platform::Data data) { localAddressData_ = std::move(data); }
  void setRemoteAddressData(platform::Data data) { remoteAddressData_ = std::move(data); }
  std::string localAddressString() const;
  std::string remoteAddressString() const;

  // Values handlers attach to the request; an empty value removes the key.
  std::any attributeForKey(const std::string& key) const;
  void setAttribute(std::any value, const std::string& key);

  // The largest body the server takes, decoded; the connection sets it from its server.
  std::uint64_t maximumBodySize() const { return maximumBodySize_; }
  void setMaximumBodySize(std::uint64_t size) { maximumBodySize_ = size; }

  // Asynchronous handlers can learn that the client went away while they work (a long wait, for
  // example): the handler runs once, on a server thread, when the connection sees the peer close
  // or fail before the response was given. The response is still expected; it is simply dropped.
  void setCancellationHandler(std::function<void()> handler);
  bool isCancelled() const;
  void cancel();

  // For the connection, in this order.
  void prepareForWriting();
  bool performOpen(platform::Error* error);
  bool performWriteData(std::span<const std::uint8_t> data, platform::Error* error);
  bool performClose(platform::Error* error);

  // For logs: method and path, the query and the headers.
  virtual std::string description() const;

  // The body writer of the base kind: the body is discarded.
  bool open(platform::Error* error) override;
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override;
  bool close(platform::Error* error) override;

 protected:
  // Derives every field from the head; false refuses the request. Kinds that override it call
  // the base first.
  virtual bool initWithMethod(const std::string& method, const std::string& url,
                              const WebServerHeaders& headers, const std::string& path,
                              const WebServerQuery& query);

 private:
  std::string method_;
  std::string url_;
  WebServerHeaders headers_;
  std::string path_;
  WebServerQuery query_;
  std::optional<std::string> contentType_;
  std::uint64_t contentLength_ = kWebServerNotFound;
  bool usesChunkedTransferEncoding_ = false;
  std::optional<platform::Date> ifModifiedSince_;
  std::optional<std::string> ifNoneMatch_;
  WebServerByteRange byteRange_;
  bool acceptsGzipContentEncoding_ = false;
  platform::Data localAddressData_;
  platform::Data remoteAddressData_;
  std::map<std::string, std::any> attributes_;
  std::uint64_t maximumBodySize_ = kWebServerNotFound;

  std::vector<std::unique_ptr<WebServerBodyDecoder>> decoders_;
  WebServerBodyWriter* writer_ = nullptr;
  bool opened_ = false;

  mutable std::mutex cancellationMutex_;
  std::function<void()> cancellationHandler_;
  bool cancelled_ = false;
};

// Parses a "Range" value into a single byte range; kWebServerNoByteRange when there is none or it
// cannot be used (several ranges, an end before the start, numbers too large).
WebServerByteRange WebServerParseByteRange(const std::optional<std::string>& rangeHeader);
