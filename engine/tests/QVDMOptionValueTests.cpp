#include <gtest/gtest.h>

#include <atomic>

#include "engine/NSSound+SystemSounds.h"
#include "engine/QVDMUserOption.h"
#include "engine/ZKKeychain.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/SecretStore.h"
#include "platform/UUID.h"
#include "testing/ScopedTimeZone.h"

namespace {

using nlohmann::json;
using Type = QVDMOptionType;

class OptionTest : public enginetest::EngineTest {};

struct ConversionCase {
  const char* name;
  json candidate;
  json options;
  Type type;
  json expected;
};

TEST_F(OptionTest, ConvertsCandidatesToTheTypeWithChoicesAndBounds) {
  const json minMax = {{"min", 1}, {"max", 10}};
  const ConversionCase cases[] = {
      {"string", "abc", nullptr, Type::string, "abc"},
      {"string from number", 5, nullptr, Type::string, ""},
      {"string from nothing", nullptr, nullptr, Type::string, ""},
      {"string from object", {{"a", 1}}, nullptr, Type::string, ""},
      {"string not among choices", "c", {"a", "b"}, Type::string, "a"},
      {"string among choices", "b", {"a", "b"}, Type::string, "b"},
      {"string among object choices", "x", {{{"name", "x"}, {"title", "X"}}}, Type::string, "x"},
      {"string from object choice", nullptr, {{{"name", "x"}, {"title", "X"}}}, Type::string, "x"},
      {"object choice without name", nullptr, {{{"title", "X"}}}, Type::string, nullptr},
      {"empty choices", "a", json::array(), Type::string, nullptr},
      {"separator first", "z", {nullptr, "a"}, Type::string, nullptr},
      {"settings do not limit strings", "abc", {{"min", 1}}, Type::string, "abc"},
      {"boolean", true, nullptr, Type::boolean, true},
      {"boolean from number", 1, nullptr, Type::boolean, 1},
      {"boolean from text", "yes", nullptr, Type::boolean, false},
      {"boolean from nothing", nullptr, nullptr, Type::boolean, false},
      {"number", 5, nullptr, Type::number, 5},
      {"real number", 2.5, nullptr, Type::number, 2.5},
      {"number from text", "5", nullptr, Type::number, 0},
      {"number from nothing", nullptr, nullptr, Type::number, 0},
      {"text 5 with bounds", "5", minMax, Type::number, 1},
      {"50 with bounds", 50, minMax, Type::number, 10},
      {"0 with bounds", 0, minMax, Type::number, 1},
      {"5 with bounds", 5, minMax, Type::number, 5},
      {"nothing with a maximum only", nullptr, {{"max", 10}}, Type::number, 0},
      {"nothing with a minimum", nullptr, {{"min", 3}}, Type::number, 3},
      {"bounds that are not numbers", 50, {{"min", "1"}, {"max", "10"}}, Type::number, 50},
      {"negative below minimum", -4.5, {{"min", -2}}, Type::number, -2},
      {"number among choices", 2.0, {1, 2, 3}, Type::number, 2.0},
      {"number not among choices", 4, {1, 2, 3}, Type::number, 1},
      {"date", "2021-03-04 05:06", nullptr, Type::date, "2021-03-04 05:06"},
      {"impossible date", "2020-02-30 10:00", nullptr, Type::date, nullptr},
      {"word for a date", "tomorrow", nullptr, Type::date, nullptr},
      {"date without time", "2021-03-04", nullptr, Type::date, nullptr},
      {"date with trailing text", "2021-03-04 05:06 UTC", nullptr, Type::date, nullptr},
      {"hour 24", "2021-03-04 24:00", nullptr, Type::date, nullptr},
      {"number for a date", 5, nullptr, Type::date, nullptr},
      {"nothing for a date", nullptr, nullptr, Type::date, nullptr},
      {"invalid type", "abc", nullptr, Type::invalid, nullptr},
      {"other code", 5, nullptr, static_cast<Type>(9), nullptr},
  };
  for (const auto& c : cases) {
    json got = QVDMOptionValue::valueWithDefault(c.candidate, c.options, c.type);
    EXPECT_EQ(got, c.expected) << c.name << ": got " << got.dump();
  }
}

TEST_F(OptionTest, SoundOptionsStartAtTheSixthBuiltInSound) {
  const auto& sounds = zk_bundledNotificationSounds();
  ASSERT_GE(sounds.size(), 6u);
  for (const json& given : {json(nullptr), json("/elsewhere/x.wav"), json(5)}) {
    auto option = QVDMUserOption::optionWithDictionary({{"name", "sound"},
                                                        {"type", "string"},
                                                        {"default", given},
                                                        {"options", {{"specialType", "dyn.SOUND_NAMES"}}}});
    ASSERT_NE(option, nullptr);
    EXPECT_EQ(option->value()->stringValue(), sounds[5]);
    json choices = option->value()->options();
    ASSERT_TRUE(choices.is_array());
    ASSERT_GT(choices.size(), sounds.size());
    EXPECT_EQ(choices[0]["name"], sounds[0]);
    EXPECT_EQ(choices[0]["title"], std::filesystem::path(sounds[0]).stem().string());
    EXPECT_TRUE(choices[sounds.size()].is_null()) << "a separator after the built-in sounds";
    // A chosen sound outside the list falls back to the first.
    option->value()->setObjectValue("/not/a/sound.wav");
    EXPECT_EQ(option->value()->stringValue(), sounds[0]);
    option->value()->setObjectValue(sounds[2]);
    EXPECT_EQ(option->value()->stringValue(), sounds[2]);
  }
}

struct DefinitionCase {
  const char* name;
  json definition;
  const char* logged;   // the first line logged for a bad definition, else nullptr
  const char* logged2;  // a second line, else nullptr
};

TEST_F(OptionTest, RejectsBadDefinitions) {
  const DefinitionCase cases[] = {
      {"no name", {{"type", "string"}}, "Invalid option name: (null)", nullptr},
      {"empty name", {{"name", ""}, {"type", "string"}}, "Invalid option name: ", nullptr},
      {"number name", {{"name", 5}, {"type", "string"}}, "Invalid option name: 5", nullptr},
      {"unknown type",
       {{"name", "a"}, {"type", "color"}},
       "Invalid option type: color",
       "Expected one of: string, boolean, number, date"},
      {"no type",
       {{"name", "a"}},
       "Invalid option type: (null)",
       "Expected one of: string, boolean, number, date"},
      {"type in capitals", {{"name", "a"}, {"type", "String"}}, "Invalid option type: String", nullptr},
      {"options a string",
       {{"name", "a"}, {"type", "string"}, {"options", "x"}},
       "Invalid options type: NSString",
       nullptr},
      {"options null",
       {{"name", "a"}, {"type", "string"}, {"options", nullptr}},
       "Invalid options type: NSNull",
       nullptr},
      {"options a number",
       {{"name", "a"}, {"type", "number"}, {"options", 3}},
       "Invalid options type: NSNumber",
       nullptr},
  };
  for (const auto& c : cases) {
    qvtesting::LogCapture capture;
    EXPECT_EQ(QVDMUserOption::optionWithDictionary(c.definition), nullptr) << c.name;
    EXPECT_TRUE(capture.contains(c.logged)) << c.name;
    if (c.logged2) {
      EXPECT_TRUE(capture.contains(c.logged2)) << c.name;
    }
  }
  EXPECT_EQ(QVDMUserOption::optionWithDictionary(nullptr), nullptr);
  EXPECT_EQ(QVDMUserOption::optionWithDictionary(json::array()), nullptr);
}

TEST_F(OptionTest, ReadsDefinitions) {
  auto plain = QVDMUserOption::optionWithDictionary({{"name", "city"}, {"type", "string"}});
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->type(), Type::string);
  EXPECT_EQ(plain->value()->stringValue(), "");
  EXPECT_TRUE(plain->value()->isEmpty());
  EXPECT_FALSE(plain->required());
  EXPECT_EQ(plain->displayName(), "city");
  EXPECT_EQ(plain->uid().size(), 36u);
  EXPECT_TRUE(platform::parseUUID(plain->uid()));
  EXPECT_EQ(plain->value()->uid(), plain->uid());

  struct RequiredCase {
    json given;
    bool required;
  } requiredCases[] = {{true, true},          {false, false}, {1, true},   {0, false},  {"yes", true},
                       {"YES", true},         {"no", false},  {"1", true}, {"t", true}, {"0", false},
                       {json::array(), false}};
  for (const auto& c : requiredCases) {
    auto option =
        QVDMUserOption::optionWithDictionary({{"name", "a"}, {"type", "string"}, {"required", c.given}});
    ASSERT_NE(option, nullptr);
    EXPECT_EQ(option->required(), c.required) << c.given.dump();
  }

  auto labelled = QVDMUserOption::optionWithDictionary(
      {{"name", "a"}, {"type", "boolean"}, {"title", "Alpha"}, {"tooltip", "Help"}, {"required", true}});
  EXPECT_EQ(labelled->displayName(), "Alpha");
  EXPECT_EQ(labelled->tooltip(), "Help");
  // A boolean is never empty, so being required changes nothing.
  EXPECT_FALSE(labelled->value()->isEmpty());

  auto untitled =
      QVDMUserOption::optionWithDictionary({{"name", "a"}, {"type", "date"}, {"title", ""}, {"tooltip", 5}});
  EXPECT_EQ(untitled->displayName(), "a");
  EXPECT_FALSE(untitled->tooltip());
  EXPECT_TRUE(untitled->value()->isEmpty());

  // Two options never share a uid.
  EXPECT_NE(QVDMUserOption::init()->uid(), QVDMUserOption::init()->uid());
}

TEST_F(OptionTest, DatesKeepMinutesAndRoundTrip) {
  auto option = QVDMUserOption::optionWithDictionary(
      {{"name", "d"}, {"type", "date"}, {"default", "2021-03-04 05:06"}});
  ASSERT_TRUE(option->value()->dateValue());
  EXPECT_EQ(option->value()->jsonValue(), "2021-03-04 05:06");
  EXPECT_EQ(option->value()->actualJsonValue(), "2021-03-04 05:06");

  auto bad = QVDMUserOption::optionWithDictionary(
      {{"name", "d"}, {"type", "date"}, {"default", "2020-02-30 10:00"}});
  EXPECT_FALSE(bad->value()->dateValue());
  EXPECT_TRUE(bad->value()->isEmpty());
  EXPECT_EQ(bad->value()->jsonValue(), nullptr);

  // Seconds are dropped on the way out.
  auto date = *QVDMOptionValue::dateFromString("2024-12-31 23:59");
  option->value()->setDateValue(date.addingTimeInterval(42));
  EXPECT_EQ(option->value()->jsonValue(), "2024-12-31 23:59");
  option->value()->setObjectValue("1999-01-01 00:00");
  EXPECT_EQ(option->value()->jsonValue(), "1999-01-01 00:00");
  option->value()->setObjectValue("garbage");
  EXPECT_TRUE(option->value()->isEmpty());
}

TEST_F(OptionTest, DateTextsAreReadStrictlyInTheUsersTimeZone) {
  qvtesting::ScopedTimeZone zone("Europe/Berlin");
  struct Case {
    const char* text;
    std::optional<double> seconds;  // since 1970, when the text is a date
    const char* written = nullptr;  // the canonical text, when it differs from the input
  } cases[] = {
      {"1970-01-01 01:00", 0.0},
      {"2021-07-01 12:00", 1625133600.0},  // summer time: UTC+2
      {"2024-02-29 12:00", 1709204400.0},
      {"2000-02-29 00:00", 951778800.0},
      {"2021-3-4 5:06", 1614830760.0, "2021-03-04 05:06"},
      {"2021-03-28 02:30", 1616895000.0, "2021-03-28 03:30"},  // skipped by the clock change
      {"2023-02-29 10:00", std::nullopt},
      {"1900-02-29 10:00", std::nullopt},
      {"2020-02-30 10:00", std::nullopt},
      {"2020-04-31 10:00", std::nullopt},
      {"2020-13-01 10:00", std::nullopt},
      {"2020-00-10 10:00", std::nullopt},
      {"2020-01-00 10:00", std::nullopt},
      {"2020-01-01 24:00", std::nullopt},
      {"2020-01-01 10:60", std::nullopt},
      {"0000-01-01 00:00", std::nullopt},
      {"2020-01-01", std::nullopt},
      {"2020-01-01 10:00 ", std::nullopt},
      {" 2020-01-01 10:00", std::nullopt},
      {"2020-01-01T10:00", std::nullopt},
      {"2020-01-01 10:00:30", std::nullopt},
      {"20201-01-01 10:00", std::nullopt},
      {"2020-001-01 10:00", std::nullopt},
      {"2020-01-01 -1:00", std::nullopt},
      {"", std::nullopt},
      {"garbage", std::nullopt},
  };
  for (const auto& c : cases) {
    auto date = QVDMOptionValue::dateFromString(c.text);
    ASSERT_EQ(date.has_value(), c.seconds.has_value()) << c.text;
    if (!date) continue;
    EXPECT_EQ(date->timeIntervalSince1970(), *c.seconds) << c.text;
    EXPECT_EQ(QVDMOptionValue::stringFromDate(*date), c.written ? c.written : c.text);
  }
  // Years below 1000 keep four digits; seconds and fractions are dropped, also before 1970.
  EXPECT_EQ(QVDMOptionValue::stringFromDate(*QVDMOptionValue::dateFromString("0999-05-06 07:08")),
            "0999-05-06 07:08");
  EXPECT_EQ(QVDMOptionValue::stringFromDate(platform::Date::fromTimeIntervalSince1970(-0.5)),
            "1970-01-01 00:59");

  qvtesting::ScopedTimeZone other("America/New_York");
  EXPECT_EQ(QVDMOptionValue::dateFromString("1970-01-01 00:00")->timeIntervalSince1970(), 5 * 3600.0);
}

TEST_F(OptionTest, JsonFormsAndEmptiness) {
  auto number = QVDMOptionValue::initWithNumber(nullptr, "u", nullptr);
  EXPECT_TRUE(number->isEmpty());
  EXPECT_EQ(number->jsonValue(), nullptr);
  number->setNumberValue(7);
  EXPECT_EQ(number->jsonValue(), 7);
  number->setNumberValue(true);
  EXPECT_EQ(number->jsonValue(), 1);
  number->setNumberValue("7");
  EXPECT_TRUE(number->isEmpty()) << "a text given as a number is stored as absent";

  auto text = QVDMOptionValue::initWithString(std::nullopt, "u", nullptr);
  EXPECT_TRUE(text->isEmpty());
  EXPECT_EQ(text->jsonValue(), nullptr);
  text->setStringValue(json(5));
  EXPECT_FALSE(text->stringValue());
  text->setStringValue(std::optional<std::string>("x"));
  EXPECT_EQ(text->actualJsonValue(), "x");

  auto flag = QVDMOptionValue::initWithBool(true, "u", nullptr);
  EXPECT_EQ(flag->jsonValue(), true);
  EXPECT_FALSE(flag->isEmpty());

  QVDMOptionValue invalid(Type::invalid);
  EXPECT_TRUE(invalid.isEmpty());
  EXPECT_EQ(invalid.jsonValue(), nullptr);
  QVDMOptionValue other(static_cast<Type>(7));
  EXPECT_FALSE(other.isEmpty());

  EXPECT_EQ(QVDMOptionValue::valueWithObject("x", Type::invalid, nullptr, "u"), nullptr);
  EXPECT_EQ(QVDMOptionValue::classForType(Type::date), QVDMOptionClass::string);
  EXPECT_EQ(QVDMOptionValue::classForType(Type::boolean), QVDMOptionClass::number);
  EXPECT_EQ(QVDMOptionValue::classForType(Type::invalid), QVDMOptionClass::none);
}

TEST_F(OptionTest, SettingAnotherTypeRaisesTheOptionTypeException) {
  auto text = QVDMOptionValue::initWithString("a", "u", nullptr);
  try {
    text->setBoolValue(true);
    FAIL() << "no exception";
  } catch (const OptionTypeException& e) {
    EXPECT_STREQ(e.name(), "Option Type Exception");
    EXPECT_STREQ(
        e.what(),
        "You're attempting to set the value for a different type. Expected type: 0, received type: 1");
  }
  EXPECT_THROW(text->setNumberValue(1), OptionTypeException);
  EXPECT_THROW(text->setDateValue(platform::Date::now()), OptionTypeException);
  EXPECT_THROW(text->setObjectValue(true, Type::boolean), OptionTypeException);
  auto number = QVDMOptionValue::initWithNumber(1, "u", nullptr);
  EXPECT_THROW(number->setStringValue(std::optional<std::string>("x")), OptionTypeException);
  EXPECT_TRUE(number->forceType(Type::number));
  EXPECT_EQ(text->stringValue(), "a") << "nothing changed";

  qvtesting::LogCapture capture;
  text->setObjectValue("b", Type::invalid);
  EXPECT_TRUE(capture.contains("Unsupported type"));
  EXPECT_EQ(text->stringValue(), "a");
  text->setObjectValue("b", static_cast<Type>(12));
  EXPECT_EQ(text->stringValue(), "a");
}

TEST_F(OptionTest, SetObjectValueAppliesChoicesAndBounds) {
  auto number = QVDMUserOption::optionWithDictionary(
      {{"name", "n"}, {"type", "number"}, {"default", 3}, {"options", {{"min", 1}, {"max", 10}}}});
  number->value()->setObjectValue(50);
  EXPECT_EQ(number->value()->numberValue(), 10);
  number->value()->setObjectValue("abc");
  EXPECT_EQ(number->value()->numberValue(), 1);

  auto choice = QVDMUserOption::optionWithDictionary(
      {{"name", "c"}, {"type", "string"}, {"options", {"metric", "imperial"}}, {"default", "imperial"}});
  EXPECT_EQ(choice->value()->stringValue(), "imperial");
  choice->value()->setObjectValue("kelvin");
  EXPECT_EQ(choice->value()->stringValue(), "metric");

  auto flag = QVDMUserOption::optionWithDictionary({{"name", "b"}, {"type", "boolean"}});
  flag->value()->setObjectValue("yes");
  EXPECT_FALSE(flag->value()->boolValue()) << "a text is not a boolean";
  flag->value()->setObjectValue(1);
  EXPECT_TRUE(flag->value()->boolValue());
}

class SecureOptionTest : public OptionTest {};

TEST_F(SecureOptionTest, SecureTextsLiveInTheKeychainOnly) {
  auto keychain = ZKKeychain::sharedHelper();
  auto option = QVDMUserOption::optionWithDictionary(
      {{"name", "token"}, {"type", "string"}, {"default", "never-used"}, {"options", {{"secure", true}}}});
  ASSERT_NE(option, nullptr);
  EXPECT_TRUE(option->value()->isSecure());
  EXPECT_FALSE(option->value()->stringValue()) << "the default of a secure option is never used";
  EXPECT_TRUE(option->value()->isEmpty());
  EXPECT_FALSE(keychain->hasValueForKey(option->uid()));

  option->value()->setStringValue(std::optional<std::string>("s3cret"));
  EXPECT_EQ(keychain->secureValueForKey(option->uid()), "s3cret");
  EXPECT_EQ(option->value()->jsonValue(), nullptr);
  EXPECT_EQ(option->value()->actualJsonValue(), "s3cret");

  // A value made again for the same uid reads the text back from the keychain.
  auto again = QVDMOptionValue::valueWithObject(nullptr, Type::string, {{"secure", true}}, option->uid());
  EXPECT_EQ(again->stringValue(), "s3cret");

  option->value()->setStringValue(std::optional<std::string>(""));
  EXPECT_FALSE(keychain->hasValueForKey(option->uid())) << "clearing removes the item";
  option->value()->setStringValue(std::optional<std::string>("second"));
  EXPECT_EQ(keychain->secureValueForKey(option->uid()), "second");
  option->value()->setStringValue(std::optional<std::string>());
  EXPECT_FALSE(keychain->hasValueForKey(option->uid()));

  // "secure" given as a text still keeps the value out of archives.
  auto textual = QVDMUserOption::optionWithDictionary(
      {{"name", "t"}, {"type", "string"}, {"options", {{"secure", "true"}}}});
  EXPECT_TRUE(textual->value()->isSecure());
}

// A store that counts the reads it answers, over a memory store.
class CountingSecretStore : public platform::SecretStore {
 public:
  std::atomic<int> reads{0};
  std::string storeKind() const override { return "memory"; }

 protected:
  platform::OSStatus find(const std::string& service, const std::string& account,
                          platform::Data* password) override {
    ++reads;
    return inner_->findGenericPassword(service, account, password);
  }
  platform::OSStatus add(const std::string& service, const std::string& account,
                         const platform::Data& password) override {
    return inner_->addGenericPassword(service, account, password);
  }
  platform::OSStatus update(const std::string& service, const std::string& account,
                            const platform::Data& password) override {
    return inner_->updateGenericPassword(service, account, password);
  }
  platform::OSStatus remove(const std::string& service, const std::string& account) override {
    return inner_->deleteGenericPassword(service, account);
  }
  platform::OSStatus removeAll(const std::string& service) override {
    return inner_->deleteAllGenericPasswords(service);
  }

 private:
  std::shared_ptr<platform::SecretStore> inner_ = platform::SecretStore::memoryStore();
};

// Loading a catalogue of modules makes a value for every option; the keychain (a D-Bus service) is
// asked only for the texts that are used.
TEST_F(SecureOptionTest, TheKeychainIsReadWhenTheTextIsFirstNeeded) {
  auto store = std::make_shared<CountingSecretStore>();
  platform::SecretStore::setShared(store);
  auto keychain = ZKKeychain::sharedHelper();
  ASSERT_TRUE(keychain->setSecureValue(std::optional<std::string>("tok-1"), "uid-1"));
  store->reads = 0;

  auto value = QVDMOptionValue::valueWithObject("ignored", Type::string, {{"secure", true}}, "uid-1");
  EXPECT_EQ(store->reads, 0) << "making the value reads nothing";
  EXPECT_EQ(value->jsonValue(), nullptr);
  EXPECT_EQ(store->reads, 0) << "the archive form never needs the secret";
  auto copy = value->copy();
  EXPECT_EQ(store->reads, 1) << "a copy takes the text with it";
  EXPECT_EQ(copy->stringValue(), "tok-1");
  EXPECT_EQ(value->stringValue(), "tok-1");
  EXPECT_FALSE(value->isEmpty());
  EXPECT_EQ(value->actualJsonValue(), "tok-1");
  EXPECT_EQ(store->reads, 1) << "read once";

  // A text set before the first read wins over the keychain's older one.
  auto replaced = QVDMOptionValue::valueWithObject(nullptr, Type::string, {{"secure", true}}, "uid-1");
  replaced->setStringValue(std::optional<std::string>("tok-2"));
  EXPECT_EQ(replaced->stringValue(), "tok-2");
  EXPECT_EQ(keychain->secureValueForKey("uid-1"), "tok-2");

  // A uid without an item reads as no text.
  auto missing = QVDMOptionValue::valueWithObject("x", Type::string, {{"secure", true}}, "uid-none");
  EXPECT_TRUE(missing->isEmpty());
  EXPECT_EQ(missing->stringValue(), std::nullopt);
}

TEST_F(SecureOptionTest, ASecureValueWithoutUidNeverReachesTheKeychain) {
  auto value = QVDMOptionValue::initWithString("kept", "", {{"secure", true}});
  EXPECT_EQ(value->stringValue(), "kept") << "without a uid the text stays in memory";
  qvtesting::LogCapture capture;
  value->setStringValue(std::optional<std::string>("new"));
  EXPECT_TRUE(capture.contains("NOT SETTING SECURE BECAUSE WE'RE MISSING THE UID!!"));
  EXPECT_FALSE(ZKKeychain::sharedHelper()->hasValueForKey(""));

  // A copy has no uid until its owner gives it one.
  auto option = QVDMUserOption::optionWithDictionary(
      {{"name", "a"}, {"type", "string"}, {"options", {{"secure", true}}}});
  auto copy = option->copy();
  EXPECT_EQ(copy->uid(), "");
  EXPECT_EQ(copy->value()->uid(), "");
  EXPECT_TRUE(copy->value()->isSecure());
}

platform::Data archive(const QVDMUserOption::Pointer& option) {
  return platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(option));
}

QVDMUserOption::Pointer restore(const platform::Data& data) {
  platform::ClassRegistry registry;
  registry.registerClass<QVDMUserOption>(QVDMUserOption::kClassName);
  return platform::KeyedUnarchiver::unarchiveObjectWithData(data, registry).asObjectOfClass<QVDMUserOption>();
}

bool contains(const platform::Data& data, const std::string& text) {
  return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

TEST_F(SecureOptionTest, ArchivesEveryTypeAndNeverTheSecret) {
  const json definitions[] = {
      {{"name", "text"}, {"type", "string"}, {"title", "Text"}, {"default", "hello"}},
      {{"name", "secret"}, {"type", "string"}, {"options", {{"secure", true}}}},
      {{"name", "choice"},
       {"type", "string"},
       {"options", {"a", nullptr, {{"name", "b"}, {"title", "B"}}}},
       {"default", "b"}},
      {{"name", "flag"}, {"type", "boolean"}, {"default", true}},
      {{"name", "count"}, {"type", "number"}, {"default", 4.5}, {"options", {{"min", 1}, {"max", 10}}}},
      {{"name", "when"},
       {"type", "date"},
       {"default", "2021-03-04 05:06"},
       {"options", {{"allowsTime", true}}}},
  };
  for (const auto& definition : definitions) {
    auto option = QVDMUserOption::optionWithDictionary(definition);
    ASSERT_NE(option, nullptr) << definition.dump();
    if (option->value()->isSecure())
      option->value()->setStringValue(std::optional<std::string>("pa55-w0rd-xyz"));
    auto data = archive(option);
    EXPECT_FALSE(contains(data, "pa55-w0rd-xyz")) << "a secure text never enters an archive";

    auto restored = restore(data);
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(restored->uid(), option->uid());
    EXPECT_EQ(restored->name(), option->name());
    EXPECT_EQ(restored->title(), option->title());
    EXPECT_EQ(restored->type(), option->type());
    ASSERT_NE(restored->value(), nullptr);
    EXPECT_EQ(restored->value()->uid(), option->uid());
    EXPECT_EQ(restored->value()->actualJsonValue(), option->value()->actualJsonValue()) << definition.dump();
    EXPECT_EQ(restored->value()->options(), option->value()->options());
    EXPECT_EQ(restored->value()->isSecure(), option->value()->isSecure());
  }
}

TEST_F(OptionTest, RestoringToleratesWrongKinds) {
  // An archive whose option values are of the wrong kinds restores with defaults, not a crash.
  struct Odd : platform::Coding {
    std::vector<std::string> classesForCoder() const override { return {QVDMUserOption::kClassName}; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override {
      coder.encodeObject(42, "uid");
      coder.encodeObject("number", "type");
      coder.encodeObject(platform::ArchiveObject::Array{1, 2}, "name");
      coder.encodeObject(platform::Data{1, 2, 3}, "jsonValue");
      coder.encodeObject("not options", "options");
    }
  };
  auto data =
      platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(std::make_shared<Odd>()));
  auto restored = restore(data);
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->uid().size(), 36u) << "a new uid when none is stored";
  EXPECT_EQ(restored->name(), "");
  EXPECT_EQ(restored->type(), Type::string);
  EXPECT_EQ(restored->value()->stringValue(), "");
  EXPECT_EQ(restored->value()->options(), nullptr);
}

}  // namespace
