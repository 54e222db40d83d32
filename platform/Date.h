#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace platform {

// A point in time with sub-second precision, held as seconds since 1970 (UTC).
class Date {
 public:
  // Seconds from 1970-01-01 to the 2001-01-01 reference date used by archives.
  static constexpr double kReferenceOffset = 978307200.0;

  Date() = default;
  static Date now();
  static Date fromTimeIntervalSince1970(double seconds) { return Date(seconds); }
  static Date fromTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds + kReferenceOffset); }
  static Date distantPast() { return Date(-62135769600.0); }
  static Date distantFuture() { return Date(64092211200.0); }
  // Parses ISO 8601 texts such as "2024-05-01T12:30:00Z", "2024-05-01T12:30:00.250+02:00" or
  // "2024-05-01"; nullopt for anything else.
  static std::optional<Date> fromISO8601(const std::string& text);

  double timeIntervalSince1970() const { return seconds_; }
  double timeIntervalSinceReferenceDate() const { return seconds_ - kReferenceOffset; }
  double timeIntervalSinceNow() const { return seconds_ - now().seconds_; }
  double timeIntervalSince(const Date& other) const { return seconds_ - other.seconds_; }
  Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  // "2024-05-01T12:30:00Z" (UTC); with milliseconds "2024-05-01T12:30:00.250Z".
  std::string iso8601(bool withMilliseconds = false) const;

  auto operator<=>(const Date&) const = default;

 private:
  explicit Date(double seconds) : seconds_(seconds) {}
  double seconds_ = 0;
};

}  // namespace platform
