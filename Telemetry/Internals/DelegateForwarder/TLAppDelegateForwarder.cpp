#include "Telemetry/Internals/DelegateForwarder/TLAppDelegateForwarder.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<TLAppDelegateForwarder> shared;

// Runs in place of the application class's "setDelegate:", with the application object as receiver
// and the delegate as the one argument.
void customSetDelegate(TLInvocation& invocation) {
  auto forwarder = TLAppDelegateForwarder::sharedInstance();
  static std::once_flag firstDelegate;
  std::shared_ptr<TLObject> delegate;
  if (!invocation.arguments.empty()) {
    if (auto* object = std::any_cast<std::shared_ptr<TLObject>>(&invocation.arguments.front()))
      delegate = *object;
  }
  if (delegate) std::call_once(firstDelegate, [&] { forwarder->swizzleOriginalDelegate(*delegate); });
  if (auto original = forwarder->originalSetDelegateImp()) (*original)(invocation);
}

}  // namespace

std::shared_ptr<TLAppDelegateForwarder> TLAppDelegateForwarder::sharedInstance() {
  std::lock_guard lock(sharedMutex);
  if (!shared) shared = std::make_shared<TLAppDelegateForwarder>();
  return shared;
}

void TLAppDelegateForwarder::resetSharedInstance() {
  std::lock_guard lock(sharedMutex);
  shared = std::make_shared<TLAppDelegateForwarder>();
}

TLClass& TLAppDelegateForwarder::applicationClass() {
  static TLClass application("QApplication");
  return application;
}

TLClass& TLAppDelegateForwarder::forwarderMethods() {
  static TLClass* methods = [] {
    auto* table = new TLClass("TLAppDelegateForwarder");
    table->addMethod("custom_setDelegate:", TLMakeImplementation(customSetDelegate));
    return table;
  }();
  return *methods;
}

std::once_flag* TLAppDelegateForwarder::swizzlingOnceToken() {
  static std::once_flag token;
  return &token;
}

std::recursive_mutex& TLAppDelegateForwarder::classLock() {
  static std::recursive_mutex lock;
  return lock;
}

void TLTelemetryBootstrap(const platform::Bundle& bundle) {
  TLAppDelegateForwarder::sharedInstance()->setEnabledFromPlistForKey(TLAppDelegateForwarder::kEnabledKey,
                                                                      bundle);
}
