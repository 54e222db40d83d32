#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "engine/NSArray+NearestValue.h"
#include "engine/NSDate+TimeAgo.h"
#include "engine/NSDictionary+Utilities.h"
#include "engine/NSString+NextAvailable.h"
#include "testing/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::Date;

// The shared formatter takes the default locale and time zone when first used: fix them for the
// whole test program so that the texts below do not depend on the machine.
class FixedLocaleAndTimeZone : public ::testing::Environment {
 public:
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  }
};
[[maybe_unused]] ::testing::Environment* const kFixedLocale =
    ::testing::AddGlobalTestEnvironment(new FixedLocaleAndTimeZone);

// 2024-01-05 15:04:05 UTC, a Friday.
const Date kFriday = Date::fromTimeIntervalSince1970(1704467045);

TEST(TimeAgo, MinutesAndHours) {
  struct Case {
    double interval;
    const char* minutes;
    const char* hours;
  } cases[] = {
      {0, "0 minutes ago", "0 hours ago"},
      {59.9, "0 minutes ago", "0 hours ago"},
      {60, "1 minute ago", "0 hours ago"},
      {119.9, "1 minute ago", "0 hours ago"},
      {120, "2 minutes ago", "0 hours ago"},
      {3599, "59 minutes ago", "0 hours ago"},
      {3600, "60 minutes ago", "1 hour ago"},
      {7199, "119 minutes ago", "1 hour ago"},
      {7200, "120 minutes ago", "2 hours ago"},
      {-90, "-1 minutes ago", "0 hours ago"},
      {1e12, "35791394 minutes ago", "596523 hours ago"},  // clamped to 32 bits, never undefined
      {std::nan(""), "0 minutes ago", "0 hours ago"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatMinutesAgo(c.interval), c.minutes) << c.interval;
    EXPECT_EQ(formatAsToday(c.interval), c.hours) << c.interval;
  }
}

TEST(TimeAgo, IntervalBoundsAreStrict) {
  struct Case {
    bool (*test)(double);
    double interval;
    bool expected;
  } cases[] = {
      {isLastWeek, 604799, true},    {isLastWeek, 604800, false},    {isLastMonth, 2678399, true},
      {isLastMonth, 2678400, false}, {isLastYear, 31556735.9, true}, {isLastYear, 31556736, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.test(c.interval), c.expected) << c.interval;
}

TEST(TimeAgo, FormatsWithTheirPatterns) {
  EXPECT_EQ(formatAsYesterday(kFriday), "Yesterday at 3:04 PM");
  EXPECT_EQ(formatAsLastWeek(kFriday), "Friday at 3:04 PM");
  EXPECT_EQ(formatAsLastMonth(kFriday), "January 5 at 3:04 PM");
  EXPECT_EQ(formatAsLastYear(kFriday), "January 5");
  EXPECT_EQ(formatAsOther(kFriday), "January 5, 2024");
  // Each call sets its own pattern, so the order of calls does not matter.
  EXPECT_EQ(formatAsLastYear(kFriday), "January 5");
  // Medium date and time styles of the locale (ICU puts a narrow no-break space before PM).
  EXPECT_EQ(zk_timeAgo(kFriday), "Jan 5, 2024, 3:04:05\u202FPM");
}

TEST(TimeAgo, ParsesDatabaseDatesStrictly) {
  struct Case {
    const char* text;
    const char* expected;  // nullptr: does not parse
  } cases[] = {
      {"2024-01-05 15:04:05", "Jan 5, 2024, 3:04:05\u202FPM"},
      {"2020-02-29 00:00:00", "Feb 29, 2020, 12:00:00\u202FAM"},
      {"2020-02-30 10:00:00", nullptr},
      {"2021-02-29 10:00:00", nullptr},
      {"2024-13-01 00:00:00", nullptr},
      {"2024-01-05 25:00:00", nullptr},
      {"2024-01-05", nullptr},
      {"2024-01-05 15:04:05 trailing", nullptr},
      {"", nullptr},
      {"yesterday", nullptr},
  };
  for (const auto& c : cases) {
    auto text = mysqlDatetimeFormattedAsTimeAgo(c.text);
    if (c.expected) {
      EXPECT_EQ(text, std::optional<std::string>(c.expected)) << c.text;
    } else {
      EXPECT_FALSE(text) << c.text << " gave " << text.value_or("");
    }
  }
}

TEST(TimeAgo, DaysAndYesterday) {
  Date midnight = Date::fromTimeIntervalSince1970(1704412800);  // 2024-01-05 00:00:00 UTC
  EXPECT_TRUE(isSameDayAs(midnight, kFriday));
  EXPECT_FALSE(isSameDayAs(midnight.addingTimeInterval(-1), kFriday));
  EXPECT_TRUE(isYesterday(midnight.addingTimeInterval(-1), kFriday));
  EXPECT_TRUE(isYesterday(midnight.addingTimeInterval(-86400), kFriday));
  EXPECT_FALSE(isYesterday(midnight.addingTimeInterval(-86401), kFriday));
  EXPECT_FALSE(isYesterday(kFriday, kFriday));
  EXPECT_DOUBLE_EQ(dateBySubtractingDays(kFriday, 2).timeIntervalSince1970(), 1704467045.0 - 172800);
  EXPECT_DOUBLE_EQ(dateBySubtractingDays(kFriday, -1).timeIntervalSince1970(), 1704467045.0 + 86400);
  // A day count whose product overflows 64 bits is still a date, far in the past.
  EXPECT_LT(dateBySubtractingDays(kFriday, std::numeric_limits<std::int64_t>::max()).timeIntervalSince1970(),
            -1e20);
}

TEST(NearestValue, SnapsToTheNearestMember) {
  const std::vector<double> values = {5, 30, 60, 300};
  struct Case {
    double number;
    double expected;
  } cases[] = {
      {17.5, 30},  // half-way goes up
      {17, 5},    {1, 5},     {-1e9, 5}, {100000, 300}, {60, 60},
      {5, 5},     {300, 300}, {45, 60},  {44.9, 30},    {std::numeric_limits<double>::infinity(), 300},
  };
  for (const auto& c : cases) EXPECT_EQ(zk_nearestValueWithNumber(values, c.number), c.expected) << c.number;
  EXPECT_EQ(zk_nearestValueWithNumber({42}, 1e6), 42);
  EXPECT_FALSE(zk_nearestValueWithNumber({}, 1));
}

class NextAvailablePath : public qvtesting::SandboxTest {};

TEST_F(NextAvailablePath, NumbersTakenNames) {
  std::string folder = root().string();
  auto path = [&](const char* name) { return folder + "/" + name; };
  struct Case {
    std::vector<const char*> existing;
    const char* asked;
    const char* expected;
  } cases[] = {
      {{}, "Backup.dashboardexport", "Backup.dashboardexport"},
      // A free path stays as it is even when its numbered sibling is taken.
      {{"Backup 2.dashboardexport"}, "Backup.dashboardexport", "Backup.dashboardexport"},
      {{"Backup.dashboardexport"}, "Backup.dashboardexport", "Backup 2.dashboardexport"},
      {{"Backup.dashboardexport", "Backup 2.dashboardexport"},
       "Backup.dashboardexport",
       "Backup 3.dashboardexport"},
      {{"Notes"}, "Notes", "Notes 2."},
      {{"Weather.quorvanemodule/"}, "Weather.quorvanemodule", "Weather 2.quorvanemodule"},
      {{"Weather.quorvanemodule/"}, "Weather.quorvanemodule/", "Weather 2.quorvanemodule"},
      {{"a.b.c"}, "a.b.c", "a.b 2.c"},
  };
  int round = 0;
  for (const auto& c : cases) {
    fs::path dir = root() / ("case" + std::to_string(round++));
    fs::create_directories(dir);
    folder = dir.string();
    for (const char* name : c.existing) {
      std::string entry = name;
      if (entry.back() == '/') {
        fs::create_directories(dir / entry);
      } else {
        writeFile(dir / entry, "x");
      }
    }
    EXPECT_EQ(zk_nextAvailablePath(path(c.asked)), path(c.expected)) << c.asked;
  }
}

TEST_F(NextAvailablePath, DanglingLinkCountsAsTaken) {
  fs::create_symlink(root() / "missing-target", root() / "Backup.zip");
  EXPECT_EQ(zk_nextAvailablePath((root() / "Backup.zip").string()), (root() / "Backup 2.zip").string());
}

TEST(CommonAncestor, SharedFolders) {
  struct Case {
    std::vector<std::string> paths;
    std::optional<std::string> expected;
  } cases[] = {
      {{"/a/b/c", "/a/b/d"}, "/a/b"},
      {{"/a", "/b"}, "/"},
      {{"/a/b"}, "/a"},
      {{"/a"}, "/"},
      {{"a/b"}, "a"},
      {{"/a/b", "/a/b"}, "/a/b"},
      {{"a/b", "a/c"}, "/a"},
      {{"a", "b"}, std::nullopt},
      {{"/a/b/c", "/a/b/d", "/a/x"}, "/a"},
      {{"/a/b/", "/a/b/c"}, "/a/b"},
      {{"/ab", "/a"}, "/"},
      {{"/a/b", "a/b"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zk_commonAncestorWithPaths(c.paths), c.expected) << ::testing::PrintToString(c.paths);
  }
}

TEST(DictionaryUtilities, ReplaceMergeAndNulls) {
  json base = {{"a", 1}, {"b", "two"}};
  EXPECT_EQ(zk_dictionaryByReplacingObject(base, json(3), "a"), json({{"a", 3}, {"b", "two"}}));
  EXPECT_EQ(zk_dictionaryByReplacingObject(base, json::array({1}), "c"),
            json({{"a", 1}, {"b", "two"}, {"c", {1}}}));
  EXPECT_FALSE(zk_dictionaryByReplacingObject(json::array(), json(1), "a"));
  EXPECT_EQ(base, json({{"a", 1}, {"b", "two"}}));  // the receiver is never changed

  EXPECT_EQ(zk_dictionaryByMergingWithDictionary(base, json({{"b", 2}, {"c", nullptr}})),
            json({{"a", 1}, {"b", 2}, {"c", nullptr}}));
  EXPECT_EQ(zk_dictionaryByMergingWithDictionary(base, json()), base);
  EXPECT_EQ(zk_dictionaryByMergingWithDictionary(json("text"), base), base);

  json withNulls = {{"top", nullptr}, {"nested", {{"inner", nullptr}}}, {"list", {nullptr, 1}}};
  EXPECT_EQ(zk_dictionaryByRemovingNullValues(withNulls),
            json({{"top", ""}, {"nested", {{"inner", nullptr}}}, {"list", {nullptr, 1}}}));
  EXPECT_EQ(zk_dictionaryByRemovingNullValues(json({{"only", nullptr}})), json({{"only", ""}}));
  EXPECT_EQ(zk_dictionaryByRemovingNullValues(json::array({nullptr})), json::array({nullptr}));

  nlohmann::ordered_json ordered = {{"z", nullptr}, {"a", 1}};
  EXPECT_EQ(zk_dictionaryByRemovingNullValues(ordered).dump(), R"({"z":"","a":1})");
}

}  // namespace
