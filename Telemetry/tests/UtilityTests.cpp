#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryTestSupport.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"

namespace {

using Opt = std::optional<std::string>;

struct ConfigurationCase {
  Opt configuration;
  Opt secret;
  Opt token;
};

TEST(UtilityConfiguration, SecretsAndTokens) {
  const ConfigurationCase cases[] = {
      {"appsecret=abc;target=tok", "abc", "tok"},
      {"abc;target=tok", "abc", "tok"},
      {"appsecret=;abc", "abc", std::nullopt},
      {"target=tok", std::nullopt, "tok"},
      {"target=", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
      {"first;second", "first", std::nullopt},
      {";;abc;", "abc", std::nullopt},
      {"target=;target=t2", std::nullopt, "t2"},
      {"AppSecret=abc", "AppSecret=abc", std::nullopt},  // matching is case-sensitive
      {" abc ;target=x", " abc ", "x"},                  // nothing is trimmed
      {"appsecret=appsecret=abc", "abc", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configuration.value_or("(nil)"));
    EXPECT_EQ(TLUtility::appSecretFrom(c.configuration), c.secret);
    EXPECT_EQ(TLUtility::transmissionTargetTokenFrom(c.configuration), c.token);
  }
}

TEST(UtilityConfiguration, TargetKeysAndIKeys) {
  const std::tuple<Opt, Opt, Opt> cases[] = {
      {"abc-def-ghi", "abc", "o:abc"},
      {"abc", "abc", "o:abc"},
      {"-abc", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& [token, key, iKey] : cases) {
    EXPECT_EQ(TLUtility::targetKeyFromTargetToken(token), key);
    EXPECT_EQ(TLUtility::iKeyFromTargetToken(token), iKey);
  }
}

TEST(UtilityText, Sha256OfUtf8Bytes) {
  EXPECT_EQ(TLUtility::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(TLUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Characters outside ASCII hash as their UTF-8 bytes.
  EXPECT_EQ(TLUtility::sha256("\xC3\xA9"),
            "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c");
}

TEST(UtilityText, PrettyPrintJson) {
  auto data = [](std::string_view text) {
    return std::optional<platform::Data>(platform::dataFromString(text));
  };
  EXPECT_FALSE(TLUtility::prettyPrintJson(std::nullopt));
  // Not JSON: handed back as text.
  EXPECT_EQ(TLUtility::prettyPrintJson(data("not json {")), "not json {");
  // Pretty text parses back to the same value; slashes stay as they are, escaped ones keep their
  // backslash.
  auto pretty = TLUtility::prettyPrintJson(data(R"({"a":[1,2],"url":"http://x/y","esc":"a\\/b"})"));
  ASSERT_TRUE(pretty);
  EXPECT_NE(pretty->find('\n'), std::string::npos);
  auto parsed = nlohmann::json::parse(*pretty);
  EXPECT_EQ(parsed["url"], "http://x/y");
  EXPECT_EQ(parsed["esc"], "a\\/b");
  // Invalid UTF-8 in the fallback text is replaced.
  EXPECT_EQ(TLUtility::prettyPrintJson(data("\xff"
                                            "abc")),
            "\xEF\xBF\xBD"
            "abc");
}

TEST(UtilityText, PrettyPrintDeepNestingReturnsText) {
  std::string open(100000, '[');
  auto result = TLUtility::prettyPrintJson(platform::dataFromString(open));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), open.size());
  // Valid JSON nested 300 levels: text as it came.
  std::string deep = std::string(300, '[') + std::string(300, ']');
  EXPECT_EQ(TLUtility::prettyPrintJson(platform::dataFromString(deep)), deep);
  // 256 levels are still pretty-printed.
  std::string ok = std::string(256, '[') + std::string(256, ']');
  EXPECT_NE(TLUtility::prettyPrintJson(platform::dataFromString(ok)), ok);
}

TEST(UtilityText, ObfuscateString) {
  tltesting::MessageRecorder recorder;
  EXPECT_EQ(TLUtility::obfuscateString("App-Secret: abcdef", "(app-secret: )\\w+", "$1***"),
            "App-Secret: ***");
  EXPECT_EQ(TLUtility::obfuscateString("token=1 TOKEN=2", "token=\\d", "x"), "x x");
  EXPECT_FALSE(TLUtility::obfuscateString(std::nullopt, "a", "b"));
  EXPECT_TRUE(recorder.texts(TLLogLevelError).empty());
  EXPECT_FALSE(TLUtility::obfuscateString("text", "([a-", "x"));
  auto errors = recorder.texts(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Couldn't create regular expression with pattern\"([a-\": "))
      << errors[0];
}

// Cuts counted in UTF-16 units never split a character.
TEST(UtilityText, Cuts) {
  const std::string e = "\xC3\xA9";              // é, 1 unit
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, 2 units
  struct Case {
    std::string text;
    std::size_t max;
    std::string expected;
    std::size_t units;
  };
  const Case cases[] = {
      {"abc", 5, "abc", 3},
      {"abcdef", 3, "abc", 6},
      {e + e + e, 2, e + e, 3},
      {"ab" + smile, 3, "ab", 4},
      {"ab" + smile, 4, "ab" + smile, 4},
      {smile + smile, 3, smile, 4},
      {std::string(130, 'k'), 125, std::string(125, 'k'), 130},
      {"", 0, "", 0},
      {"a\xff", 5, "a\xEF\xBF\xBD", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TLUtility::truncatedToUTF16Length(c.text, c.max), c.expected);
    EXPECT_EQ(TLUtility::utf16Length(c.text), c.units);
  }
}

struct DateCase {
  double seconds;
  const char* text;
};

TEST(UtilityDates, FormatsUtcWithFlooredMilliseconds) {
  const DateCase cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1554111005.120, "2019-04-01T09:30:05.120Z"},
      {1572941350.123, "2019-11-05T08:09:10.123Z"},
      {1572941350.9995, "2019-11-05T08:09:10.999Z"},  // floored, never rounded to the next second
      {-0.0005, "1969-12-31T23:59:59.999Z"},
      {-86400.25, "1969-12-30T23:59:59.750Z"},
      {-2208988800.0, "1900-01-01T00:00:00.000Z"},
      {951782400.5, "2000-02-29T00:00:00.500Z"},
      {4102444799.999, "2099-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases) {
    auto date = platform::Date::fromTimeIntervalSince1970(c.seconds);
    EXPECT_EQ(TLUtility::dateToISO8601(date), c.text) << c.seconds;
    auto parsed = TLUtility::dateFromISO8601(c.text);
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(TLUtility::dateToISO8601(*parsed), c.text);
  }
}

TEST(UtilityDates, ParsingRefusesOtherForms) {
  const char* bad[] = {"",
                       "2019-04-01T09:30:05Z",
                       "2019-04-01T09:30:05.12Z",
                       "2019-04-01 09:30:05.120Z",
                       "2019-04-01T09:30:05.120+01:00",
                       "2019-13-01T09:30:05.120Z",
                       "2019-02-29T09:30:05.120Z",
                       "2019-04-31T09:30:05.120Z",
                       "2019-04-01T24:30:05.120Z",
                       "2019-04-01T09:60:05.120Z",
                       "2O19-04-01T09:30:05.120Z",
                       "2019-04-01T09:30:05.120Zx"};
  for (const char* text : bad) EXPECT_FALSE(TLUtility::dateFromISO8601(text)) << text;
  EXPECT_TRUE(TLUtility::dateFromISO8601("2020-02-29T23:59:59.999Z"));
}

// A German C locale (decimal comma) changes nothing: the text is built without the locale.
class GermanLocaleTest : public qvtesting::SandboxTest {};

TEST_F(GermanLocaleTest, DatesIgnoreTheCLocale) {
  std::string saved = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    // Build the locale into the sandbox when the system has not generated it.
    auto folder = root() / "locales";
    std::filesystem::create_directories(folder);
    std::string command =
        "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      setenv("LOCPATH", folder.c_str(), 1);
      std::setlocale(LC_ALL, "de_DE.UTF-8");
    }
  }
  if (std::string(std::setlocale(LC_ALL, nullptr)).find("de_DE") == std::string::npos) {
    unsetenv("LOCPATH");
    GTEST_SKIP() << "no de_DE.UTF-8 locale could be made here";
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%.1f", 0.5);
  EXPECT_STREQ(buffer, "0,5");  // the locale is really in force
  auto date = platform::Date::fromTimeIntervalSince1970(1554111005.120);
  EXPECT_EQ(TLUtility::dateToISO8601(date), "2019-04-01T09:30:05.120Z");
  EXPECT_EQ(TLUtility::dateFromISO8601("2019-04-01T09:30:05.120Z"), date);
  std::setlocale(LC_ALL, saved.c_str());
  unsetenv("LOCPATH");
}

class ApplicationStateTest : public qvtesting::SandboxTest {
 protected:
  void TearDown() override {
    TLApplicationHooks::install({});
    qvtesting::SandboxTest::TearDown();
  }

  // The state as asked on the main thread.
  int onMain(int (*ask)()) {
    int state = -1;
    platform::postToMain([&] { state = ask(); });
    EXPECT_TRUE(runUntil([&] { return state != -1; }));
    return state;
  }
};

TEST_F(ApplicationStateTest, MainThreadHooksAndOtherThreads) {
  // No hooks: active on the main thread, unknown elsewhere.
  EXPECT_EQ(onMain(TLUtility::applicationState), TLApplicationStateActive);
  int offMain = -1;
  std::thread([&] { offMain = TLUtility::applicationState(); }).join();
  EXPECT_EQ(offMain, TLApplicationStateUnknown);

  bool hidden = true;
  TLApplicationHooks hooks;
  hooks.isApplicationHidden = [&] { return hidden; };
  TLApplicationHooks::install(hooks);
  EXPECT_EQ(onMain(TLUtility::applicationState), TLApplicationStateBackground);
  hidden = false;
  EXPECT_EQ(onMain(TLUtility::sharedAppState), TLApplicationStateActive);
  EXPECT_EQ(TLUtility::currentAppEnvironment(), 99);
  EXPECT_FALSE(TLUtility::isAppStoreReceiptSandbox());
}

TEST_F(ApplicationStateTest, OpenUrlGoesThroughTheHookOnTheMainThread) {
  std::optional<bool> answer;
  TLUtility::sharedAppOpenUrl("https://example.org", [&](bool ok) { answer = ok; });
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_FALSE(*answer);

  std::string opened;
  bool onMain = false;
  TLApplicationHooks hooks;
  hooks.openURL = [&](const std::string& url, std::function<void(bool)> completion) {
    opened = url;
    onMain = platform::MainQueue::isMainThread();
    completion(true);
  };
  TLApplicationHooks::install(hooks);
  answer.reset();
  std::thread([] { TLUtility::sharedAppOpenUrl("https://example.org/a", nullptr); }).join();
  TLUtility::sharedAppOpenUrl("https://example.org/b", [&](bool ok) { answer = ok; });
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_TRUE(*answer);
  EXPECT_EQ(opened, "https://example.org/b");
  EXPECT_TRUE(onMain);
}

// The record is in the program file, where tools can read it.
TEST(UtilitySdkRecord, ReadBackWithObjcopy) {
  EXPECT_EQ(TLUtility::sdkName(), "telemetry.macos");
  EXPECT_EQ(TLUtility::sdkVersion(), "2.5.0");
  EXPECT_EQ(TLUtility::sdkBuild(), "1");
  auto out = std::filesystem::temp_directory_path() / ("tl-sdk-record-" + std::to_string(getpid()));
  // The shell that runs objcopy has its own /proc/self: name this program's file.
  auto program = std::filesystem::read_symlink("/proc/self/exe");
  std::string command = "objcopy --dump-section __ms_ios='" + out.string() + "' '" + program.string() +
                        "' '" + out.string() + ".elf' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  auto bytes = platform::files::readFile(out);
  std::filesystem::remove(out);
  std::filesystem::remove(out.string() + ".elf");
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 97u);
  auto field = [&](std::size_t offset) {
    std::string text(reinterpret_cast<const char*>(bytes->data()) + offset, 32);
    return text.substr(0, text.find('\0'));
  };
  EXPECT_EQ((*bytes)[0], 1);
  EXPECT_EQ(field(1), "telemetry.macos");
  EXPECT_EQ(field(33), "2.5.0");
  EXPECT_EQ(field(65), "1");
  EXPECT_EQ((*bytes)[96], 0);
}

// ---- Property validation ----

using Entries = std::vector<std::pair<platform::ArchiveObject, platform::ArchiveObject>>;

Entries numbered(int count, int keyLength = 3) {
  Entries entries;
  for (int i = 0; i < count; ++i) {
    std::string key = fmt::format("{:0{}}", i, keyLength);
    entries.emplace_back(key, "v");
  }
  return entries;
}

TEST(UtilityPropertyValidation, Limits) {
  struct Case {
    const char* name;
    Entries input;
    std::size_t resultSize;
    std::size_t warnings;
  };
  const std::string k125(125, 'k'), k126(126, 'k'), v200(200, 'v');
  const Case cases[] = {
      {"empty", {}, 0, 0},
      {"20 kept", numbered(20), 20, 0},
      {"25 give 20", numbered(25), 20, 1},
      {"125 key kept", {{k125, "v"}}, 1, 0},
      {"126 key cut", {{k126, "v"}}, 1, 1},
      {"200 value cut", {{"k", v200}}, 1, 1},
      {"number value dropped silently", {{"k", 7}, {"j", "v"}}, 1, 0},
      {"non-string key dropped silently", {{7, "v"}}, 0, 0},
      {"empty key dropped with warning", {{"", "v"}}, 0, 1},
      {"two long keys become one", {{k125 + "a", "first"}, {k125 + "b", "second"}}, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tltesting::MessageRecorder recorder;
    auto result = TLUtility::validateProperties(c.input, "EventName", "event");
    EXPECT_EQ(result.size(), c.resultSize);
    EXPECT_EQ(recorder.texts(TLLogLevelWarning).size(), c.warnings);
  }
}

TEST(UtilityPropertyValidation, TextsAndValues) {
  tltesting::MessageRecorder recorder;
  const std::string k130a = std::string(125, 'k') + "aaaaa", k130b = std::string(125, 'k') + "bbbbb";
  auto result = TLUtility::validateProperties(Entries{{k130a, "first"}, {k130b, "second"}}, "n", "t");
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result.begin()->first, std::string(125, 'k'));
  EXPECT_EQ(result.begin()->second, "second");
  result = TLUtility::validateProperties(Entries{{"k", std::string(200, 'v')}}, "n", "t");
  EXPECT_EQ(result["k"], std::string(125, 'v'));
  // The limit counts accepted entries: dropped ones don't use it up, and once 20 are held the next
  // entry of any kind ends the walk.
  Entries entries = numbered(19);
  entries.emplace_back("x", 1);
  entries.emplace_back("y", "v");
  entries.emplace_back(5, 5);
  auto limited = TLUtility::validateProperties(entries, "n", "t");
  EXPECT_EQ(limited.size(), 20u);
  auto warnings = recorder.texts(TLLogLevelWarning);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings.back(),
            "t 'n' : properties cannot contain more than 20 items. Skipping other properties.");
  // A cut never splits a character.
  std::string smiles;
  for (int i = 0; i < 70; ++i) smiles += "\xF0\x9F\x98\x80";
  auto cut = TLUtility::validateProperties(Entries{{"s", smiles}}, "n", "t");
  EXPECT_EQ(TLUtility::utf16Length(cut["s"]), 124u);
}

}  // namespace
