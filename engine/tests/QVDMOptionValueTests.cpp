#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "engine/NSSound+SystemSounds.h"
#include "engine/QVDMUserOption.h"
#include "engine/ZKKeychain.h"
#include "engine/tests/EngineTestSupport.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/SecretStore.h"
#include "platform/UUID.h"
#include "testing/GatedSecretStore.h"
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
  EXPECT_EQ(option->value()->actualJsonValue(), "s3cret") << "the text is in memory at once";
  enginetest::settleKeychain();
  EXPECT_EQ(keychain->secureValueForKey(option->uid()), "s3cret");
  EXPECT_EQ(option->value()->jsonValue(), nullptr);

  // A value made again for the same uid reads the text back from the keychain.
  auto again = QVDMOptionValue::valueWithObject(nullptr, Type::string, {{"secure", true}}, option->uid());
  bool loaded = false;
  again->loadSecureText([&] { loaded = true; });
  ASSERT_TRUE(runUntil([&] { return loaded; }));
  EXPECT_EQ(again->stringValue(), "s3cret");

  option->value()->setStringValue(std::optional<std::string>(""));
  enginetest::settleKeychain();
  EXPECT_FALSE(keychain->hasValueForKey(option->uid())) << "clearing removes the item";
  option->value()->setStringValue(std::optional<std::string>("second"));
  enginetest::settleKeychain();
  EXPECT_EQ(keychain->secureValueForKey(option->uid()), "second");
  option->value()->setStringValue(std::optional<std::string>());
  enginetest::settleKeychain();
  EXPECT_FALSE(keychain->hasValueForKey(option->uid()));

  // "secure" given as a text still keeps the value out of archives.
  auto textual = QVDMUserOption::optionWithDictionary(
      {{"name", "t"}, {"type", "string"}, {"options", {{"secure", "true"}}}});
  EXPECT_TRUE(textual->value()->isSecure());
}

class KeychainWaitTest : public SecureOptionTest {
 protected:
  void SetUp() override {
    SecureOptionTest::SetUp();
    platform::SecretStore::setShared(store_);
  }
  void TearDown() override {
    store_->release();
    SecureOptionTest::TearDown();
  }
  // How often a timer of the main queue, every 20 ms, fired while the main queue ran for `seconds`.
  int ticksDuring(double seconds) {
    int ticks = 0;
    auto timer = mainQueue().scheduleTimer(platform::Seconds(0.02), true, [&] { ++ticks; });
    runUntil([] { return false; }, seconds);
    timer->cancel();
    return ticks;
  }

  std::shared_ptr<qvtesting::GatedSecretStore> store_ = std::make_shared<qvtesting::GatedSecretStore>();
};

// Loading a catalogue of modules makes a value for every option; the keychain (a D-Bus service) is
// asked only for the texts that are used, off the main thread, and the text comes in when it is read.
TEST_F(KeychainWaitTest, ASecureTextIsReadOffTheMainThreadWhenFirstAskedFor) {
  // The builds without the desktop run their main queue on Asio, whose thread is the main thread only
  // while it runs the queue: there the test's own calls count as another thread's, which read
  // the keychain themselves.
  if (!platform::MainQueue::isMainThread())
    GTEST_SKIP() << "the main queue has no main thread between its runs";
  auto keychain = ZKKeychain::sharedHelper();
  ASSERT_TRUE(keychain->setSecureValue(std::optional<std::string>("tok-1"), "uid-1"));
  store_->reads = 0;

  auto value = QVDMOptionValue::valueWithObject("ignored", Type::string, {{"secure", true}}, "uid-1");
  auto copy = value->copy();
  EXPECT_EQ(value->jsonValue(), nullptr);
  EXPECT_EQ(store_->reads, 0) << "making, copying and archiving the value read nothing";
  EXPECT_TRUE(value->isSecureTextPending());
  EXPECT_FALSE(value->isEmpty()) << "the keychain keeps a text";

  // The keychain waits (on its prompt): the main thread gets no text, but goes on.
  store_->hold();
  EXPECT_EQ(value->stringValue(), std::nullopt);
  EXPECT_EQ(value->actualJsonValue(), nullptr);
  bool loaded = false;
  value->loadSecureText([&] {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    loaded = true;
  });
  EXPECT_GE(ticksDuring(0.3), 5) << "the main queue stood still";
  EXPECT_FALSE(loaded);
  EXPECT_EQ(store_->waiting, 1) << "one read, however often the text was asked for";

  // Another thread (a run) waits for the text; it gets it once the keychain answers.
  std::optional<std::string> fromRun;
  std::thread run([&] {
    if (value->waitForSecureText()) fromRun = value->stringValue();
  });
  store_->release();
  ASSERT_TRUE(runUntil([&] { return loaded; }));
  run.join();
  EXPECT_EQ(fromRun, "tok-1");
  EXPECT_EQ(value->stringValue(), "tok-1");
  EXPECT_EQ(value->secureReadStatus(), platform::errSecSuccess);
  EXPECT_EQ(store_->reads, 1) << "read once";

  // The copy reads the same item for itself.
  loaded = false;
  copy->loadSecureText([&] { loaded = true; });
  ASSERT_TRUE(runUntil([&] { return loaded; }));
  EXPECT_EQ(copy->stringValue(), "tok-1");

  // A text set before the read answers wins over the keychain's older one.
  auto replaced = QVDMOptionValue::valueWithObject(nullptr, Type::string, {{"secure", true}}, "uid-1");
  store_->hold();
  replaced->loadSecureText();
  replaced->setStringValue(std::optional<std::string>("tok-2"));
  store_->release();
  enginetest::settleKeychain();
  EXPECT_EQ(replaced->stringValue(), "tok-2");
  EXPECT_EQ(keychain->secureValueForKey("uid-1"), "tok-2");

  // A uid without an item reads as no text.
  auto missing = QVDMOptionValue::valueWithObject("x", Type::string, {{"secure", true}}, "uid-none");
  EXPECT_TRUE(missing->waitForSecureText() || runUntil([&] { return !missing->isSecureTextPending(); }));
  EXPECT_TRUE(missing->isEmpty());
  EXPECT_EQ(missing->stringValue(), std::nullopt);

  // A new option's uid is new: there is nothing to read.
  auto fresh = QVDMUserOption::optionWithDictionary(
      {{"name", "t"}, {"type", "string"}, {"options", {{"secure", true}}}});
  EXPECT_FALSE(fresh->value()->isSecureTextPending());
  EXPECT_TRUE(fresh->value()->isEmpty());
}

// A write waits on the keychain off the main thread; its answer comes on the main queue. A text the
// keychain does not keep (the user dismissed its prompt) is not kept in memory either.
TEST_F(KeychainWaitTest, AWriteAnswersOnTheMainQueueAndATextNotKeptIsUndone) {
  auto keychain = ZKKeychain::sharedHelper();
  auto option = QVDMUserOption::optionWithDictionary(
      {{"name", "token"}, {"type", "string"}, {"options", {{"secure", true}}}});
  std::optional<QVDMOptionValue::SecureStoreResult> answer;
  auto remember = [&](const QVDMOptionValue::SecureStoreResult& result) {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    answer = result;
  };

  store_->hold();
  option->value()->setStringValue(std::optional<std::string>("first"), remember);
  EXPECT_EQ(option->value()->stringValue(), "first");
  EXPECT_GE(ticksDuring(0.3), 5) << "the main queue stood still";
  EXPECT_FALSE(answer) << "answered before the keychain did";
  store_->release();
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_TRUE(answer->kept());
  EXPECT_EQ(keychain->secureValueForKey(option->uid()), "first");

  struct Case {
    const char* what;
    platform::OSStatus failure;
    std::string reason;
  };
  const Case cases[] = {
      {"the prompt dismissed", platform::errSecUserCanceled, "the keyring's prompt was dismissed"},
      {"the keyring locked", platform::errSecInteractionNotAllowed, "the keyring is locked"},
      {"no secret service", platform::errSecNotAvailable, "no secret service answers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    store_->refuseWrites({c.failure});
    answer.reset();
    option->value()->setStringValue(std::optional<std::string>("second"), remember);
    ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(answer->kept());
    EXPECT_EQ(answer->status, c.failure);
    EXPECT_EQ(answer->reason(), c.reason);
    EXPECT_EQ(option->value()->stringValue(), "first") << "the text not kept was kept in memory";
    EXPECT_EQ(keychain->secureValueForKey(option->uid()), "first");
  }

  // Two texts set while the keychain waits: the value ends with the last text the keychain kept.
  struct Sequence {
    const char* what;
    const char* texts[2];
    std::vector<platform::OSStatus> answers;  // the keychain's, in order
    const char* expected;
  };
  const Sequence sequences[] = {
      {"the first refused, the second kept",
       {"a", "b"},
       {platform::errSecUserCanceled, platform::errSecSuccess},
       "b"},
      {"both refused", {"c", "d"}, {platform::errSecUserCanceled, platform::errSecUserCanceled}, "b"},
      {"the first kept, the second refused",
       {"e", "f"},
       {platform::errSecSuccess, platform::errSecUserCanceled},
       "e"},
  };
  for (const auto& sequence : sequences) {
    SCOPED_TRACE(sequence.what);
    store_->hold();
    store_->refuseWrites(sequence.answers);
    int answers = 0;
    auto count = [&](const QVDMOptionValue::SecureStoreResult&) { ++answers; };
    option->value()->setStringValue(std::optional<std::string>(sequence.texts[0]), count);
    option->value()->setStringValue(std::optional<std::string>(sequence.texts[1]), count);
    store_->release();
    ASSERT_TRUE(runUntil([&] { return answers == 2; }));
    EXPECT_EQ(keychain->secureValueForKey(option->uid()), sequence.expected);
    EXPECT_EQ(option->value()->stringValue(), sequence.expected) << "memory and keychain disagree";
  }

  // Nothing goes to the keychain for a text that is not secure: answered at once.
  auto plain = QVDMUserOption::optionWithDictionary({{"name", "city"}, {"type", "string"}});
  bool kept = false;
  plain->value()->setStringValue(
      std::optional<std::string>("Oslo"),
      [&](const QVDMOptionValue::SecureStoreResult& result) { kept = result.kept(); });
  EXPECT_TRUE(kept);
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
    enginetest::readSecureTexts({restored});
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
