// Turning any log into its Event Schema form, one log per transmission target token.

#include <fmt/format.h>

#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {

constexpr const char* kSchemaVersion = "3.0";
// The application ships one localisation, so its preferred localisation is always English.
constexpr const char* kAppLocale = "en";

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

std::optional<std::vector<std::shared_ptr<TLEventSchemaLog>>> TLAbstractLog::toEventSchemaLogsWithFlags(
    std::uint64_t flags) const {
  auto tokens = transmissionTargetTokens();
  if (!tokens) return std::nullopt;
  std::vector<std::shared_ptr<TLEventSchemaLog>> logs;
  for (const auto& token : *tokens) {
    if (auto log = toEventSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
  }
  if (logs.empty()) return std::nullopt;
  return logs;
}

std::shared_ptr<TLEventSchemaLog> TLAbstractLog::toEventSchemaLogForTargetToken(const std::string& token,
                                                                                std::uint64_t flags) const {
  auto log = TLEventSchemaLog::init();
  log->setTransmissionTargetTokens(std::make_shared<const TokenSet>(TokenSet{token}));
  log->setVer(kSchemaVersion);
  log->setTimestamp(timestamp());
  log->setIKey(TLUtility::iKeyFromTargetToken(token));
  log->setFlags(static_cast<std::int64_t>(flags));

  // Without a device the device fields stay absent.
  const TLDevice empty;
  const TLDevice& device = device_ ? *device_ : empty;
  auto ext = TLCSExtensions::init();

  auto protocol = TLProtocolExtension::init();
  protocol->setDevMake(device.oemName());
  protocol->setDevModel(device.model());
  ext->setProtocolExt(std::move(protocol));

  auto user = TLUserExtension::init();
  user->setLocalId(TLUserIdContext::prefixedUserIdFromUserId(userId()));
  if (auto locale = device.locale()) {
    for (char& c : *locale)
      if (c == '_') c = '-';
    user->setLocale(std::move(locale));
  }
  ext->setUserExt(std::move(user));

  auto os = TLOSExtension::init();
  os->setName(device.osName());
  os->setVer(combineOsVersion(device.osVersion(), device.osBuild()));
  ext->setOsExt(std::move(os));

  auto app = TLAppExtension::init();
  if (auto appNamespace = device.appNamespace()) app->setAppId("I:" + *appNamespace);
  app->setVer(device.appVersion());
  app->setLocale(std::string(kAppLocale));
  ext->setAppExt(std::move(app));

  auto net = TLNetExtension::init();
  net->setProvider(device.carrierName());
  ext->setNetExt(std::move(net));

  auto sdk = TLSDKExtension::init();
  sdk->setLibVer(combineSDKLibVer(device.sdkName(), device.sdkVersion()));
  ext->setSdkExt(std::move(sdk));

  // An unknown offset is left out rather than written as UTC.
  auto loc = TLLocExtension::init();
  if (auto offset = device.timeZoneOffset()) loc->setTz(convertTimeZoneOffsetToISO8601(*offset));
  ext->setLocExt(std::move(loc));

  ext->setDeviceExt(TLDeviceExtension::init());
  log->setExt(std::move(ext));
  return log;
}

std::optional<std::string> TLAbstractLog::combineOsVersion(const String& version, const String& build) {
  // A build without a version says nothing a reader could place: the version is left out.
  if (!hasText(version)) return std::nullopt;
  std::string text = "Version " + *version;
  if (hasText(build)) text += " (Build " + *build + ")";
  return text;
}

std::optional<std::string> TLAbstractLog::combineSDKLibVer(const String& name, const String& version) {
  if (!hasText(name) || !hasText(version)) return std::nullopt;
  return *name + "-" + *version;
}

std::string TLAbstractLog::convertTimeZoneOffsetToISO8601(std::int64_t minutes) {
  // The sign is taken from the minutes, not from the hours: -30 is "-00:30", never "+00:30".
  const std::uint64_t magnitude =
      minutes < 0 ? 0 - static_cast<std::uint64_t>(minutes) : static_cast<std::uint64_t>(minutes);
  return fmt::format("{}{:02}:{:02}", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}
