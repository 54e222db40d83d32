#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "Telemetry/Internals/Util/TLCompression.h"
#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "TelemetryTestSupport.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"

namespace {

TEST(HttpUtil, StatusClasses) {
  const std::tuple<int, bool, bool> cases[] = {
      // status, recoverable, success
      {0, true, false},    {200, false, true},  {204, false, true},  {299, false, true}, {300, false, false},
      {400, false, false}, {401, false, false}, {404, false, false}, {408, true, false}, {429, true, false},
      {499, false, false}, {500, true, false},  {503, true, false},  {599, true, false},
  };
  for (const auto& [status, recoverable, success] : cases) {
    EXPECT_EQ(TLHttpUtil::isRecoverableError(status), recoverable) << status;
    EXPECT_EQ(TLHttpUtil::isSuccessStatusCode(status), success) << status;
  }
}

TEST(HttpUtil, ErrorClasses) {
  const std::tuple<const char*, int, bool, bool> cases[] = {
      // domain, code, no internet, secure connection
      {kTLURLErrorDomain, -1009, true, false},     {kTLURLErrorDomain, -1005, true, false},
      {kTLURLErrorDomain, -1001, false, false},    {kTLURLErrorDomain, -1200, false, true},
      {kTLURLErrorDomain, -2000, false, true},     {kTLURLErrorDomain, -1199, false, false},
      {kTLURLErrorDomain, -2001, false, false},    {kTLURLErrorDomain, -1206, false, true},
      {"NSPOSIXErrorDomain", -1009, false, false}, {"NSPOSIXErrorDomain", -1200, false, false},
  };
  for (const auto& [domain, code, offline, ssl] : cases) {
    auto error = platform::Error::make(domain, code, "x");
    EXPECT_EQ(TLHttpUtil::isNoInternetConnectionError(error), offline) << domain << code;
    EXPECT_EQ(TLHttpUtil::isSSLConnectionError(error), ssl) << domain << code;
  }
}

TEST(HttpUtil, Masks) {
  const std::string secret32 = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(TLHttpUtil::hideSecret(secret32), std::string(24, '*') + "89abcdef");
  const std::pair<std::string, std::string> secrets[] = {
      {"abc", "***"},
      {"", ""},
      {"12345678", "********"},
      {"123456789", "*23456789"},
      // Characters outside the basic plane count as two units and are never cut in two.
      {"ab\xF0\x9F\x98\x80"
       "cdefghi",
       "****cdefghi"},
      {"abcdefgh\xF0\x9F\x98\x80", "**cdefgh\xF0\x9F\x98\x80"},
      {"abcdefg\xF0\x9F\x98\x80", "*bcdefg\xF0\x9F\x98\x80"},
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
       "*\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
  };
  for (const auto& [input, expected] : secrets) {
    EXPECT_EQ(TLHttpUtil::hideSecret(input), expected) << input;
  }
  const std::pair<std::string, std::string> tokens[] = {
      {"Bearer abc.def", "Bearer ***"}, {"abc", "***"}, {"", "***"},
      {"Bearer  two", "Bearer ***"},    {" x", " ***"},
  };
  for (const auto& [input, expected] : tokens) EXPECT_EQ(TLHttpUtil::hideAuthToken(input), expected) << input;
}

platform::Data inflateGzip(const platform::Data& data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
  platform::Data out(1 << 16);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

class CompressionTest : public qvtesting::SandboxTest {};

TEST_F(CompressionTest, TextPassesGzipAndInflatesBack) {
  std::string text;
  while (text.size() < 1400) text += "{\"type\":\"startSession\",\"sid\":\"0A5A1E7B-5D5A\"},";
  text.resize(1400);
  auto compressed = TLCompression::compressData(platform::dataFromString(text));
  ASSERT_TRUE(compressed);
  EXPECT_LT(compressed->size(), text.size());
  EXPECT_EQ((*compressed)[0], 0x1f);
  EXPECT_EQ((*compressed)[1], 0x8b);
  auto file = root() / "body.gz";
  ASSERT_TRUE(platform::files::writeAtomically(file, *compressed));
  EXPECT_EQ(std::system(("gzip -t '" + file.string() + "'").c_str()), 0);
  EXPECT_EQ(platform::stringFromData(inflateGzip(*compressed)), text);
}

TEST_F(CompressionTest, EmptyGivesNilSilently) {
  tltesting::MessageRecorder recorder;
  EXPECT_FALSE(TLCompression::compressData({}));
  EXPECT_TRUE(recorder.messages().empty());
}

// Small incompressible input grows past length × 1.01 + 12; the buffer is sized to hold it.
TEST_F(CompressionTest, SmallRandomInputCompresses) {
  std::mt19937 random(7);
  for (std::size_t size : {1u, 16u, 64u, 1000u}) {
    platform::Data data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    auto compressed = TLCompression::compressData(data);
    ASSERT_TRUE(compressed) << size;
    // Larger than the old fixed bound, which made such input fail.
    EXPECT_GT(static_cast<double>(compressed->size()), size * 1.01 + 12);
    EXPECT_EQ(inflateGzip(*compressed), data);
  }
}

// The state kept between calls leaves nothing behind: each body, whatever came before it and on
// whichever thread, gives the very bytes of a fresh zlib stream with the same parameters.
TEST_F(CompressionTest, KeptStateGivesTheBytesOfAFreshStream) {
  auto fresh = [](const platform::Data& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    platform::Data out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
  };
  std::mt19937 random(11);
  const std::string_view pattern = "{\"type\":\"event\",\"name\":\"x\"},";
  auto body = [&](std::size_t size, bool text) {
    platform::Data data(size);
    for (std::size_t i = 0; i < size; ++i)
      data[i] =
          text ? static_cast<std::uint8_t>(pattern[i % pattern.size()]) : static_cast<std::uint8_t>(random());
    return data;
  };
  // Large, then small, then incompressible larger than any buffer so far, then text again.
  std::vector<platform::Data> bodies = {body(21000, true),   body(1400, true), body(3, false),
                                        body(300000, false), body(1400, true), body(2 * 1024 * 1024, false),
                                        body(21000, true)};
  for (const auto& data : bodies) {
    auto compressed = TLCompression::compressData(data);
    ASSERT_TRUE(compressed) << data.size();
    EXPECT_EQ(*compressed, fresh(data)) << data.size();
  }
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const auto& data = bodies[static_cast<std::size_t>(t + i) % 3];
        auto compressed = TLCompression::compressData(data);
        if (!compressed || inflateGzip(*compressed) != data) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
