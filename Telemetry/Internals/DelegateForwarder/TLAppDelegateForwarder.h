#pragma once

#include "Telemetry/Internals/DelegateForwarder/TLDelegateForwarder.h"

// Empty markers of the delegates a forwarder stands in for.
class TLCustomDelegate {};
class TLCustomApplicationDelegate : public TLCustomDelegate {};

// The forwarder of the application object's delegate: when the application installs its delegate
// through the application class's "setDelegate:", the delegate methods that SDK components asked
// for are swizzled on the delegate's class. Switched on or off at start-up by the bundle
// information's "TelemetryAppDelegateForwarderEnabled" (absent: on).
class TLAppDelegateForwarder : public TLDelegateForwarder, public TLCustomApplicationDelegate {
 public:
  static constexpr const char* kEnabledKey = "TelemetryAppDelegateForwarderEnabled";

  static std::shared_ptr<TLAppDelegateForwarder> sharedInstance();
  // Replaces the shared instance with a new one at once.
  static void resetSharedInstance();

  // The application class: the desktop shell registers the application object's "setDelegate:" on
  // it and installs its delegate by performing that selector (argument: std::shared_ptr<TLObject>).
  static TLClass& applicationClass();
  // The forwarder's own methods, "custom_" + selector.
  static TLClass& forwarderMethods();

 protected:
  TLClass* originalClassForSetDelegate() override { return &applicationClass(); }
  std::once_flag* swizzlingOnceToken() override;
  TLClass& forwarderClass() override { return forwarderMethods(); }
  std::recursive_mutex& classLock() override;
};

// What runs first in main, before anything else of the SDK: the start-up switch of the delegate
// forwarders (its trace waits in the buffer until the SDK's log level is set).
void TLTelemetryBootstrap(const platform::Bundle& bundle = platform::Bundle::main());
