#include <gtest/gtest.h>

#include <limits>

#include "engine/QVModuleLogLine.h"
#include "platform/Json.h"

namespace {

using nlohmann::json;
using LineType = QVModuleLogLineType;

TEST(QVModuleLogLine, FromModuleOutput) {
  struct Case {
    const char* output;
    LineType type;
    std::optional<std::string> text;
  } cases[] = {
      {R"({"type":"log","options":["fetched",3,"items"]})", LineType::log, "fetched 3 items"},
      {R"({"type":"log","options":{"not":"an array"}})", LineType::log, std::nullopt},
      {R"({"type":"log","options":[]})", LineType::log, ""},
      {R"({"type":"info","options":["i"]})", LineType::info, "i"},
      {R"({"type":"warn","options":["w"]})", LineType::warning, "w"},
      {R"({"type":"error","options":["e"]})", LineType::error, "e"},
      {R"({"type":"notification","options":["n"]})", LineType::notification, "n"},
      {R"({"type":"debug","options":["still logged"]})", LineType::other, "still logged"},
      {R"({"type":3,"options":["a number is no type word"]})", LineType::other, "a number is no type word"},
      {R"({"type":null,"options":[]})", LineType::other, ""},
      {R"({"type":"log","options":[true,null,2.5,3.0,-7,[1,[2]],{"k":"v"}]})", LineType::log,
       R"(1 null 2.5 3 -7 [1,[2]] {"k":"v"})"},
      // A finished line: success read as a boolean, the text is the result as received.
      {R"({"type":"finished","options":{"success":true,"result":"21 °C"}})", LineType::finishedSuccess,
       "21 °C"},
      {R"({"type":"finished","options":{"success":"yes","result":"ok"}})", LineType::finishedSuccess, "ok"},
      {R"({"type":"finished","options":{"success":"  7","result":"ok"}})", LineType::finishedSuccess, "ok"},
      {R"({"type":"finished","options":{"success":1,"result":42}})", LineType::finishedSuccess, "42"},
      {R"({"type":"finished","options":{"success":false,"result":"down"}})", LineType::finishedFailure,
       "down"},
      {R"({"type":"finished","options":{"success":"no","result":"x"}})", LineType::finishedFailure, "x"},
      {R"({"type":"finished","options":{"success":"0"}})", LineType::finishedFailure, std::nullopt},
      {R"({"type":"finished","options":{"result":"no success given"}})", LineType::finishedFailure,
       "no success given"},
      {R"({"type":"finished","options":{"success":{"odd":1},"result":null}})", LineType::finishedFailure,
       std::nullopt},
      {R"({"type":"finished","options":"not an object"})", LineType::finishedFailure, std::nullopt},
      {R"({"type":"finished","options":["an","array"]})", LineType::finishedFailure, std::nullopt},
  };
  for (const auto& c : cases) {
    auto parsed = platform::json::parse(c.output);
    ASSERT_TRUE(parsed) << c.output;
    auto line = QVModuleLogLine::lineWithDictionary(*parsed);
    ASSERT_TRUE(line) << c.output;
    EXPECT_EQ(line->type(), c.type) << c.output;
    EXPECT_EQ(line->logString(), c.text) << c.output;
    EXPECT_EQ(line->jsonDict(), *parsed) << c.output;
    EXPECT_LT(std::abs(line->date().timeIntervalSinceNow()), 60.0);
  }
}

TEST(QVModuleLogLine, RejectsOutputWithoutTypeOrOptions) {
  for (const char* output : {R"({"type":"log"})", R"({"options":[]})", "[]", R"("text")", "null", "{}"}) {
    EXPECT_FALSE(QVModuleLogLine::lineWithDictionary(*platform::json::parse(output))) << output;
  }
}

TEST(QVModuleLogLine, ApplicationLines) {
  struct Case {
    QVModuleLogLine::Pointer line;
    LineType type;
  } cases[] = {
      {QVModuleLogLine::systemLogWithString("User Initiated Run"), LineType::system},
      {QVModuleLogLine::errorLogWithString("User Initiated Run"), LineType::error},
      {QVModuleLogLine::warningLogWithString("User Initiated Run"), LineType::warning},
      {QVModuleLogLine::lineWithType(LineType::info, "User Initiated Run"), LineType::info},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.line->type(), c.type);
    EXPECT_EQ(c.line->logString(), "User Initiated Run");
    EXPECT_TRUE(c.line->jsonDict().is_null());
  }
}

TEST(QVModuleLogLine, StoredFormRoundTrips) {
  struct Case {
    LineType type;
    std::optional<std::string> text;
    double seconds;
  } cases[] = {
      {LineType::log, "plain", 1704467045.75},
      {LineType::finishedSuccess, std::nullopt, 1704467045.0},
      {LineType::system, "quote \" backslash \\ tab \t newline \n", 0.5},
      {LineType::other, "line\u2028separator\u2029and\u0085next", 1.0},
      {LineType::error, "", 1e9 + 0.123},
  };
  for (const auto& c : cases) {
    QVModuleLogLine line(c.type, platform::Date::fromTimeIntervalSince1970(c.seconds), c.text);
    std::string stored = line.jsonString();
    // One stored line never holds a newline character of any kind.
    EXPECT_EQ(platform::json::splitByNewlines(stored).size(), 1u) << stored;
    auto object = platform::json::parse(stored);
    ASSERT_TRUE(object && object->is_object()) << stored;
    EXPECT_EQ(object->size(), 3u);
    EXPECT_TRUE((*object)["date"].is_number_float()) << stored;
    EXPECT_EQ((*object)["log"], c.text.value_or("<No Log>"));
    auto back = QVModuleLogLine::lineWithLogDict(*object);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->type(), c.type);
    EXPECT_EQ(back->date().timeIntervalSince1970(), c.seconds) << stored;
    // A line without text comes back with the stored placeholder as its text.
    EXPECT_EQ(back->logString(), c.text.value_or("<No Log>"));
  }
  QVModuleLogLine line(LineType::log, platform::Date::fromTimeIntervalSince1970(1), std::nullopt);
  EXPECT_EQ(line.jsonString(), R"({"date":1.0,"type":0,"log":"<No Log>"})");
}

TEST(QVModuleLogLine, StoredLinesWithOddFields) {
  struct Case {
    json stored;
    double seconds;
    std::int64_t type;
    std::optional<std::string> text;
  } cases[] = {
      {json::object(), 0, 0, std::nullopt},
      {{{"date", "12.5"}, {"type", "3"}, {"log", 5}}, 12.5, 3, "5"},
      {{{"date", nullptr}, {"type", nullptr}, {"log", nullptr}}, 0, 0, std::nullopt},
      {{{"date", json::array()}, {"type", json::object()}, {"log", {{"a", 1}}}}, 0, 0, R"({"a":1})"},
      {{{"type", 1e30}}, 0, std::numeric_limits<std::int64_t>::max(), std::nullopt},
      {{{"type", -1}, {"log", "unknown"}}, 0, -1, "unknown"},
  };
  for (const auto& c : cases) {
    auto line = QVModuleLogLine::lineWithLogDict(c.stored);
    ASSERT_TRUE(line) << c.stored;
    EXPECT_EQ(line->date().timeIntervalSince1970(), c.seconds) << c.stored;
    EXPECT_EQ(static_cast<std::int64_t>(line->type()), c.type) << c.stored;
    EXPECT_EQ(line->logString(), c.text) << c.stored;
  }
  EXPECT_FALSE(QVModuleLogLine::lineWithLogDict(json::array()));
}

TEST(QVModuleLogLine, DeepValuesGiveBoundedText) {
  json deep = json::array();
  for (int i = 0; i < 5000; ++i) {
    json outer = json::array();
    outer.push_back(std::move(deep));
    deep = std::move(outer);
  }
  auto line = QVModuleLogLine::lineWithDictionary({{"type", "log"}, {"options", json::array({deep})}});
  ASSERT_TRUE(line);
  ASSERT_TRUE(line->logString());
  EXPECT_LT(line->logString()->size(), 200u);
  EXPECT_NE(line->description().find("jsonDict="), std::string::npos);
}

TEST(QVModuleLogLine, Description) {
  auto line = QVModuleLogLine::lineWithDictionary({{"type", "log"}, {"options", {"x"}}});
  std::string text = line->description();
  EXPECT_EQ(text.rfind("<QVModuleLogLine 0x", 0), 0u) << text;
  EXPECT_NE(text.find(R"(: jsonDict={"options":["x"],"type":"log"}>)"), std::string::npos) << text;
  EXPECT_NE(QVModuleLogLine::systemLogWithString("s")->description().find("jsonDict=(null)>"),
            std::string::npos);
}

}  // namespace
