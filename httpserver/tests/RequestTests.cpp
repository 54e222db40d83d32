#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "httpserver/WebServerDataRequest.h"
#include "httpserver/WebServerFileRequest.h"
#include "httpserver/WebServerURLEncodedFormRequest.h"
#include "httpserver/tests/HTTPTestSupport.h"
#include "testing/Sandbox.h"

namespace {

template <class Kind = WebServerRequest>
std::shared_ptr<Kind> makeRequest(const WebServerHeaders& headers, const std::string& method = "POST") {
  return WebServerRequest::requestWithMethod<Kind>(method, "http://localhost/path", headers, "/path", {});
}

// Runs a body through the request's writer chain in pieces; false when a step fails.
bool writeBody(WebServerRequest& request, const std::string& body, std::size_t piece,
               platform::Error* error) {
  request.prepareForWriting();
  if (!request.performOpen(error)) return false;
  for (std::size_t i = 0; i < body.size(); i += piece) {
    std::size_t n = std::min(piece, body.size() - i);
    if (!request.performWriteData(std::span(reinterpret_cast<const std::uint8_t*>(body.data()) + i, n),
                                  error)) {
      request.performClose(nullptr);
      return false;
    }
  }
  return request.performClose(error);
}

}  // namespace

TEST(WebServerRequest, ByteRanges) {
  constexpr auto kNone = kWebServerNotFound;
  struct Case {
    const char* range;
    WebServerByteRange expected;
  } cases[] = {
      {"bytes=500-999", {500, 500}},
      {"bytes=9500-", {9500, kNone}},
      {"bytes=-500", {kNone, 500}},
      {"bytes=0-0", {0, 1}},
      {"BYTES=0-9", {0, 10}},
      {"bytes= 5 - 9 ", {5, 5}},
      // An inverted range is not a range: the whole file is sent.
      {"bytes=500-100", {kNone, 0}},
      {"bytes=-0", {kNone, 0}},
      {"bytes=0-1,5-6", {kNone, 0}},
      {"bytes=1-2-3", {kNone, 0}},
      {"bytes=abc", {kNone, 0}},
      {"bytes=5x-9", {kNone, 0}},
      {"bytes=99999999999999999999-", {kNone, 0}},
      {"bytes=0-18446744073709551615", {kNone, 0}},
      {"items=0-9", {kNone, 0}},
  };
  for (const auto& c : cases) {
    auto request = makeRequest({{"Range", c.range}}, "GET");
    ASSERT_TRUE(request) << c.range;
    EXPECT_EQ(request->byteRange().location, c.expected.location) << c.range;
    EXPECT_EQ(request->byteRange().length, c.expected.length) << c.range;
    EXPECT_EQ(request->hasByteRange(), c.expected != kWebServerNoByteRange) << c.range;
  }
}

TEST(WebServerRequest, UnusableRangeIsLogged) {
  httptest::ServerLog log(kWebServerLoggingLevel_Warning);
  makeRequest({{"Range", "bytes=-0"}}, "GET");
  EXPECT_TRUE(log.contains("Failed to parse 'Range' header \"bytes=-0\" for url: http://localhost/path"));
}

TEST(WebServerRequest, BodyFieldsFromTheHead) {
  struct Case {
    WebServerHeaders headers;
    bool made;
    std::optional<std::string> contentType;
    std::uint64_t contentLength;
    bool chunked;
  } cases[] = {
      {{{"Content-Type", "Text/HTML; Charset=UTF-8"}, {"Content-Length", "5"}},
       true,
       "text/html; Charset=UTF-8",
       5,
       false},
      {{{"Content-Length", "0"}}, true, "application/octet-stream", 0, false},
      {{{"Transfer-Encoding", "Chunked"}}, true, "application/octet-stream", kWebServerNotFound, true},
      // A type without a length or chunks: no body.
      {{{"Content-Type", "text/plain"}}, true, std::nullopt, kWebServerNotFound, false},
      {{}, true, std::nullopt, kWebServerNotFound, false},
      // Refused heads.
      {{{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}, false, std::nullopt, 0, false},
      {{{"Content-Length", "-1"}}, false, std::nullopt, 0, false},
      {{{"Content-Length", "12abc"}}, false, std::nullopt, 0, false},
      {{{"Content-Length", ""}}, false, std::nullopt, 0, false},
  };
  for (const auto& c : cases) {
    auto request = makeRequest(c.headers);
    ASSERT_EQ(static_cast<bool>(request), c.made) << testing::PrintToString(c.headers);
    if (!request) continue;
    EXPECT_EQ(request->contentType(), c.contentType);
    EXPECT_EQ(request->hasBody(), c.contentType.has_value());
    EXPECT_EQ(request->contentLength(), c.contentLength);
    EXPECT_EQ(request->usesChunkedTransferEncoding(), c.chunked);
  }
}

TEST(WebServerRequest, ConditionalHeadersAndEncodings) {
  auto request = makeRequest({{"If-Modified-Since", "Sun, 06 Nov 1994 08:49:37 GMT"},
                              {"If-None-Match", "\"abc\", \"def\""},
                              {"Accept-Encoding", "deflate, gzip"}},
                             "GET");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->ifModifiedSince()->timeIntervalSince1970(), 784111777);
  EXPECT_EQ(request->ifNoneMatch(), "\"abc\", \"def\"");
  EXPECT_TRUE(request->acceptsGzipContentEncoding());
  EXPECT_FALSE(makeRequest({{"Accept-Encoding", "GZIP"}})->acceptsGzipContentEncoding());
  EXPECT_FALSE(makeRequest({{"If-Modified-Since", "not a date"}})->ifModifiedSince());
}

TEST(WebServerRequest, AttributesAndDescription) {
  auto request = WebServerRequest::requestWithMethod(
      "GET", "http://h/p?b=2&a=1", {{"Host", "h"}, {"Accept", "*/*"}}, "/p", {{"b", "2"}, {"a", "1"}});
  request->setAttribute(std::string("value"), "key");
  EXPECT_EQ(std::any_cast<std::string>(request->attributeForKey("key")), "value");
  request->setAttribute(std::any(), "key");
  EXPECT_FALSE(request->attributeForKey("key").has_value());
  EXPECT_EQ(request->description(), "GET /p\n  a = 1\n  b = 2\n\nAccept: */*\nHost: h");
}

TEST(WebServerRequest, CancellationHandlerRunsOnce) {
  auto request = makeRequest({});
  int calls = 0;
  request->setCancellationHandler([&] { ++calls; });
  request->cancel();
  request->cancel();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(request->isCancelled());
  // Set after the cancellation: runs at once.
  request->setCancellationHandler([&] { ++calls; });
  EXPECT_EQ(calls, 2);
}

TEST(WebServerDataRequest, KeepsBodyWithTextAndJSONViews) {
  struct Case {
    std::string contentType;
    std::string body;
    std::optional<std::string> text;
    bool json;
  } cases[] = {
      {"application/json; charset=utf-8", "{\"a\":[1,2]}", std::nullopt, true},
      {"text/json", "[true]", "[true]", true},
      {"application/json", "42", std::nullopt, false},
      {"application/json", "{broken", std::nullopt, false},
      {"text/plain", "{\"a\":1}", "{\"a\":1}", false},
      {"text/plain; charset=iso-8859-1", "caf\xE9", "caf\xC3\xA9", false},
      {"text/plain", "caf\xE9", std::nullopt, false},
  };
  for (const auto& c : cases) {
    auto request = makeRequest<WebServerDataRequest>(
        {{"Content-Type", c.contentType}, {"Content-Length", std::to_string(c.body.size())}});
    ASSERT_TRUE(request);
    platform::Error error;
    ASSERT_TRUE(writeBody(*request, c.body, 3, &error)) << error.description;
    EXPECT_EQ(platform::stringFromData(request->data()), c.body);
    EXPECT_EQ(request->text(), c.text) << c.contentType;
    EXPECT_EQ(request->jsonObject().has_value(), c.json) << c.contentType << " " << c.body;
  }
}

TEST(WebServerDataRequest, LargeDeclaredLengthIsNotReservedUpFront) {
  auto request = makeRequest<WebServerDataRequest>({{"Content-Length", "1099511627776"}});
  ASSERT_TRUE(request);
  platform::Error error;
  request->prepareForWriting();
  ASSERT_TRUE(request->performOpen(&error));
  EXPECT_LE(request->data().capacity(), WebServerDataRequest::kMaximumReservation);
  // A second open is refused.
  EXPECT_FALSE(request->performOpen(&error));
}

TEST(WebServerDataRequest, GzipBodiesAreInflated) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  std::string compressed = httptest::gzip(text);
  for (std::size_t piece : {std::size_t(1), std::size_t(100), compressed.size()}) {
    auto request = makeRequest<WebServerDataRequest>(
        {{"Content-Encoding", "GZIP"}, {"Content-Length", std::to_string(compressed.size())}});
    platform::Error error;
    ASSERT_TRUE(writeBody(*request, compressed, piece, &error)) << error.description;
    EXPECT_EQ(platform::stringFromData(request->data()), text);
  }
  // Two members one after the other make one body.
  auto request = makeRequest<WebServerDataRequest>({{"Content-Encoding", "gzip"}, {"Content-Length", "1"}});
  platform::Error error;
  ASSERT_TRUE(writeBody(*request, httptest::gzip("abc") + httptest::gzip("def"), 5, &error))
      << error.description;
  EXPECT_EQ(platform::stringFromData(request->data()), "abcdef");
}

TEST(WebServerDataRequest, BrokenGzipBodiesFail) {
  std::string compressed = httptest::gzip(std::string(100000, 'a'));
  struct Case {
    std::string body;
    std::uint64_t maximum;
    const char* domain;
    std::int64_t code;
  } cases[] = {
      // The stream does not reach its end.
      {compressed.substr(0, compressed.size() / 2), kWebServerNotFound, kZlibErrorDomain, Z_DATA_ERROR},
      {"not gzip at all", kWebServerNotFound, kZlibErrorDomain, Z_DATA_ERROR},
      // Decoded beyond the cap (a small body that inflates a lot).
      {compressed, 50000, kWebServerErrorDomain, kWebServerErrorBodyTooLarge},
  };
  for (const auto& c : cases) {
    auto request = makeRequest<WebServerDataRequest>({{"Content-Encoding", "gzip"}, {"Content-Length", "1"}});
    request->setMaximumBodySize(c.maximum);
    platform::Error error;
    EXPECT_FALSE(writeBody(*request, c.body, 1000, &error));
    EXPECT_EQ(error.domain, c.domain);
    EXPECT_EQ(error.code, c.code);
  }
}

class WebServerFileRequestTest : public qvtesting::SandboxTest {};

TEST_F(WebServerFileRequestTest, BodyGoesToATemporaryFileThatGoesWithTheRequest) {
  std::filesystem::path path;
  {
    auto request = makeRequest<WebServerFileRequest>({{"Content-Length", "11"}});
    ASSERT_TRUE(request);
    path = request->temporaryPath();
    EXPECT_TRUE(path.string().starts_with(root().string()));
    platform::Error error;
    ASSERT_TRUE(writeBody(*request, "hello world", 4, &error)) << error.description;
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "hello world");
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(WebServerURLEncodedFormRequest, DecodesTheForm) {
  struct Case {
    std::string contentType;
    std::string body;
    WebServerQuery arguments;
  } cases[] = {
      {"application/x-www-form-urlencoded",
       "name=Jane+Doe&city=Z%C3%BCrich",
       {{"name", "Jane Doe"}, {"city", "Z\xC3\xBCrich"}}},
      {"application/x-www-form-urlencoded; charset=iso-8859-1",
       "city=Z\xFCrich",
       {{"city", "Z\xC3\xBCrich"}}},
      {"application/x-www-form-urlencoded", "city=Z\xFCrich", {}},
  };
  for (const auto& c : cases) {
    auto request = makeRequest<WebServerURLEncodedFormRequest>(
        {{"Content-Type", c.contentType}, {"Content-Length", std::to_string(c.body.size())}});
    platform::Error error;
    ASSERT_TRUE(writeBody(*request, c.body, 2, &error));
    EXPECT_EQ(request->arguments(), c.arguments) << c.body;
  }
  EXPECT_EQ(WebServerURLEncodedFormRequest::mimeType(), "application/x-www-form-urlencoded");
}
