#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Context/TLHistoryInfo.h"
#include "Telemetry/Internals/Model/TLDevice.h"
#include "Telemetry/Internals/Util/TLClock.h"
#include "Telemetry/Internals/Util/TLDeviceFacts.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"

// Builds the device description every log carries, caches it for the launch, and keeps the
// descriptions of the last five builds under "pastDevicesKey", so a crash from an earlier launch
// can be described with the device of its time.
class TLDeviceTracker {
 public:
  static constexpr const char* kHistoryKey = "pastDevicesKey";
  static constexpr std::size_t kMaxDevicesHistoryCount = 5;

  static std::shared_ptr<TLDeviceTracker> sharedInstance();
  // Drops the shared instance and clears the class-level state (wrapper SDK, country code, the
  // up-to-date flag).
  static void resetSharedInstance();
  // The next device() builds a new description.
  static void refreshDeviceNextTime();

  // A tracker over the given settings, clock and machine facts. With no stored history it builds
  // (and stores) the first description at once.
  TLDeviceTracker(std::shared_ptr<TLUserDefaults> settings, TLClock clock, TLDeviceFacts facts);

  // Shared by every tracker; each change makes the next device() build again.
  void setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk);
  void setCountryCode(std::optional<std::string> countryCode);

  // The current description, built when needed; every build adds a history entry.
  std::shared_ptr<TLDevice> device();
  // The current description for no date or no history; else the description of the newest entry
  // strictly earlier than the date, or the oldest one when none is.
  std::shared_ptr<TLDevice> deviceForTimestamp(const std::optional<platform::Date>& date);
  void clearDevices();

  std::size_t historyCount() const;

 private:
  std::shared_ptr<TLDevice> deviceLocked();  // caller holds mutex_
  std::shared_ptr<TLDevice> updatedDevice();

  std::shared_ptr<TLUserDefaults> settings_;
  TLClock clock_;
  TLDeviceFacts facts_;
  // Shared by device()'s fast path; held alone while a description is built or the history changes.
  mutable TLReadMostlyMutex mutex_;
  std::shared_ptr<TLDevice> device_;
  std::vector<std::shared_ptr<TLDeviceHistoryInfo>> deviceHistory_;
};
