#include <gtest/gtest.h>

#include <clocale>

#include "platform/Date.h"
#include "platform/Error.h"
#include "platform/Json.h"
#include "platform/UUID.h"

using namespace platform;

TEST(Date, ReferenceDateAndISOText) {
  Date reference = Date::fromTimeIntervalSinceReferenceDate(0);
  EXPECT_EQ(reference.iso8601(), "2001-01-01T00:00:00Z");
  EXPECT_DOUBLE_EQ(reference.timeIntervalSince1970(), 978307200.0);
  Date withMillis = Date::fromTimeIntervalSince1970(1714566600.25);
  EXPECT_EQ(withMillis.iso8601(true), "2024-05-01T12:30:00.250Z");
}

TEST(Date, ParsesISOTexts) {
  struct Case {
    const char* text;
    std::optional<double> seconds;
  } cases[] = {
      {"2024-05-01T12:30:00Z", 1714566600.0},
      {"2024-05-01T14:30:00+02:00", 1714566600.0},
      {"2024-05-01T12:30:00.5Z", 1714566600.5},
      {"2024-05-01", 1714521600.0},
      {"2024-13-01", std::nullopt},
      {"2024-05-01T25:00:00Z", std::nullopt},
      {"yesterday", std::nullopt},
      {"2024-05-01T12:30:00Zjunk", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto parsed = Date::fromISO8601(c.text);
    ASSERT_EQ(parsed.has_value(), c.seconds.has_value()) << c.text;
    if (parsed) {
      EXPECT_DOUBLE_EQ(parsed->timeIntervalSince1970(), *c.seconds) << c.text;
    }
  }
}

TEST(UUID, UpperCaseAndRoundTrip) {
  std::string text = makeUUIDString();
  ASSERT_EQ(text.size(), 36u);
  for (char c : text) EXPECT_FALSE(c >= 'a' && c <= 'z') << text;
  EXPECT_NE(text, makeUUIDString());
  auto bytes = parseUUID("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(uuidString(*bytes), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_FALSE(parseUUID("not-a-uuid"));
}

TEST(Json, NumberAndBooleanRules) {
  using nlohmann::json;
  struct Case {
    json value;
    std::optional<bool> asBool;
    std::optional<std::int64_t> asInteger;
  } cases[] = {
      {json(true), true, 1},
      {json(0), false, 0},
      {json(-3), true, -3},
      {json(2.9), true, 2},
      {json(-2.9), true, -2},
      {json("yes"), true, 0},
      {json("  42abc"), true, 42},
      {json("no"), false, 0},
      {json("007"), true, 7},
      {json(nullptr), std::nullopt, std::nullopt},
      {json::array(), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::json::boolValue(c.value), c.asBool) << c.value.dump();
    EXPECT_EQ(platform::json::integerValue(c.value), c.asInteger) << c.value.dump();
  }
}

TEST(Json, ParseNeverThrowsAndNewlinesSplit) {
  EXPECT_FALSE(json::parse("{\"a\":"));
  EXPECT_FALSE(json::parse("\xff"));
  EXPECT_EQ((*json::parse("{\"a\":1}"))["a"], 1);
  auto pieces = json::splitByNewlines(
      "a\r\nb\nc\xe2\x80\xa8"
      "d\xc2\x85"
      "e\r\rf");
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b", "c", "d", "e", "", "f"}));
  EXPECT_EQ(json::dump(nlohmann::json("\xff")), "\"\xef\xbf\xbd\"");
}

TEST(Error, FromErrnoCarriesDomainCodeAndText) {
  Error error = Error::fromErrno(ENOENT, "Could not open x");
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_EQ(error.description, "Could not open x: No such file or directory");
  Error* none = nullptr;
  EXPECT_FALSE(fail(none, error));
}

TEST(Json, DoubleTextIsReadInTheCLocaleWhateverTheProcessLocale) {
  struct Case {
    const char* text;
    double expected;
  } cases[] = {{"2.75", 2.75}, {"  +1.5e2x", 150.0}, {"-0.25", -0.25}, {"abc", 0.0}, {"1e999", 0.0}};
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(*platform::json::doubleValue(nlohmann::json(c.text)), c.expected) << c.text;
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!german) GTEST_SKIP() << "no de_DE locale here; checked in the C locale only";
}
