#include <gtest/gtest.h>

#include "engine/QVModuleResult.h"
#include "platform/HexColor.h"
#include "testing/Sandbox.h"

namespace {

using nlohmann::json;

struct ParseCase {
  const char* name;
  json line;
  // The first log line of a failure, or nullptr for a valid line.
  const char* failure;
  // The second log line of a failure.
  const char* detail;
};

TEST(QVModuleResult, RejectsLinesThatAreNotValidFinishedLines) {
  const ParseCase cases[] = {
      {"no type",
       {{"options", {{"result", "x"}, {"success", true}}}},
       "Failed because type is not a string or is empty",
       "(null) - (null)"},
      {"type is a number",
       {{"type", 4}, {"options", json::object()}},
       "Failed because type is not a string or is empty",
       "4 - NSNumber"},
      {"a log line",
       {{"type", "log"}, {"options", json::array({"a"})}},
       "Failed because type is not equal to finished or options is not a dictionary",
       "log - NSArray"},
      {"finished without options",
       {{"type", "finished"}},
       "Failed because type is not equal to finished or options is not a dictionary",
       "finished - (null)"},
      {"success is a string",
       {{"type", "finished"}, {"options", {{"result", "x"}, {"success", "true"}}}},
       "Failed because result is not a string or is invalid or success is not a number",
       "x - NSString"},
      {"result is a number",
       {{"type", "finished"}, {"options", {{"result", 12}, {"success", true}}}},
       "Failed because result is not a string or is invalid or success is not a number",
       "12 - NSNumber"},
      {"no success",
       {{"type", "finished"}, {"options", {{"result", "x"}}}},
       "Failed because result is not a string or is invalid or success is not a number",
       "x - NSString"},
      {"not an object", json::array({1, 2}), "Failed because type is not a string or is empty",
       "(null) - (null)"},
      {"null", nullptr, "Failed because type is not a string or is empty", "(null) - (null)"},
  };
  for (const auto& c : cases) {
    qvtesting::LogCapture capture;
    EXPECT_EQ(QVModuleResult::resultWithDictionary(c.line), nullptr) << c.name;
    EXPECT_TRUE(capture.contains(c.failure)) << c.name;
    EXPECT_TRUE(capture.contains(c.detail)) << c.name;
  }
}

TEST(QVModuleResult, ReadsValidLines) {
  auto before = platform::Date::now();
  auto result = QVModuleResult::resultWithDictionary(
      {{"type", "finished"},
       {"options",
        {{"result", "12 °C"},
         {"success", 1},
         {"date", 0},
         {"options", {{"color", "#FF0000"}, {"onclick", "https://example.org"}, {"extra", {1, 2}}}}}}});
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(result->success());
  EXPECT_EQ(result->resultString(), "12 °C");
  // The time of parsing, not one the module sends.
  EXPECT_GE(result->date(), before);
  EXPECT_LE(result->date(), platform::Date::now());
  ASSERT_TRUE(result->options());
  EXPECT_EQ(result->options()->color(), platform::Color::colorWithDeviceRed(1, 0, 0, 1));
  EXPECT_EQ(result->options()->onClickString(), "https://example.org");
  EXPECT_EQ(result->options()->jsonValue()["extra"], json::array({1, 2}));

  struct SuccessCase {
    json success;
    bool expected;
  } successes[] = {{true, true}, {false, false}, {0, false}, {2, true}, {0.5, true}, {0.0, false}};
  for (const auto& c : successes) {
    auto parsed = QVModuleResult::resultWithDictionary(
        {{"type", "finished"}, {"options", {{"result", ""}, {"success", c.success}}}});
    ASSERT_NE(parsed, nullptr) << c.success;
    EXPECT_EQ(parsed->success(), c.expected) << c.success;
    EXPECT_FALSE(parsed->options()) << "no settings object means no settings";
  }
}

TEST(QVModuleResult, DisplaySettingsIgnoreWrongKinds) {
  auto options = QVModuleResultOptions::optionsWithDictionary({{"color", 255}, {"onclick", json::array()}});
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->color());
  EXPECT_FALSE(options->onClickString());
  EXPECT_FALSE(QVModuleResultOptions::optionsWithDictionary(json::array()));
  EXPECT_FALSE(QVModuleResultOptions::optionsWithDictionary("#fff"));
  EXPECT_EQ(QVModuleResultOptions::optionsWithDictionary({{"color", "zz"}})->color(),
            platform::Color::blackColor());
  EXPECT_EQ(QVModuleResultOptions::optionsWithDictionary({{"color", "FF0000"}})->color(),
            QVModuleResultOptions::optionsWithDictionary({{"color", "#FF0000"}})->color());

  // An inner "options" that is not an object gives a result without settings.
  auto result = QVModuleResult::resultWithDictionary(
      {{"type", "finished"}, {"options", {{"result", "x"}, {"success", true}, {"options", "red"}}}});
  ASSERT_NE(result, nullptr);
  EXPECT_FALSE(result->options());
}

}  // namespace
