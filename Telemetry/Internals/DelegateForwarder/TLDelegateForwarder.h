#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Telemetry/Internals/DelegateForwarder/TLMethodTable.h"
#include "platform/Bundle.h"

// The base of the SDK's delegate forwarders. Once the application sets a delegate on a platform
// object, a forwarder replaces chosen methods of the delegate's class with its own ("custom_" +
// selector, from forwarderClass()), keeps the replaced ones in originalImplementations(), and passes
// calls on to the listeners that registered with it.
//
// Forwarders start before the SDK's log level is known, so their diagnostics go into a process-wide
// trace buffer, replayed by flushTraceBuffer() once the level is set.
class TLDelegateForwarder {
 public:
  using TraceBlock = std::function<void()>;

  TLDelegateForwarder() = default;
  virtual ~TLDelegateForwarder() = default;
  TLDelegateForwarder(const TLDelegateForwarder&) = delete;
  TLDelegateForwarder& operator=(const TLDelegateForwarder&) = delete;

  // ---- Trace buffer ----
  // While the buffer exists the block is kept (the first block of the process after
  // "Start buffering traces."); afterwards it runs at once.
  static void addTraceBlock(TraceBlock block);
  // Runs every kept block in order (blocks they add run in the same flush), drops the buffer and
  // logs "Stop buffering traces, flushed."; later flushes do nothing.
  static void flushTraceBuffer();
  // Makes a new empty buffer as at start (tests and a later SDK reset).
  static void resetTraceBuffer();

  // ---- Switching ----
  // Reads the key from the bundle's information (absent: enabled) and leaves a trace saying so.
  void setEnabledFromPlistForKey(const std::string& key,
                                 const platform::Bundle& bundle = platform::Bundle::main());
  bool isEnabled() const { return enabled_.load(); }
  // Disabling removes every listener.
  void setEnabled(bool enabled);

  // ---- Listeners (held weakly; changed only while enabled) ----
  void addDelegate(const std::shared_ptr<TLObject>& delegate);
  void removeDelegate(const std::shared_ptr<TLObject>& delegate);
  std::size_t delegateCount() const;

  // ---- Swizzling ----
  // Ignored while disabled; else takes over setDelegate: of originalClassForSetDelegate() once per
  // forwarder class and records the selector for the next delegate.
  void addDelegateSelectorToSwizzle(const std::string& selector);
  // Swizzles every recorded selector on the delegate's class, keeping what it replaced; then
  // forgets the recorded selectors.
  void swizzleOriginalDelegate(const TLObject& delegate);
  // Replaces (or adds) the class's method for the original selector with the forwarder's method for
  // the custom one; answers the replaced implementation (null when added or nothing changed).
  // Each outcome leaves a trace.
  TLImplementation swizzleOriginalSelector(const std::string& originalSelector,
                                           const std::string& customSelector, TLClass& originalClass);
  // Passes the call on to each listener that answers its selector; a selector ending in
  // "returnedValue:" carries the value returned so far as its last argument, so each listener
  // receives the previous one's result and the call returns the last one (the value passed in
  // when no listener answers).
  void forwardInvocation(TLInvocation& invocation);

  std::map<std::string, TLImplementation> originalImplementations() const;
  std::set<std::string> selectorsToSwizzle() const;
  std::map<std::string, std::string> deprecatedSelectors() const;
  void setDeprecatedSelectors(std::map<std::string, std::string> selectors);
  TLImplementation originalSetDelegateImp() const;

 protected:
  // What a concrete forwarder provides.
  virtual TLClass* originalClassForSetDelegate() { return nullptr; }
  virtual std::once_flag* swizzlingOnceToken() { return nullptr; }
  // The forwarder's own methods ("custom_" + selector).
  virtual TLClass& forwarderClass() = 0;
  // Forwarded calls of one forwarder class never overlap.
  virtual std::recursive_mutex& classLock() = 0;

 private:
  std::atomic<bool> enabled_{true};
  mutable std::recursive_mutex mutex_;
  std::vector<std::weak_ptr<TLObject>> delegates_;
  TLImplementation originalSetDelegateImp_;
  std::map<std::string, TLImplementation> originalImplementations_;
  std::map<std::string, std::string> deprecatedSelectors_;
  std::set<std::string> selectorsToSwizzle_;
};

// The bundle information's value for the key: the "Info.plist" property list in the bundle's
// resource folder (what the application declares about itself); nullopt when absent.
std::optional<bool> TLBundleInfoFlag(const platform::Bundle& bundle, const std::string& key);
