#include <gtest/gtest.h>

#include <functional>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLCSEpochAndSeq.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Model/TLLogContainer.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "platform/KeyedArchiver.h"

namespace {

using nlohmann::json;

const platform::Date kWhen = platform::Date::fromTimeIntervalSince1970(1554111005.120);
const platform::UUIDBytes kInstallId =
    *platform::UUIDBytes::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");

template <typename T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  return TLUnarchivedObject(TLArchivedData(object)).template asObjectOfClass<T>();
}

std::string text(const TLAbstractLog& log) { return *log.serializeLogWithPrettyPrinting(false); }

// Every part filled.
std::shared_ptr<TLCSExtensions> fullExtensions() {
  auto ext = TLCSExtensions::init();
  auto metadata = TLMetadataExtension::init();
  metadata->setMetadata(json{{"f", {{"count", 4}}}});
  ext->setMetadataExt(metadata);
  auto protocol = TLProtocolExtension::init();
  protocol->setTicketKeys(std::vector<std::string>{"k1", "k2"});
  protocol->setDevMake("LENOVO");
  protocol->setDevModel("ThinkPad X1");
  ext->setProtocolExt(protocol);
  auto user = TLUserExtension::init();
  user->setLocalId("c:alice");
  user->setLocale("en-GB");
  ext->setUserExt(user);
  auto device = TLDeviceExtension::init();
  device->setLocalId("d:1");
  ext->setDeviceExt(device);
  auto os = TLOSExtension::init();
  os->setName("Debian GNU/Linux");
  os->setVer("Version 12.11.0");
  ext->setOsExt(os);
  auto app = TLAppExtension::init();
  app->setAppId("I:com.quorvane.dashboard");
  app->setVer("1.0.0");
  app->setName("Quorvane");
  app->setLocale("en");
  app->setUserId("u");
  ext->setAppExt(app);
  auto net = TLNetExtension::init();
  net->setProvider("none");
  ext->setNetExt(net);
  auto sdk = TLSDKExtension::init();
  sdk->setLibVer("telemetry.macos-2.5.0");
  sdk->setEpoch("EPOCH");
  sdk->setSeq(7);
  sdk->setInstallId(kInstallId);
  ext->setSdkExt(sdk);
  auto loc = TLLocExtension::init();
  loc->setTz("+05:30");
  ext->setLocExt(loc);
  return ext;
}

std::shared_ptr<TLCSData> data(json properties) {
  auto data = TLCSData::init();
  data->setProperties(std::move(properties));
  return data;
}

// Every field filled, set in the reverse of the written order.
std::shared_ptr<TLEventSchemaLog> fullLog() {
  auto log = TLEventSchemaLog::init();
  log->setData(data(json{{"z", 1}, {"baseData", {{"b", true}}}, {"baseType", "T"}}));
  log->setExt(fullExtensions());
  log->setCV("cv");
  log->setFlags(2);
  log->setIKey("o:abc");
  log->setPopSample(12.5);
  log->setTimestamp(kWhen);
  log->setName("ev");
  log->setVer("3.0");
  log->addTransmissionTargetToken("abc-def-1");
  return log;
}

// ---- Envelope ----

TEST(EventSchemaLog, GoldenTextKeepsItsMemberOrder) {
  auto log = fullLog();
  EXPECT_EQ(text(*log),
            R"({"ver":"3.0","name":"ev","time":"2019-04-01T09:30:05.120Z","iKey":"o:abc","flags":2,)"
            R"("ext":{"app":{"id":"I:com.quorvane.dashboard","locale":"en","name":"Quorvane","userId":"u",)"
            R"("ver":"1.0.0"},"device":{"localId":"d:1"},"loc":{"tz":"+05:30"},"metadata":{"f":{"count":4}},)"
            R"("net":{"provider":"none"},"os":{"name":"Debian GNU/Linux","ver":"Version 12.11.0"},)"
            R"("protocol":{"devMake":"LENOVO","devModel":"ThinkPad X1","ticketKeys":["k1","k2"]},)"
            R"("sdk":{"epoch":"EPOCH","installId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)"
            R"("libVer":"telemetry.macos-2.5.0","seq":7},"user":{"localId":"c:alice","locale":"en-GB"}},)"
            R"("data":{"baseType":"T","baseData":{"b":true},"z":1}})");
  // The plain dictionary holds the same members.
  EXPECT_EQ(log->serializeToDictionary(), json::parse(text(*log)));

  // Flags 0 leave "flags" out; an ext whose parts write nothing is still "ext": {}; data without
  // properties is left out.
  auto bare = TLEventSchemaLog::init();
  bare->setVer("3.0");
  bare->setTimestamp(kWhen);
  auto ext = TLCSExtensions::init();
  ext->setNetExt(TLNetExtension::init());
  ext->setAppExt(TLAppExtension::init());
  ext->setSdkExt(TLSDKExtension::init());
  bare->setExt(ext);
  bare->setData(TLCSData::init());
  EXPECT_EQ(text(*bare), R"({"ver":"3.0","time":"2019-04-01T09:30:05.120Z","ext":{}})");
  EXPECT_EQ(TLEventSchemaLog::init()->serializeLogWithPrettyPrinting(false), "{}");

  // Inside a batch the order is kept too.
  auto container = TLLogContainer::initWithBatchId("b", {bare});
  EXPECT_EQ(container->serializeLog(),
            R"({"logs":[{"ver":"3.0","time":"2019-04-01T09:30:05.120Z","ext":{}}]})");
}

TEST(EventSchemaLog, Validity) {
  struct Case {
    const char* what;
    std::function<void(TLEventSchemaLog&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"every field", [](TLEventSchemaLog&) {}, true},
      {"no name", [](TLEventSchemaLog& l) { l.setName(std::nullopt); }, false},
      {"no ver", [](TLEventSchemaLog& l) { l.setVer(std::nullopt); }, false},
      {"no time", [](TLEventSchemaLog& l) { l.setTimestamp(std::nullopt); }, false},
      {"no iKey, ext or data",
       [](TLEventSchemaLog& l) {
         l.setIKey(std::nullopt);
         l.setExt(nullptr);
         l.setData(nullptr);
       },
       true},
  };
  for (const auto& c : cases) {
    auto log = fullLog();
    c.change(*log);
    EXPECT_EQ(log->isValid(), c.valid) << c.what;
  }
}

TEST(EventSchemaLog, ArchiveKeepsEveryFieldAndEachFieldTakesPartInEquality) {
  auto log = fullLog();
  auto copy = roundTrip(log);
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(*log));
  EXPECT_EQ(copy->popSample(), 12.5);
  EXPECT_EQ(copy->cV(), "cv");
  EXPECT_EQ(text(*copy), text(*log));
  // popSample and cV never reach JSON.
  EXPECT_EQ(text(*log).find("cv"), std::string::npos);
  EXPECT_EQ(text(*log).find("12.5"), std::string::npos);
  // A log stored as an archive decodes as an Event Schema log through the base class too.
  EXPECT_TRUE(std::dynamic_pointer_cast<TLEventSchemaLog>(
      TLUnarchivedObject(TLArchivedData(log)).asObjectOfClass<TLLog>()));

  const std::pair<const char*, std::function<void(TLEventSchemaLog&)>> changes[] = {
      {"ver", [](TLEventSchemaLog& l) { l.setVer("2.0"); }},
      {"name", [](TLEventSchemaLog& l) { l.setName(std::nullopt); }},
      {"popSample", [](TLEventSchemaLog& l) { l.setPopSample(1); }},
      {"iKey", [](TLEventSchemaLog& l) { l.setIKey("o:x"); }},
      {"flags", [](TLEventSchemaLog& l) { l.setFlags(1); }},
      {"cV", [](TLEventSchemaLog& l) { l.setCV("other"); }},
      {"ext part", [](TLEventSchemaLog& l) { l.ext()->sdkExt()->setSeq(8); }},
      {"ext absent", [](TLEventSchemaLog& l) { l.setExt(nullptr); }},
      {"data", [](TLEventSchemaLog& l) { l.setData(data(json::object())); }},
      {"base field", [](TLEventSchemaLog& l) { l.setSid("s"); }},
  };
  for (const auto& [what, change] : changes) {
    auto other = roundTrip(log);
    change(*other);
    EXPECT_FALSE(other->isEqual(*log)) << what;
    EXPECT_FALSE(log->isEqual(*other)) << what;
  }
  // An ordinary log is never equal to an Event Schema log.
  auto plain = TLStartServiceLog::init();
  plain->setTimestamp(kWhen);
  auto schema = TLEventSchemaLog::init();
  schema->setTimestamp(kWhen);
  EXPECT_FALSE(schema->isEqual(*plain));
}

// ---- Extensions and data ----

TEST(EventSchemaExtensions, EachPartWritesOnlyWhatItHolds) {
  struct Case {
    const char* what;
    std::function<void(TLCSExtensions&)> fill;
    json expected;
  };
  const Case cases[] = {
      {"no parts", [](TLCSExtensions&) {}, json::object()},
      {"app with only its id",
       [](TLCSExtensions& e) {
         e.setAppExt(TLAppExtension::init());
         e.appExt()->setAppId("I:x");
       },
       {{"app", {{"id", "I:x"}}}}},
      {"empty app, protocol, user and os are left out",
       [](TLCSExtensions& e) {
         e.setAppExt(TLAppExtension::init());
         e.setProtocolExt(TLProtocolExtension::init());
         e.setUserExt(TLUserExtension::init());
         e.setOsExt(TLOSExtension::init());
       },
       json::object()},
      {"sdk with seq 0 only", [](TLCSExtensions& e) { e.setSdkExt(TLSDKExtension::init()); }, json::object()},
      {"sdk with seq 5",
       [](TLCSExtensions& e) {
         e.setSdkExt(TLSDKExtension::init());
         e.sdkExt()->setSeq(5);
       },
       {{"sdk", {{"seq", 5}}}}},
      {"net without a provider, device and loc empty",
       [](TLCSExtensions& e) {
         e.setNetExt(TLNetExtension::init());
         e.setDeviceExt(TLDeviceExtension::init());
         e.setLocExt(TLLocExtension::init());
       },
       json::object()},
      {"metadata absent", [](TLCSExtensions& e) { e.setMetadataExt(TLMetadataExtension::init()); },
       json::object()},
      {"metadata empty",
       [](TLCSExtensions& e) {
         e.setMetadataExt(TLMetadataExtension::init());
         e.metadataExt()->setMetadata(json::object());
       },
       {{"metadata", json::object()}}},
      {"ticket keys empty",
       [](TLCSExtensions& e) {
         e.setProtocolExt(TLProtocolExtension::init());
         e.protocolExt()->setTicketKeys(std::vector<std::string>{});
       },
       {{"protocol", {{"ticketKeys", json::array()}}}}},
  };
  for (const auto& c : cases) {
    auto ext = TLCSExtensions::init();
    c.fill(*ext);
    EXPECT_EQ(ext->serializeToDictionary(), c.expected) << c.what;
    EXPECT_TRUE(ext->isValid()) << c.what;
    // Every case survives an archive unchanged.
    auto copy = roundTrip(ext);
    ASSERT_TRUE(copy) << c.what;
    EXPECT_TRUE(copy->isEqual(*ext)) << c.what;
    EXPECT_EQ(copy->serializeToDictionary(), c.expected) << c.what;
  }
}

TEST(EventSchemaExtensions, EqualityPartByPart) {
  auto a = fullExtensions();
  EXPECT_TRUE(roundTrip(a)->isEqual(*a));
  const std::pair<const char*, std::function<void(TLCSExtensions&)>> changes[] = {
      {"metadata", [](TLCSExtensions& e) { e.metadataExt()->setMetadata(json::object()); }},
      {"ticket keys", [](TLCSExtensions& e) { e.protocolExt()->setTicketKeys(std::nullopt); }},
      {"user locale", [](TLCSExtensions& e) { e.userExt()->setLocale("de"); }},
      {"device", [](TLCSExtensions& e) { e.setDeviceExt(nullptr); }},
      {"os", [](TLCSExtensions& e) { e.osExt()->setVer(std::nullopt); }},
      {"app user", [](TLCSExtensions& e) { e.appExt()->setUserId("v"); }},
      {"net", [](TLCSExtensions& e) { e.netExt()->setProvider("x"); }},
      {"install id", [](TLCSExtensions& e) { e.sdkExt()->setInstallId(std::nullopt); }},
      {"epoch", [](TLCSExtensions& e) { e.sdkExt()->setEpoch("E2"); }},
      {"tz", [](TLCSExtensions& e) { e.locExt()->setTz("+00:00"); }},
  };
  for (const auto& [what, change] : changes) {
    auto b = roundTrip(a);
    change(*b);
    EXPECT_FALSE(b->isEqual(*a)) << what;
  }

  // Metadata: both absent are equal; absent and empty are not.
  auto none1 = TLMetadataExtension::init();
  auto none2 = TLMetadataExtension::init();
  auto empty = TLMetadataExtension::init();
  empty->setMetadata(json::object());
  EXPECT_TRUE(none1->isEqual(*none2));
  EXPECT_FALSE(none1->isEqual(*empty));
  EXPECT_FALSE(empty->isEqual(*none1));
  EXPECT_TRUE(TLCSData::init()->isEqual(*TLCSData::init()));
  EXPECT_FALSE(TLCSData::init()->isEqual(*data(json::object())));
}

TEST(EventSchemaData, BaseTypeAndBaseDataComeFirst) {
  auto properties = data(json::object());
  // Entries set as an ordinary key, "baseData", "baseType".
  auto p = json::object();
  p["a"] = "x";
  p["baseData"] = {{"k", 1}};
  p["baseType"] = "T";
  p["Z"] = 2;
  properties->setProperties(p);
  EXPECT_EQ(properties->serializeToOrderedDictionary()->toJson().dump(),
            R"({"baseType":"T","baseData":{"k":1},"Z":2,"a":"x"})");
  properties->setProperties(json{{"only", 1}});
  EXPECT_EQ(properties->serializeToOrderedDictionary()->toJson().dump(), R"({"only":1})");
  // Anything but an object is no properties at all.
  properties->setProperties(json::array({1, 2}));
  EXPECT_FALSE(properties->serializeToOrderedDictionary());
  EXPECT_TRUE(properties->serializeToDictionary().is_null());
}

TEST(EventSchemaData, EpochAndSeqStartAtZero) {
  auto counter = TLCSEpochAndSeq::initWithEpoch("EPOCH");
  EXPECT_EQ(counter.epoch(), "EPOCH");
  EXPECT_EQ(counter.seq(), 0u);
  counter.setSeq(counter.seq() + 1);
  EXPECT_EQ(counter.seq(), 1u);
}

// Classes with the names of ours whose archives hold values of the wrong kind.
class Impostor : public platform::Coding {
 public:
  Impostor(std::string name, std::function<void(platform::KeyedArchiver&)> write)
      : name_(std::move(name)), write_(std::move(write)) {}
  std::vector<std::string> classesForCoder() const override { return {name_}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { write_(coder); }

 private:
  std::string name_;
  std::function<void(platform::KeyedArchiver&)> write_;
};

TEST(EventSchemaData, MistypedArchivesDecodeToNil) {
  const std::pair<const char*, std::shared_ptr<Impostor>> cases[] = {
      {"a part that is a string",
       std::make_shared<Impostor>("TLCSExtensions",
                                  [](platform::KeyedArchiver& c) { c.encodeObject("text", "user"); })},
      {"metadata that is an array",
       std::make_shared<Impostor>(
           "TLMetadataExtension",
           [](platform::KeyedArchiver& c) { c.encodeObject(platform::ArchiveObject::Array{1}); })},
      {"data that is a number",
       std::make_shared<Impostor>("TLCSData", [](platform::KeyedArchiver& c) { c.encodeObject(3); })},
      {"a ticket key that is a number",
       std::make_shared<Impostor>("TLProtocolExtension",
                                  [](platform::KeyedArchiver& c) {
                                    c.encodeObject(platform::ArchiveObject::Array{1}, "ticketKeys");
                                  })},
      {"an install id that is a string",
       std::make_shared<Impostor>("TLSDKExtension",
                                  [](platform::KeyedArchiver& c) { c.encodeObject("id", "installId"); })},
  };
  for (const auto& [what, impostor] : cases)
    EXPECT_TRUE(TLUnarchivedObject(TLArchivedData(impostor)).isNil()) << what;
}

// ---- Mapping ----

std::shared_ptr<TLDevice> device() {
  auto device = TLDevice::init();
  device->setSdkName("telemetry.macos");
  device->setSdkVersion("2.5.0");
  device->setModel("ThinkPad X1");
  device->setOemName("LENOVO");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12.11.0");
  device->setOsBuild("6.1.0-18-amd64");
  device->setLocale("en_GB");
  device->setTimeZoneOffset(330);
  device->setAppVersion("1.0.0");
  device->setAppBuild("42");
  device->setAppNamespace("com.quorvane.dashboard");
  return device;
}

std::shared_ptr<TLStartServiceLog> logWithTokens(std::initializer_list<const char*> tokens) {
  auto log = TLStartServiceLog::init();
  log->setTimestamp(kWhen);
  log->setSid("S");
  log->setUserId("alice");
  log->setDevice(device());
  log->setServices(std::vector<std::string>{"Analytics"});
  for (const char* token : tokens) log->addTransmissionTargetToken(token);
  return log;
}

TEST(EventSchemaMapping, Golden) {
  auto logs = logWithTokens({"abc-def-1"})->toEventSchemaLogsWithFlags(2);
  ASSERT_TRUE(logs);
  ASSERT_EQ(logs->size(), 1u);
  const auto& log = *logs->front();
  EXPECT_EQ(
      text(log),
      R"({"ver":"3.0","time":"2019-04-01T09:30:05.120Z","iKey":"o:abc","flags":2,)"
      R"("ext":{"app":{"id":"I:com.quorvane.dashboard","locale":"en","ver":"1.0.0"},)"
      R"x("loc":{"tz":"+05:30"},"os":{"name":"Debian GNU/Linux","ver":"Version 12.11.0 (Build 6.1.0-18-amd64)"},)x"
      R"("protocol":{"devMake":"LENOVO","devModel":"ThinkPad X1"},"sdk":{"libVer":"telemetry.macos-2.5.0"},)"
      R"("user":{"localId":"c:alice","locale":"en-GB"}}})");
  EXPECT_EQ(*log.transmissionTargetTokens(), std::set<std::string>{"abc-def-1"});
  EXPECT_EQ(log.timestamp(), kWhen);
  // The base log's own fields are not carried over; the name is left to the log kinds that have one.
  EXPECT_FALSE(log.sid());
  EXPECT_FALSE(log.userId());
  EXPECT_FALSE(log.name());
  EXPECT_FALSE(log.isValid());
  ASSERT_TRUE(log.ext()->deviceExt());
  EXPECT_FALSE(log.ext()->deviceExt()->localId());
  ASSERT_TRUE(log.ext()->netExt());
  // The converted log survives its store's archive.
  auto copy = roundTrip(logs->front());
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(log));
}

TEST(EventSchemaMapping, TokensUserIdsAndLocales) {
  EXPECT_FALSE(logWithTokens({})->toEventSchemaLogsWithFlags(1));

  auto two = logWithTokens({"abc-def-1", "xyz"})->toEventSchemaLogsWithFlags(1);
  ASSERT_TRUE(two);
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[0]->iKey(), "o:abc");
  EXPECT_EQ(*(*two)[0]->transmissionTargetTokens(), std::set<std::string>{"abc-def-1"});
  EXPECT_EQ((*two)[1]->iKey(), "o:xyz");
  EXPECT_EQ(*(*two)[1]->transmissionTargetTokens(), std::set<std::string>{"xyz"});
  EXPECT_EQ((*two)[1]->flags(), 1);

  const std::pair<const char*, std::optional<std::string>> iKeys[] = {
      {"abc-def-1", "o:abc"}, {"abc", "o:abc"}, {"-abc", std::nullopt}};
  for (const auto& [token, iKey] : iKeys)
    EXPECT_EQ(logWithTokens({})->toEventSchemaLogForTargetToken(token, 0)->iKey(), iKey) << token;

  const std::pair<std::optional<std::string>, std::optional<std::string>> userIds[] = {
      {"alice", "c:alice"}, {"x:alice", "x:alice"}, {std::nullopt, std::nullopt}};
  for (const auto& [userId, localId] : userIds) {
    auto log = logWithTokens({});
    log->setUserId(userId);
    EXPECT_EQ(log->toEventSchemaLogForTargetToken("t", 0)->ext()->userExt()->localId(), localId);
  }

  auto log = logWithTokens({});
  log->device()->setLocale("sr_RS_latin");
  EXPECT_EQ(log->toEventSchemaLogForTargetToken("t", 0)->ext()->userExt()->locale(), "sr-RS-latin");
  // Flags are handed on whole.
  EXPECT_EQ(log->toEventSchemaLogForTargetToken("t", 0x8000000000000001ull)->flags(),
            static_cast<std::int64_t>(0x8000000000000001ull));

  // Without a device the context parts stay empty and no time zone is made up.
  log->setDevice(nullptr);
  auto bare = log->toEventSchemaLogForTargetToken("t", 0);
  EXPECT_EQ(bare->ext()->serializeToDictionary(),
            (json{{"app", {{"locale", "en"}}}, {"user", {{"localId", "c:alice"}}}}));
}

TEST(EventSchemaMapping, VersionAndTimeZoneTexts) {
  using S = std::optional<std::string>;
  const std::tuple<S, S, S> osVersions[] = {
      {"10.15.7", "19H2", "Version 10.15.7 (Build 19H2)"}, {"10.15.7", "", "Version 10.15.7"},
      {"10.15.7", std::nullopt, "Version 10.15.7"},        {"", "19H2", std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& [version, build, expected] : osVersions)
    EXPECT_EQ(TLAbstractLog::combineOsVersion(version, build), expected) << version.value_or("(none)");

  const std::tuple<S, S, S> libVersions[] = {
      {"telemetry.macos", "2.5.0", "telemetry.macos-2.5.0"},
      {"telemetry.macos", "", std::nullopt},
      {std::nullopt, "2.5.0", std::nullopt},
  };
  for (const auto& [name, version, expected] : libVersions)
    EXPECT_EQ(TLAbstractLog::combineSDKLibVer(name, version), expected);

  const std::pair<std::int64_t, const char*> offsets[] = {
      {120, "+02:00"}, {0, "+00:00"},    {-330, "-05:30"}, {345, "+05:45"}, {-30, "-00:30"},
      {30, "+00:30"},  {-720, "-12:00"}, {840, "+14:00"},  {-59, "-00:59"}, {6000, "+100:00"}};
  for (const auto& [minutes, expected] : offsets)
    EXPECT_EQ(TLAbstractLog::convertTimeZoneOffsetToISO8601(minutes), expected) << minutes;
}

}  // namespace
