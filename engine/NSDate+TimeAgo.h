#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Date.h"

// Relative and medium date texts for the dashboard's "Last Updated" tooltips. Every operation sets the
// one shared ICU date formatter (default locale, calendar and time zone, made on first use) to its
// own pattern just before it formats, under a lock, so callers on any thread get what they asked for.
// Month and weekday names follow the locale; the "... ago" and "Yesterday at" texts are fixed English.

// Parses "yyyy-MM-dd HH:mm:ss" (local time, strictly: no 2020-02-30, no trailing text) and answers
// the date's zk_timeAgo, or nullopt when the text does not parse.
std::optional<std::string> mysqlDatetimeFormattedAsTimeAgo(const std::string& text);

// The date in the locale's medium date style followed by its medium time style.
std::string zk_timeAgo(const platform::Date& date);

// True when both dates fall on the same calendar day in the formatter's time zone.
bool isSameDayAs(const platform::Date& date, const platform::Date& other);
// True when the date falls on the day before the reference date (moved back by 86,400 s).
bool isYesterday(const platform::Date& date, const platform::Date& reference);
// The date moved back by days × 86,400 s (no calendar arithmetic: daylight-saving changes are ignored).
platform::Date dateBySubtractingDays(const platform::Date& date, std::int64_t days);

// Strict comparisons of an elapsed interval in seconds: under a week, 31 days, 365.24 days.
bool isLastWeek(double interval);
bool isLastMonth(double interval);
bool isLastYear(double interval);

// "1 minute ago" for 60-119 s, else "%d minutes ago" with the whole minutes (0 under a minute).
std::string formatMinutesAgo(double interval);
// "1 hour ago" for 3600-7199 s, else "%d hours ago" with the whole hours (0 under an hour).
std::string formatAsToday(double interval);
// "Yesterday at 3:04 PM".
std::string formatAsYesterday(const platform::Date& date);
// "Friday at 3:04 PM".
std::string formatAsLastWeek(const platform::Date& date);
// "January 5 at 3:04 PM".
std::string formatAsLastMonth(const platform::Date& date);
// "January 5".
std::string formatAsLastYear(const platform::Date& date);
// "January 5, 2024" (stand-alone month name).
std::string formatAsOther(const platform::Date& date);
