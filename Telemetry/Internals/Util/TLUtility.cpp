#include "Telemetry/Internals/Util/TLUtility.h"

#include <openssl/evp.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <regex>

#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/MainQueue.h"
#include "platform/Utf8.h"

// ---- SDK information record ----
//
// 97 bytes in a section of its own, so that tools can read the SDK's name and version from the
// program file: a version byte, then name, version and build, each NUL-padded to 32 bytes.
namespace {
struct TLSdkInfoRecord {
  std::uint8_t recordVersion;
  char name[32];
  char version[32];
  char build[32];
};
static_assert(sizeof(TLSdkInfoRecord) == 97);
}  // namespace

extern "C" {
__attribute__((section("__ms_ios"), used, retain))
const TLSdkInfoRecord tl_sdk_info_record = {1, "telemetry.macos", "2.5.0", "1"};
}

namespace {

std::string recordField(const char (&field)[32]) { return std::string(field, strnlen(field, sizeof field)); }

std::vector<std::string_view> splitParts(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string removingAll(std::string_view text, std::string_view what) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find(what, start);
    if (at == std::string_view::npos) break;
    out.append(text.substr(start, at - start));
    start = at + what.size();
  }
  out.append(text.substr(start));
  return out;
}

// Decodes one code point of well-formed UTF-8 at `i`; advances `i`.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
  auto byte = static_cast<unsigned char>(text[i]);
  int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  char32_t cp = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
  for (int k = 1; k < length && i + k < text.size(); ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  i += length;
  return cp;
}

std::string wellFormed(std::string_view text) {
  return platform::utf8::isValid(text) ? std::string(text) : platform::utf8::sanitized(text);
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

// Whether the JSON text nests deeper than `limit` arrays and objects (strings skipped).
bool nestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"')
      inString = true;
    else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

nlohmann::json propertyListToJson(const platform::PropertyList& value, int depth) {
  using T = platform::PropertyList::Type;
  if (depth > 64) return "…";
  switch (value.type()) {
    case T::Dictionary: {
      auto object = nlohmann::json::object();
      for (const auto& [key, item] : *value.asDictionary()) object[key] = propertyListToJson(item, depth + 1);
      return object;
    }
    case T::Array: {
      auto array = nlohmann::json::array();
      for (const auto& item : *value.asArray()) array.push_back(propertyListToJson(item, depth + 1));
      return array;
    }
    case T::String:
      return *value.asString();
    case T::Integer:
      return *value.asInteger();
    case T::Real:
      return *value.asReal();
    case T::Boolean:
      return *value.asBoolean();
    case T::Date:
      return TLUtility::dateToISO8601(*value.asDate());
    case T::Data:
      return fmt::format("<{} bytes>", value.asData()->size());
    case T::UID:
      return fmt::format("<uid {}>", value.asUID()->value);
  }
  return nullptr;
}

}  // namespace

// ---- Configuration string ----

std::optional<std::string> TLUtility::appSecretFrom(const std::optional<std::string>& configuration) {
  if (!configuration) return std::nullopt;
  for (auto part : splitParts(*configuration, ';')) {
    if (part.empty() || part.find("target=") != std::string_view::npos) continue;
    std::string secret = removingAll(part, "appsecret=");
    if (!secret.empty()) return secret;
  }
  return std::nullopt;
}

std::optional<std::string> TLUtility::transmissionTargetTokenFrom(
    const std::optional<std::string>& configuration) {
  if (!configuration) return std::nullopt;
  for (auto part : splitParts(*configuration, ';')) {
    if (part.find("target=") == std::string_view::npos) continue;
    std::string token = removingAll(part, "target=");
    if (!token.empty()) return token;
  }
  return std::nullopt;
}

std::optional<std::string> TLUtility::targetKeyFromTargetToken(const std::optional<std::string>& token) {
  if (!token) return std::nullopt;
  std::string key = token->substr(0, token->find('-'));
  if (key.empty()) return std::nullopt;
  return key;
}

std::optional<std::string> TLUtility::iKeyFromTargetToken(const std::optional<std::string>& token) {
  auto key = targetKeyFromTargetToken(token);
  if (!key) return std::nullopt;
  return "o:" + *key;
}

// ---- Text ----

std::string TLUtility::sha256(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned i = 0; i < length; ++i) hex += fmt::format("{:02x}", digest[i]);
  return hex;
}

std::optional<std::string> TLUtility::prettyPrintJson(const std::optional<platform::Data>& data) {
  if (!data) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
  // Deeply nested input is handed back as text: the writer would recurse once per level.
  if (nestsDeeperThan(text, platform::PropertyList::kMaxDepth)) return wellFormed(text);
  auto parsed = platform::json::parse(text);
  if (!parsed) return wellFormed(text);
  // The writer never escapes "/", so the text needs no un-escaping afterwards.
  return platform::json::dump(*parsed, 2);
}

std::optional<std::string> TLUtility::obfuscateString(const std::optional<std::string>& text,
                                                      const std::string& pattern,
                                                      const std::string& replacement) {
  if (!text) return std::nullopt;
  try {
    std::regex expression(pattern, std::regex::ECMAScript | std::regex::icase);
    return std::regex_replace(*text, expression, replacement);
  } catch (const std::regex_error& error) {
    TLLogError(kTLLogTag, "Couldn't create regular expression with pattern\"{}\": {}", pattern, error.what());
    return std::nullopt;
  }
}

std::size_t TLUtility::utf16Length(std::string_view text) {
  std::string checked = wellFormed(text);
  std::size_t units = 0;
  for (std::size_t i = 0; i < checked.size();) units += nextCodePoint(checked, i) > 0xFFFF ? 2 : 1;
  return units;
}

std::string TLUtility::truncatedToUTF16Length(std::string_view text, std::size_t maxUnits) {
  std::string checked = wellFormed(text);
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < checked.size()) {
    std::size_t next = i;
    std::size_t width = nextCodePoint(checked, next) > 0xFFFF ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
    i = next;
  }
  checked.resize(i);
  return checked;
}

std::string TLUtility::describePropertyList(const platform::PropertyList& value) {
  return platform::json::dump(propertyListToJson(value, 0));
}

// ---- Dates ----

double TLUtility::nowInMilliseconds() { return platform::Date::now().timeIntervalSince1970() * 1000.0; }

std::string TLUtility::dateToISO8601(const platform::Date& date) {
  // Round to the microsecond first, so a time stored as x.120 that reads back as x.11999999 still
  // prints .120; then floor to the millisecond, toward the past also before 1970.
  double seconds = date.timeIntervalSince1970();
  if (!std::isfinite(seconds)) seconds = 0;
  auto micros = static_cast<std::int64_t>(std::llround(seconds * 1e6));
  std::int64_t millis = floorDiv(micros, 1000);
  std::int64_t wholeSeconds = floorDiv(millis, 1000);
  auto fraction = static_cast<int>(millis - wholeSeconds * 1000);
  std::int64_t days = floorDiv(wholeSeconds, 86400);
  auto secondOfDay = static_cast<int>(wholeSeconds - days * 86400);
  std::int64_t year;
  unsigned month, day;
  civilFromDays(days, year, month, day);
  return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.{:03d}Z", year, month, day,
                     secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60, fraction);
}

std::optional<platform::Date> TLUtility::dateFromISO8601(std::string_view text) {
  // yyyy-MM-ddTHH:mm:ss.SSSZ
  if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.' || text[23] != 'Z')
    return std::nullopt;
  int year, month, day, hour, minute, second, millis;
  if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
      !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute) ||
      !readDigits(text, 17, 2, second) || !readDigits(text, 20, 3, millis))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int monthDays = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > monthDays) return std::nullopt;
  std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  std::int64_t totalMillis = ((days * 86400 + hour * 3600 + minute * 60 + second) * 1000) + millis;
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(totalMillis) / 1000.0);
}

// ---- Application ----

int TLUtility::applicationState() {
  if (platform::Bundle::executablePath().string().find(".appex/") != std::string::npos)
    return TLApplicationStateUnknown;
  return sharedAppState();
}

int TLUtility::sharedAppState() {
  if (!platform::MainQueue::isMainThread()) return TLApplicationStateUnknown;
  auto hooks = TLApplicationHooks::installed();
  if (hooks.isApplicationHidden && hooks.isApplicationHidden()) return TLApplicationStateBackground;
  return TLApplicationStateActive;
}

void TLUtility::sharedAppOpenUrl(const std::string& url, std::function<void(bool)> completion) {
  platform::postToMain([url, completion = std::move(completion)]() mutable {
    auto hooks = TLApplicationHooks::installed();
    if (!hooks.openURL) {
      if (completion) completion(false);
      return;
    }
    hooks.openURL(url, [completion](bool success) {
      if (completion) completion(success);
    });
  });
}

bool TLUtility::hasEmbeddedMobileProvision() {
  return platform::Bundle::main().pathForResource("embedded", "mobileprovision").has_value();
}

std::string TLUtility::sdkName() { return recordField(tl_sdk_info_record.name); }
std::string TLUtility::sdkVersion() { return recordField(tl_sdk_info_record.version); }
std::string TLUtility::sdkBuild() { return recordField(tl_sdk_info_record.build); }
