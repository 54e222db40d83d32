#include <gtest/gtest.h>

#include "platform/Base64.h"

namespace {

TEST(Base64, KnownTextsRoundTrip) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(platform::base64Encode(platform::dataFromString(plain)), encoded);
    EXPECT_EQ(platform::base64Decode(encoded), platform::dataFromString(plain)) << encoded;
  }
}

TEST(Base64, StrictDecodingRefuses) {
  const char* bad[] = {"Zg",   "Zg=",  "Z===",     "Zm9v\n", " Zm9v",    "Zm-v",
                       "Zm9_", "Zh==", "Zm9=Zm9v", "====",   "Zm8=Zm8=", "A"};
  for (const char* text : bad) EXPECT_FALSE(platform::base64Decode(text)) << text;
}

}  // namespace
