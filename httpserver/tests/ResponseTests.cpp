#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <fstream>

#include "httpserver/WebServerDataResponse.h"
#include "httpserver/WebServerErrorResponse.h"
#include "httpserver/WebServerFileResponse.h"
#include "httpserver/WebServerStreamedResponse.h"
#include "testing/Sandbox.h"

namespace {

constexpr auto kNone = kWebServerNotFound;

// Reads a whole body through the response's reader chain.
std::optional<std::string> readBody(WebServerResponse& response, platform::Error* error = nullptr) {
  response.prepareForReading();
  if (!response.performOpen(error)) return std::nullopt;
  std::string body;
  bool failed = false;
  while (true) {
    std::optional<platform::Data> piece;
    response.performReadDataWithCompletion([&](std::optional<platform::Data> data, const platform::Error& e) {
      piece = std::move(data);
      if (!piece && error) *error = e;
    });
    if (!piece) {
      failed = true;
      break;
    }
    if (piece->empty()) break;
    body.append(piece->begin(), piece->end());
  }
  response.performClose();
  if (failed) return std::nullopt;
  return body;
}

std::string gunzip(const std::string& compressed) {
  z_stream z{};
  inflateInit2(&z, 31);
  std::string out(1 << 20, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  z.avail_in = static_cast<uInt>(compressed.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int result = inflate(&z, Z_FINISH);
  out.resize(result == Z_STREAM_END ? out.size() - z.avail_out : 0);
  inflateEnd(&z);
  return out;
}

}  // namespace

class WebServerFileResponseTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    for (int i = 0; i < 1000; ++i) content_.push_back(static_cast<char>('a' + i % 26));
    path_ = writeFile("files/thousand.txt", content_);
  }
  std::string content_;
  std::filesystem::path path_;
};

TEST_F(WebServerFileResponseTest, RangesOfAThousandByteFile) {
  struct Case {
    WebServerByteRange range;
    int status;
    std::string contentRange;
    std::uint64_t offset, length;
  } cases[] = {
      {{kNone, 0}, 200, "", 0, 1000},
      {{500, kNone}, 206, "bytes 500-999/1000", 500, 500},
      {{0, 1}, 206, "bytes 0-0/1000", 0, 1},
      {{990, 100}, 206, "bytes 990-999/1000", 990, 10},
      {{kNone, 200}, 206, "bytes 800-999/1000", 800, 200},
      {{kNone, 5000}, 206, "bytes 0-999/1000", 0, 1000},
      // Nothing of the file in the range: 416 with the file's size.
      {{1000, kNone}, 416, "bytes */1000", 0, 0},
      {{5000, 10}, 416, "bytes */1000", 0, 0},
  };
  for (const auto& c : cases) {
    auto response = WebServerFileResponse::responseWithFile(path_, c.range);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode(), c.status);
    auto it = response->additionalHeaders().find("Content-Range");
    EXPECT_EQ(it == response->additionalHeaders().end() ? "" : it->second, c.contentRange);
    if (c.status == 416) {
      EXPECT_FALSE(response->hasBody());
      continue;
    }
    EXPECT_EQ(response->contentType(), "text/plain");
    EXPECT_EQ(response->contentLength(), c.length);
    EXPECT_EQ(readBody(*response), content_.substr(c.offset, c.length));
  }
}

TEST_F(WebServerFileResponseTest, FileFacts) {
  auto response = WebServerFileResponse::responseWithFile(path_);
  ASSERT_TRUE(response);
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(response->eTag(),
            fmt::format("{}/{}/{}", info.st_ino, info.st_mtim.tv_sec, info.st_mtim.tv_nsec));
  EXPECT_NEAR(response->lastModifiedDate()->timeIntervalSince1970(),
              info.st_mtim.tv_sec + info.st_mtim.tv_nsec / 1e9, 1e-6);
  EXPECT_TRUE(response->description().ends_with("{" + path_.string() + "}"));

  auto empty = WebServerFileResponse::responseWithFile(writeFile("files/empty.bin", ""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->statusCode(), 200);
  EXPECT_EQ(empty->contentLength(), 0u);
  EXPECT_EQ(readBody(*empty), "");

  std::filesystem::create_symlink(path_, root() / "files/link.txt");
  mkfifo((root() / "files/fifo").c_str(), 0600);
  EXPECT_FALSE(WebServerFileResponse::responseWithFile(root() / "files/link.txt"));
  EXPECT_FALSE(WebServerFileResponse::responseWithFile(root() / "files/fifo"));
  EXPECT_FALSE(WebServerFileResponse::responseWithFile(root() / "files"));
  EXPECT_FALSE(WebServerFileResponse::responseWithFile(root() / "files/missing"));

  WebServerMIMETypeOverrides overrides = {{"txt", "text/x-thousand"}};
  EXPECT_EQ(
      WebServerFileResponse::responseWithFile(path_, kWebServerNoByteRange, false, &overrides)->contentType(),
      "text/x-thousand");
}

TEST_F(WebServerFileResponseTest, AttachmentNames) {
  struct Case {
    std::string name;
    std::string disposition;
  } cases[] = {
      {"report.pdf", "attachment; filename=\"report.pdf\"; filename*=UTF-8''report.pdf"},
      {"say \"h\xC3\xA9\".txt",
       "attachment; filename=\"say h\xE9.txt\"; filename*=UTF-8''say%20%22h%C3%A9%22.txt"},
      {"\xE2\x82\xAC.txt", "attachment; filename=\"?.txt\"; filename*=UTF-8''%E2%82%AC.txt"},
  };
  for (const auto& c : cases) {
    auto response = WebServerFileResponse::responseWithFile(writeFile("files/" + c.name, "x"), true);
    ASSERT_TRUE(response) << c.name;
    EXPECT_EQ(response->additionalHeaders().at("Content-Disposition"), c.disposition);
  }
}

TEST_F(WebServerFileResponseTest, FileReplacedByAPipeIsRefusedAtOpen) {
  auto response = WebServerFileResponse::responseWithFile(path_);
  ASSERT_TRUE(response);
  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  platform::Error error;
  EXPECT_FALSE(readBody(*response, &error));
  EXPECT_EQ(error.domain, platform::kPOSIXErrorDomain);
}

TEST(WebServerResponse, BaseAndRedirect) {
  auto response = WebServerResponse::response();
  EXPECT_EQ(response->statusCode(), 200);
  EXPECT_FALSE(response->hasBody());
  EXPECT_EQ(response->contentLength(), kNone);
  EXPECT_FALSE(response->usesChunkedTransferEncoding());

  auto redirect = WebServerResponse::responseWithRedirect("http://example.com/next", false);
  EXPECT_EQ(redirect->statusCode(), 307);
  EXPECT_EQ(redirect->additionalHeaders().at("location"), "http://example.com/next");
  EXPECT_FALSE(redirect->hasBody());
  EXPECT_EQ(WebServerResponse::responseWithRedirect("/x", true)->statusCode(), 301);

  redirect->setValue("a", "X-One");
  redirect->setValue(std::nullopt, "x-one");
  EXPECT_FALSE(redirect->additionalHeaders().count("X-One"));
  EXPECT_EQ(redirect->description(),
            "Status Code = 307\nCache Control Max Age = 0\n\nLocation: http://example.com/next");
}

TEST(WebServerDataResponse, KindsAndOneShotBody) {
  auto data = WebServerDataResponse::responseWithData(platform::dataFromString("abc"), "application/x-test");
  EXPECT_EQ(data->contentLength(), 3u);
  data->prepareForReading();
  platform::Error error;
  ASSERT_TRUE(data->performOpen(&error));
  EXPECT_FALSE(data->performOpen(&error));
  EXPECT_EQ(data->readData(&error), platform::dataFromString("abc"));
  EXPECT_EQ(data->readData(&error), platform::Data());

  EXPECT_EQ(WebServerDataResponse::responseWithText("hi")->contentType(), "text/plain; charset=utf-8");
  EXPECT_EQ(WebServerDataResponse::responseWithHTML("<p>")->contentType(), "text/html; charset=utf-8");
  EXPECT_FALSE(WebServerDataResponse::responseWithText("\xFF"));
  auto json = WebServerDataResponse::responseWithJSONObject({{"a", 1}, {"b", {true, "x/y"}}});
  EXPECT_EQ(json->contentType(), "application/json");
  EXPECT_EQ(readBody(*json), "{\"a\":1,\"b\":[true,\"x/y\"]}");
  EXPECT_FALSE(WebServerDataResponse::responseWithJSONObject(nlohmann::json("\xFF")));
  EXPECT_EQ(WebServerDataResponse::responseWithJSONObject(1, "text/json")->contentType(), "text/json");
}

class WebServerTemplateTest : public qvtesting::SandboxTest {};

TEST_F(WebServerTemplateTest, TemplateValuesAreEscaped) {
  auto path = writeFile("page.html", "<h1>%title%</h1><p>%title% by %who%</p>%missing%");
  auto response =
      WebServerDataResponse::responseWithHTMLTemplate(path, {{"title", "A & <B>"}, {"who", "\"me\""}});
  ASSERT_TRUE(response);
  EXPECT_EQ(readBody(*response),
            "<h1>A &amp; &lt;B&gt;</h1><p>A &amp; &lt;B&gt; by &quot;me&quot;</p>%missing%");
  EXPECT_FALSE(WebServerDataResponse::responseWithHTMLTemplate(root() / "none.html", {}));
  EXPECT_FALSE(WebServerDataResponse::responseWithHTMLTemplate(writeFile("bad.html", "\xFF"), {}));
}

TEST(WebServerErrorResponse, PagesEscapeTheirText) {
  auto response =
      WebServerErrorResponse::responseWithClientError(404, "No \"{}\" <here> & '{}'", "file", "x");
  EXPECT_EQ(response->statusCode(), 404);
  EXPECT_EQ(response->contentType(), "text/html; charset=utf-8");
  EXPECT_EQ(
      readBody(*response),
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>HTTP Error 404</title></head>"
      "<body><h1>HTTP Error 404: No &quot;file&quot; &lt;here&gt; &amp; "
      "&#39;x&#39;</h1><h3></h3></body></html>");
  auto withError = WebServerErrorResponse::responseWithServerError(
      500, platform::Error::make("Domain<x>", 7, "bad \"thing\""), "failed");
  EXPECT_EQ(withError->statusCode(), 500);
  EXPECT_NE(readBody(*withError)->find("<h3>[Domain&lt;x&gt;] bad &quot;thing&quot; (7)</h3>"),
            std::string::npos);
}

TEST(WebServerGZipEncoder, CompressesAnyBody) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += std::to_string(i * 7919 % 10007) + ",";
  auto response = WebServerDataResponse::responseWithData(platform::dataFromString(text), "text/csv");
  response->setGZipContentEncodingEnabled(true);
  auto body = readBody(*response);
  ASSERT_TRUE(body);
  EXPECT_EQ(response->contentLength(), kNone);
  EXPECT_TRUE(response->usesChunkedTransferEncoding());
  EXPECT_EQ(response->additionalHeaders().at("Content-Encoding"), "gzip");
  EXPECT_LT(body->size(), text.size());
  EXPECT_EQ(gunzip(*body), text);

  // A streamed body is compressed piece by piece, each piece flushed.
  int pieces = 0;
  auto streamed = WebServerStreamedResponse::responseWithContentType(
      "text/plain", [&](platform::Error*) -> std::optional<platform::Data> {
        return ++pieces <= 3 ? platform::dataFromString("piece " + std::to_string(pieces) + "\n")
                             : platform::Data();
      });
  streamed->setGZipContentEncodingEnabled(true);
  auto streamedBody = readBody(*streamed);
  ASSERT_TRUE(streamedBody);
  EXPECT_EQ(gunzip(*streamedBody), "piece 1\npiece 2\npiece 3\n");

  // An empty body is still a valid gzip stream.
  auto empty = WebServerDataResponse::responseWithData({}, "text/plain");
  empty->setGZipContentEncodingEnabled(true);
  auto emptyBody = readBody(*empty);
  ASSERT_TRUE(emptyBody);
  EXPECT_FALSE(emptyBody->empty());
  EXPECT_EQ(gunzip(*emptyBody), "");
}

TEST(WebServerStreamedResponse, AsyncPiecesAndErrors) {
  int calls = 0;
  auto response = WebServerStreamedResponse::responseWithContentType(
      "text/plain", [&](WebServerBodyReaderCompletionBlock completion) {
        ++calls;
        if (calls == 1) {
          completion(platform::dataFromString("one"), {});
        } else {
          completion(std::nullopt, platform::Error::make("Test", 3, "broken stream"));
        }
      });
  EXPECT_TRUE(response->usesChunkedTransferEncoding());
  EXPECT_TRUE(response->description().ends_with("\n\n<STREAM>"));
  platform::Error error;
  EXPECT_FALSE(readBody(*response, &error));
  EXPECT_EQ(error.description, "broken stream");
  EXPECT_EQ(calls, 2);
}
