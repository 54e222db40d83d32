#include "httpserver/WebServerFunctions.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "platform/Escaping.h"
#include "platform/Log.h"

namespace {

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerASCII(c);
  return out;
}

bool functionsEqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// ---- Logging state ----

std::atomic<int> gLogLevel{kWebServerLoggingLevel_Info};
std::atomic<int> gStandardErrorIsTerminal{-1};
std::mutex gLogHandlerMutex;
WebServerLogHandler gLogHandler;
std::atomic<bool> gHasLogHandler{false};

const char* levelName(int level) {
  switch (level) {
    case kWebServerLoggingLevel_Debug:
      return "DEBUG";
    case kWebServerLoggingLevel_Verbose:
      return "VERBOSE";
    case kWebServerLoggingLevel_Info:
      return "INFO";
    case kWebServerLoggingLevel_Warning:
      return "WARNING";
    default:
      return "ERROR";
  }
}

// ---- Dates ----

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Whole seconds since 1970, rounded toward the past (a date is shown in the second it falls in).
std::int64_t wholeSeconds(const platform::Date& date) {
  double seconds = date.timeIntervalSince1970();
  auto whole = static_cast<std::int64_t>(seconds);
  if (static_cast<double>(whole) > seconds) --whole;
  return whole;
}

bool brokenDownUTC(const platform::Date& date, std::tm* out) {
  auto seconds = static_cast<std::time_t>(wholeSeconds(date));
  return gmtime_r(&seconds, out) != nullptr;
}

// A small cursor over date text.
class DateScanner {
 public:
  explicit DateScanner(std::string_view text) : text_(text) {}
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool number(int digits, int* out) {
    if (pos_ + static_cast<std::size_t>(digits) > text_.size()) return false;
    int value = 0;
    for (int i = 0; i < digits; ++i) {
      char c = text_[pos_ + static_cast<std::size_t>(i)];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos_ += static_cast<std::size_t>(digits);
    *out = value;
    return true;
  }
  // A day of the month written with one digit after a space ("Nov  6") or two digits.
  bool paddedDay(int* out) {
    if (literal(" ")) return number(1, out);
    return number(2, out);
  }
  bool oneOf(const char* const* names, int count, int* index) {
    for (int i = 0; i < count; ++i) {
      if (literal(names[i])) {
        *index = i;
        return true;
      }
    }
    return false;
  }
  bool atEnd() const { return pos_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<platform::Date> dateFromParts(int year, int month, int day, int hour, int minute, int second) {
  if (month < 0 || month > 11 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  std::time_t seconds = timegm(&parts);
  // timegm normalises impossible days (Feb 31); such texts are not dates.
  if (parts.tm_mday != day || parts.tm_mon != month) return std::nullopt;
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

// ---- Charsets ----

struct IconvHandle {
  iconv_t handle = reinterpret_cast<iconv_t>(-1);
  ~IconvHandle() {
    if (handle != reinterpret_cast<iconv_t>(-1)) iconv_close(handle);
  }
};

// ---- MIME types ----

const std::unordered_map<std::string, std::string>& systemMIMETypes() {
  static const std::unordered_map<std::string, std::string> table = [] {
    std::unordered_map<std::string, std::string> types;
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
      std::istringstream words(line);
      std::string type;
      if (!(words >> type)) continue;
      std::string extension;
      while (words >> extension) types.emplace(lowerASCII(extension), type);
    }
    // Used where the system has no table (or lacks these entries).
    const std::pair<const char*, const char*> fallback[] = {
        {"html", "text/html"},       {"htm", "text/html"},       {"txt", "text/plain"},
        {"js", "text/javascript"},   {"mjs", "text/javascript"}, {"json", "application/json"},
        {"xml", "application/xml"},  {"png", "image/png"},       {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},      {"gif", "image/gif"},       {"svg", "image/svg+xml"},
        {"ico", "image/x-icon"},     {"webp", "image/webp"},     {"woff", "font/woff"},
        {"woff2", "font/woff2"},     {"ttf", "font/ttf"},        {"otf", "font/otf"},
        {"pdf", "application/pdf"},  {"zip", "application/zip"}, {"wasm", "application/wasm"},
        {"map", "application/json"}, {"mp3", "audio/mpeg"},      {"mp4", "video/mp4"},
    };
    for (const auto& [extension, type] : fallback) types.emplace(extension, type);
    return types;
  }();
  return table;
}

std::string defaultRouteInterface() {
  std::ifstream in("/proc/net/route");
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags;
    if (!(fields >> name >> destination >> gateway >> flags)) continue;
    unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
    if (destination == "00000000" && (flagBits & RTF_UP)) return name;
  }
  return "lo";
}

}  // namespace

bool WebServerCaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = lowerASCII(a[i]);
    char y = lowerASCII(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

// ---- Logging ----

int WebServerGetLogLevel() { return gLogLevel.load(std::memory_order_relaxed); }

void WebServerSetLogLevel(int level) { gLogLevel.store(level, std::memory_order_relaxed); }

void WebServerSetLogHandler(WebServerLogHandler handler) {
  std::lock_guard lock(gLogHandlerMutex);
  gHasLogHandler = static_cast<bool>(handler);
  gLogHandler = std::move(handler);
}

void WebServerLogLine(int level, std::string_view message) {
  if (gHasLogHandler.load()) {
    std::lock_guard lock(gLogHandlerMutex);
    if (gLogHandler) {
      gLogHandler(level, message);
      return;
    }
  }
  int terminal = gStandardErrorIsTerminal.load();
  if (terminal < 0) {
    terminal = isatty(STDERR_FILENO) ? 1 : 0;
    gStandardErrorIsTerminal.store(terminal);
  }
  if (!terminal) return;
  platform::writeToStandardError(fmt::format("[{}] {}\n", levelName(level), message));
}

// ---- Dates ----

void WebServerPrepareDateFormatters() {}

std::string WebServerRFC822FromDate(const platform::Date& date) {
  std::tm parts{};
  if (!brokenDownUTC(date, &parts)) return {};
  return fmt::format("{}, {:02d} {} {:04d} {:02d}:{:02d}:{:02d} GMT", kDayNames[parts.tm_wday], parts.tm_mday,
                     kMonthNames[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
                     parts.tm_sec);
}

std::optional<platform::Date> WebServerDateFromRFC822(std::string_view text) {
  int weekday = 0, day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  {
    // Sun, 06 Nov 1994 08:49:37 GMT
    DateScanner s(text);
    if (s.oneOf(kDayNames, 7, &weekday) && s.literal(", ") && s.number(2, &day) && s.literal(" ") &&
        s.oneOf(kMonthNames, 12, &month) && s.literal(" ") && s.number(4, &year) && s.literal(" ") &&
        s.number(2, &hour) && s.literal(":") && s.number(2, &minute) && s.literal(":") &&
        s.number(2, &second) && s.literal(" GMT") && s.atEnd()) {
      return dateFromParts(year, month, day, hour, minute, second);
    }
  }
  {
    // Sunday, 06-Nov-94 08:49:37 GMT
    DateScanner s(text);
    if (s.oneOf(kLongDayNames, 7, &weekday) && s.literal(", ") && s.number(2, &day) && s.literal("-") &&
        s.oneOf(kMonthNames, 12, &month) && s.literal("-") && s.number(2, &year) && s.literal(" ") &&
        s.number(2, &hour) && s.literal(":") && s.number(2, &minute) && s.literal(":") &&
        s.number(2, &second) && s.literal(" GMT") && s.atEnd()) {
      // Two-digit years: 70-99 are 1970-1999, the rest 2000-2069.
      return dateFromParts(year >= 70 ? 1900 + year : 2000 + year, month, day, hour, minute, second);
    }
  }
  {
    // Sun Nov  6 08:49:37 1994
    DateScanner s(text);
    if (s.oneOf(kDayNames, 7, &weekday) && s.literal(" ") && s.oneOf(kMonthNames, 12, &month) &&
        s.literal(" ") && s.paddedDay(&day) && s.literal(" ") && s.number(2, &hour) && s.literal(":") &&
        s.number(2, &minute) && s.literal(":") && s.number(2, &second) && s.literal(" ") &&
        s.number(4, &year) && s.atEnd()) {
      return dateFromParts(year, month, day, hour, minute, second);
    }
  }
  return std::nullopt;
}

std::string WebServerISO8601FromDate(const platform::Date& date) {
  std::tm parts{};
  if (!brokenDownUTC(date, &parts)) return {};
  return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}+00:00", parts.tm_year + 1900,
                     parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

std::optional<platform::Date> WebServerDateFromISO8601(std::string_view text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  DateScanner s(text);
  if (s.number(4, &year) && s.literal("-") && s.number(2, &month) && s.literal("-") && s.number(2, &day) &&
      s.literal("T") && s.number(2, &hour) && s.literal(":") && s.number(2, &minute) && s.literal(":") &&
      s.number(2, &second) && s.literal("+00:00") && s.atEnd()) {
    return dateFromParts(year, month - 1, day, hour, minute, second);
  }
  return std::nullopt;
}

// ---- Header values ----

std::optional<std::string> WebServerCanonicalHeaderValue(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  auto semicolon = value->find(';');
  if (semicolon == std::string::npos) return lowerASCII(*value);
  return lowerASCII(std::string_view(*value).substr(0, semicolon)) + value->substr(semicolon);
}

std::optional<std::string> WebServerHeaderValueBase(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return value->substr(0, value->find(';'));
}

std::optional<std::string> WebServerHeaderParameterValue(const std::optional<std::string>& value,
                                                         std::string_view name) {
  if (!value || name.empty()) return std::nullopt;
  const std::string& text = *value;
  const std::size_t n = text.size();
  bool inQuotes = false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (inQuotes) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inQuotes = false;
      }
      continue;
    }
    if (c == '"') {
      inQuotes = true;
      continue;
    }
    // A parameter name starts right after a delimiter, never at the very start of the value.
    if (i == 0) continue;
    char before = text[i - 1];
    if (!(isSpace(before) || before == ';' || before == ',')) continue;
    if (i + name.size() >= n ||
        !functionsEqualsIgnoringCase(std::string_view(text).substr(i, name.size()), name) ||
        text[i + name.size()] != '=') {
      continue;
    }
    std::size_t p = i + name.size() + 1;
    while (p < n && (text[p] == ' ' || text[p] == '\t')) ++p;
    std::string result;
    if (p < n && text[p] == '"') {
      for (++p; p < n && text[p] != '"'; ++p) {
        if (text[p] == '\\' && p + 1 < n) ++p;
        result.push_back(text[p]);
      }
      return result;
    }
    while (p < n && !isSpace(text[p]) && text[p] != ';' && text[p] != ',') result.push_back(text[p++]);
    return result;
  }
  return std::nullopt;
}

// ---- Text encodings and bodies ----

WebServerStringEncoding WebServerEncodingFromCharsetName(const std::optional<std::string>& name) {
  if (!name || name->empty() || name->size() > 64) return kWebServerUTF8Encoding;
  std::string upper = *name;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (upper == "UTF-8" || upper == "UTF8") return kWebServerUTF8Encoding;
  // Only plain charset names: the converter gives "/" a meaning of its own.
  for (char c : upper) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                   c == ':' || c == '+';
    if (!allowed) return kWebServerUTF8Encoding;
  }
  IconvHandle probe;
  probe.handle = iconv_open("UTF-8", upper.c_str());
  if (probe.handle == reinterpret_cast<iconv_t>(-1)) return kWebServerUTF8Encoding;
  return upper;
}

bool WebServerIsValidUTF8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    std::uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

std::optional<std::string> WebServerStringFromData(std::span<const std::uint8_t> data,
                                                   const WebServerStringEncoding& encoding) {
  if (encoding == kWebServerUTF8Encoding) {
    std::string text(data.begin(), data.end());
    if (!WebServerIsValidUTF8(text)) return std::nullopt;
    return text;
  }
  IconvHandle converter;
  converter.handle = iconv_open("UTF-8", encoding.c_str());
  if (converter.handle == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(data.size() * 2 + 16);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(data.data()));
  std::size_t inLeft = data.size();
  std::size_t produced = 0;
  while (true) {
    char* outPtr = out.data() + produced;
    std::size_t outLeft = out.size() - produced;
    std::size_t result = iconv(converter.handle, inLeft > 0 ? &in : nullptr, &inLeft, &outPtr, &outLeft);
    produced = static_cast<std::size_t>(outPtr - out.data());
    if (result != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) break;
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    return std::nullopt;  // an invalid or incomplete sequence
  }
  out.resize(produced);
  if (!WebServerIsValidUTF8(out)) return std::nullopt;
  return out;
}

bool WebServerIsTextualType(std::string_view contentType) {
  return contentType.starts_with("text/") || contentType.starts_with("application/json") ||
         contentType.starts_with("application/xml");
}

std::string WebServerBodyDescription(std::span<const std::uint8_t> data,
                                     const std::optional<std::string>& contentType) {
  if (contentType && WebServerIsTextualType(*contentType)) {
    auto charset = WebServerHeaderParameterValue(contentType, "charset");
    if (auto text = WebServerStringFromData(data, WebServerEncodingFromCharsetName(charset))) return *text;
  }
  return fmt::format("<{} bytes>", data.size());
}

std::string WebServerMIMETypeForExtension(std::string_view extension,
                                          const WebServerMIMETypeOverrides* overrides) {
  std::string lower = lowerASCII(extension);
  if (lower.empty()) return "application/octet-stream";
  if (overrides) {
    if (auto it = overrides->find(lower); it != overrides->end()) return it->second;
  }
  if (lower == "css") return "text/css";
  const auto& table = systemMIMETypes();
  if (auto it = table.find(lower); it != table.end()) return it->second;
  return "application/octet-stream";
}

// ---- Escaping ----

std::optional<std::string> WebServerPercentUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = platform::hexDigitValue(text[i + 1]);
    int low = platform::hexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (!WebServerIsValidUTF8(out)) return std::nullopt;
  return out;
}

WebServerQuery WebServerParseFormText(std::string_view text) {
  WebServerQuery arguments;
  std::size_t pos = 0;
  while (true) {
    std::size_t equals = text.find('=', pos);
    std::size_t keyEnd = equals == std::string_view::npos ? text.size() : equals;
    if (keyEnd == pos) break;  // nothing could be scanned
    std::string key(text.substr(pos, keyEnd - pos));
    if (equals == std::string_view::npos) break;  // a last key without "="
    pos = equals + 1;
    std::size_t amp = text.find('&', pos);
    std::size_t valueEnd = amp == std::string_view::npos ? text.size() : amp;
    std::string value(text.substr(pos, valueEnd - pos));
    pos = valueEnd;
    for (char& c : key) c = c == '+' ? ' ' : c;
    for (char& c : value) c = c == '+' ? ' ' : c;
    auto unescapedKey = WebServerPercentUnescape(key);
    auto unescapedValue = WebServerPercentUnescape(value);
    if (unescapedKey && unescapedValue) {
      arguments[*unescapedKey] = *unescapedValue;
    } else {
      WebServerLog(kWebServerLoggingLevel_Warning,
                   "Failed parsing URL encoded form for key \"{}\" and value \"{}\"", key, value);
    }
    if (pos >= text.size()) break;
    ++pos;  // the "&"
  }
  return arguments;
}

// ---- Addresses ----

std::string WebServerAddressText(const platform::Data& address, bool includeService) {
  if (address.size() < sizeof(sa_family_t)) return {};
  sockaddr_storage storage{};
  std::memcpy(&storage, address.data(), std::min(address.size(), sizeof storage));
  socklen_t length = 0;
  if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    length = sizeof(sockaddr_in);
  } else if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    length = sizeof(sockaddr_in6);
  } else {
    return {};
  }
  char host[NI_MAXHOST] = {};
  char service[32] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV | NI_NOFQDN) != 0) {
    return {};
  }
  if (includeService) return fmt::format("{}:{}", host, service);
  return host;
}

std::optional<std::string> WebServerPrimaryInterfaceAddress(bool useIPv6) {
  std::string interfaceName = defaultRouteInterface();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::string> result;
  int family = useIPv6 ? AF_INET6 : AF_INET;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_name || interfaceName != entry->ifa_name || !(entry->ifa_flags & IFF_UP) ||
        !entry->ifa_addr || entry->ifa_addr->sa_family != family) {
      continue;
    }
    std::size_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    platform::Data bytes(reinterpret_cast<const std::uint8_t*>(entry->ifa_addr),
                         reinterpret_cast<const std::uint8_t*>(entry->ifa_addr) + length);
    result = WebServerAddressText(bytes, false);
    break;
  }
  freeifaddrs(list);
  if (result && result->empty()) return std::nullopt;
  return result;
}

// ---- Digests ----

std::string WebServerMD5HexDigestOfText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0F]);
  }
  return out;
}

std::string WebServerBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(std::max(written, 0)));
  return out;
}

// ---- Numbers ----

std::optional<std::uint64_t> WebServerParseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t WebServerRaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  rlim_t wanted = limit.rlim_max;
  if (wanted == RLIM_INFINITY) {
    // The kernel refuses an unlimited soft limit: its own ceiling is the most there is.
    wanted = 1024 * 1024;
    if (std::FILE* file = std::fopen("/proc/sys/fs/nr_open", "r")) {
      unsigned long long ceiling = 0;
      if (std::fscanf(file, "%llu", &ceiling) == 1 && ceiling > 0) wanted = static_cast<rlim_t>(ceiling);
      std::fclose(file);
    }
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<std::uint64_t>::max()
                                         : static_cast<std::uint64_t>(limit.rlim_cur);
}
