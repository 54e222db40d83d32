// One HTTP exchange per connection, through real sockets on loopback: curl and Python's http.client
// as clients, and a raw socket client where the exact bytes matter.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <atomic>

#include "httpserver/WebServerDataRequest.h"
#include "httpserver/WebServerErrorResponse.h"
#include "httpserver/WebServerFileResponse.h"
#include "httpserver/WebServerStreamedResponse.h"
#include "httpserver/tests/HTTPTestSupport.h"

using namespace httptest;

namespace {

// Answers with the request body, its content type and how it was framed.
WebServerProcessBlock echoBody() {
  return [](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
    auto data = std::static_pointer_cast<WebServerDataRequest>(request);
    auto response = WebServerDataResponse::responseWithData(data->data(), "application/octet-stream");
    response->setValue(request->contentType().value_or("none"), "X-Request-Type");
    response->setValue(request->usesChunkedTransferEncoding() ? "chunked" : "length", "X-Request-Framing");
    return response;
  };
}

class ConnectionTest : public ServerTest {
 protected:
  // Sends the bytes on a raw connection and reads the answer to the end.
  HTTPResponse exchange(const std::string& request, double timeout = 10.0, bool* reset = nullptr) {
    return offMain([&] {
      RawClient client(server->port());
      EXPECT_TRUE(client.connected());
      client.send(request);
      return parseResponse(client.readAll(timeout, reset));
    });
  }

  void addEcho(const std::string& path = "/echo") {
    server->addHandlerForMethod("POST", path, WebServerRequestClassOf<WebServerDataRequest>(), echoBody());
  }
};

}  // namespace

TEST_F(ConnectionTest, AnswersWithTheStandardHeaders) {
  server->addHandlerForMethod("GET", "/hello", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("hello"));
  server->addHandlerForMethod(
      "GET", "/cached", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerDataResponse::responseWithText("cached");
        response->setCacheControlMaxAge(3600);
        return response;
      });
  server->addHandlerForMethod(
      "GET", "/missing", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerErrorResponse::responseWithClientError(404, "none here");
        response->setCacheControlMaxAge(3600);
        return response;
      });
  ASSERT_TRUE(startServer({{WebServerOption_ServerName, "Quorvane Test"}}));

  auto hello = curl({url("/hello")});
  EXPECT_EQ(hello.status, 200);
  EXPECT_EQ(hello.body, "hello");
  EXPECT_EQ(hello.header("Connection"), "Close");
  EXPECT_EQ(hello.header("Server"), "Quorvane Test");
  EXPECT_TRUE(WebServerDateFromRFC822(hello.header("Date"))) << hello.header("Date");
  EXPECT_EQ(hello.header("Cache-Control"), "no-cache");
  EXPECT_EQ(hello.header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(hello.header("Content-Length"), "5");

  EXPECT_EQ(curl({url("/cached")}).header("Cache-Control"), "max-age=3600, public");
  auto missing = curl({url("/missing")});
  EXPECT_EQ(missing.status, 404);
  EXPECT_FALSE(missing.has("Cache-Control"));
  EXPECT_NE(missing.body.find("HTTP Error 404: none here"), std::string::npos);
}

TEST_F(ConnectionTest, HandlersAreAskedNewestFirst) {
  auto answer = [](std::string text) { return textAnswer(std::move(text)); };
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), answer("default"));
  auto joinCaptures =
      [](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
    auto captures = std::any_cast<std::vector<std::string>>(
        request->attributeForKey(WebServerRequestAttribute_RegexCaptures));
    std::string text;
    for (const auto& capture : captures) text += (text.empty() ? "" : ",") + capture;
    return WebServerDataResponse::responseWithText("captures:" + text);
  };
  // Asked last: it finds a match in most paths.
  server->addHandlerForMethodPathRegex("GET", "/(\\d+)", WebServerRequestClassOf<WebServerRequest>(),
                                       joinCaptures);
  server->addHandlerForMethod("GET", "/a", WebServerRequestClassOf<WebServerRequest>(), answer("a1"));
  server->addHandlerForMethod("GET", "/a", WebServerRequestClassOf<WebServerRequest>(), answer("a2"));
  server->addHandlerForMethod("GET", "/MixedCase", WebServerRequestClassOf<WebServerRequest>(),
                              answer("mixed"));
  server->addHandlerForMethod("GET", "no-slash", WebServerRequestClassOf<WebServerRequest>(),
                              answer("never"));
  server->addHandlerForMethodPathRegex("GET", "(", WebServerRequestClassOf<WebServerRequest>(),
                                       answer("never"));
  server->addHandlerForMethodPathRegex("GET", "^/items/(\\d+)(?:/(x))?$",
                                       WebServerRequestClassOf<WebServerRequest>(), joinCaptures);
  server->addHandlerForMethodPathRegex(
      "GET", "^/numbers/", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        return WebServerDataResponse::responseWithText(
            "plain:" + std::to_string(std::any_cast<std::vector<std::string>>(
                                          request->attributeForKey(WebServerRequestAttribute_RegexCaptures))
                                          .size()));
      });
  ASSERT_TRUE(startServer());

  struct Case {
    std::string method, path;
    int status;
    std::string body;
  } cases[] = {
      {"GET", "/a", 200, "a2"},
      {"GET", "/A", 200, "a2"},
      {"GET", "/mixedcase?x=1", 200, "mixed"},
      {"GET", "/no-slash", 200, "default"},
      {"GET", "/items/12/x", 200, "captures:12,x"},
      {"GET", "/items/5", 200, "captures:5"},
      {"GET", "/numbers/", 200, "plain:0"},
      {"GET", "/1/22", 200, "captures:1,22"},
      {"GET", "/elsewhere", 200, "default"},
      {"get", "/a", 501, ""},
      {"POST", "/a", 501, ""},
  };
  for (const auto& c : cases) {
    auto response = curl({"-X", c.method, url(c.path)});
    EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(response.body, c.body) << c.method << " " << c.path;
  }
}

TEST_F(ConnectionTest, HeadIsAnsweredLikeGetWithoutBody) {
  server->addHandlerForMethod("GET", "/page", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("page body"));
  ServerLog log(kWebServerLoggingLevel_Verbose);
  ASSERT_TRUE(startServer());
  auto response = exchange("HEAD /page HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.header("Content-Length"), "9");
  EXPECT_EQ(response.body, "");
  runUntil([&] { return log.contains("\"HEAD /page\""); });
  EXPECT_TRUE(log.contains(" 200 \"HEAD /page\""));
}

TEST_F(ConnectionTest, HeadReachesOnlyHeadHandlersWhenNotMapped) {
  server->addHandlerForMethod("GET", "/page", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("page body"));
  ASSERT_TRUE(startServer({{WebServerOption_AutomaticallyMapHEADToGET, false}}));
  EXPECT_EQ(exchange("HEAD /page HTTP/1.1\r\nHost: x\r\n\r\n").status, 501);
}

TEST_F(ConnectionTest, UnhandledAndInvalidRequestsInTheAccessLog) {
  ServerLog log(kWebServerLoggingLevel_Verbose);
  ASSERT_TRUE(startServer());
  std::string request = "DELETE /thing HTTP/1.1\r\nHost: x\r\n\r\n";
  auto response = exchange(request);
  EXPECT_EQ(response.status, 501);
  EXPECT_FALSE(response.has("Content-Length"));
  EXPECT_EQ(response.body, "");
  EXPECT_TRUE(response.has("Server"));
  EXPECT_TRUE(response.has("Date"));
  runUntil([&] { return log.contains("\"DELETE /thing\""); });
  EXPECT_TRUE(
      log.contains(fmt::format(" 501 \"DELETE /thing\" ({} | {})", request.size(), response.raw.size())));

  EXPECT_EQ(exchange("NOT A REQUEST\r\n\r\n").status, 400);
  runUntil([&] { return log.contains("(invalid request)"); });
  EXPECT_TRUE(log.contains(" 400 \"(invalid request)\""));
}

TEST_F(ConnectionTest, BodiesWithLengthAndChunked) {
  addEcho();
  ASSERT_TRUE(startServer());
  auto fixed = python(R"(
import http.client, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=20)
c.request("POST", "/echo", body=b"fixed body " * 1000, headers={"Content-Type": "Text/Plain; Charset=UTF-8"})
r = c.getresponse()
print(r.status, r.getheader("X-Request-Type"), r.getheader("X-Request-Framing"), r.read() == b"fixed body " * 1000)
)");
  EXPECT_EQ(fixed.output, "200 text/plain; Charset=UTF-8 length True\n") << fixed.errors;

  auto chunked = python(R"(
import http.client, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=20)
pieces = [b"hello ", b"x" * 70000, b" world"]
c.request("POST", "/echo", body=iter(pieces), encode_chunked=True)
r = c.getresponse()
print(r.status, r.getheader("X-Request-Framing"), r.read() == b"".join(pieces))
)");
  EXPECT_EQ(chunked.output, "200 chunked True\n") << chunked.errors;
}

TEST_F(ConnectionTest, HeadInManyPiecesWithTheBodyStart) {
  addEcho();
  ASSERT_TRUE(startServer());
  std::string request = "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\nhello world";
  auto response = offMain([&] {
    RawClient client(server->port());
    // The head arrives a few bytes at a time; the last piece holds the end of the head and the
    // start of the body.
    std::size_t headEnd = request.find("\r\n\r\n") + 4;
    for (std::size_t i = 0; i + 3 < headEnd; i += 3) {
      client.send(request.substr(i, 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::size_t sent = (headEnd - 1) / 3 * 3;
    client.send(request.substr(sent, headEnd + 5 - sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client.send(request.substr(headEnd + 5));
    return parseResponse(client.readAll());
  });
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "hello world");
}

TEST_F(ConnectionTest, ContentLengthMustBeOnePlainNumber) {
  addEcho();
  ASSERT_TRUE(startServer());
  struct Case {
    std::string headers;
    std::string body;
    int status;
  } cases[] = {
      {"Content-Length: 5\r\n", "hello", 200},
      {"Content-Length: 5\r\nContent-Length: 5\r\n", "hello", 200},
      {"Content-Length: 5, 5\r\n", "hello", 200},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", "hello!", 400},
      {"Content-Length: 5x\r\n", "hello", 400},
      {"Content-Length: -1\r\n", "", 400},
      {"Content-Length: +5\r\n", "hello", 400},
      {"Content-Length: 0x5\r\n", "hello", 400},
      {"Content-Length: 99999999999999999999999\r\n", "", 400},
      {"Content-Length: \r\n", "", 400},
      // More bytes in the first packet than declared.
      {"Content-Length: 10\r\n", "0123456789ab", 400},
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n", 501},
      {"Transfer-Encoding: gzip, chunked\r\n", "0\r\n\r\n", 501},
  };
  for (const auto& c : cases) {
    auto response = exchange("POST /echo HTTP/1.1\r\nHost: x\r\n" + c.headers + "\r\n" + c.body);
    EXPECT_EQ(response.status, c.status) << c.headers;
    if (c.status == 200) {
      EXPECT_EQ(response.body, c.body);
    }
  }
}

TEST_F(ConnectionTest, ExpectContinue) {
  addEcho();
  server->addHandlerForMethod("GET", "/plain", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("plain"));
  ASSERT_TRUE(startServer());
  auto continued = offMain([&] {
    RawClient client(server->port());
    client.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nExpect: 100-Continue\r\n\r\n");
    // Wait for the interim answer before sending the body.
    std::string interim;
    char c;
    while (interim.find("\r\n\r\n") == std::string::npos && ::recv(client.fd(), &c, 1, 0) == 1)
      interim.push_back(c);
    client.send("body");
    return std::make_pair(interim, parseResponse(client.readAll()));
  });
  EXPECT_EQ(continued.first, "HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_EQ(continued.second.status, 200);
  EXPECT_EQ(continued.second.body, "body");

  EXPECT_EQ(
      exchange("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nExpect: something\r\n\r\nbody").status,
      417);
  // Without a body the header is not looked at.
  EXPECT_EQ(exchange("GET /plain HTTP/1.1\r\nHost: x\r\nExpect: something\r\n\r\n").status, 200);
}

TEST_F(ConnectionTest, ChunkedBodySyntax) {
  addEcho();
  ASSERT_TRUE(startServer());
  struct Case {
    std::string body;
    int status;
    std::string echoed;
  } cases[] = {
      {"A\r\n0123456789\r\n5;ext=1\r\nabcde\r\n0\r\nTrailer: x\r\n\r\n", 200, "0123456789abcde"},
      {"a\r\n0123456789\r\n0\r\n\r\n", 200, "0123456789"},
      {"zz\r\nhello\r\n0\r\n\r\n", 400, ""},
      {"5\r\nhelloXX0\r\n\r\n", 400, ""},
      {"5\r\nhel", 400, ""},
  };
  for (const auto& c : cases) {
    auto response = offMain([&] {
      RawClient client(server->port());
      client.send("POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + c.body);
      client.shutdownWrite();
      return parseResponse(client.readAll());
    });
    EXPECT_EQ(response.status, c.status) << c.body;
    EXPECT_EQ(response.body, c.echoed) << c.body;
  }
}

TEST_F(ConnectionTest, GzipBothWays) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "row " + std::to_string(i) + ";";
  addEcho();
  server->addHandlerForMethod(
      "GET", "/text", WebServerRequestClassOf<WebServerRequest>(),
      [text](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerDataResponse::responseWithText(text);
        response->setGZipContentEncodingEnabled(request->acceptsGzipContentEncoding());
        return response;
      });
  ASSERT_TRUE(startServer({{WebServerOption_MaxRequestBodySize, 100000}}));

  auto compressed = curl({"--compressed", url("/text")});
  EXPECT_EQ(compressed.status, 200);
  EXPECT_EQ(compressed.header("Content-Encoding"), "gzip");
  EXPECT_EQ(compressed.header("Transfer-Encoding"), "chunked");
  EXPECT_FALSE(compressed.has("Content-Length"));
  EXPECT_EQ(compressed.body, text);
  auto plain = curl({url("/text")});
  EXPECT_FALSE(plain.has("Content-Encoding"));
  EXPECT_EQ(plain.body, text);

  auto bodyFile = writeFile("body.gz", gzip(text));
  auto inflated = curl({"--data-binary", "@" + bodyFile.string(), "-H", "Content-Encoding: gzip", "-H",
                        "Content-Type: text/plain", url("/echo")});
  EXPECT_EQ(inflated.status, 200);
  EXPECT_EQ(inflated.body, text);

  std::string compressedText = gzip(text);
  auto truncatedFile = writeFile("truncated.gz", compressedText.substr(0, compressedText.size() / 2));
  EXPECT_EQ(
      curl({"--data-binary", "@" + truncatedFile.string(), "-H", "Content-Encoding: gzip", url("/echo")})
          .status,
      400);

  // A small body that inflates beyond the server's limit.
  auto bombFile = writeFile("bomb.gz", gzip(std::string(1000000, '0')));
  EXPECT_EQ(
      curl({"--data-binary", "@" + bombFile.string(), "-H", "Content-Encoding: gzip", url("/echo")}).status,
      413);
}

TEST_F(ConnectionTest, StreamedBodiesAreChunkedForHTTP11Only) {
  server->addHandlerForMethod(
      "GET", "/stream", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto step = std::make_shared<int>(0);
        return WebServerStreamedResponse::responseWithContentType(
            "text/plain", [step](platform::Error*) -> std::optional<platform::Data> {
              ++*step;
              if (*step == 1) return platform::Data(10, 'a');
              if (*step == 2) return platform::Data(300, 'b');
              return platform::Data();
            });
      });
  ASSERT_TRUE(startServer());
  auto response = exchange("GET /stream HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(response.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(response.body,
            "a\r\n" + std::string(10, 'a') + "\r\n12c\r\n" + std::string(300, 'b') + "\r\n0\r\n\r\n");

  auto old = exchange("GET /stream HTTP/1.0\r\n\r\n");
  EXPECT_EQ(old.status, 200);
  EXPECT_FALSE(old.has("Transfer-Encoding"));
  EXPECT_EQ(old.body, std::string(10, 'a') + std::string(300, 'b'));

  // HEAD sends the head of the chunked answer and no chunk at all.
  auto head = exchange("HEAD /stream HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(head.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(head.body, "");
}

TEST_F(ConnectionTest, LargeBodiesReachSlowReaders) {
  std::string content;
  content.reserve(6 * 1024 * 1024);
  for (int i = 0; content.size() < 6 * 1024 * 1024; ++i) content += std::to_string(i) + "\n";
  auto path = writeFile("site/large.txt", content);
  server->addHandlerForMethod(
      "GET", "/large", WebServerRequestClassOf<WebServerRequest>(),
      [path](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerFileResponse::responseWithFile(path);
        response->setGZipContentEncodingEnabled(request->acceptsGzipContentEncoding());
        return response;
      });
  ASSERT_TRUE(startServer());
  // Python reads in small bites with pauses, so the server's writes have to wait for room.
  auto slow = python(R"(
import hashlib, http.client, sys, time
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=30)
c.request("GET", "/large")
r = c.getresponse()
digest = hashlib.md5()
count = 0
while True:
    piece = r.read(65536)
    if not piece:
        break
    digest.update(piece)
    count += 1
    if count % 16 == 0:
        time.sleep(0.01)
print(r.status, r.getheader("Content-Length"), digest.hexdigest())
)");
  EXPECT_EQ(slow.output, fmt::format("200 {} {}\n", content.size(), WebServerMD5HexDigestOfText(content)))
      << slow.errors;
  auto compressed = curl({"--compressed", url("/large")});
  EXPECT_EQ(compressed.header("Content-Encoding"), "gzip");
  EXPECT_TRUE(compressed.body == content) << compressed.body.size();
}

TEST_F(ConnectionTest, ByteRangesOfFiles) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content.push_back(static_cast<char>('a' + i % 26));
  auto path = writeFile("site/file.txt", content);
  server->addHandlerForMethod(
      "GET", "/file", WebServerRequestClassOf<WebServerRequest>(),
      [path](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        return WebServerFileResponse::responseWithFile(path, request->byteRange());
      });
  ASSERT_TRUE(startServer());
  struct Case {
    std::string range;
    int status;
    std::string contentRange;
    std::string body;
  } cases[] = {
      {"bytes=500-", 206, "bytes 500-999/1000", content.substr(500)},
      {"bytes=-200", 206, "bytes 800-999/1000", content.substr(800)},
      {"bytes=10-19", 206, "bytes 10-19/1000", content.substr(10, 10)},
      {"bytes=1000-", 416, "bytes */1000", ""},
      {"bytes=500-100", 200, "", content},
      {"bytes=0-1,5-6", 200, "", content},
  };
  for (const auto& c : cases) {
    auto response = curl({"-H", "Range: " + c.range, url("/file")});
    EXPECT_EQ(response.status, c.status) << c.range;
    EXPECT_EQ(response.header("Content-Range"), c.contentRange) << c.range;
    EXPECT_EQ(response.body, c.body) << c.range;
  }
}

TEST_F(ConnectionTest, ConditionalRequests) {
  auto path = writeFile("site/page.html", "<p>page</p>");
  // A modification time with a fraction of a second, as file systems keep them.
  timespec times[2] = {{1700000000, 123456789}, {1700000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto handler = [path](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
    auto response = WebServerFileResponse::responseWithFile(path);
    response->setCacheControlMaxAge(60);
    return response;
  };
  server->addHandlerForMethod("GET", "/page", WebServerRequestClassOf<WebServerRequest>(), handler);
  server->addHandlerForMethod("PUT", "/page", WebServerRequestClassOf<WebServerRequest>(), handler);
  ASSERT_TRUE(startServer());

  auto first = curl({url("/page")});
  ASSERT_EQ(first.status, 200);
  std::string lastModified = first.header("Last-Modified");
  std::string eTag = first.header("ETag");
  EXPECT_EQ(lastModified, "Tue, 14 Nov 2023 22:13:20 GMT");
  ASSERT_FALSE(eTag.empty());

  struct Case {
    std::string method;
    std::vector<std::string> headers;
    int status;
  } cases[] = {
      {"GET", {"If-Modified-Since: " + lastModified}, 304},
      {"GET", {"If-Modified-Since: Tue, 14 Nov 2023 22:13:21 GMT"}, 304},
      {"GET", {"If-Modified-Since: Tue, 14 Nov 2023 22:13:19 GMT"}, 200},
      {"GET", {"If-None-Match: *"}, 304},
      {"PUT", {"If-None-Match: *"}, 412},
      {"GET", {"If-None-Match: " + eTag}, 304},
      {"GET", {"If-None-Match: \"other\", " + eTag}, 304},
      // With a tag that does not match the date is not looked at.
      {"GET", {"If-None-Match: other", "If-Modified-Since: " + lastModified}, 200},
      {"GET", {"If-Modified-Since: not a date"}, 200},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"-X", c.method};
    for (const auto& header : c.headers) {
      arguments.push_back("-H");
      arguments.push_back(header);
    }
    arguments.push_back(url("/page"));
    auto response = curl(arguments);
    EXPECT_EQ(response.status, c.status) << c.method << " " << testing::PrintToString(c.headers);
    if (c.status == 304 || c.status == 412) {
      EXPECT_EQ(response.body, "");
      EXPECT_EQ(response.header("ETag"), eTag);
      EXPECT_EQ(response.header("Last-Modified"), lastModified);
      EXPECT_FALSE(response.has("Cache-Control"));
    }
  }
}

TEST_F(ConnectionTest, BasicAuthentication) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(),
                                     textAnswer("secret"));
  ASSERT_TRUE(startServer({{WebServerOption_AuthenticationMethod, "Basic"},
                           {WebServerOption_AuthenticationRealm, "Dashboard"},
                           {WebServerOption_AuthenticationAccounts, {{"jane", "pa:ss word"}}}}));
  EXPECT_EQ(server->authenticationBasicAccounts()->at("jane"), WebServerBase64("jane:pa:ss word"));
  auto granted = curl({"-u", "jane:pa:ss word", url("/")});
  EXPECT_EQ(granted.status, 200);
  EXPECT_EQ(granted.body, "secret");
  auto refused = curl({"-u", "jane:wrong", url("/")});
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.header("WWW-Authenticate"), "Basic realm=\"Dashboard\"");
  EXPECT_EQ(curl({url("/")}).status, 401);
  EXPECT_EQ(curl({"-H", "Authorization: basic " + WebServerBase64("jane:pa:ss word"), url("/")}).status, 401);
}

TEST_F(ConnectionTest, DigestAuthentication) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(),
                                     textAnswer("secret"));
  ASSERT_TRUE(startServer({{WebServerOption_AuthenticationMethod, "DigestAccess"},
                           {WebServerOption_AuthenticationRealm, "Dashboard"},
                           {WebServerOption_AuthenticationAccounts, {{"jane", "password"}}}}));
  auto granted = curl({"--digest", "-u", "jane:password", url("/dir/index.html?x=1")});
  EXPECT_EQ(granted.status, 200);
  EXPECT_EQ(granted.body, "secret");
  EXPECT_EQ(curl({"--digest", "-u", "jane:wrong", url("/")}).status, 401);
  EXPECT_EQ(curl({"--digest", "-u", "john:password", url("/")}).status, 401);

  auto challenge = curl({url("/")});
  EXPECT_EQ(challenge.status, 401);
  std::string header = challenge.header("WWW-Authenticate");
  const std::string prefix = "Digest realm=\"Dashboard\", nonce=\"";
  ASSERT_TRUE(header.starts_with(prefix) && header.size() == prefix.size() + 33 && header.back() == '"')
      << header;
  std::string nonce = header.substr(prefix.size(), 32);
  EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;

  auto authorization = [](const std::string& realm, const std::string& nonce) {
    std::string ha1 = WebServerMD5HexDigest("jane:{}:password", realm);
    std::string response = WebServerMD5HexDigest("{}:{}:{}", ha1, nonce, WebServerMD5HexDigest("GET:/"));
    return fmt::format(
        "Authorization: Digest username=\"jane\", realm=\"{}\", nonce=\"{}\", uri=\"/\", response=\"{}\"",
        realm, nonce, response);
  };
  EXPECT_EQ(curl({"-H", authorization("Dashboard", nonce), url("/")}).status, 200);
  auto stale = curl({"-H", authorization("Dashboard", std::string(32, 'a')), url("/")});
  EXPECT_EQ(stale.status, 401);
  EXPECT_TRUE(stale.header("WWW-Authenticate").ends_with(", stale=TRUE")) << stale.header("WWW-Authenticate");
  auto wrongRealm = curl({"-H", authorization("Other", std::string(32, 'a')), url("/")});
  EXPECT_EQ(wrongRealm.status, 401);
  EXPECT_FALSE(wrongRealm.header("WWW-Authenticate").ends_with(", stale=TRUE"));
}

TEST_F(ConnectionTest, HandlersThatFail) {
  auto path = writeFile("gone.txt", "soon gone");
  server->addHandlerForMethod(
      "GET", "/null", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> { return nullptr; });
  server->addHandlerForMethod(
      "GET", "/throws", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        throw std::runtime_error("handler bug");
      });
  server->addHandlerForMethod("GET", "/dropped", WebServerRequestClassOf<WebServerRequest>(),
                              [](const std::shared_ptr<WebServerRequest>&, WebServerCompletionBlock) {});
  server->addHandlerForMethod(
      "GET", "/twice", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&, WebServerCompletionBlock completion) {
        completion(WebServerDataResponse::responseWithText("first"));
        completion(WebServerDataResponse::responseWithText("second"));
      });
  server->addHandlerForMethod(
      "GET", "/gone", WebServerRequestClassOf<WebServerRequest>(),
      [path](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerFileResponse::responseWithFile(path);
        std::filesystem::remove(path);
        return response;
      });
  ASSERT_TRUE(startServer());
  struct Case {
    std::string path;
    int status;
    std::string body;
  } cases[] = {
      {"/null", 500, ""},       {"/throws", 500, ""}, {"/dropped", 500, ""},
      {"/twice", 200, "first"}, {"/gone", 500, ""},
  };
  for (const auto& c : cases) {
    auto response = curl({url(c.path)});
    EXPECT_EQ(response.status, c.status) << c.path;
    EXPECT_EQ(response.body, c.body) << c.path;
  }
}

TEST_F(ConnectionTest, AsyncHandlersAnswerLaterFromAnyThread) {
  std::mutex mutex;
  std::vector<WebServerCompletionBlock> waiting;
  std::atomic<int> cancelled{0};
  server->addHandlerForMethod(
      "GET", "/listen", WebServerRequestClassOf<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion) {
        request->setCancellationHandler([&] { ++cancelled; });
        std::lock_guard lock(mutex);
        waiting.push_back(std::move(completion));
      });
  ASSERT_TRUE(startServer());

  // Two clients wait; one answer each, given from another thread.
  auto first = std::async(std::launch::async, [&] {
    return runCommand({"curl", "-s", "-i", url("/listen")});
  });
  auto second = std::async(std::launch::async, [&] {
    return runCommand({"curl", "-s", "-i", url("/listen")});
  });
  ASSERT_TRUE(runUntil([&] {
    std::lock_guard lock(mutex);
    return waiting.size() == 2;
  }));
  std::thread([&] {
    std::lock_guard lock(mutex);
    for (auto& completion : waiting)
      completion(WebServerDataResponse::responseWithJSONObject({{"changed", true}}));
    waiting.clear();
  }).join();
  EXPECT_EQ(parseResponse(first.get().output).body, "{\"changed\":true}");
  EXPECT_EQ(parseResponse(second.get().output).body, "{\"changed\":true}");
  EXPECT_EQ(cancelled, 0);

  // A client that goes away while waiting is noticed.
  offMain([&] {
    RawClient client(server->port());
    client.send("GET /listen HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  EXPECT_TRUE(runUntil([&] { return cancelled == 1; }));
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(waiting.size(), 1u);
    waiting.front()(WebServerDataResponse::responseWithText("too late"));
    waiting.clear();
  }
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }));
}

TEST_F(ConnectionTest, HeadAndTargetLimits) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("ok"));
  ASSERT_TRUE(startServer());
  bool reset = false;
  auto oversized =
      exchange("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(70 * 1024, 'b') + "\r\n\r\n", 10, &reset);
  EXPECT_EQ(oversized.status, 431);
  EXPECT_FALSE(reset);
  EXPECT_EQ(exchange("GET /" + std::string(9000, 'p') + " HTTP/1.1\r\nHost: x\r\n\r\n").status, 414);
  std::string manyFields = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 300; ++i) manyFields += "X-" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(exchange(manyFields + "\r\n").status, 431);
  EXPECT_EQ(exchange("GET / HTTP/3.0\r\nHost: x\r\n\r\n").status, 505);
  EXPECT_EQ(exchange("GET /%zz HTTP/1.1\r\nHost: x\r\n\r\n").status, 400);
  EXPECT_EQ(exchange("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n").status, 200);
}

TEST_F(ConnectionTest, EarlyAnswerIsNotLostWhileTheClientStillSends) {
  addEcho();
  ASSERT_TRUE(startServer({{WebServerOption_MaxRequestBodySize, 1000}}));
  struct Case {
    std::string head;
    int status;
  } cases[] = {
      {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n", 413},
      {"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", 413},
      {"POST /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n", 501},
  };
  for (const auto& c : cases) {
    auto outcome = offMain([&] {
      RawClient client(server->port());
      client.send(c.head);
      // Keep sending body bytes while the server has already answered.
      std::string piece = c.head.find("chunked") != std::string::npos
                              ? "ffff\r\n" + std::string(0xffff, 'z') + "\r\n"
                              : std::string(65536, 'z');
      for (int i = 0; i < 40; ++i) {
        if (!client.sendSome(piece)) break;
      }
      bool reset = false;
      auto response = parseResponse(client.readAll(10, &reset));
      return std::make_pair(response, reset);
    });
    EXPECT_EQ(outcome.first.status, c.status) << c.head;
    EXPECT_FALSE(outcome.second) << "the answer was lost to a reset: " << c.head;
  }
}

TEST_F(ConnectionTest, DrainingAfterAnEarlyAnswerIsBounded) {
  addEcho();
  ASSERT_TRUE(startServer({{WebServerOption_MaxRequestBodySize, 1000}}));
  // The client neither sends its body nor closes: the server stops waiting for it on its own.
  RawClient client(server->port());
  client.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n");
  auto response = offMain([&] { return parseResponse(client.readAll()); });
  EXPECT_EQ(response.status, 413);
  EXPECT_TRUE(
      runUntil([&] { return server->activeConnections() == 0; }, 10 + WebServerConnection::kLingerTimeout));
}

TEST_F(ConnectionTest, PipelinedBytesAfterTheRequestAreIgnored) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(),
                                     textAnswer(std::string(200000, 'r')));
  ASSERT_TRUE(startServer());
  bool reset = false;
  auto response =
      exchange("GET /1 HTTP/1.1\r\nHost: x\r\n\r\nGET /2 HTTP/1.1\r\nHost: x\r\n\r\n", 10, &reset);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body.size(), 200000u);
  EXPECT_FALSE(reset);
}

TEST_F(ConnectionTest, IdleAndSlowClientsTimeOut) {
  addEcho();
  ASSERT_TRUE(startServer({{WebServerOption_RequestHeadTimeout, 0.3}, {WebServerOption_IdleTimeout, 0.3}}));
  // A connection that never sends anything is closed without an answer.
  auto idle = offMain([&] {
    RawClient client(server->port());
    return client.readAll(10);
  });
  EXPECT_EQ(idle, "");

  // A head that trickles in slower than the head timeout gets 408, however steadily it comes.
  auto slowHead = offMain([&] {
    RawClient client(server->port());
    std::string head = "POST /echo HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    client.send(head);
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      if (!client.send("s")) break;
    }
    return parseResponse(client.readAll(10));
  });
  EXPECT_EQ(slowHead.status, 408);

  // A body that stops coming gets 408 after the idle timeout.
  auto stalledBody = exchange("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nonly a part");
  EXPECT_EQ(stalledBody.status, 408);
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }));
}

TEST_F(ConnectionTest, HeaderValuesCannotAddFields) {
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerDataResponse::responseWithText("x");
        response->setValue("a\r\nInjected: yes", "X-Test");
        response->setValue("v", "Bad Name");
        return response;
      });
  ASSERT_TRUE(startServer());
  auto response = exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.header("X-Test"), "a  Injected: yes");
  EXPECT_FALSE(response.has("Injected"));
  EXPECT_FALSE(response.has("Bad Name"));
  EXPECT_EQ(response.body, "x");
}

namespace {

// A connection subclass that refuses every other socket and rewrites URLs.
class PickyConnection : public WebServerConnection {
 public:
  using WebServerConnection::WebServerConnection;
  static inline std::atomic<int> opened{0};
  static inline std::atomic<int> closed{0};

 protected:
  bool open() override { return ++opened % 2 == 1; }
  std::string rewriteRequestURL(const std::string& url, const std::string&,
                                const WebServerHeaders&) override {
    auto pos = url.find("/old/");
    return pos == std::string::npos ? url : url.substr(0, pos) + "/new/" + url.substr(pos + 5);
  }
  void close() override {
    ++closed;
    WebServerConnection::close();
  }
};

}  // namespace

TEST_F(ConnectionTest, ConnectionSubclassHooks) {
  server->addHandlerForMethod("GET", "/new/page", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("new"));
  ASSERT_TRUE(startServer({}, WebServerConnectionClassOf<PickyConnection>()));
  auto first = exchange("GET /old/page HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, "new");
  // Refused by open: closed at once, without an answer and without the close hook.
  EXPECT_EQ(exchange("GET /old/page HTTP/1.1\r\nHost: x\r\n\r\n").raw, "");
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }));
  EXPECT_EQ(PickyConnection::opened, 2);
  EXPECT_EQ(PickyConnection::closed, 1);
}

namespace {

// A connection that takes one request in parts with the connection's own I/O operations: after
// "POST /parts" it sends "100 Continue", reads a second head that gives the length of a fixed part,
// reads that part and then a chunked one into the request, and answers with everything it got,
// writing the response itself.
class PartsConnection : public WebServerConnection {
 public:
  using WebServerConnection::WebServerConnection;

 protected:
  void processRequest(const std::shared_ptr<WebServerRequest>& request,
                      WebServerCompletionBlock completion) override {
    if (request->path() != "/parts") {
      WebServerConnection::processRequest(request, std::move(completion));
      return;
    }
    auto self = std::static_pointer_cast<PartsConnection>(shared_from_this());
    writeData(platform::dataFromString("HTTP/1.1 100 Continue\r\n\r\n"), [self, request,
                                                                          completion](bool sent) {
      auto head = std::make_shared<platform::Data>();
      if (!sent) return completion(nullptr);
      self->readHeaders(head, [self, head, request, completion](std::optional<platform::Data> extra) {
        std::string text = platform::stringFromData(*head);
        auto length = text.find("Part-Length: ");
        if (!extra || length == std::string::npos) return completion(nullptr);
        std::uint64_t total = std::stoull(text.substr(length + 13));
        request->prepareForWriting();
        platform::Error error;
        if (!request->performOpen(&error) || !request->performWriteData(*extra, &error))
          return completion(nullptr);
        self->readBodyWithRemainingLength(total - extra->size(), [self, request, completion](bool fixed) {
          if (!fixed) return completion(nullptr);
          self->readNextBodyChunk(nullptr, [self, request, completion](bool chunked) {
            platform::Error closeError;
            if (!chunked || !request->performClose(&closeError)) return completion(nullptr);
            auto data = std::static_pointer_cast<WebServerDataRequest>(request)->data();
            auto response = WebServerDataResponse::responseWithText("got " + platform::stringFromData(data));
            response->setValue("yes", "X-Written-By-Subclass");
            self->setResponse(response);
            self->writeHeadersWithCompletionBlock([self, completion](bool headWritten) {
              if (!headWritten) return completion(nullptr);
              self->writeBodyWithCompletionBlock([self, completion](bool) {
                // The head is out: whatever the completion carries is not sent any more.
                completion(WebServerDataResponse::responseWithText("never sent"));
              });
            });
          });
        });
      });
    });
  }
};

}  // namespace

TEST_F(ConnectionTest, ASubclassReadsAndWritesWithTheConnectionsOperations) {
  server->addHandlerForMethod("POST", "/parts", WebServerRequestClassOf<WebServerDataRequest>(),
                              textAnswer("no"));
  server->addHandlerForMethod("GET", "/plain", WebServerRequestClassOf<WebServerRequest>(),
                              textAnswer("plain"));
  ASSERT_TRUE(startServer({}, WebServerConnectionClassOf<PartsConnection>()));
  auto raw = offMain([&] {
    RawClient client(server->port());
    client.send("POST /parts HTTP/1.1\r\nHost: x\r\n\r\n");
    // The second head comes with the start of its part, the rest in two more pieces.
    std::string interim;
    char byte;
    while (interim.find("\r\n\r\n") == std::string::npos && ::recv(client.fd(), &byte, 1, 0) == 1)
      interim.push_back(byte);
    client.send("Part-Length: 11\r\n\r\nhello");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send(" world");
    client.send("3\r\n ok\r\n");
    client.send("0\r\n\r\n");
    return interim + client.readAll(10);
  });
  EXPECT_TRUE(raw.starts_with("HTTP/1.1 100 Continue\r\n\r\n")) << raw;
  auto response = parseResponse(raw);
  EXPECT_EQ(response.status, 200) << raw;
  EXPECT_EQ(response.header("X-Written-By-Subclass"), "yes");
  EXPECT_EQ(response.header("Connection"), "Close");
  EXPECT_EQ(response.body, "got hello world ok");
  EXPECT_EQ(raw.find("never sent"), std::string::npos);
  // Other requests take the usual way.
  EXPECT_EQ(exchange("GET /plain HTTP/1.1\r\nHost: x\r\n\r\n").body, "plain");
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }));
}
