#include "Telemetry/Internals/DelegateForwarder/TLDelegateForwarder.h"

#include <algorithm>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "platform/Files.h"
#include "platform/PropertyList.h"

namespace {

constexpr const char* kReturnedValueSuffix = "returnedValue:";
constexpr const char* kCustomPrefix = "custom_";

// The process-wide trace buffer. Its lock is re-entrant: a trace run by the flush may add another
// trace (which then runs in the same flush) or log through a handler that traces again.
struct TraceBuffer {
  std::recursive_mutex mutex;
  std::optional<std::vector<TLDelegateForwarder::TraceBlock>> blocks{std::in_place};
  bool started = false;
  bool flushing = false;
};

TraceBuffer& traceBuffer() {
  static TraceBuffer buffer;
  return buffer;
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

// ---- Trace buffer ----

void TLDelegateForwarder::addTraceBlock(TraceBlock block) {
  if (!block) return;
  auto& buffer = traceBuffer();
  {
    std::lock_guard lock(buffer.mutex);
    if (buffer.blocks) {
      if (!buffer.started) {
        buffer.started = true;
        buffer.blocks->push_back([] { TLLogVerbose(kTLLogTag, "Start buffering traces."); });
      }
      buffer.blocks->push_back(std::move(block));
      return;
    }
  }
  block();
}

void TLDelegateForwarder::flushTraceBuffer() {
  auto& buffer = traceBuffer();
  std::lock_guard lock(buffer.mutex);
  if (!buffer.blocks || buffer.flushing) return;
  buffer.flushing = true;
  // By index: a block may add more while the flush runs.
  for (std::size_t i = 0; i < buffer.blocks->size(); ++i) {
    auto block = (*buffer.blocks)[i];
    block();
  }
  buffer.blocks.reset();
  buffer.flushing = false;
  TLLogVerbose(kTLLogTag, "Stop buffering traces, flushed.");
}

void TLDelegateForwarder::resetTraceBuffer() {
  auto& buffer = traceBuffer();
  std::lock_guard lock(buffer.mutex);
  buffer.blocks.emplace();
  buffer.started = false;
}

// ---- Switching and listeners ----

std::optional<bool> TLBundleInfoFlag(const platform::Bundle& bundle, const std::string& key) {
  auto data = platform::files::readFile(bundle.resourcePath() / "Info.plist");
  if (!data) return std::nullopt;
  auto info = platform::PropertyList::read(*data);
  const platform::PropertyList* value = info ? info->find(key) : nullptr;
  if (!value) return std::nullopt;
  if (auto flag = value->asBoolean()) return *flag;
  if (auto number = value->asInteger()) return *number != 0;
  if (auto number = value->asReal()) return *number != 0;
  if (auto text = value->asString()) {
    // As text reads as a flag: "YES", "true" or a number that is not zero.
    auto start = text->find_first_not_of(" \t\n");
    if (start == std::string::npos) return false;
    const char c = (*text)[start];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

void TLDelegateForwarder::setEnabledFromPlistForKey(const std::string& key, const platform::Bundle& bundle) {
  const bool enabled = TLBundleInfoFlag(bundle, key).value_or(true);
  setEnabled(enabled);
  addTraceBlock([key, enabled] {
    if (enabled) {
      TLLogDebug(kTLLogTag, "Delegate forwarder for info.plist key '{}' enabled. It may use swizzling.", key);
    } else {
      TLLogDebug(kTLLogTag, "Delegate forwarder for info.plist key '{}' disabled. It won't use swizzling.",
                 key);
    }
  });
}

void TLDelegateForwarder::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
  if (!enabled) delegates_.clear();
}

void TLDelegateForwarder::addDelegate(const std::shared_ptr<TLObject>& delegate) {
  std::lock_guard lock(mutex_);
  if (!enabled_ || !delegate) return;
  std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : delegates_)
    if (weak.lock() == delegate) return;
  delegates_.push_back(delegate);
}

void TLDelegateForwarder::removeDelegate(const std::shared_ptr<TLObject>& delegate) {
  std::lock_guard lock(mutex_);
  if (!enabled_) return;
  std::erase_if(delegates_, [&](const auto& weak) {
    auto strong = weak.lock();
    return !strong || strong == delegate;
  });
}

std::size_t TLDelegateForwarder::delegateCount() const {
  std::lock_guard lock(mutex_);
  return std::count_if(delegates_.begin(), delegates_.end(),
                       [](const auto& weak) { return !weak.expired(); });
}

// ---- Swizzling ----

void TLDelegateForwarder::addDelegateSelectorToSwizzle(const std::string& selector) {
  if (!isEnabled()) return;
  if (std::once_flag* token = swizzlingOnceToken()) {
    std::call_once(*token, [this] {
      TLClass* original = originalClassForSetDelegate();
      if (!original) return;
      auto replaced =
          swizzleOriginalSelector("setDelegate:", std::string(kCustomPrefix) + "setDelegate:", *original);
      std::lock_guard lock(mutex_);
      originalSetDelegateImp_ = std::move(replaced);
    });
  }
  std::lock_guard lock(mutex_);
  selectorsToSwizzle_.insert(selector);
}

void TLDelegateForwarder::swizzleOriginalDelegate(const TLObject& delegate) {
  std::lock_guard lock(mutex_);
  for (const auto& selector : selectorsToSwizzle_) {
    if (auto original = swizzleOriginalSelector(selector, kCustomPrefix + selector, delegate.objectClass()))
      originalImplementations_[selector] = std::move(original);
  }
  selectorsToSwizzle_.clear();
}

TLImplementation TLDelegateForwarder::swizzleOriginalSelector(const std::string& originalSelector,
                                                              const std::string& customSelector,
                                                              TLClass& originalClass) {
  const TLImplementation custom = forwarderClass().methodForSelector(customSelector);
  const auto deprecated = deprecatedSelectors();
  TLImplementation replaced;
  bool changed = false;
  std::string remark;
  if (!custom) {
    // Nothing to put in its place: reported as a selector that cannot be swizzled.
  } else if (originalClass.methodForSelector(originalSelector)) {
    replaced = originalClass.setImplementation(originalSelector, custom);
    changed = true;
  } else if (!originalClass.instancesRespondToSelector(originalSelector)) {
    auto it = deprecated.find(originalSelector);
    const bool isDeprecated = std::any_of(deprecated.begin(), deprecated.end(), [&](const auto& entry) {
      return entry.second == originalSelector;
    });
    if (it != deprecated.end() && originalClass.instancesRespondToSelector(it->second)) {
      remark = fmt::format(
          "No implementation found for this selector, though an implementation of its deprecated API '{}' "
          "exists.",
          it->second);
    } else if (isDeprecated) {
      return nullptr;
    } else {
      changed = originalClass.addMethod(originalSelector, custom);
    }
  }
  const std::string className = originalClass.name();
  if (changed) {
    addTraceBlock([originalSelector, className] {
      TLLogDebug(kTLLogTag, "Selector '{}' of class '{}' is swizzled.", originalSelector, className);
    });
  } else {
    addTraceBlock([originalSelector, className, remark] {
      const std::string message =
          fmt::format("Cannot swizzle selector '{}' of class '{}'.", originalSelector, className);
      if (!remark.empty()) {
        TLLogWarning(kTLLogTag, "{} {}", message, remark);
      } else {
        TLLogError(kTLLogTag, "{} {}", message,
                   "You need to explicitly call the Telemetry API from your app delegate implementation.");
      }
    });
  }
  return replaced;
}

void TLDelegateForwarder::forwardInvocation(TLInvocation& invocation) {
  std::lock_guard classLock(this->classLock());
  // Without a last argument there is no value to carry along.
  const bool chained = endsWith(invocation.selector, kReturnedValueSuffix) && !invocation.arguments.empty();
  std::vector<std::shared_ptr<TLObject>> listeners;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : delegates_)
      if (auto listener = weak.lock()) listeners.push_back(std::move(listener));
  }
  bool answered = false;
  for (const auto& listener : listeners) {
    if (!listener->respondsToSelector(invocation.selector)) continue;
    answered = true;
    listener->perform(invocation);
    if (chained) invocation.arguments.back() = invocation.returnValue;
  }
  if (chained && !answered) invocation.returnValue = invocation.arguments.back();
}

std::map<std::string, TLImplementation> TLDelegateForwarder::originalImplementations() const {
  std::lock_guard lock(mutex_);
  return originalImplementations_;
}

std::set<std::string> TLDelegateForwarder::selectorsToSwizzle() const {
  std::lock_guard lock(mutex_);
  return selectorsToSwizzle_;
}

std::map<std::string, std::string> TLDelegateForwarder::deprecatedSelectors() const {
  std::lock_guard lock(mutex_);
  return deprecatedSelectors_;
}

void TLDelegateForwarder::setDeprecatedSelectors(std::map<std::string, std::string> selectors) {
  std::lock_guard lock(mutex_);
  deprecatedSelectors_ = std::move(selectors);
}

TLImplementation TLDelegateForwarder::originalSetDelegateImp() const {
  std::lock_guard lock(mutex_);
  return originalSetDelegateImp_;
}
