#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

// The facts of this machine that a device description carries, read from Linux sources: DMI and
// the device tree for the model, os-release and debian_version for the system, the locale
// variables, the local time zone and the application bundle. Each reader answers in the format the
// device description uses; the required ones always answer.
class TLDeviceFacts {
 public:
  struct Source {
    // The file-system root under which /sys, /proc and /etc are read (fixture trees in tests).
    std::filesystem::path root = "/";
    // The locale variables; nullopt reads the process environment.
    std::optional<std::map<std::string, std::string>> environment;
    // uname()'s machine and release; nullopt asks the kernel.
    std::optional<std::string> machine;
    std::optional<std::string> release;
  };

  TLDeviceFacts() = default;
  explicit TLDeviceFacts(Source source) : source_(std::move(source)) {}

  // DMI product name, else the device-tree model, else the machine ("x86_64").
  std::string model() const;
  // DMI system vendor; nullopt without one.
  std::optional<std::string> oemName() const;
  // os-release NAME, else "Linux".
  std::string osName() const;
  // major.minor.patch: Debian's debian_version, else os-release VERSION_ID, else the kernel's
  // release ("12.11" → "12.11.0").
  std::string osVersion() const;
  // The kernel release ("6.1.0-18-amd64").
  std::string osBuild() const;
  // language[-Script]_COUNTRY from LANGUAGE, else LC_ALL / LC_MESSAGES / LANG ("sr_RS@latin" →
  // "sr-Latn_RS"); the language alone without a country; "C" and "POSIX" give "en".
  std::string locale() const;
  // Minutes east of UTC of the local time zone at the given moment.
  static std::int64_t timeZoneOffset(std::time_t at = std::time(nullptr));
  // "HEIGHTxWIDTH" in pixels from the desktop's hook; "0x0" without.
  static std::string screenSize();
  static std::string appVersion();
  static std::string appBuild();
  static std::string appNamespace();

  // Pads a dotted version to three numbers: "12" → "12.0.0", "6.1.0-18" → "6.1.0"; nullopt when
  // it does not start with a number.
  static std::optional<std::string> threePartVersion(const std::string& text);

 private:
  std::optional<std::string> readTrimmed(const std::string& relative) const;
  std::optional<std::string> osRelease(const std::string& key) const;
  std::optional<std::string> environment(const std::string& name) const;
  std::string machine() const;
  std::string release() const;

  Source source_;
};
