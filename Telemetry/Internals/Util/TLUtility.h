#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ArchiveObject.h"
#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/PropertyList.h"

// Application state codes of TLUtility::applicationState().
inline constexpr int TLApplicationStateActive = 0;
inline constexpr int TLApplicationStateBackground = 2;
inline constexpr int TLApplicationStateUnknown = 3;
// The distribution environment "other": the only one this program has.
inline constexpr int TLAppEnvironmentOther = 99;

// The SDK's name, version and build as they travel on the wire.
inline constexpr const char* kTLSdkName = "telemetry.macos";
inline constexpr const char* kTLSdkVersion = "2.5.0";
inline constexpr const char* kTLSdkBuild = "1";
// The section that carries the SDK information record in the program.
inline constexpr const char* kTLSdkInfoSection = "__ms_ios";

// The storage folder's name inside the application-support folder.
inline constexpr const char* kTLStorageFolderName = "com.telemetry.sdk";

// Class-level operations shared by the whole telemetry SDK. Stateless, callable from any thread.
class TLUtility {
 public:
  // ---- Configuration string ----
  // "appsecret=<secret>;target=<token>": the first non-empty part without "target=", with
  // "appsecret=" removed.
  static std::optional<std::string> appSecretFrom(const std::optional<std::string>& configuration);
  // The first part holding "target=", with it removed.
  static std::optional<std::string> transmissionTargetTokenFrom(
      const std::optional<std::string>& configuration);
  // The token up to its first "-"; nullopt when that is empty.
  static std::optional<std::string> targetKeyFromTargetToken(const std::optional<std::string>& token);
  // "o:" + the target key.
  static std::optional<std::string> iKeyFromTargetToken(const std::optional<std::string>& token);

  // ---- Text ----
  // SHA-256 of the UTF-8 bytes as 64 lower-case hexadecimal digits.
  static std::string sha256(std::string_view text);
  // The data as pretty JSON text; the data as text when it is not JSON (or nests deeper than 256
  // levels); nullopt for nullopt.
  static std::optional<std::string> prettyPrintJson(const std::optional<platform::Data>& data);
  // Every match of the pattern (case-insensitive) replaced by the template ("$1" for a group);
  // nullopt for nullopt or a pattern that does not compile (logged).
  static std::optional<std::string> obfuscateString(const std::optional<std::string>& text,
                                                    const std::string& pattern,
                                                    const std::string& replacement);
  // The length in UTF-16 code units, as the service counts characters.
  static std::size_t utf16Length(std::string_view text);
  // The longest prefix of at most `maxUnits` UTF-16 units that ends on a character boundary.
  // Invalid UTF-8 is replaced first.
  static std::string truncatedToUTF16Length(std::string_view text, std::size_t maxUnits);
  // A readable one-line form of a settings value, for diagnostics.
  static std::string describePropertyList(const platform::PropertyList& value);

  // ---- Dates ----
  static double nowInMilliseconds();
  // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, milliseconds floored, independent of any locale.
  static std::string dateToISO8601(const platform::Date& date);
  // The reverse; nullopt for any text not exactly in that form.
  static std::optional<platform::Date> dateFromISO8601(std::string_view text);

  // ---- Application ----
  // 3 inside an extension bundle, else sharedAppState().
  static int applicationState();
  // 3 off the main thread; on it 2 when the application is hidden (TLApplicationHooks), else 0.
  static int sharedAppState();
  // Opens the URL through the installed hooks on the main queue; calls back with false when no
  // hook is installed.
  static void sharedAppOpenUrl(const std::string& url, std::function<void(bool)> completion);
  static int currentAppEnvironment() { return TLAppEnvironmentOther; }
  static bool hasEmbeddedMobileProvision();
  static bool isAppStoreReceiptSandbox() { return false; }
  // The fields of the SDK information record.
  static std::string sdkName();
  static std::string sdkVersion();
  static std::string sdkBuild();

  // ---- Property validation ----
  // At most 20 entries with string keys and values; empty keys dropped; keys and values cut to 125
  // UTF-16 units. Entries are visited in the given order; warnings name the log's type and name.
  static std::map<std::string, std::string> validateProperties(
      const std::vector<std::pair<platform::ArchiveObject, platform::ArchiveObject>>& properties,
      const std::string& logName, const std::string& type);
  static std::map<std::string, std::string> validateProperties(
      const std::map<std::string, std::string>& properties, const std::string& logName,
      const std::string& type);

  // ---- Files below the SDK's storage folder ----
  // Components are relative paths inside the folder: an absolute component, one with "..", or one
  // that is empty gives nullopt/false and touches nothing.
  //
  // <application support>/com.telemetry.sdk, created when missing.
  static std::filesystem::path telemetryDirectoryURL();
  static std::optional<std::filesystem::path> createFileAtPathComponent(
      const std::string& component, const std::optional<platform::Data>& data, bool atomically,
      bool forceOverwrite);
  static bool deleteItemForPathComponent(const std::string& component);
  static bool deleteFileAtURL(const std::filesystem::path& url);
  static std::optional<std::filesystem::path> createDirectoryForPathComponent(const std::string& component);
  static std::optional<platform::Data> loadDataForPathComponent(const std::string& component);
  // The folder's entries (hidden ones too, no recursion), sorted by name. Resource keys are
  // accepted for callers' sake; every entry's attributes are read on demand.
  static std::optional<std::vector<std::filesystem::path>> contentsOfDirectory(
      const std::string& component, const std::vector<std::string>& propertiesForKeys = {});
  static bool fileExistsForPathComponent(const std::string& component);
  static std::optional<std::filesystem::path> fullURLForPathComponent(const std::string& component);
  static bool createDirectoryAtURL(const std::optional<std::filesystem::path>& url);
  // Our backups never include the storage folder, so there is nothing to mark; answers true.
  static bool disableBackupForDirectoryURL(const std::optional<std::filesystem::path>& url);
};
