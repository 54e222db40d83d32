#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Model/TLDevice.h"
#include "TelemetryCrashes/Internals/TLCrashesLogBuffer.h"
#include "TelemetryCrashes/Internals/Util/TLCrashesUtil.h"
#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/SettingsStore.h"
#include "testing/Sandbox.h"

namespace crtesting {

// Set by tests that run the SDK in the test process (see ThreadQuiescence.cpp).
extern std::atomic<bool> g_sdkThreadsStarted;

// A device with every field a log's validity needs.
inline std::shared_ptr<TLDevice> validDevice() {
  auto device = TLDevice::init();
  device->setSdkName("telemetry.macos");
  device->setSdkVersion("2.5.0");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12");
  device->setLocale("en_GB");
  device->setTimeZoneOffset(60);
  device->setAppVersion("1.0.0");
  device->setAppBuild("1");
  return device;
}

// A sandbox with fresh settings, contexts and crash-service folders.
class CrashesTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    TLDeviceTracker::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    TLCrashesUtil::resetDirectory();
    TLCrashesLogBuffer::resetForTesting();
    TLCrashesRegisterArchivedClasses();
  }
  void TearDown() override {
    TLCrashesLogBuffer::resetForTesting();
    TLDeviceTracker::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    SandboxTest::TearDown();
  }
};

}  // namespace crtesting
