#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

#include "httpserver/WebServerFunctions.h"
#include "httpserver/tests/HTTPTestSupport.h"

namespace {

platform::Date dateAt(double seconds) { return platform::Date::fromTimeIntervalSince1970(seconds); }

}  // namespace

TEST(WebServerDates, WritesAndReadsHTTPDates) {
  EXPECT_EQ(WebServerRFC822FromDate(dateAt(784111777)), "Sun, 06 Nov 1994 08:49:37 GMT");
  // Fractions of a second are cut, never rounded up into the next second.
  EXPECT_EQ(WebServerRFC822FromDate(dateAt(784111777.9)), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(WebServerISO8601FromDate(dateAt(784111777)), "1994-11-06T08:49:37+00:00");

  struct Case {
    const char* text;
    std::optional<double> seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 31 Feb 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 25:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", std::nullopt},
      {"", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const auto& c : cases) {
    auto parsed = WebServerDateFromRFC822(c.text);
    ASSERT_EQ(parsed.has_value(), c.seconds.has_value()) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->timeIntervalSince1970(), *c.seconds) << c.text;
    }
  }
  EXPECT_EQ(WebServerDateFromISO8601("1994-11-06T08:49:37+00:00")->timeIntervalSince1970(), 784111777);
  EXPECT_FALSE(WebServerDateFromISO8601("1994-11-06T08:49:37Z"));
}

TEST(WebServerHeaderValues, CanonicalValueAndBase) {
  struct Case {
    std::optional<std::string> value, canonical, base;
  } cases[] = {
      {"Multipart/Form-Data; Boundary=XyZ", "multipart/form-data; Boundary=XyZ", "Multipart/Form-Data"},
      {"Text/HTML; Charset=UTF-8", "text/html; Charset=UTF-8", "Text/HTML"},
      {"CHUNKED", "chunked", "CHUNKED"},
      {" Gzip ", " gzip ", " Gzip "},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebServerCanonicalHeaderValue(c.value), c.canonical) << c.value.value_or("none");
    EXPECT_EQ(WebServerHeaderValueBase(c.value), c.base) << c.value.value_or("none");
  }
}

TEST(WebServerHeaderValues, ParametersMatchWholeNamesOnly) {
  struct Case {
    std::optional<std::string> value;
    const char* name;
    std::optional<std::string> expected;
  } cases[] = {
      {"text/plain; charset=utf-8", "charset", "utf-8"},
      {"text/plain; CHARSET=utf-8", "charset", "utf-8"},
      {"text/plain; charset=\"iso-8859-1\"", "charset", "iso-8859-1"},
      {"text/plain; charset= \"spaced\"", "charset", "spaced"},
      // An unquoted value ends at the next delimiter.
      {"multipart/form-data; boundary=abc; charset=x", "boundary", "abc"},
      {"multipart/form-data; boundary=\"a;b c\"", "boundary", "a;b c"},
      // The value's base is never a parameter.
      {"charset=utf-8", "charset", std::nullopt},
      {"text/plain", "charset", std::nullopt},
      {std::nullopt, "charset", std::nullopt},
      // "name" is not found inside "filename", "nonce" not inside "cnonce".
      {"form-data; filename=\"a.txt\"; name=\"field\"", "name", "field"},
      {"form-data; filename=\"a.txt\"", "name", std::nullopt},
      {"Digest username=\"u\", cnonce=\"c1\", nonce=\"n1\"", "nonce", "n1"},
      {"Digest username=\"u\", cnonce=\"c1\"", "nonce", std::nullopt},
      // Quoted text of another parameter is not searched.
      {"form-data; filename=\"x; name=evil\"; name=\"good\"", "name", "good"},
      {"form-data; filename=\"a\\\"b\"", "filename", "a\"b"},
      {"Digest realm=\"r\",nonce=n2", "nonce", "n2"},
      {"text/plain; charset=", "charset", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebServerHeaderParameterValue(c.value, c.name), c.expected)
        << c.value.value_or("none") << " / " << c.name;
  }
}

TEST(WebServerText, CharsetsAndDescriptions) {
  EXPECT_EQ(WebServerEncodingFromCharsetName(std::nullopt), "UTF-8");
  EXPECT_EQ(WebServerEncodingFromCharsetName("utf-8"), "UTF-8");
  EXPECT_EQ(WebServerEncodingFromCharsetName("no-such-charset"), "UTF-8");
  EXPECT_EQ(WebServerEncodingFromCharsetName("../../etc/passwd"), "UTF-8");
  auto latin1 = WebServerEncodingFromCharsetName("iso-8859-1");
  EXPECT_EQ(latin1, "ISO-8859-1");

  platform::Data cafe = {'c', 'a', 'f', 0xE9};
  EXPECT_EQ(WebServerStringFromData(cafe, latin1), "caf\xC3\xA9");
  EXPECT_EQ(WebServerStringFromData(cafe, "UTF-8"), std::nullopt);
  EXPECT_EQ(WebServerStringFromData(platform::dataFromString("caf\xC3\xA9"), "UTF-8"), "caf\xC3\xA9");

  EXPECT_TRUE(WebServerIsTextualType("text/plain"));
  EXPECT_TRUE(WebServerIsTextualType("application/json; charset=utf-8"));
  EXPECT_TRUE(WebServerIsTextualType("application/xml"));
  EXPECT_FALSE(WebServerIsTextualType("image/png"));
  EXPECT_EQ(WebServerBodyDescription(cafe, std::string("text/plain; charset=iso-8859-1")), "caf\xC3\xA9");
  EXPECT_EQ(WebServerBodyDescription(cafe, std::string("text/plain")), "<4 bytes>");
  EXPECT_EQ(WebServerBodyDescription(cafe, std::string("image/png")), "<4 bytes>");

  EXPECT_TRUE(WebServerIsValidUTF8("plain \xE2\x82\xAC"));
  EXPECT_FALSE(WebServerIsValidUTF8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(WebServerIsValidUTF8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(WebServerIsValidUTF8("\xE2\x82"));      // cut short
}

TEST(WebServerMIMETypes, OverridesTableAndSystem) {
  WebServerMIMETypeOverrides overrides = {{"css", "text/x-custom"}, {"qv", "application/x-quorvane"}};
  struct Case {
    const char* extension;
    const WebServerMIMETypeOverrides* overrides;
    const char* expected;
  } cases[] = {
      {"css", nullptr, "text/css"},
      {"CSS", nullptr, "text/css"},
      {"css", &overrides, "text/x-custom"},
      {"QV", &overrides, "application/x-quorvane"},
      {"", nullptr, "application/octet-stream"},
      {"no-such-extension", nullptr, "application/octet-stream"},
      {"html", nullptr, "text/html"},
      {"json", nullptr, "application/json"},
      {"png", nullptr, "image/png"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WebServerMIMETypeForExtension(c.extension, c.overrides), c.expected) << c.extension;
}

TEST(WebServerEscaping, PercentUnescape) {
  struct Case {
    const char* text;
    std::optional<std::string> expected;
  } cases[] = {
      {"a%2Fb%20c", "a/b c"}, {"%41%42", "AB"},       {"plain", "plain"},
      {"%C3%A9", "\xC3\xA9"}, {"%FF", std::nullopt},  {"%4", std::nullopt},
      {"%zz", std::nullopt},  {"100%", std::nullopt}, {"%00", std::string("\0", 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(WebServerPercentUnescape(c.text), c.expected) << c.text;
}

TEST(WebServerFormText, ParsesPairs) {
  struct Case {
    const char* text;
    WebServerQuery expected;
  } cases[] = {
      {"a=1&b=2+3&c=%41", {{"a", "1"}, {"b", "2 3"}, {"c", "A"}}},
      {"a=1&b", {{"a", "1"}}},
      {"a=1&&b=2", {{"a", "1"}, {"&b", "2"}}},
      {"", {}},
      {"=x", {}},
      {"a=", {{"a", ""}}},
      {"a=1&a=2", {{"a", "2"}}},
      {"a=%FF&b=2", {{"b", "2"}}},
      {"k%20ey=v%26al", {{"k ey", "v&al"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(WebServerParseFormText(c.text), c.expected) << c.text;
}

TEST(WebServerFormText, UndecodablePairIsLogged) {
  httptest::ServerLog log(kWebServerLoggingLevel_Warning);
  WebServerParseFormText("a=%FF");
  EXPECT_TRUE(log.contains("Failed parsing URL encoded form for key \"a\" and value \"%FF\""));
}

TEST(WebServerAddresses, AddressText) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(8080);
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  platform::Data v4Data(reinterpret_cast<std::uint8_t*>(&v4),
                        reinterpret_cast<std::uint8_t*>(&v4) + sizeof v4);
  EXPECT_EQ(WebServerAddressText(v4Data, true), "127.0.0.1:8080");
  EXPECT_EQ(WebServerAddressText(v4Data, false), "127.0.0.1");

  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(443);
  v6.sin6_addr = in6addr_loopback;
  platform::Data v6Data(reinterpret_cast<std::uint8_t*>(&v6),
                        reinterpret_cast<std::uint8_t*>(&v6) + sizeof v6);
  EXPECT_EQ(WebServerAddressText(v6Data, true), "::1:443");
  EXPECT_EQ(WebServerAddressText(v6Data, false), "::1");

  EXPECT_EQ(WebServerAddressText({}, true), "");
  EXPECT_EQ(WebServerAddressText(platform::Data(v4Data.begin(), v4Data.begin() + 6), true), "");
  platform::Data unknown(sizeof(sockaddr_in), 0);
  unknown[0] = 0xFF;
  EXPECT_EQ(WebServerAddressText(unknown, true), "");
}

TEST(WebServerAddresses, PrimaryInterfaceAddressIsNumeric) {
  auto address = WebServerPrimaryInterfaceAddress(false);
  if (!address) GTEST_SKIP() << "no IPv4 address on the default route's interface";
  in_addr parsed{};
  EXPECT_EQ(inet_pton(AF_INET, address->c_str(), &parsed), 1) << *address;
}

TEST(WebServerDigests, MD5AndBase64) {
  struct Case {
    const char* text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
  };
  for (const auto& c : cases) EXPECT_EQ(WebServerMD5HexDigestOfText(c.text), c.digest) << c.text;
  EXPECT_EQ(WebServerMD5HexDigest("{}:{}", "a", "bc"), WebServerMD5HexDigestOfText("a:bc"));
  // The text ends at its first zero byte.
  EXPECT_EQ(WebServerMD5HexDigestOfText(std::string("abc\0def", 7)), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(WebServerBase64("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(WebServerBase64(""), "");
}

TEST(WebServerNumbers, DecimalDigitsOnly) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {"5x", std::nullopt},
      {" 5", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(WebServerParseDecimal(c.text), c.value) << c.text;
}

TEST(WebServerLogging, LevelDecidesWhatIsProduced) {
  httptest::ServerLog log(kWebServerLoggingLevel_Warning);
  WebServerLog(kWebServerLoggingLevel_Info, "dropped {}", 1);
  WebServerLog(kWebServerLoggingLevel_Warning, "kept {}", 2);
  WebServerLog(kWebServerLoggingLevel_Error, "kept {}", 3);
  EXPECT_FALSE(log.contains("dropped"));
  EXPECT_EQ(log.count("kept"), 2u);
  WebServerSetLogLevel(5);
  WebServerLog(kWebServerLoggingLevel_Error, "silenced");
  EXPECT_FALSE(log.contains("silenced"));
}
