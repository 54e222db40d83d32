#include <gtest/gtest.h>

#include <thread>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLCustomPropertiesLog.h"
#include "Telemetry/Internals/Model/TLLogContainer.h"
#include "Telemetry/Internals/Model/TLLogWithProperties.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Model/TLTypedProperty.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryTestSupport.h"
#include "platform/Files.h"
#include "platform/KeyedArchiver.h"
#include "testing/TreePaths.h"

namespace {

using nlohmann::json;

const platform::Date kWhen = platform::Date::fromTimeIntervalSince1970(1554111005.120);

std::shared_ptr<TLDevice> requiredDevice() {
  auto device = TLDevice::init();
  device->setSdkName("telemetry.macos");
  device->setSdkVersion("2.5.0");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12.11.0");
  device->setLocale("en_GB");
  device->setTimeZoneOffset(-300);
  device->setAppVersion("1.0.0");
  device->setAppBuild("42");
  return device;
}

std::shared_ptr<TLDevice> fullDevice() {
  auto device = requiredDevice();
  device->setWrapperSdkVersion("1.2");
  device->setWrapperSdkName("wrapper");
  device->setWrapperRuntimeVersion("20.1");
  device->setLiveUpdateReleaseLabel("v3");
  device->setLiveUpdateDeploymentKey("staging");
  device->setLiveUpdatePackageHash("cafe");
  device->setModel("ThinkPad X1");
  device->setOemName("LENOVO");
  device->setOsBuild("6.1.0-18-amd64");
  device->setOsApiLevel(33);
  device->setScreenSize("1800x2880");
  device->setCarrierName("none");
  device->setCarrierCountry("GB");
  device->setAppNamespace("com.quorvane.dashboard");
  return device;
}

const json kRequiredDeviceJson = json::parse(R"({
  "sdkName": "telemetry.macos", "sdkVersion": "2.5.0", "osName": "Debian GNU/Linux", "osVersion": "12.11.0",
  "locale": "en_GB", "timeZoneOffset": -300, "appVersion": "1.0.0", "appBuild": "42"})");

template <typename T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  auto data = TLArchivedData(object);
  return TLUnarchivedObject(data).template asObjectOfClass<T>();
}

platform::ArchiveObject fixture(const std::string& name) {
  auto data = platform::files::readFile(std::string(QV_TELEMETRY_FIXTURES) + "/" + name);
  EXPECT_TRUE(data) << name;
  return data ? TLUnarchivedObject(*data) : platform::ArchiveObject();
}

// ---- Device ----

TEST(Device, GoldenJsonWithEightAndTwentyTwoFields) {
  auto required = requiredDevice();
  EXPECT_TRUE(required->isValid());
  EXPECT_EQ(required->serializeToDictionary(), kRequiredDeviceJson);
  EXPECT_TRUE(required->serializeToDictionary()["timeZoneOffset"].is_number_integer());

  auto full = fullDevice();
  json expected = kRequiredDeviceJson;
  expected.update(json::parse(R"({
    "wrapperSdkVersion": "1.2", "wrapperSdkName": "wrapper", "wrapperRuntimeVersion": "20.1",
    "liveUpdateReleaseLabel": "v3", "liveUpdateDeploymentKey": "staging", "liveUpdatePackageHash": "cafe",
    "model": "ThinkPad X1", "oemName": "LENOVO", "osBuild": "6.1.0-18-amd64", "osApiLevel": 33,
    "screenSize": "1800x2880", "carrierName": "none", "carrierCountry": "GB",
    "appNamespace": "com.quorvane.dashboard"})"));
  EXPECT_EQ(full->serializeToDictionary(), expected);
  EXPECT_EQ(full->serializeToDictionary().size(), 22u);
}

TEST(Device, ValidityNeedsEveryRequiredField) {
  using Setter = void (*)(TLDevice&);
  const std::pair<const char*, Setter> removals[] = {
      {"sdkName", [](TLDevice& d) { d.setSdkName(std::nullopt); }},
      {"sdkVersion", [](TLDevice& d) { d.setSdkVersion(std::nullopt); }},
      {"osName", [](TLDevice& d) { d.setOsName(std::nullopt); }},
      {"osVersion", [](TLDevice& d) { d.setOsVersion(std::nullopt); }},
      {"locale", [](TLDevice& d) { d.setLocale(std::nullopt); }},
      {"timeZoneOffset", [](TLDevice& d) { d.setTimeZoneOffset(std::nullopt); }},
      {"appVersion", [](TLDevice& d) { d.setAppVersion(std::nullopt); }},
      {"appBuild", [](TLDevice& d) { d.setAppBuild(std::nullopt); }},
  };
  for (const auto& [name, remove] : removals) {
    auto device = fullDevice();
    remove(*device);
    EXPECT_FALSE(device->isValid()) << name;
  }
  auto empty = requiredDevice();
  empty->setLocale("");
  EXPECT_TRUE(empty->isValid());
}

TEST(Device, EqualityAndArchiveRoundTrip) {
  auto a = fullDevice();
  auto b = fullDevice();
  EXPECT_TRUE(a->isEqual(*b));
  b->setLiveUpdatePackageHash("beef");
  EXPECT_FALSE(a->isEqual(*b));
  auto wrapper = TLWrapperSdk::init();
  EXPECT_FALSE(a->isEqual(*wrapper));

  for (const auto& device : {fullDevice(), requiredDevice(), TLDevice::init()}) {
    auto copy = roundTrip(device);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*device));
    EXPECT_EQ(copy->serializeToDictionary(), device->serializeToDictionary());
  }
  auto sdk = TLWrapperSdk::initWithWrapperSdkVersion("1", "n", std::nullopt, std::nullopt, std::nullopt, "h");
  auto sdkCopy = roundTrip(sdk);
  ASSERT_TRUE(sdkCopy);
  EXPECT_TRUE(sdkCopy->isEqual(*sdk));
  EXPECT_EQ(sdkCopy->serializeToDictionary(), json::parse(R"({"wrapperSdkVersion":"1","wrapperSdkName":"n",
    "liveUpdatePackageHash":"h"})"));
}

// ---- Logs ----

std::shared_ptr<TLStartServiceLog> startServiceLog() {
  auto log = TLStartServiceLog::init();
  log->setTimestamp(kWhen);
  log->setDevice(requiredDevice());
  log->setServices(std::vector<std::string>{"Analytics", "Crashes"});
  return log;
}

TEST(Logs, StartServiceGolden) {
  auto log = startServiceLog();
  EXPECT_TRUE(log->isValid());
  json expected = {{"type", "startService"},
                   {"timestamp", "2019-04-01T09:30:05.120Z"},
                   {"device", kRequiredDeviceJson},
                   {"services", {"Analytics", "Crashes"}}};
  EXPECT_EQ(log->serializeToDictionary(), expected);
  EXPECT_EQ(json::parse(*log->serializeLogWithPrettyPrinting(false)), expected);
  EXPECT_EQ(json::parse(*log->serializeLogWithPrettyPrinting(true)), expected);
  EXPECT_NE(log->serializeLogWithPrettyPrinting(true)->find('\n'), std::string::npos);
  EXPECT_NE(dynamic_cast<TLNoAutoAssignSessionIdLog*>(log.get()), nullptr);
  log->setServices(std::vector<std::string>{});
  EXPECT_EQ(log->serializeToDictionary()["services"], json::array());
}

TEST(Logs, ValidityOfTheBase) {
  auto log = TLAbstractLog::init();
  log->setType("event");
  EXPECT_FALSE(log->isValid());
  log->setTimestamp(kWhen);
  EXPECT_FALSE(log->isValid());
  auto device = requiredDevice();
  device->setAppBuild(std::nullopt);
  log->setDevice(device);
  EXPECT_FALSE(log->isValid());
  log->setDevice(requiredDevice());
  EXPECT_TRUE(log->isValid());
  // No null members are ever written.
  EXPECT_EQ(log->serializeToDictionary().size(), 3u);
}

TEST(Logs, SlashesAreNeverEscapedAndBackslashesKept) {
  auto log = startServiceLog();
  log->device()->setAppNamespace("a/b");
  log->setUserId("a\\/b");
  auto text = *log->serializeLogWithPrettyPrinting(false);
  EXPECT_NE(text.find("\"appNamespace\":\"a/b\""), std::string::npos) << text;
  auto parsed = json::parse(text);
  EXPECT_EQ(parsed["userId"], "a\\/b");
  auto container = TLLogContainer::initWithBatchId("batch", {log});
  EXPECT_EQ(json::parse(*container->serializeLog())["logs"][0]["userId"], "a\\/b");
}

TEST(Logs, InvalidUtf8IsReplacedWhenWritten) {
  auto log = startServiceLog();
  log->setSid(std::string("bad\xff"));
  auto parsed = json::parse(*log->serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(parsed["sid"], "bad\xEF\xBF\xBD");
}

TEST(Logs, EqualityComparesTagButNotTokens) {
  auto a = startServiceLog();
  auto b = startServiceLog();
  EXPECT_TRUE(a->isEqual(*b));
  a->addTransmissionTargetToken("t1");
  EXPECT_TRUE(a->isEqual(*b));
  auto tag = std::make_shared<int>(1);
  a->setTag(tag);
  EXPECT_FALSE(a->isEqual(*b));
  b->setTag(tag);
  EXPECT_TRUE(a->isEqual(*b));
  b->setServices(std::vector<std::string>{"Analytics"});
  EXPECT_FALSE(a->isEqual(*b));
  auto plain = TLAbstractLog::init();
  EXPECT_FALSE(a->isEqual(*plain));
  auto withProperties = TLLogWithProperties::init();
  EXPECT_FALSE(withProperties->isEqual(*plain));
}

TEST(Logs, TargetTokensAreReplacedNotChanged) {
  auto log = TLAbstractLog::init();
  EXPECT_FALSE(log->transmissionTargetTokens());
  log->addTransmissionTargetToken("a");
  auto before = log->transmissionTargetTokens();
  log->addTransmissionTargetToken("a");
  log->addTransmissionTargetToken("b");
  EXPECT_EQ(*before, (std::set<std::string>{"a"}));
  EXPECT_EQ(*log->transmissionTargetTokens(), (std::set<std::string>{"a", "b"}));
  // Readers iterate while writers add.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        log->addTransmissionTargetToken(fmt::format("{}-{}", t, i));
        std::size_t n = 0;
        auto tokens = log->transmissionTargetTokens();
        for (const auto& token : *tokens) n += token.size() > 0;
        EXPECT_GT(n, 0u);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(log->transmissionTargetTokens()->size(), 802u);
}

TEST(Logs, LogWithProperties) {
  auto log = TLLogWithProperties::init();
  log->setType("event");
  log->setProperties(std::map<std::string, std::string>{});
  EXPECT_FALSE(log->serializeToDictionary().contains("properties"));
  log->setProperties(std::map<std::string, std::string>{{"key", "value"}});
  EXPECT_EQ(log->serializeToDictionary()["properties"], json({{"key", "value"}}));
  auto copy = roundTrip(log);
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(*log));
  auto other = TLLogWithProperties::init();
  other->setType("event");
  EXPECT_FALSE(other->isEqual(*log));
}

TEST(Logs, ArchiveRoundTripKeepsFieldsAndDropsTagAndTokens) {
  auto log = startServiceLog();
  log->setSid("5F7C3D2E-0000-4000-8000-000000000001");
  log->setUserId("alice");
  log->setDistributionGroupId("group");
  log->setTag(std::make_shared<int>(3));
  log->addTransmissionTargetToken("token");
  auto copy = roundTrip(log);
  ASSERT_TRUE(copy);
  EXPECT_FALSE(copy->tag());
  EXPECT_FALSE(copy->transmissionTargetTokens());
  log->setTag(nullptr);
  EXPECT_TRUE(copy->isEqual(*log));
  EXPECT_EQ(copy->serializeToDictionary(), log->serializeToDictionary());
}

TEST(Logs, HandWrittenArchivesDecode) {
  auto log = fixture("archive-start-service-log.xml").asObjectOfClass<TLStartServiceLog>();
  ASSERT_TRUE(log);
  json expectedDevice = kRequiredDeviceJson;
  expectedDevice["wrapperSdkName"] = "wrapper";
  json expected = {{"type", "startService"},
                   {"timestamp", "2019-04-01T09:30:05.120Z"},
                   {"device", expectedDevice},
                   {"services", {"Analytics", "Crashes"}}};
  EXPECT_EQ(log->serializeToDictionary(), expected);
  EXPECT_TRUE(log->isValid());

  auto custom = fixture("archive-custom-properties-log.xml").asObjectOfClass<TLCustomPropertiesLog>();
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom->type(), "customProperties");
  json properties = custom->serializeToDictionary()["properties"];
  json expectedProperties = json::parse(R"([
    {"name": "count", "type": "number", "value": 7},
    {"name": "flag", "type": "boolean", "value": true},
    {"name": "gone", "type": "clear"},
    {"name": "ratio", "type": "number", "value": 2.5},
    {"name": "when", "type": "dateTime", "value": "2019-04-01T09:30:05.120Z"}])");
  EXPECT_EQ(properties, expectedProperties);
}

TEST(Logs, BadArchivesDecodeToNil) {
  // The start-service fixture with mistyped fields, and bytes that are no archive at all.
  auto text =
      *platform::files::readTextFile(std::string(QV_TELEMETRY_FIXTURES) + "/archive-start-service-log.xml");
  // The fixture with every occurrence of `from` replaced.
  auto mistyped = [&](const std::string& from, const std::string& to, const std::string& from2 = "",
                      const std::string& to2 = "") {
    std::string changed = text;
    for (const auto& [a, b] : {std::pair(from, to), std::pair(from2, to2)}) {
      if (a.empty()) continue;
      EXPECT_NE(changed.find(a), std::string::npos) << a;
      for (auto at = changed.find(a); at != std::string::npos; at = changed.find(a, at + b.size()))
        changed.replace(at, a.size(), b);
    }
    return TLUnarchivedObject(platform::dataFromString(changed));
  };
  // The type is a number.
  EXPECT_TRUE(mistyped("<string>startService</string>", "<integer>5</integer>").isNil());
  // A service name is a number.
  EXPECT_TRUE(mistyped("<string>Crashes</string>", "<integer>5</integer>").isNil());
  // The device is a string.
  EXPECT_TRUE(mistyped("<string>TLDevice</string>", "<string>NSString</string>").isNil());
  // A class chain with no known class.
  EXPECT_TRUE(mistyped("<string>TLStartServiceLog</string>", "<string>TLNoSuchLog</string>",
                       "<string>TLAbstractLog</string>", "<string>TLNoSuchBase</string>")
                  .isNil());
  // A log kind unknown here but known by its base class decodes as the base.
  auto base = mistyped("<string>TLStartServiceLog</string>", "<string>TLFutureLog</string>");
  ASSERT_TRUE(base.asObjectOfClass<TLAbstractLog>());
  EXPECT_FALSE(base.asObjectOfClass<TLStartServiceLog>());
  EXPECT_TRUE(TLUnarchivedObject(platform::dataFromString("garbage")).isNil());
  EXPECT_TRUE(TLUnarchivedObject({}).isNil());
  // A truncated archive.
  auto data = TLArchivedData(startServiceLog());
  data.resize(data.size() / 2);
  EXPECT_TRUE(TLUnarchivedObject(data).isNil());
}

// ---- Custom properties ----

TEST(CustomProperties, GoldenAndValueKinds) {
  auto log = TLCustomPropertiesLog::init();
  log->setTimestamp(kWhen);
  log->setDevice(requiredDevice());
  log->setProperties(platform::ArchiveObject::Dictionary{});
  EXPECT_FALSE(log->isValid());
  EXPECT_EQ(log->serializeToDictionary()["properties"], json::array());
  log->setProperties(platform::ArchiveObject::Dictionary{
      {"color", "blue"},
      {"flag", true},
      {"one", 1},
      {"half", 0.5},
      {"when", kWhen},
      {"clear", platform::Null{}},
      {"list", platform::ArchiveObject::Array{"a"}},
      {"blob", platform::Data{1, 2}},
  });
  EXPECT_TRUE(log->isValid());
  json expected = {{"type", "customProperties"},
                   {"timestamp", "2019-04-01T09:30:05.120Z"},
                   {"device", kRequiredDeviceJson},
                   {"properties", json::parse(R"([
                      {"name": "clear", "type": "clear"},
                      {"name": "color", "type": "string", "value": "blue"},
                      {"name": "flag", "type": "boolean", "value": true},
                      {"name": "half", "type": "number", "value": 0.5},
                      {"name": "one", "type": "number", "value": 1},
                      {"name": "when", "type": "dateTime", "value": "2019-04-01T09:30:05.120Z"}])")}};
  EXPECT_EQ(log->serializeToDictionary(), expected);
  EXPECT_FALSE(log->serializeToDictionary()["properties"][0].contains("value"));
}

TEST(CustomProperties, ArchiveHoldsTypeTwiceAndDecodesFromItsOwnKey) {
  auto log = TLCustomPropertiesLog::init();
  log->setTimestamp(kWhen);
  log->setDevice(requiredDevice());
  log->setProperties(platform::ArchiveObject::Dictionary{{"flag", true}, {"n", 1}, {"when", kWhen}});
  auto data = TLArchivedData(log);
  auto copy = TLUnarchivedObject(data).asObjectOfClass<TLCustomPropertiesLog>();
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(*log));
  // Booleans stay booleans, distinct from the number 1.
  EXPECT_TRUE(copy->properties()->at("flag").asBoolean());
  EXPECT_TRUE(copy->properties()->at("n").asInteger());

  // An archive without "customProperties" gives a log without a type.
  platform::KeyedArchiver archiver;
  struct Partial : platform::Coding {
    std::vector<std::string> classesForCoder() const override {
      return {"TLCustomPropertiesLog", "TLAbstractLog"};
    }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override {
      coder.encodeObject("customProperties", "type");
      coder.encodeObject(platform::ArchiveObject::Dictionary{{"a", "b"}}, "properties");
    }
  };
  auto partial = TLUnarchivedObject(TLArchivedData(std::make_shared<Partial>()))
                     .asObjectOfClass<TLCustomPropertiesLog>();
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->type());
  EXPECT_FALSE(partial->isValid());
}

// ---- Typed properties ----

TEST(TypedProperties, GoldensEqualityAndArchives) {
  auto text = TLStringTypedProperty::init();
  text->setName("s");
  text->setValue("v");
  auto flag = TLBooleanTypedProperty::init();
  flag->setName("b");
  flag->setValue(true);
  auto count = TLLongTypedProperty::init();
  count->setName("l");
  count->setValue(5);
  auto ratio = TLDoubleTypedProperty::init();
  ratio->setName("d");
  ratio->setValue(5.0);
  auto when = TLDateTimeTypedProperty::init();
  when->setName("t");
  when->setValue(kWhen);
  auto noValue = TLStringTypedProperty::init();
  noValue->setName("empty");

  const std::pair<std::shared_ptr<TLTypedProperty>, json> goldens[] = {
      {text, {{"type", "string"}, {"name", "s"}, {"value", "v"}}},
      {flag, {{"type", "boolean"}, {"name", "b"}, {"value", true}}},
      {count, {{"type", "long"}, {"name", "l"}, {"value", 5}}},
      {ratio, {{"type", "double"}, {"name", "d"}, {"value", 5.0}}},
      {when, {{"type", "dateTime"}, {"name", "t"}, {"value", "2019-04-01T09:30:05.120Z"}}},
      {noValue, {{"type", "string"}, {"name", "empty"}}},
  };
  for (const auto& [property, expected] : goldens) {
    EXPECT_EQ(property->serializeToDictionary(), expected);
    auto copy = roundTrip(property);
    ASSERT_TRUE(copy) << expected.dump();
    EXPECT_TRUE(copy->isEqual(*property)) << expected.dump();
    EXPECT_EQ(copy->serializeToDictionary(), expected);
  }
  EXPECT_TRUE(goldens[2].second["value"].is_number_integer());
  EXPECT_TRUE(goldens[3].second["value"].is_number_float());
  // The name is not compared; the kind is.
  auto renamed = TLLongTypedProperty::init();
  renamed->setName("other");
  renamed->setValue(5);
  EXPECT_TRUE(renamed->isEqual(*count));
  EXPECT_FALSE(count->isEqual(*ratio));
  EXPECT_FALSE(ratio->isEqual(*count));
}

// ---- Container ----

TEST(Container, ValidityAndText) {
  auto empty = TLLogContainer::initWithBatchId("b", {});
  EXPECT_FALSE(empty->isValid());
  EXPECT_EQ(*empty->serializeLog(), R"({"logs":[]})");

  auto first = startServiceLog();
  auto second = TLCustomPropertiesLog::init();
  second->setTimestamp(kWhen);
  second->setDevice(requiredDevice());
  second->setProperties(
      platform::ArchiveObject::Dictionary{{"color", "blue"}, {"list", platform::ArchiveObject::Array{}}});
  auto container = TLLogContainer::initWithBatchId("batch-1", {first, second});
  EXPECT_TRUE(container->isValid());
  auto compact = *container->serializeLog();
  EXPECT_EQ(compact.find('\n'), std::string::npos);
  json expected = {{"logs", {first->serializeToDictionary(), second->serializeToDictionary()}}};
  EXPECT_EQ(json::parse(compact), expected);
  EXPECT_EQ(json::parse(*container->serializeLogWithPrettyPrinting(true)), expected);
  EXPECT_EQ(compact.find("batch-1"), std::string::npos);
  EXPECT_EQ(expected["logs"][1]["properties"].size(), 1u);

  auto third = startServiceLog();
  auto broken = startServiceLog();
  broken->setTimestamp(std::nullopt);
  EXPECT_FALSE(TLLogContainer::initWithBatchId("b", {first, broken, third})->isValid());
}

}  // namespace
