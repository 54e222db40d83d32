// Error, Date and UUID: the small value types every layer shares.
#include <uuid/uuid.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "platform/Date.h"
#include "platform/Error.h"
#include "platform/UUID.h"

namespace platform {

Error Error::fromErrno(int err, const std::string& context) {
  Error error;
  error.domain = kPOSIXErrorDomain;
  error.code = err;
  error.description = context.empty() ? std::string(std::strerror(err)) : context + ": " + std::strerror(err);
  return error;
}

Date Date::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return Date(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::string Date::iso8601(bool withMilliseconds) const {
  double whole = std::floor(seconds_);
  auto millis = static_cast<int>(std::llround((seconds_ - whole) * 1000.0));
  if (millis == 1000) {
    whole += 1;
    millis = 0;
  }
  time_t t = static_cast<time_t>(whole);
  tm parts{};
  gmtime_r(&t, &parts);
  char buffer[48];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts);
  std::string text(buffer, n);
  if (withMilliseconds) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", millis);
    text += fraction;
  }
  return text + "Z";
}

namespace {

bool readDigits(const std::string& text, std::size_t& pos, std::size_t count, int& out) {
  if (pos + count > text.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool expect(const std::string& text, std::size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

std::optional<Date> Date::fromISO8601(const std::string& text) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') || !readDigits(text, pos, 2, month) ||
      !expect(text, pos, '-') || !readDigits(text, pos, 2, day)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  double fraction = 0;
  int offsetSeconds = 0;
  if (pos < text.size()) {
    if (!expect(text, pos, 'T') && !expect(text, pos, ' ')) return std::nullopt;
    if (!readDigits(text, pos, 2, hour) || !expect(text, pos, ':') || !readDigits(text, pos, 2, minute)) {
      return std::nullopt;
    }
    if (expect(text, pos, ':') && !readDigits(text, pos, 2, second)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (expect(text, pos, '.') || expect(text, pos, ',')) {
      double scale = 0.1;
      std::size_t start = pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        fraction += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
      if (pos == start) return std::nullopt;
    }
    if (expect(text, pos, 'Z')) {
      // UTC
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      int sign = text[pos] == '-' ? -1 : 1;
      ++pos;
      int oh = 0, om = 0;
      if (!readDigits(text, pos, 2, oh)) return std::nullopt;
      expect(text, pos, ':');
      if (pos < text.size() && !readDigits(text, pos, 2, om)) return std::nullopt;
      if (oh > 23 || om > 59) return std::nullopt;
      offsetSeconds = sign * (oh * 3600 + om * 60);
    }
    if (pos != text.size()) return std::nullopt;
  }
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  time_t t = timegm(&parts);
  return Date(static_cast<double>(t) - offsetSeconds + fraction);
}

std::string makeUUIDString() {
  uuid_t bytes;
  uuid_generate_random(bytes);
  char text[37];
  uuid_unparse_upper(bytes, text);
  return text;
}

std::optional<std::array<std::uint8_t, 16>> parseUUID(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  uuid_t bytes;
  if (uuid_parse(text.c_str(), bytes) != 0) return std::nullopt;
  std::array<std::uint8_t, 16> out{};
  std::memcpy(out.data(), bytes, 16);
  return out;
}

std::string uuidString(const std::array<std::uint8_t, 16>& bytes) {
  char text[37];
  uuid_unparse_upper(bytes.data(), text);
  return text;
}

}  // namespace platform
