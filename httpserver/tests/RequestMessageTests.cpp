#include <gtest/gtest.h>

#include "httpserver/WebServerRequestMessage.h"

using Status = WebServerRequestMessage::Status;

TEST(WebServerRequestMessage, ParsesHeads) {
  WebServerRequestMessage message;
  ASSERT_EQ(
      WebServerRequestMessage::parse("GET /a%20b?x=1 HTTP/1.1\r\nHost: localhost:8080\r\n"
                                     "Accept:  text/html \r\nX-Empty:\r\nx-list: a\r\nX-List: b\r\n\r\n",
                                     &message),
      Status::OK);
  EXPECT_EQ(message.method(), "GET");
  EXPECT_EQ(message.target(), "/a%20b?x=1");
  EXPECT_EQ(message.versionMinor(), 1);
  EXPECT_EQ(message.headers().at("host"), "localhost:8080");
  EXPECT_EQ(message.headers().at("Accept"), "text/html");
  EXPECT_EQ(message.headers().at("X-Empty"), "");
  EXPECT_EQ(message.headers().at("X-LIST"), "a, b");

  ASSERT_EQ(WebServerRequestMessage::parse("\r\nPOST http://h/p HTTP/1.0\r\n\r\n", &message), Status::OK);
  EXPECT_EQ(message.target(), "http://h/p");
  EXPECT_EQ(message.versionMinor(), 0);
  EXPECT_TRUE(message.headers().empty());
}

TEST(WebServerRequestMessage, RefusesWhatIsNotAHead) {
  std::string longTarget =
      "GET /" + std::string(WebServerRequestMessage::kMaximumTargetLength, 'a') + " HTTP/1.1\r\n\r\n";
  std::string manyHeaders = "GET / HTTP/1.1\r\n";
  for (std::size_t i = 0; i <= WebServerRequestMessage::kMaximumHeaderCount; ++i) manyHeaders += "X: 1\r\n";
  manyHeaders += "\r\n";
  struct Case {
    std::string head;
    Status expected;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", Status::OK},
      {"GET / HTTP/1.1\n\n", Status::Malformed},
      {"GET / HTTP/1.1\r\nHost: a\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", Status::Malformed},
      {std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 29), Status::Malformed},
      {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1\r\n: value\r\n\r\n", Status::Malformed},
      {"GET /  HTTP/1.1\r\n\r\n", Status::Malformed},
      {"GET  / HTTP/1.1\r\n\r\n", Status::Malformed},
      {"GET /\r\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1 \r\n\r\n", Status::Malformed},
      {"G(T / HTTP/1.1\r\n\r\n", Status::Malformed},
      {"GET / FTP/1.1\r\n\r\n", Status::Malformed},
      {"GET /\x01 HTTP/1.1\r\n\r\n", Status::Malformed},
      {"GET / HTTP/1.1\r\n\r\nextra", Status::Malformed},
      {"\r\n\r\n", Status::Malformed},
      {"", Status::Malformed},
      {"GET / HTTP/2.0\r\n\r\n", Status::VersionNotSupported},
      {longTarget, Status::URITooLong},
      {manyHeaders, Status::HeaderFieldsTooLarge},
  };
  for (const auto& c : cases) {
    WebServerRequestMessage message;
    EXPECT_EQ(WebServerRequestMessage::parse(c.head, &message), c.expected) << c.head.substr(0, 60);
  }
}
