#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "TelemetryAnalytics/Model/TLEventProperties.h"

class TLAnalyticsTransmissionTarget;

// A target's Event Schema overrides (application version, name and locale, user id, device id) and
// its default event properties. Overrides are looked up from the target up through its parents; the
// device id is the configurator's own and only after collectDeviceId().
class TLPropertyConfigurator : public TLChannelDelegate {
 public:
  using String = std::optional<std::string>;

  explicit TLPropertyConfigurator(const std::shared_ptr<TLAnalyticsTransmissionTarget>& target);

  void setAppVersion(const String& value);
  void setAppName(const String& value);
  void setAppLocale(const String& value);
  // Kept only when valid for the Event Collector, with the "c:" prefix.
  void setUserId(const String& value);
  String appVersion() const;
  String appName() const;
  String appLocale() const;
  String userId() const;
  String deviceId() const;

  void setEventPropertyString(const String& value, const TLEventProperties::Key& key);
  void setEventPropertyDouble(double value, const TLEventProperties::Key& key);
  void setEventPropertyInt64(std::int64_t value, const TLEventProperties::Key& key);
  void setEventPropertyBool(bool value, const TLEventProperties::Key& key);
  void setEventPropertyDate(const std::optional<platform::Date>& value, const TLEventProperties::Key& key);
  void removeEventPropertyForKey(const TLEventProperties::Key& key);
  const std::shared_ptr<TLEventProperties>& eventProperties() const { return eventProperties_; }
  // Copies into the bag each default property whose key the bag lacks.
  void mergeTypedPropertiesWith(TLEventProperties& properties) const;

  void collectDeviceId();
  // "u:" and a UUID derived from the machine id under a fixed key (the machine id itself never
  // leaves the machine); nothing when the machine id cannot be read.
  static String getDeviceIdentifier(const std::filesystem::path& machineIdPath = "/etc/machine-id");

  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

 private:
  // The first value set from this configurator up through the parents' ones.
  String inherited(String (TLPropertyConfigurator::*getter)() const) const;

  std::weak_ptr<TLAnalyticsTransmissionTarget> transmissionTarget_;
  mutable std::mutex mutex_;
  String appVersion_;
  String appName_;
  String appLocale_;
  String userId_;
  String deviceId_;
  std::shared_ptr<TLEventProperties> eventProperties_ = TLEventProperties::init();
};
