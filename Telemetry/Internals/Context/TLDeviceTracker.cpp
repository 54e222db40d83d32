#include "Telemetry/Internals/Context/TLDeviceTracker.h"

#include <algorithm>
#include <atomic>
#include <shared_mutex>

#include "Telemetry/Internals/Context/TLHistoryStorage.h"
#include "Telemetry/Internals/Util/TLAdaptiveMutex.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {

// Every log asks for the shared tracker and its device: readers share the locks.
TLReadMostlyMutex gDeviceTrackerSharedMutex;
std::shared_ptr<TLDeviceTracker> gShared;

// Class-level state, shared by every tracker.
TLAdaptiveMutex gStateMutex;
std::shared_ptr<TLWrapperSdk> gWrapperSdk;
std::optional<std::string> gCountryCode;
// Set under gStateMutex; read without it by device()'s shared fast path.
std::atomic<bool> gUpToDate{false};

bool earlier(const std::shared_ptr<TLDeviceHistoryInfo>& entry, const platform::Date& date) {
  return entry->timestamp().value_or(platform::Date::distantPast()) < date;
}

}  // namespace

std::shared_ptr<TLDeviceTracker> TLDeviceTracker::sharedInstance() {
  {
    std::shared_lock lock(gDeviceTrackerSharedMutex);
    if (gShared) return gShared;
  }
  std::lock_guard lock(gDeviceTrackerSharedMutex);
  if (!gShared)
    gShared = std::make_shared<TLDeviceTracker>(TLUserDefaults::shared(), TLSystemClock(), TLDeviceFacts());
  return gShared;
}

void TLDeviceTracker::resetSharedInstance() {
  {
    std::lock_guard lock(gDeviceTrackerSharedMutex);
    gShared.reset();
  }
  std::lock_guard lock(gStateMutex);
  gWrapperSdk.reset();
  gCountryCode.reset();
  gUpToDate = false;
}

void TLDeviceTracker::refreshDeviceNextTime() {
  std::lock_guard lock(gStateMutex);
  gUpToDate = false;
}

TLDeviceTracker::TLDeviceTracker(std::shared_ptr<TLUserDefaults> settings, TLClock clock, TLDeviceFacts facts)
    : settings_(std::move(settings)), clock_(std::move(clock)), facts_(std::move(facts)) {
  std::lock_guard lock(mutex_);
  deviceHistory_ = TLLoadHistory<TLDeviceHistoryInfo>(*settings_, kHistoryKey);
  // Entries without a device or time cannot answer a lookup.
  std::erase_if(deviceHistory_, [](const auto& entry) { return !entry->device() || !entry->timestamp(); });
  std::stable_sort(deviceHistory_.begin(), deviceHistory_.end(),
                   [](const auto& a, const auto& b) { return *a->timestamp() < *b->timestamp(); });
  if (deviceHistory_.empty()) deviceLocked();
}

void TLDeviceTracker::setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk) {
  std::lock_guard lock(mutex_);
  std::lock_guard state(gStateMutex);
  gWrapperSdk = std::move(wrapperSdk);
  gUpToDate = false;
}

void TLDeviceTracker::setCountryCode(std::optional<std::string> countryCode) {
  std::lock_guard lock(mutex_);
  std::lock_guard state(gStateMutex);
  gCountryCode = std::move(countryCode);
  gUpToDate = false;
}

std::shared_ptr<TLDevice> TLDeviceTracker::device() {
  {
    // The description built before serves every log until something makes it out of date.
    std::shared_lock lock(mutex_);
    if (device_ && gUpToDate.load(std::memory_order_acquire)) return device_;
  }
  std::lock_guard lock(mutex_);
  return deviceLocked();
}

std::shared_ptr<TLDevice> TLDeviceTracker::deviceLocked() {
  {
    std::lock_guard state(gStateMutex);
    if (device_ && gUpToDate) return device_;
  }
  device_ = updatedDevice();
  auto entry = TLDeviceHistoryInfo::initWithTimestamp(clock_(), device_);
  auto position =
      std::upper_bound(deviceHistory_.begin(), deviceHistory_.end(), *entry->timestamp(),
                       [](const platform::Date& date, const auto& e) { return date < *e->timestamp(); });
  deviceHistory_.insert(position, entry);
  if (deviceHistory_.size() > kMaxDevicesHistoryCount) deviceHistory_.erase(deviceHistory_.begin());
  TLStoreHistory(*settings_, kHistoryKey, deviceHistory_);
  return device_;
}

std::shared_ptr<TLDevice> TLDeviceTracker::updatedDevice() {
  std::shared_ptr<TLWrapperSdk> wrapperSdk;
  std::optional<std::string> countryCode;
  {
    std::lock_guard state(gStateMutex);
    wrapperSdk = gWrapperSdk;
    countryCode = gCountryCode;
  }
  auto device = TLDevice::init();
  device->setSdkName(TLUtility::sdkName());
  device->setSdkVersion(TLUtility::sdkVersion());
  device->setModel(facts_.model());
  device->setOemName(facts_.oemName());
  device->setOsName(facts_.osName());
  device->setOsVersion(facts_.osVersion());
  device->setOsBuild(facts_.osBuild());
  device->setLocale(facts_.locale());
  device->setTimeZoneOffset(
      TLDeviceFacts::timeZoneOffset(static_cast<std::time_t>(clock_().timeIntervalSince1970())));
  device->setScreenSize(TLDeviceFacts::screenSize());
  device->setAppVersion(TLDeviceFacts::appVersion());
  device->setCarrierCountry(countryCode);
  device->setCarrierName(std::nullopt);
  device->setAppBuild(TLDeviceFacts::appBuild());
  device->setAppNamespace(TLDeviceFacts::appNamespace());
  if (wrapperSdk) {
    device->setWrapperSdkVersion(wrapperSdk->wrapperSdkVersion());
    device->setWrapperSdkName(wrapperSdk->wrapperSdkName());
    device->setWrapperRuntimeVersion(wrapperSdk->wrapperRuntimeVersion());
    device->setLiveUpdateReleaseLabel(wrapperSdk->liveUpdateReleaseLabel());
    device->setLiveUpdateDeploymentKey(wrapperSdk->liveUpdateDeploymentKey());
    device->setLiveUpdatePackageHash(wrapperSdk->liveUpdatePackageHash());
  }
  std::lock_guard state(gStateMutex);
  gUpToDate = true;
  return device;
}

std::shared_ptr<TLDevice> TLDeviceTracker::deviceForTimestamp(const std::optional<platform::Date>& date) {
  std::lock_guard lock(mutex_);
  if (!date || deviceHistory_.empty()) return deviceLocked();
  // The first entry not strictly earlier than the date; the one before it is the answer.
  auto position = std::partition_point(deviceHistory_.begin(), deviceHistory_.end(),
                                       [&](const auto& entry) { return earlier(entry, *date); });
  if (position == deviceHistory_.begin()) return deviceHistory_.front()->device();
  return (*(position - 1))->device();
}

void TLDeviceTracker::clearDevices() {
  std::lock_guard lock(mutex_);
  settings_->removeObjectForKey(kHistoryKey);
  device_.reset();
  deviceHistory_.clear();
}

std::size_t TLDeviceTracker::historyCount() const {
  std::shared_lock lock(mutex_);
  return deviceHistory_.size();
}
