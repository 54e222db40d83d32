#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "platform/Files.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "testing/TreePaths.h"

using namespace platform;

namespace {

// Test classes shaped like the engine's archived classes.
struct TestItem : Coding {
  std::string uid;
  float refreshInterval = 0;
  std::int64_t runs = 0;
  bool enabled = false;

  std::vector<std::string> classesForCoder() const override { return {"QVTestItem"}; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(uid, "uid");
    coder.encodeFloat(refreshInterval, "refreshInterval");
    coder.encodeInt64(runs, "runs");
    coder.encodeBool(enabled, "enabled");
  }
  static std::shared_ptr<TestItem> initWithCoder(KeyedUnarchiver& coder) {
    auto item = std::make_shared<TestItem>();
    item->uid = coder.decodeStringForKey("uid").value_or("");
    item->refreshInterval = coder.decodeFloatForKey("refreshInterval");
    item->runs = coder.decodeInt64ForKey("runs");
    item->enabled = coder.decodeBoolForKey("enabled");
    return item;
  }
};

struct TestGroup : Coding {
  std::optional<std::string> name;
  std::string emoji;
  bool isExpanded = true;
  std::vector<std::shared_ptr<TestItem>> modules;
  std::optional<Color> color;

  std::vector<std::string> classesForCoder() const override { return {"QVTestGroup", "NSObject"}; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(name, "name");
    coder.encodeObject(emoji, "emoji");
    coder.encodeObject(isExpanded, "isExpanded");
    coder.encodeObject(modules, "modules");
    coder.encodeObject(color, "color");
  }
  static std::shared_ptr<TestGroup> initWithCoder(KeyedUnarchiver& coder) {
    auto group = std::make_shared<TestGroup>();
    group->name = coder.decodeStringForKey("name");
    group->emoji = coder.decodeStringForKey("emoji").value_or("");
    auto expanded = coder.decodeNumberForKey("isExpanded");
    group->isExpanded = expanded ? *expanded->boolValue() : true;
    group->modules = coder.decodeArrayOfObjectsOfClass<TestItem>("modules").value_or(
        std::vector<std::shared_ptr<TestItem>>{});
    group->color = coder.decodeColorForKey("color");
    return group;
  }
};

// Holds another object strongly, to make shared and cyclic graphs.
struct TestNode : Coding {
  std::string label;
  std::shared_ptr<TestNode> next;

  std::vector<std::string> classesForCoder() const override { return {"QVTestNode"}; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(label, "label");
    coder.encodeObject(next, "next");
  }
  static std::shared_ptr<TestNode> initWithCoder(KeyedUnarchiver& coder) {
    auto node = std::make_shared<TestNode>();
    node->label = coder.decodeStringForKey("label").value_or("");
    node->next = coder.decodeObjectOfClass<TestNode>("next");
    return node;
  }
};

// Writes and reads its values without keys.
struct TestPair : Coding {
  ArchiveObject first, second, third;
  std::vector<std::string> classesForCoder() const override { return {"QVTestPair"}; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(first);
    coder.encodeObject(second);
    coder.encodeObject(third);
  }
  static std::shared_ptr<TestPair> initWithCoder(KeyedUnarchiver& coder) {
    auto pair = std::make_shared<TestPair>();
    pair->first = coder.decodeObject();
    pair->second = coder.decodeObject();
    pair->third = coder.decodeObject();
    return pair;
  }
};

// Reads every scalar kind of one key, to test the scalar conversions.
struct TestScalars : Coding {
  std::vector<std::string> classesForCoder() const override { return {"QVTestScalars"}; }
  void encodeWithCoder(KeyedArchiver&) const override {}
  static std::shared_ptr<TestScalars> initWithCoder(KeyedUnarchiver& coder) {
    coder.decodeBoolForKey("value");
    coder.decodeInt64ForKey("value");
    coder.decodeInt32ForKey("value");
    coder.decodeDoubleForKey("value");
    coder.decodeFloatForKey("value");
    return std::make_shared<TestScalars>();
  }
};

ClassRegistry& testRegistry() {
  static ClassRegistry* registry = [] {
    auto* r = new ClassRegistry;
    r->registerClass<TestItem>("QVTestItem");
    r->registerClass<TestGroup>("QVTestGroup");
    r->registerClass<TestNode>("QVTestNode");
    r->registerClass<TestPair>("QVTestPair");
    r->registerClass<TestScalars>("QVTestScalars");
    return r;
  }();
  return *registry;
}

std::filesystem::path fixture(const char* name) { return std::filesystem::path(QV_PLATFORM_FIXTURES) / name; }

// A hand-written XML archive, converted to the binary form the application stores.
Data binaryFromFixture(const char* name) {
  auto xml = files::readFile(fixture(name));
  EXPECT_TRUE(xml) << name;
  auto plist = PropertyList::read(*xml);
  EXPECT_TRUE(plist) << name;
  return *plist->write(PropertyList::Format::Binary);
}

ArchiveObject roundTrip(const ArchiveObject& object) {
  return KeyedUnarchiver::unarchiveObjectWithData(KeyedArchiver::archivedDataWithRootObject(object),
                                                  testRegistry());
}

PropertyList::UID ref(std::uint64_t value) { return PropertyList::UID{value}; }

// An archive put together from its parts, for the malformed cases.
Data archiveOf(PropertyList::Array objects, PropertyList::Dictionary top = {{"root", ref(1)}},
               const char* archiver = "NSKeyedArchiver") {
  PropertyList::Dictionary archive{{"$archiver", archiver},
                                   {"$version", 100000},
                                   {"$top", std::move(top)},
                                   {"$objects", std::move(objects)}};
  return *PropertyList(std::move(archive)).write(PropertyList::Format::Binary);
}

PropertyList classRecord(const char* name) {
  return PropertyList::Dictionary{{"$classname", name}, {"$classes", PropertyList::Array{name, "NSObject"}}};
}

}  // namespace

TEST(KeyedArchiveGolden, StandardTypesDecode) {
  ArchiveObject root =
      KeyedUnarchiver::unarchiveObjectWithData(binaryFromFixture("archive-standard-types.xml"));
  ASSERT_TRUE(root.asDictionary());
  const auto& d = *root.asDictionary();
  ASSERT_EQ(d.size(), 12u);
  EXPECT_EQ(d.at("name"), ArchiveObject("Quorvane Dashboard ✓"));
  EXPECT_EQ(d.at("count"), ArchiveObject(42));
  EXPECT_EQ(d.at("ratio"), ArchiveObject(0.5));
  EXPECT_EQ(d.at("enabled"), ArchiveObject(true));
  EXPECT_EQ(d.at("negative"), ArchiveObject(-7));
  EXPECT_EQ(d.at("tags"), ArchiveObject(std::vector<std::string>{"alpha", "beta", "beta"}));
  ASSERT_TRUE(d.at("created").asDate());
  EXPECT_DOUBLE_EQ(d.at("created").asDate()->timeIntervalSinceReferenceDate(), 600000000.5);
  EXPECT_EQ(d.at("blob"), ArchiveObject(Data{0, 1, 2, 0xFF}));
  ASSERT_TRUE(d.at("id").asUUID());
  EXPECT_EQ(d.at("id").asUUID()->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_TRUE(d.at("nothing").isNull());
  EXPECT_EQ(d.at("mutable"), ArchiveObject("mutable text"));
  EXPECT_EQ(d.at("empty"), ArchiveObject(ArchiveObject::Array{}));
}

TEST(KeyedArchiveGolden, GroupsOfOurClassesDecode) {
  ArchiveObject root =
      KeyedUnarchiver::unarchiveObjectWithData(binaryFromFixture("archive-groups.xml"), testRegistry());
  ASSERT_TRUE(root.asArray());
  ASSERT_EQ(root.asArray()->size(), 2u);

  auto work = (*root.asArray())[0].asObjectOfClass<TestGroup>();
  ASSERT_TRUE(work);
  EXPECT_EQ(work->name, "Work");
  EXPECT_EQ(work->emoji, "💼");
  EXPECT_FALSE(work->isExpanded);
  ASSERT_EQ(work->modules.size(), 3u);
  // The item referenced twice is one object; its class is known only by its superclass.
  EXPECT_EQ(work->modules[0], work->modules[2]);
  EXPECT_EQ(work->modules[0]->uid, "AAAAAAAA-1111-2222-3333-444444444444");
  EXPECT_EQ(work->modules[0]->refreshInterval, 30.0f);
  EXPECT_EQ(work->modules[0]->runs, 12);
  EXPECT_TRUE(work->modules[0]->enabled);
  EXPECT_EQ(work->modules[1]->uid, "BBBBBBBB-1111-2222-3333-444444444444");
  EXPECT_EQ(work->modules[1]->refreshInterval, 300.5f);
  EXPECT_EQ(work->modules[1]->runs, -1);
  EXPECT_FALSE(work->modules[1]->enabled);
  EXPECT_EQ(work->color, Color::colorWithDeviceRed(1, 0.5, 0.25, 0.75));

  auto home = (*root.asArray())[1].asObjectOfClass<TestGroup>();
  ASSERT_TRUE(home);
  EXPECT_EQ(home->name, "Home");
  EXPECT_EQ(home->emoji, "");
  EXPECT_TRUE(home->isExpanded);
  EXPECT_TRUE(home->modules.empty());
  EXPECT_EQ(home->color, Color::colorWithDeviceRed(0.5, 0.25, 1, 1));
}

TEST(KeyedArchive, WritesTheKeyedArchiveFormat) {
  auto group = std::make_shared<TestGroup>();
  group->name = "G";
  group->emoji = "G";  // the same text as the name: stored once
  auto bytes = KeyedArchiver::archivedDataWithRootObject(ArchiveObject::Array{group});
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
  auto plist = PropertyList::read(bytes);
  ASSERT_TRUE(plist);
  EXPECT_EQ(*plist->find("$archiver"), PropertyList("NSKeyedArchiver"));
  EXPECT_EQ(*plist->find("$version"), PropertyList(100000));
  const PropertyList* root = plist->find("$top")->find("root");
  ASSERT_TRUE(root && root->asUID());
  const auto& objects = *plist->find("$objects")->asArray();
  EXPECT_EQ(objects[0], PropertyList("$null"));

  const PropertyList& array = objects[root->asUID()->value];
  const PropertyList& arrayClass = objects[array.find("$class")->asUID()->value];
  EXPECT_EQ(*arrayClass.find("$classname"), PropertyList("NSArray"));
  EXPECT_EQ(*arrayClass.find("$classes"), PropertyList(PropertyList::Array{"NSArray", "NSObject"}));

  const PropertyList& encoded = objects[array.find("NS.objects")->asArray()->at(0).asUID()->value];
  const PropertyList& groupClass = objects[encoded.find("$class")->asUID()->value];
  EXPECT_EQ(*groupClass.find("$classname"), PropertyList("QVTestGroup"));
  EXPECT_EQ(*groupClass.find("$classes"), PropertyList(PropertyList::Array{"QVTestGroup", "NSObject"}));
  EXPECT_EQ(*encoded.find("name"), *encoded.find("emoji"));
  // A nil colour refers to "$null"; "isExpanded" is an object reference to a boolean.
  EXPECT_EQ(*encoded.find("color"), PropertyList(ref(0)));
  EXPECT_EQ(objects[encoded.find("isExpanded")->asUID()->value], PropertyList(true));
  std::size_t strings = 0;
  for (const auto& entry : objects) strings += entry == PropertyList("G");
  EXPECT_EQ(strings, 1u);
}

TEST(KeyedArchive, RoundTripsEverySupportedType) {
  struct Case {
    const char* name;
    ArchiveObject value;
  } cases[] = {
      {"nil", ArchiveObject()},
      {"null marker", Null{}},
      {"string", "text ✓"},
      {"empty string", ""},
      {"the text $null", "$null"},
      {"true", true},
      {"false", false},
      {"integer", std::numeric_limits<std::int64_t>::min()},
      {"real", 0.1},
      {"infinite real", std::numeric_limits<double>::infinity()},
      {"data", Data{0, 0, 1, 0xFE}},
      {"date", Date::fromTimeIntervalSinceReferenceDate(-123.456)},
      {"UUID", *UUIDBytes::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")},
      {"colour", Color::colorWithDeviceRed(0.1, 1.0 / 3.0, 2.0 / 7.0, 0.999)},
      {"clear colour", Color::clearColor()},
      {"empty array", ArchiveObject::Array{}},
      {"mixed array", ArchiveObject::Array{1, "1", 1.0, true, Null{}, ArchiveObject::Array{"nested"}}},
      {"dictionary", ArchiveObject::Dictionary{{"a", 1}, {"b", ArchiveObject::Dictionary{{"c", Data{1}}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(roundTrip(c.value), c.value);
  }
}

TEST(KeyedArchive, RoundTripsObjectsWithSharingAndScalars) {
  auto item = std::make_shared<TestItem>();
  item->uid = "U";
  item->refreshInterval = 0.1f;
  item->runs = std::numeric_limits<std::int64_t>::max();
  item->enabled = true;
  auto group = std::make_shared<TestGroup>();
  group->name = std::nullopt;
  group->isExpanded = false;
  group->modules = {item, item};
  group->color = Color::colorWithDeviceRed(0.2, 0.4, 0.6, 0.8);

  ArchiveObject decoded = roundTrip(ArchiveObject::Array{group, group});
  auto back = decoded.asArray();
  ASSERT_TRUE(back);
  auto first = (*back)[0].asObjectOfClass<TestGroup>();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, (*back)[1].asObjectOfClass<TestGroup>());
  EXPECT_EQ(first->name, std::nullopt);
  EXPECT_FALSE(first->isExpanded);
  EXPECT_EQ(first->color, group->color);
  ASSERT_EQ(first->modules.size(), 2u);
  EXPECT_EQ(first->modules[0], first->modules[1]);
  EXPECT_EQ(first->modules[0]->refreshInterval, 0.1f);
  EXPECT_EQ(first->modules[0]->runs, std::numeric_limits<std::int64_t>::max());
  EXPECT_TRUE(first->modules[0]->enabled);
}

TEST(KeyedArchive, AbsentValuesStayAbsent) {
  // A group saved without a colour or a name reads back without them, not with defaults.
  auto group = std::make_shared<TestGroup>();
  group->emoji = "";
  auto back = roundTrip(group).asObjectOfClass<TestGroup>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->color, std::nullopt);
  EXPECT_EQ(back->name, std::nullopt);
  EXPECT_EQ(back->emoji, "");
  EXPECT_TRUE(back->modules.empty());
}

TEST(KeyedArchive, ObjectsHeldAsConstValuesArchiveToo) {
  auto item = std::make_shared<TestItem>();
  item->uid = "const";
  std::shared_ptr<const TestItem> value = item;
  std::vector<std::shared_ptr<const TestItem>> values{value};
  ArchiveObject decoded = roundTrip(ArchiveObject::Array{value, values});
  auto back = decoded.asArray();
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0].asObjectOfClass<TestItem>()->uid, "const");
  EXPECT_EQ((*(*back)[1].asArray())[0].asObjectOfClass<TestItem>(), (*back)[0].asObjectOfClass<TestItem>());
}

TEST(KeyedArchive, UnkeyedValuesKeepTheirOrderAndNils) {
  auto pair = std::make_shared<TestPair>();
  pair->first = "one";
  pair->third = 3;
  auto back = roundTrip(pair).asObjectOfClass<TestPair>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->first, ArchiveObject("one"));
  EXPECT_TRUE(back->second.isNil());
  EXPECT_EQ(back->third, ArchiveObject(3));
}

TEST(KeyedArchive, ACycleIsWrittenOnceAndRefusedOnReading) {
  auto a = std::make_shared<TestNode>();
  auto b = std::make_shared<TestNode>();
  a->label = "a";
  b->label = "b";
  a->next = b;
  b->next = a;
  Data bytes = KeyedArchiver::archivedDataWithRootObject(a);
  a->next.reset();  // break the cycle so the test does not leak
  EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(bytes, testRegistry()), DecodingError);
}

TEST(KeyedArchive, JSONValuesConvertBothWays) {
  auto json =
      nlohmann::json::parse(R"({"s":"x","n":null,"b":true,"i":-3,"r":2.5,"a":[1,"2",[]],"o":{"k":{}}})");
  ArchiveObject object = ArchiveObject::fromJson(json);
  EXPECT_TRUE(object.asDictionary()->at("n").isNull());
  EXPECT_EQ(object.asDictionary()->at("b"), ArchiveObject(true));
  EXPECT_EQ(roundTrip(object).toJson(), json);
}

TEST(KeyedArchive, NumbersConvertAsNumberObjectsDo) {
  EXPECT_EQ(ArchiveObject(2.9).integerValue(), 2);
  EXPECT_EQ(ArchiveObject(-2.9).integerValue(), -2);
  EXPECT_EQ(ArchiveObject(std::nan("")).integerValue(), 0);
  EXPECT_EQ(ArchiveObject(1e300).integerValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ArchiveObject(true).doubleValue(), 1.0);
  EXPECT_EQ(ArchiveObject(0.0).boolValue(), false);
  EXPECT_EQ(ArchiveObject("1").boolValue(), std::nullopt);
}

TEST(KeyedArchive, MalformedArchivesRaiseADecodingError) {
  PropertyList null("$null");
  PropertyList arrayClass = classRecord("NSArray");
  auto arrayOf = [](std::initializer_list<std::uint64_t> refs, std::uint64_t classUID) {
    PropertyList::Array items;
    for (auto r : refs) items.emplace_back(ref(r));
    return PropertyList(PropertyList::Dictionary{{"NS.objects", items}, {"$class", ref(classUID)}});
  };
  auto object = [](PropertyList::Dictionary values, std::uint64_t classUID) {
    values.insert_or_assign("$class", ref(classUID));
    return PropertyList(std::move(values));
  };

  // 40 arrays each holding the next one twice: 2^40 values once copied out.
  PropertyList::Array bomb{null};
  for (std::uint64_t i = 1; i <= 40; ++i) bomb.push_back(arrayOf({i + 1, i + 1}, 0));
  bomb.push_back(PropertyList("leaf"));
  std::uint64_t bombClass = bomb.size();
  for (std::size_t i = 1; i <= 40; ++i) bomb[i].asDictionary()->insert_or_assign("$class", ref(bombClass));
  bomb.push_back(arrayClass);

  PropertyList::Array deep{null};
  for (std::uint64_t i = 1; i <= 300; ++i) deep.push_back(arrayOf({i + 1}, 302));
  deep.push_back(arrayOf({}, 302));
  deep.push_back(arrayClass);

  Data valid = KeyedArchiver::archivedDataWithRootObject(ArchiveObject::Array{"a", 1});

  struct Case {
    const char* name;
    Data bytes;
    const char* why;
  } cases[] = {
      {"not a property list", dataFromString("nonsense"), "could not be read"},
      {"truncated", Data(valid.begin(), valid.end() - 3), "could not be read"},
      {"another archiver", archiveOf({null, "x"}, {{"root", ref(1)}}, "NSArchiver"), "not a keyed archive"},
      {"no object table",
       *PropertyList(PropertyList::Dictionary{{"$archiver", "NSKeyedArchiver"}})
            .write(PropertyList::Format::Binary),
       "no object table"},
      {"no root", archiveOf({null, "x"}, {{"other", ref(1)}}), "no root"},
      {"root is not a reference", archiveOf({null, "x"}, {{"root", 1}}), "not an object reference"},
      {"dangling root", archiveOf({null, "x"}, {{"root", ref(9)}}), "missing object"},
      {"dangling member", archiveOf({null, arrayOf({7}, 2), arrayClass}), "missing object"},
      {"array holding nil", archiveOf({null, arrayOf({0}, 2), arrayClass}), "holds nil"},
      {"array holding itself", archiveOf({null, arrayOf({1}, 2), arrayClass}), "refer to themselves"},
      {"two arrays holding each other", archiveOf({null, arrayOf({2}, 3), arrayOf({1}, 3), arrayClass}),
       "refer to themselves"},
      {"array without members", archiveOf({null, object({}, 2), arrayClass}), "has no NS.objects"},
      {"member that is not a reference",
       archiveOf({null,
                  PropertyList(
                      PropertyList::Dictionary{{"NS.objects", PropertyList::Array{1}}, {"$class", ref(2)}}),
                  arrayClass}),
       "not a reference"},
      {"object without class", archiveOf({null, PropertyList(PropertyList::Dictionary{{"a", 1}})}),
       "no class"},
      {"class that is not a reference",
       archiveOf({null, PropertyList(PropertyList::Dictionary{{"$class", 2}}), arrayClass}), "no class"},
      {"class record without a name", archiveOf({null, object({}, 2), PropertyList::Dictionary{}}),
       "no name"},
      {"unknown class", archiveOf({null, object({}, 2), classRecord("QVUnknown")}),
       "unknown class \"QVUnknown\""},
      {"bare array entry", archiveOf({null, PropertyList::Array{}}), "no known form"},
      {"bare reference entry", archiveOf({null, ref(0)}), "no known form"},
      {"dictionary with a number key",
       archiveOf(
           {null,
            object({{"NS.keys", PropertyList::Array{ref(3)}}, {"NS.objects", PropertyList::Array{ref(3)}}},
                   2),
            classRecord("NSDictionary"), 5}),
       "key that is not a string"},
      {"dictionary with unpaired keys",
       archiveOf(
           {null,
            object({{"NS.keys", PropertyList::Array{ref(3)}}, {"NS.objects", PropertyList::Array{}}}, 2),
            classRecord("NSDictionary"), "k"}),
       "unpaired"},
      {"UUID of 15 bytes",
       archiveOf({null, object({{"NS.uuidbytes", Data(15, 1)}}, 2), classRecord("NSUUID")}), "16 bytes"},
      {"date without time", archiveOf({null, object({{"NS.time", "soon"}}, 2), classRecord("NSDate")}),
       "no time"},
      {"colour without components",
       archiveOf({null, object({{"NSColorSpace", 2}}, 2), classRecord("NSColor")}), "no RGB"},
      {"colour with a text component",
       archiveOf({null, object({{"red", "1"}, {"green", 0}, {"blue", 0}}, 2), classRecord("NSColor")}),
       "not a number"},
      {"objects nested too deeply", archiveOf(deep), "nest too deeply"},
      {"shared arrays that expand exponentially", archiveOf(bomb), "expand beyond"},
      {"string where a group name belongs",
       archiveOf({null, object({{"name", ref(3)}}, 2), classRecord("QVTestGroup"), 5}),
       "\"name\" is not a string"},
      {"group where an item belongs",
       archiveOf({null, object({{"modules", ref(3)}}, 2), classRecord("QVTestGroup"), arrayOf({4}, 5),
                  object({}, 2), arrayClass}),
       "\"modules\" is not an array of objects"},
      {"group holding itself",
       archiveOf(
           {null, object({{"modules", ref(3)}}, 2), classRecord("QVTestGroup"), arrayOf({1}, 4), arrayClass}),
       "refer to themselves"},
      {"string where items belong",
       archiveOf({null, object({{"modules", ref(3)}}, 2), classRecord("QVTestGroup"), arrayOf({4}, 5), "x",
                  arrayClass}),
       "\"modules\" is not an array of objects"},
      {"item where a node belongs",
       archiveOf({null, object({{"next", ref(3)}}, 2), classRecord("QVTestNode"), object({}, 4),
                  classRecord("QVTestItem")}),
       "\"next\" is not an object"},
      {"text scalar", archiveOf({null, object({{"value", "1"}}, 2), classRecord("QVTestScalars")}),
       "not a number"},
      {"real beyond 64 bits", archiveOf({null, object({{"value", 1e19}}, 2), classRecord("QVTestScalars")}),
       "64-bit"},
      {"NaN as an integer",
       archiveOf({null, object({{"value", std::nan("")}}, 2), classRecord("QVTestScalars")}), "64-bit"},
      {"integer beyond 32 bits",
       archiveOf({null, object({{"value", std::int64_t(1) << 40}}, 2), classRecord("QVTestScalars")}),
       "32-bit"},
      {"reference to data as a scalar",
       archiveOf({null, object({{"value", ref(3)}}, 2), classRecord("QVTestScalars"), Data{1}}),
       "not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      KeyedUnarchiver::unarchiveObjectWithData(c.bytes, testRegistry());
      ADD_FAILURE() << "decoded without error";
    } catch (const DecodingError& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
    Error error;
    EXPECT_TRUE(KeyedUnarchiver::unarchiveTopLevelObjectWithData(c.bytes, &error, testRegistry()).isNil());
    EXPECT_EQ(error.code, 4864);
  }
}

TEST(KeyedArchive, ScalarsConvertBetweenNumberKinds) {
  struct Case {
    const char* name;
    PropertyList value;
    bool asBool;
    std::int64_t asInt;
    double asDouble;
  } cases[] = {
      {"true", true, true, 1, 1.0},
      {"integer", 7, true, 7, 7.0},
      {"zero", 0, false, 0, 0.0},
      {"real", -2.75, true, -2, -2.75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Data bytes = archiveOf({"$null", PropertyList::Dictionary{{"value", c.value}, {"$class", ref(2)}},
                            classRecord("QVTestScalars")});
    // Read the scalar as the object's class would, through a registry of one reader.
    ClassRegistry registry;
    struct Seen {
      bool b;
      std::int64_t i;
      double d;
    } seen{};
    registry.registerClass("QVTestScalars", [&](KeyedUnarchiver& coder) -> std::shared_ptr<Coding> {
      seen = {coder.decodeBoolForKey("value"), coder.decodeInt64ForKey("value"),
              coder.decodeDoubleForKey("value")};
      EXPECT_FALSE(coder.decodeBoolForKey("absent"));
      EXPECT_EQ(coder.decodeInt64ForKey("absent"), 0);
      return nullptr;
    });
    EXPECT_TRUE(KeyedUnarchiver::unarchiveObjectWithData(bytes, registry).isNil());
    EXPECT_EQ(seen.b, c.asBool);
    EXPECT_EQ(seen.i, c.asInt);
    EXPECT_EQ(seen.d, c.asDouble);
  }
}

TEST(KeyedArchive, ADecoderThatCatchesAFaultCanCarryOn) {
  // A decoder that treats a bad value as absent must not leave the archive half-marked: the
  // entry it gave up on reads normally through another reference.
  Data bytes =
      archiveOf({"$null", PropertyList::Dictionary{{"bad", ref(3)}, {"good", ref(3)}, {"$class", ref(2)}},
                 classRecord("QVTestTolerant"),
                 PropertyList::Dictionary{{"NS.objects", PropertyList::Array{ref(4)}}, {"$class", ref(5)}},
                 "x", classRecord("NSArray")});
  ClassRegistry registry;
  ArchiveObject good;
  registry.registerClass("QVTestTolerant", [&](KeyedUnarchiver& coder) -> std::shared_ptr<Coding> {
    EXPECT_THROW(coder.decodeStringForKey("bad"), DecodingError);
    good = coder.decodeObjectForKey("good");
    return nullptr;
  });
  KeyedUnarchiver::unarchiveObjectWithData(bytes, registry);
  EXPECT_EQ(good, ArchiveObject(ArchiveObject::Array{"x"}));
}

TEST(KeyedArchive, EveryTruncationOfAnArchiveFailsCleanly) {
  auto group = std::make_shared<TestGroup>();
  group->name = "N";
  group->modules = {std::make_shared<TestItem>()};
  Data bytes = KeyedArchiver::archivedDataWithRootObject(group);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    Data prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(prefix, testRegistry()), DecodingError) << size;
  }
}
