#include <fmt/format.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <climits>
#include <cmath>
#include <memory>
#include <mutex>

#include "engine/NSDate+TimeAgo.h"

namespace {

// The process-wide formatter. ICU formatters are not safe for concurrent use, so every use holds the
// lock from setting the pattern to reading the text.
struct SharedFormatter {
  std::mutex mutex;
  std::unique_ptr<icu::SimpleDateFormat> formatter;
  icu::UnicodeString mediumPattern;
};

SharedFormatter& sharedDateFormatter() {
  static SharedFormatter* shared = [] {
    auto* made = new SharedFormatter();
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale& locale = icu::Locale::getDefault();
    auto formatter =
        std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString("yyyy-MM-dd"), locale, status);
    if (U_SUCCESS(status)) made->formatter = std::move(formatter);
    std::unique_ptr<icu::DateFormat> medium(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kMedium, locale));
    if (auto* simple = dynamic_cast<icu::SimpleDateFormat*>(medium.get())) {
      simple->toPattern(made->mediumPattern);
    } else {
      made->mediumPattern = icu::UnicodeString("MMM d, y, h:mm:ss a");
    }
    return made;
  }();
  return *shared;
}

icu::UnicodeString unicode(const char* text) { return icu::UnicodeString::fromUTF8(text); }

std::string format(const platform::Date& date, const icu::UnicodeString* pattern, const char* fixedPattern) {
  auto& shared = sharedDateFormatter();
  std::lock_guard lock(shared.mutex);
  if (!shared.formatter) return date.iso8601();
  shared.formatter->applyPattern(pattern ? *pattern : unicode(fixedPattern));
  icu::UnicodeString text;
  shared.formatter->format(date.timeIntervalSince1970() * 1000.0, text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string format(const platform::Date& date, const char* pattern) { return format(date, nullptr, pattern); }

// The interval as whole seconds in 32 bits, truncated toward zero; out-of-range values are clamped.
int wholeSeconds(double interval) {
  if (std::isnan(interval)) return 0;
  if (interval >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (interval <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(interval);
}

}  // namespace

std::optional<std::string> mysqlDatetimeFormattedAsTimeAgo(const std::string& text) {
  std::optional<platform::Date> date;
  {
    auto& shared = sharedDateFormatter();
    std::lock_guard lock(shared.mutex);
    if (!shared.formatter) return std::nullopt;
    shared.formatter->applyPattern(unicode("yyyy-MM-dd HH:mm:ss"));
    shared.formatter->setLenient(false);
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    icu::ParsePosition position(0);
    UDate parsed = shared.formatter->parse(input, position);
    shared.formatter->setLenient(true);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length() || input.isEmpty()) {
      return std::nullopt;
    }
    date = platform::Date::fromTimeIntervalSince1970(parsed / 1000.0);
  }
  return zk_timeAgo(*date);
}

std::string zk_timeAgo(const platform::Date& date) {
  return format(date, &sharedDateFormatter().mediumPattern, nullptr);
}

bool isSameDayAs(const platform::Date& date, const platform::Date& other) {
  return format(date, "yyyy-MM-dd") == format(other, "yyyy-MM-dd");
}

bool isYesterday(const platform::Date& date, const platform::Date& reference) {
  return isSameDayAs(date, dateBySubtractingDays(reference, 1));
}

platform::Date dateBySubtractingDays(const platform::Date& date, std::int64_t days) {
  std::int64_t product = 0;
  // The product is formed as an integer; a day count too large for that falls back to doubles.
  double offset = __builtin_mul_overflow(days, std::int64_t{-86400}, &product)
                      ? static_cast<double>(days) * -86400.0
                      : static_cast<double>(product);
  return platform::Date::fromTimeIntervalSinceReferenceDate(date.timeIntervalSinceReferenceDate() + offset);
}

bool isLastWeek(double interval) { return interval < 604800; }
bool isLastMonth(double interval) { return interval < 2678400; }
bool isLastYear(double interval) { return interval < 31556736; }

std::string formatMinutesAgo(double interval) {
  int seconds = wholeSeconds(interval);
  if (seconds >= 60 && seconds <= 119) return "1 minute ago";
  return fmt::format("{} minutes ago", seconds / 60);
}

std::string formatAsToday(double interval) {
  int seconds = wholeSeconds(interval);
  if (seconds >= 3600 && seconds <= 7199) return "1 hour ago";
  return fmt::format("{} hours ago", seconds / 3600);
}

std::string formatAsYesterday(const platform::Date& date) {
  return fmt::format("Yesterday at {}", format(date, "h:mm a"));
}

std::string formatAsLastWeek(const platform::Date& date) { return format(date, "EEEE 'at' h:mm a"); }
std::string formatAsLastMonth(const platform::Date& date) { return format(date, "MMMM d 'at' h:mm a"); }
std::string formatAsLastYear(const platform::Date& date) { return format(date, "MMMM d"); }
std::string formatAsOther(const platform::Date& date) { return format(date, "LLLL d, yyyy"); }
