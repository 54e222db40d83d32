#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "TelemetryAnalytics/Model/TLAnalyticsLogs.h"
#include "TelemetryTestSupport.h"

namespace {

using tltesting::MessageRecorder;

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::shared_ptr<TLEventLog> eventWith(const std::function<void(TLEventProperties&)>& fill) {
  auto log = TLEventLog::init();
  log->setName("purchase");
  log->setEventId("E1");
  log->setTimestamp(platform::Date::fromTimeIntervalSince1970(1700000000));
  auto properties = TLEventProperties::init();
  fill(*properties);
  log->setTypedProperties(properties);
  return log;
}

TEST(EventPropertiesTest, SettersRefuseMissingKeysValuesAndNonFiniteDoubles) {
  MessageRecorder recorder;
  auto bag = TLEventProperties::init();
  bag->setString("v", std::nullopt)
      .setString(std::nullopt, "k")
      .setDate(std::nullopt, "d")
      .setInt64(1, std::nullopt)
      .setBool(true, std::nullopt)
      .setDouble(std::nan(""), "nan")
      .setDouble(std::numeric_limits<double>::infinity(), "inf")
      .setDouble(-std::numeric_limits<double>::infinity(), "-inf");
  EXPECT_TRUE(bag->isEmpty());
  auto errors = recorder.texts(TLLogLevelError);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), "Key cannot be null. Property will not be added."), 3);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), "Value cannot be null. Property will not be added."), 2);
  EXPECT_TRUE(
      contains(errors, "Double value for property 'nan' must be finite (cannot be INFINITY or NAN)."));
  EXPECT_TRUE(
      contains(errors, "Double value for property '-inf' must be finite (cannot be INFINITY or NAN)."));

  bag->setString("a", "k").setInt64(5, "n").setString("b", "k");
  EXPECT_EQ(bag->count(), 2u);
  EXPECT_EQ(bag->serializeToArray(), nlohmann::json::parse(R"([{"type":"string","name":"k","value":"b"},
                                                                {"type":"long","name":"n","value":5}])"));
}

TEST(EventPropertiesTest, MergeOverwritesEqualKeysAndEqualityIgnoresOrder) {
  auto base = TLEventProperties::init();
  base->setString("old", "shared").setBool(true, "mine");
  auto other = TLEventProperties::init();
  other->setString("new", "shared").setDouble(2.5, "theirs");
  base->mergeEventProperties(*other);
  EXPECT_EQ(base->count(), 3u);
  auto shared = std::dynamic_pointer_cast<TLStringTypedProperty>(base->propertyForKey("shared"));
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->value(), "new");
  auto reordered = TLEventProperties::init();
  reordered->setDouble(2.5, "theirs").setBool(true, "mine").setString("new", "shared");
  EXPECT_TRUE(base->isEqual(*reordered));
  reordered->setBool(false, "mine");
  EXPECT_FALSE(base->isEqual(*reordered));
  EXPECT_TRUE(TLEventProperties::init()->isEmpty());
}

TEST(AnalyticsLogsTest, JsonFormsOfPageEventAndStartSession) {
  auto page = TLPageLog::init();
  page->setName("Home");
  page->setProperties(std::map<std::string, std::string>{{"from", "menu"}});
  auto pageJson = page->serializeToDictionary();
  EXPECT_EQ(pageJson["type"], "page");
  EXPECT_EQ(pageJson["name"], "Home");
  EXPECT_EQ(pageJson["properties"], nlohmann::json({{"from", "menu"}}));
  EXPECT_FALSE(pageJson.contains("id"));
  EXPECT_FALSE(pageJson.contains("typedProperties"));

  auto event = eventWith([](TLEventProperties& p) { p.setInt64(3, "count"); });
  auto eventJson = event->serializeToDictionary();
  EXPECT_EQ(eventJson["type"], "event");
  EXPECT_EQ(eventJson["id"], "E1");
  EXPECT_EQ(eventJson["typedProperties"],
            nlohmann::json::parse(R"([{"type":"long","name":"count","value":3}])"));
  event->setTypedProperties(nullptr);
  EXPECT_FALSE(event->serializeToDictionary().contains("typedProperties"));

  auto session = TLStartSessionLog::init();
  session->setSid("S");
  EXPECT_EQ(session->serializeToDictionary()["type"], "startSession");
  EXPECT_EQ(session->serializeToDictionary()["sid"], "S");
}

TEST(AnalyticsLogsTest, ArchivedEventsComeBackWithIdNameAndTypedProperties) {
  TLRegisterAnalyticsArchivedClasses();
  auto event = eventWith([](TLEventProperties& p) {
    p.setString("v", "s").setBool(true, "b").setInt64(-7, "l").setDouble(0.5, "d");
    p.setDate(platform::Date::fromTimeIntervalSince1970(1), "t");
  });
  auto decoded =
      TLUnarchivedObject(TLArchivedData(platform::ArchiveObject(event))).asObjectOfClass<TLEventLog>();
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*event));
  EXPECT_EQ(decoded->eventId(), "E1");
  EXPECT_EQ(decoded->name(), "purchase");
  ASSERT_TRUE(decoded->typedProperties());
  EXPECT_TRUE(decoded->typedProperties()->isEqual(*event->typedProperties()));
  EXPECT_EQ(decoded->metadataTypeIdMapping().at("dateTime"), 9);

  auto page = TLPageLog::init();
  page->setName("Home");
  auto decodedPage =
      TLUnarchivedObject(TLArchivedData(platform::ArchiveObject(page))).asObjectOfClass<TLPageLog>();
  ASSERT_TRUE(decodedPage);
  EXPECT_EQ(decodedPage->name(), "Home");
  auto session = TLStartSessionLog::init();
  session->setSid("S");
  auto decodedSession = TLUnarchivedObject(TLArchivedData(platform::ArchiveObject(session)))
                            .asObjectOfClass<TLStartSessionLog>();
  ASSERT_TRUE(decodedSession);
  EXPECT_EQ(decodedSession->sid(), "S");
}

// ---- Event Schema data and metadata ----

struct SchemaCase {
  const char* name;
  std::function<void(TLEventProperties&)> fill;
  const char* data;      // expected "data" JSON, or "" for none
  const char* metadata;  // expected metadata JSON, or "" for none
  std::vector<std::string> warnings;
};

TEST(AnalyticsLogsTest, EventSchemaDataAndMetadataFollowTheBaseAndNestingRules) {
  const SchemaCase cases[] = {
      {"nesting",
       [](TLEventProperties& p) { p.setInt64(1, "a.b").setString("x", "a.c"); },
       R"({"a":{"b":1,"c":"x"}})",
       R"({"f":{"a":{"f":{"b":4}}}})",
       {}},
      {"typed leaves",
       [](TLEventProperties& p) {
         p.setDouble(1.5, "d").setBool(true, "b").setDate(platform::Date::fromTimeIntervalSince1970(0), "t");
       },
       R"({"d":1.5,"b":true,"t":"1970-01-01T00:00:00.000Z"})",
       R"({"f":{"d":6,"t":9}})",
       {}},
      {"baseType alone",
       [](TLEventProperties& p) { p.setString("T", "baseType").setInt64(1, "n"); },
       R"({"n":1})",
       R"({"f":{"n":4}})",
       {"baseType was set but baseData is missing."}},
      {"baseData without baseType",
       [](TLEventProperties& p) { p.setInt64(1, "baseData.x").setString("v", "s"); },
       R"({"s":"v"})",
       "",
       {"baseData was set but baseType is missing or invalid."}},
      {"boolean baseType counts as missing",
       [](TLEventProperties& p) { p.setBool(true, "baseType").setInt64(1, "baseData.x"); },
       "",
       "",
       {"baseData was set but baseType is missing or invalid."}},
      {"base pair",
       [](TLEventProperties& p) { p.setString("T", "baseType").setInt64(2, "baseData.x"); },
       R"({"baseType":"T","baseData":{"x":2}})",
       R"({"f":{"baseData":{"f":{"x":4}}}})",
       {}},
      {"object rules",
       [](TLEventProperties& p) {
         p.setString("T", "baseType")
             .setInt64(2, "baseData.x")
             .setString("o", "baseType.y")
             .setString("d", "baseData");
       },
       R"({"baseType":"T","baseData":{"x":2}})",
       R"({"f":{"baseData":{"f":{"x":4}}}})",
       {"baseType must not be an object.", "baseData must be an object."}},
      {"plain value first wins",
       [](TLEventProperties& p) { p.setString("x", "a").setInt64(1, "a.b"); },
       R"({"a":"x"})",
       "",
       {"Property key 'b' already has a value, choosing one."}},
      {"object first wins",
       [](TLEventProperties& p) { p.setInt64(1, "a.b").setString("x", "a"); },
       R"({"a":{"b":1}})",
       R"({"f":{"a":{"f":{"b":4}}}})",
       {"Property key 'a' already has a value, choosing one."}},
      {"a loser keeps the winner's metadata whole",
       [](TLEventProperties& p) { p.setInt64(1, "x.y").setInt64(2, "x.y.z"); },
       R"({"x":{"y":1}})",
       R"({"f":{"x":{"f":{"y":4}}}})",
       {"Property key 'z' already has a value, choosing one."}},
  };
  for (const auto& c : cases) {
    MessageRecorder recorder;
    auto event = eventWith(c.fill);
    auto log = event->toEventSchemaLogForTargetToken("key-token", 1);
    ASSERT_TRUE(log) << c.name;
    EXPECT_EQ(log->name(), "purchase") << c.name;
    if (*c.data) {
      ASSERT_TRUE(log->data()) << c.name;
      EXPECT_EQ(log->data()->serializeToDictionary(), nlohmann::json::parse(c.data)) << c.name;
    } else {
      EXPECT_FALSE(log->data()) << c.name;
    }
    auto metadata = log->ext() ? log->ext()->metadataExt() : nullptr;
    if (*c.metadata) {
      ASSERT_TRUE(metadata) << c.name;
      EXPECT_EQ(metadata->serializeToDictionary(), nlohmann::json::parse(c.metadata)) << c.name;
    } else {
      EXPECT_FALSE(metadata) << c.name;
    }
    EXPECT_EQ(recorder.texts(TLLogLevelWarning), c.warnings) << c.name;
  }
}

TEST(AnalyticsLogsTest, TheEventSchemaLogCarriesTheEventsTag) {
  auto event = eventWith([](TLEventProperties&) {});
  auto owner = std::make_shared<int>(1);
  event->setTag(owner);
  auto log = event->toEventSchemaLogForTargetToken("key-token", 2);
  EXPECT_EQ(log->tag(), owner);
  EXPECT_EQ(log->iKey(), "o:key");
  EXPECT_FALSE(log->data());
}

}  // namespace
