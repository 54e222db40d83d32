#include "Telemetry/Internals/Util/TLDeviceFacts.h"

#include <fmt/format.h>
#include <sys/utsname.h>

#include <cstdlib>

#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "platform/Bundle.h"
#include "platform/Files.h"

namespace {

std::string trimmed(std::string text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\0'; };
  while (!text.empty() && isSpace(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && isSpace(text[start])) ++start;
  return text.substr(start);
}

// One POSIX locale name: language[_TERRITORY][.codeset][@modifier].
struct LocaleName {
  std::string language;
  std::string country;
  std::string modifier;
};

std::optional<LocaleName> parseLocaleName(const std::string& name) {
  if (name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.") || name.starts_with("POSIX."))
    return std::nullopt;
  LocaleName parts;
  std::string rest = name;
  if (auto at = rest.find('@'); at != std::string::npos) {
    parts.modifier = rest.substr(at + 1);
    rest.resize(at);
  }
  if (auto dot = rest.find('.'); dot != std::string::npos) rest.resize(dot);
  if (auto underscore = rest.find('_'); underscore != std::string::npos) {
    parts.country = rest.substr(underscore + 1);
    rest.resize(underscore);
  }
  parts.language = rest;
  auto isLetters = [](const std::string& text) {
    for (char c : text)
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    return true;
  };
  if (parts.language.empty() || !isLetters(parts.language) || !isLetters(parts.country)) return std::nullopt;
  return parts;
}

// The script that a locale modifier names.
std::string scriptForModifier(const std::string& modifier) {
  static const std::map<std::string, std::string> kScripts = {{"latin", "Latn"},
                                                              {"cyrillic", "Cyrl"},
                                                              {"devanagari", "Deva"},
                                                              {"iqtelif", "Latn"},
                                                              {"arabic", "Arab"}};
  auto it = kScripts.find(modifier);
  return it == kScripts.end() ? std::string() : it->second;
}

}  // namespace

std::optional<std::string> TLDeviceFacts::readTrimmed(const std::string& relative) const {
  auto text = platform::files::readTextFile(source_.root / relative, nullptr, 1 << 16);
  if (!text) return std::nullopt;
  std::string value = trimmed(*text);
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> TLDeviceFacts::osRelease(const std::string& key) const {
  auto text = readTrimmed("etc/os-release");
  if (!text) text = readTrimmed("usr/lib/os-release");
  if (!text) return std::nullopt;
  std::size_t start = 0;
  while (start <= text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string line = trimmed(text->substr(start, end - start));
    start = end + 1;
    if (!line.starts_with(key + "=")) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (value.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> TLDeviceFacts::environment(const std::string& name) const {
  if (source_.environment) {
    auto it = source_.environment->find(name);
    if (it == source_.environment->end() || it->second.empty()) return std::nullopt;
    return it->second;
  }
  const char* value = std::getenv(name.c_str());
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::string TLDeviceFacts::machine() const {
  if (source_.machine) return *source_.machine;
  utsname names{};
  if (uname(&names) != 0) return "unknown";
  return names.machine;
}

std::string TLDeviceFacts::release() const {
  if (source_.release) return *source_.release;
  utsname names{};
  if (uname(&names) != 0) return "0.0.0";
  return names.release;
}

std::string TLDeviceFacts::model() const {
  if (auto product = readTrimmed("sys/class/dmi/id/product_name")) return *product;
  if (auto model = readTrimmed("proc/device-tree/model")) return *model;
  return machine();
}

std::optional<std::string> TLDeviceFacts::oemName() const {
  return readTrimmed("sys/class/dmi/id/sys_vendor");
}

std::string TLDeviceFacts::osName() const { return osRelease("NAME").value_or("Linux"); }

std::optional<std::string> TLDeviceFacts::threePartVersion(const std::string& text) {
  std::vector<std::string> numbers;
  std::size_t i = 0;
  while (numbers.size() < 3) {
    std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start) break;
    numbers.push_back(text.substr(start, i - start));
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  if (numbers.empty()) return std::nullopt;
  while (numbers.size() < 3) numbers.push_back("0");
  return fmt::format("{}.{}.{}", numbers[0], numbers[1], numbers[2]);
}

std::string TLDeviceFacts::osVersion() const {
  if (auto debian = readTrimmed("etc/debian_version")) {
    if (auto version = threePartVersion(*debian)) return *version;
  }
  if (auto versionId = osRelease("VERSION_ID")) {
    if (auto version = threePartVersion(*versionId)) return *version;
  }
  return threePartVersion(release()).value_or("0.0.0");
}

std::string TLDeviceFacts::osBuild() const { return release(); }

std::string TLDeviceFacts::locale() const {
  // The locale that decides messages: LC_ALL, then LC_MESSAGES, then LANG.
  std::optional<LocaleName> messages;
  bool messagesAreC = false;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto value = environment(name)) {
      messages = parseLocaleName(*value);
      messagesAreC = !messages;
      break;
    }
  }
  std::optional<LocaleName> lang;
  if (auto value = environment("LANG")) lang = parseLocaleName(*value);

  // LANGUAGE lists preferred languages; its first usable entry wins unless messages are in C.
  std::optional<LocaleName> preferred;
  if (!messagesAreC) {
    if (auto list = environment("LANGUAGE")) {
      std::size_t start = 0;
      while (start <= list->size() && !preferred) {
        std::size_t end = list->find(':', start);
        if (end == std::string::npos) end = list->size();
        preferred = parseLocaleName(list->substr(start, end - start));
        start = end + 1;
      }
    }
  }
  if (!preferred) preferred = messages;
  if (!preferred) return "en";

  std::string script = scriptForModifier(preferred->modifier);
  std::string country = preferred->country;
  if (country.empty() && messages) country = messages->country;
  if (country.empty() && lang) country = lang->country;
  std::string result = preferred->language;
  if (!script.empty()) result += "-" + script;
  if (!country.empty()) result += "_" + country;
  return result;
}

std::int64_t TLDeviceFacts::timeZoneOffset(std::time_t at) {
  tzset();
  tm local{};
  if (!localtime_r(&at, &local)) return 0;
  return static_cast<std::int64_t>(local.tm_gmtoff) / 60;
}

std::string TLDeviceFacts::screenSize() {
  auto size = TLApplicationHooks::screenSize();
  if (!size) return "0x0";
  return fmt::format("{}x{}", size->first, size->second);
}

std::string TLDeviceFacts::appVersion() { return platform::Bundle::shortVersionString(); }
std::string TLDeviceFacts::appBuild() { return platform::Bundle::bundleVersion(); }
std::string TLDeviceFacts::appNamespace() { return platform::Bundle::bundleIdentifier(); }
