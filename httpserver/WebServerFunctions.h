#pragma once

// Helpers shared by every part of the HTTP server: the log function, HTTP dates, header values and
// their parameters, charsets, MIME types, percent escaping, form text, socket addresses and MD5.

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Data.h"
#include "platform/Date.h"

// Orders header names without regard to ASCII letter case, as HTTP compares them.
struct WebServerCaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// Header name → value; lookups ignore the letter case of the name.
using WebServerHeaders = std::map<std::string, std::string, WebServerCaseInsensitiveLess>;
// Decoded query or form arguments, name → value.
using WebServerQuery = std::map<std::string, std::string>;
// Extension (lower case) → MIME type.
using WebServerMIMETypeOverrides = std::map<std::string, std::string>;

// The largest unsigned 64-bit value: a missing length or range start.
inline constexpr std::uint64_t kWebServerNotFound = UINT64_MAX;

// ---- Logging ----

// Levels, from the most to the least verbose.
enum WebServerLoggingLevel : int {
  kWebServerLoggingLevel_Debug = 0,
  kWebServerLoggingLevel_Verbose = 1,
  kWebServerLoggingLevel_Info = 2,
  kWebServerLoggingLevel_Warning = 3,
  kWebServerLoggingLevel_Error = 4,
};

// The process-wide level: a message of level L is produced only when the level is at most L.
int WebServerGetLogLevel();
void WebServerSetLogLevel(int level);

// Writes "[LEVEL] message" to standard error when standard error is a terminal (asked once per
// process); otherwise the line is dropped. Callers test the level first (see WebServerLog).
void WebServerLogLine(int level, std::string_view message);

// Formats and writes the message only when the current level lets it through.
template <typename... Args>
void WebServerLog(int level, fmt::format_string<Args...> format, Args&&... args) {
  if (level >= WebServerGetLogLevel())
    WebServerLogLine(level, fmt::format(format, std::forward<Args>(args)...));
}

// While set, every produced line goes to the handler instead of standard error (tests watch the
// server's log this way). Pass an empty function to go back to standard error.
using WebServerLogHandler = std::function<void(int level, std::string_view message)>;
void WebServerSetLogHandler(WebServerLogHandler handler);

// ---- Dates ----

// Kept for the server's start-up: the date functions below need no shared state on this system.
void WebServerPrepareDateFormatters();
// "Sun, 06 Nov 1994 08:49:37 GMT" (whole seconds, GMT, English names).
std::string WebServerRFC822FromDate(const platform::Date& date);
// Reads the three HTTP date forms (RFC 1123, RFC 850, asctime); nullopt for anything else.
std::optional<platform::Date> WebServerDateFromRFC822(std::string_view text);
// "1994-11-06T08:49:37+00:00".
std::string WebServerISO8601FromDate(const platform::Date& date);
std::optional<platform::Date> WebServerDateFromISO8601(std::string_view text);

// ---- Header values ----

// Lower-cases the part before the first ";" and keeps the rest as it is.
std::optional<std::string> WebServerCanonicalHeaderValue(const std::optional<std::string>& value);
// The part before the first ";" (no trimming, no change of case).
std::optional<std::string> WebServerHeaderValueBase(const std::optional<std::string>& value);
// The value of the parameter `name` ("name=value" or name="value"), matched without regard to case
// and only as a whole parameter name (never inside a longer name). nullopt when it is missing or
// when the value starts with it (the value's base is never a parameter).
std::optional<std::string> WebServerHeaderParameterValue(const std::optional<std::string>& value,
                                                         std::string_view name);

// ---- Text encodings and bodies ----

// A text encoding, named as the system's converter knows it ("UTF-8", "ISO-8859-1", ...).
using WebServerStringEncoding = std::string;
inline const WebServerStringEncoding kWebServerUTF8Encoding = "UTF-8";

// The encoding of an IANA charset name; UTF-8 for none or an unknown name.
WebServerStringEncoding WebServerEncodingFromCharsetName(const std::optional<std::string>& name);
// Decodes bytes of the encoding into UTF-8 text; nullopt when they are not valid in it.
std::optional<std::string> WebServerStringFromData(std::span<const std::uint8_t> data,
                                                   const WebServerStringEncoding& encoding);
bool WebServerIsValidUTF8(std::string_view text);
// True for "text/...", "application/json..." and "application/xml..." types.
bool WebServerIsTextualType(std::string_view contentType);
// The body as text when the type is textual and the bytes decode in its charset, else "<N bytes>".
std::string WebServerBodyDescription(std::span<const std::uint8_t> data,
                                     const std::optional<std::string>& contentType);

// The MIME type of a file extension: the overrides, then the built-in table, then the system's
// table (/etc/mime.types), else "application/octet-stream".
std::string WebServerMIMETypeForExtension(std::string_view extension,
                                          const WebServerMIMETypeOverrides* overrides = nullptr);

// ---- Escaping ----

// Replaces every percent escape; nullopt when an escape is malformed or the result is not UTF-8.
std::optional<std::string> WebServerPercentUnescape(std::string_view text);

// Parses "a=1&b=2+3" into a dictionary ("+" is a space; escapes are decoded). A pair that cannot be
// decoded is skipped with a warning.
WebServerQuery WebServerParseFormText(std::string_view text);

// ---- Addresses ----

// The numeric host of a socket address ("127.0.0.1", "::1"), with ":port" when `includeService`.
// The empty string when the bytes are not a socket address.
std::string WebServerAddressText(const platform::Data& address, bool includeService);
// The numeric address of the interface that carries the default route (the loopback interface when
// there is none), IPv4 or IPv6; nullopt when that interface has no such address.
std::optional<std::string> WebServerPrimaryInterfaceAddress(bool useIPv6);

// Raises the process's soft limit of open descriptors to its hard limit (a desktop session often
// starts programs with 1,024), so that many connections cannot starve the rest of the program of
// descriptors. Answers the soft limit in force afterwards. The server calls it at each start; the
// application calls it once at launch.
std::uint64_t WebServerRaiseDescriptorLimit();

// ---- Digests ----

// 32 lower-case hex characters: the MD5 digest of the text's bytes up to its first zero byte.
std::string WebServerMD5HexDigestOfText(std::string_view text);

template <typename... Args>
std::string WebServerMD5HexDigest(fmt::format_string<Args...> format, Args&&... args) {
  return WebServerMD5HexDigestOfText(fmt::format(format, std::forward<Args>(args)...));
}

// Base64 of the bytes (standard alphabet, padded).
std::string WebServerBase64(std::string_view bytes);

// ---- Numbers ----

// Reads a non-empty run of decimal digits and nothing else; nullopt on any other character or on
// overflow of 64 bits.
std::optional<std::uint64_t> WebServerParseDecimal(std::string_view text);
